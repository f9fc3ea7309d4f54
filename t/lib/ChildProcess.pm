package ChildProcess;

# Child processes with chosen command names, for tests that look them up.

use strict;
use warnings;

use Exporter 'import';
use File::Temp ();
use POSIX ();

our @EXPORT_OK = qw(spawn_named spawn_at set_next_pid);

my $dir = File::Temp::tempdir('varrokit-t-XXXXXX', TMPDIR => 1, CLEANUP => 1);
my %children;

# Runs $program (default: a long sleep) through a link called $name, so the
# kernel records $name as the command name, and returns its identifier once
# the exec is done.
sub spawn_named {
    my ($name, $program, @args) = @_;
    ($program, @args) = ('/bin/sleep', '600') unless defined $program;
    my $link = "$dir/$name";
    unlink $link;
    symlink $program, $link or die "symlink $link: $!";
    # The write end closes on exec, so end of file on the read end means
    # that the child runs under its new name.
    pipe my $reader, my $writer or die "pipe: $!";
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        close $reader;
        { no warnings 'exec'; exec {$link} $link, @args }
        POSIX::_exit(127);
    }
    close $writer;
    sysread $reader, my $byte, 1;
    close $reader;
    $children{$pid} = 1;
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
    open my $fh, '>', '/proc/sys/kernel/ns_last_pid' or die "ns_last_pid: $!";
    print {$fh} $pid - 1;
    close $fh or die "ns_last_pid: $!";
}

sub reap_all {
    kill 'KILL', keys %children;
    waitpid $_, 0 for keys %children;
    %children = ();
}

END {
    local $?;    # keep the test's exit status
    reap_all();
}

1;
