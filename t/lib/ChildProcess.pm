package ChildProcess;

# Child processes with chosen executable names, for tests that look them up.
# Only what Perl 5.6 has: tests run on every perl the module supports.

use strict;
use warnings;

use Exporter;
use File::Temp ();
use POSIX ();

use vars qw(@ISA @EXPORT_OK);
@ISA       = ('Exporter');
@EXPORT_OK = qw(spawn_named spawn_script spawn_at set_next_pid reap);

my $dir = File::Temp::tempdir('varrokit-t-XXXXXX', TMPDIR => 1, CLEANUP => 1);
my %children;

# Starts a process whose executable is called $name and returns its
# identifier once it runs under that name. It sleeps, or runs $program with
# @args (not on Windows).
sub spawn_named {
    my ($name, @command) = @_;
    my $pid = $^O eq 'MSWin32' ? spawn_windows($name) : spawn_unix($name, @command);
    $children{$pid} = 1;
    return $pid;
}

# Windows names a process after its executable file: run a copy of perl.
sub spawn_windows {
    my ($name) = @_;
    require File::Copy;
    my $copy = "$dir\\$name";
    File::Copy::copy($^X, $copy) or die "copy $^X to $copy: $!";
    # The copy needs the perl DLL that sits beside the real one.
    (my $perl_dir = $^X) =~ s/[\\\/][^\\\/]*$//;
    local $ENV{PATH} = "$perl_dir;$ENV{PATH}";
    my $pid = system(1, $copy, '-e', 'sleep 600');
    die "cannot start $copy: $!" if !$pid || $pid < 0;
    return $pid;
}

# Linux takes the command name from the file executed: run a link to it.
sub spawn_unix {
    my ($name, $program, @args) = @_;
    ($program, @args) = ('/bin/sleep', '600') unless defined $program;
    my $link = "$dir/$name";
    unlink $link;
    symlink $program, $link or die "symlink $link: $!";
    return exec_when_ready($link, @args);
}

# Runs a Perl script called $name through its "#!" line.
sub spawn_script {
    my ($name, $code) = @_;
    my $script = "$dir/$name";
    open my $out, '>', $script or die "$script: $!";
    print {$out} "#!$^X\n$code\n";
    close $out or die "$script: $!";
    chmod 0755, $script or die "chmod $script: $!";
    my $pid = exec_when_ready($script);
    $children{$pid} = 1;
    return $pid;
}

sub exec_when_ready {
    my ($file, @args) = @_;
    # The write end closes on exec, so end of file on the read end means
    # that the child runs its new program.
    local (*READER, *WRITER);
    pipe READER, WRITER or die "pipe: $!";
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        close READER;
        { no warnings 'exec'; exec {$file} $file, @args }
        POSIX::_exit(127);
    }
    close WRITER;
    my $byte;
    sysread READER, $byte, 1;
    close READER;
    return $pid;
}

# spawn_named at a chosen identifier; needs root in a PID namespace of its own.
sub spawn_at {
    my ($pid, @rest) = @_;
    set_next_pid($pid);
    my $child = spawn_named(@rest);
    die "wanted identifier $pid, got $child\n" unless $child == $pid;
    return $child;
}

sub set_next_pid {
    my ($pid) = @_;
    open my $last, '>', '/proc/sys/kernel/ns_last_pid' or die "ns_last_pid: $!";
    print {$last} $pid - 1;
    close $last or die "ns_last_pid: $!";
}

# Ends a child and waits for it, so that it is gone from the process list.
sub reap {
    my @pids = grep { delete $children{$_} } @_;
    kill 'KILL', @pids;
    waitpid $_, 0 for @pids;
}

END {
    local $?;    # keep the test's exit status
    reap(keys %children);
}

1;
