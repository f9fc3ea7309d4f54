use strict;
use warnings;

# Several processes that share one short identifier can only be arranged in a
# PID namespace of our own, where ns_last_pid picks the next identifier. As
# root this test runs itself again inside one, as its first process.
BEGIN {
    if ($$ != 1 && $> == 0 && !$ENV{VARROKIT_NO_NAMESPACE}) {
        my $pid_max_file = '/proc/sys/kernel/pid_max';
        open my $in, '<', $pid_max_file or die "$pid_max_file: $!";
        chomp(my $pid_max = <$in>);
        close $in;
        # The identifiers below reach the top of the range; the limit is
        # system-wide, so it is raised only for this run.
        my $set_pid_max = sub { open my $out, '>', $pid_max_file or return; print {$out} $_[0]; close $out };
        $set_pid_max->(4194304);
        my @inc = map { "-I$_" } grep { !ref } @INC;
        my $status = system 'unshare', '--pid', '--fork', '--mount-proc', $^X, @inc, $0;
        $set_pid_max->($pid_max);
        if ($status == -1) { $ENV{VARROKIT_NO_NAMESPACE} = 'unshare is missing' }
        else               { exit($? >> 8) }
    }
}

use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";

use ChildProcess qw(spawn_at set_next_pid);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

plan skip_all => 'needs root to arrange identifiers in a PID namespace' if $$ != 1;

my $short = 300;
sub id { $_[0] * 65536 + $short }

sub process_state {
    open my $fh, '<', "/proc/$_[0]/stat" or return '';
    my $stat = <$fh>;
    return $stat =~ /\) (\S)/ ? $1 : '';
}

sub wait_until {
    my ($what, $done) = @_;
    for (1 .. 400) { return 1 if $done->(); select undef, undef, undef, 0.025 }
    die "gave up waiting for $what\n";
}

my $first  = spawn_at(id(0), 'a.exe');
my $named  = spawn_at(id(1), 'B.EXE');
my $last   = spawn_at(id(2), 'a.exe');

my $zombie = spawn_at(id(3), 'a.exe');
kill 'KILL', $zombie;
wait_until('a zombie', sub { process_state($zombie) eq 'Z' });

# A thread whose identifier shares the short identifier, in a process that
# does not.
my $thread_id = id(4);
my $threaded = ChildProcess::spawn_named('t.exe', $^X, '-Mthreads', '-e', <<'END', $thread_id);
open my $fh, '>', '/proc/sys/kernel/ns_last_pid' or die $!;
print {$fh} $ARGV[0] - 1;
close $fh;
threads->create(sub { sleep 600 })->detach;
sleep 600;
END
wait_until('the thread', sub { -e "/proc/$threaded/task/$thread_id" });

my $long = spawn_at(id(5), 'an-executable-name-beyond-15-bytes');
my $top  = spawn_at(id(63), 'top.exe');

sub check_lookups {
    my ($setting) = @_;
    subtest "the name decides among shared short identifiers ($setting)" => sub {
        is(MatchWin9xPid($short, 'a.exe'), $last, 'the last running name match');
        is(MatchWin9xPid($short, 'b.exe'), $named, 'a single name match');
        is(MatchWin9xPid($short, 'C:\\dir\\B.EXE'), $named, 'by base name and without case');
        is(MatchWin9xPid($short, 'nothing.exe'), $first, 'the first in identifier order without a name match');
        is(MatchWin9xPid($short, 'top.exe'), $top, 'an identifier at the top of the range');
        is(MatchWin9xPid($named, 'b.exe'), 0, 'a full identifier above 0xFFFF matches nothing');
    };
    subtest "what is not a running process ($setting)" => sub {
        isnt(MatchWin9xPid($short, 'a.exe'), $zombie, 'a zombie');
        is(MatchWin9xPid($short, 't.exe'), $first, 'a thread');
    };
    subtest "long names ($setting)" => sub {
        is(MatchWin9xPid($short, 'an-executable-name-beyond-15-bytes'), $long, 'found by the whole name');
        is(MatchWin9xPid($short, 'an-executable-n'), $first, 'not by the name the kernel cut');
    };
}

# With few processes a lookup lists /proc; with many it probes the
# identifiers that can carry the short one. Both must give the same answers.
check_lookups('few processes');
ChildProcess::spawn_named("filler-$_") for 1 .. 150;
check_lookups('many processes');

# Identifiers given out before pid_max was lowered are still running.
open my $pid_max, '>', '/proc/sys/kernel/pid_max' or die "pid_max: $!";
print {$pid_max} 32768;
close $pid_max or die "pid_max: $!";
check_lookups('pid_max lowered below them');

kill 'KILL', $first;
waitpid $first, 0;
is(MatchWin9xPid($short, 'nothing.exe'), $named, 'an ended process is gone at the next call');

done_testing;
