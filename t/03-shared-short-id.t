use strict;
use warnings;

# Several processes that share one short identifier can only be arranged in a
# PID namespace of our own, where ns_last_pid picks the next identifier. As
# root this test runs itself again inside one, as its first process.
BEGIN {
    if ($^O eq 'linux' && $$ != 1 && $> == 0 && !$ENV{VARROKIT_NO_NAMESPACE}) {
        if (system('unshare --pid --fork --mount-proc true >/dev/null 2>&1') != 0) {
            $ENV{VARROKIT_NO_NAMESPACE} = 'unshare --pid cannot run here (no CAP_SYS_ADMIN?)';
        }
        else {
            my @inc = map { "-I$_" } grep { !ref } @INC;
            system 'unshare', '--pid', '--fork', '--mount-proc', $^X, @inc, $0;
            exit($? >> 8 || ($? ? 1 : 0));
        }
    }
}

use Test::More;
use POSIX ();
# The shared test helpers, found without FindBin or lib.pm, which trimmed
# Windows runtimes lack.
BEGIN { unshift @INC, (__FILE__ =~ /^(.*)[\\\/]/ ? $1 : ".") . "/lib" }

use ChildProcess qw(spawn_at set_next_pid);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

plan skip_all => $ENV{VARROKIT_NO_NAMESPACE} || 'needs root on Linux to arrange identifiers in a PID namespace'
    if $$ != 1;

my $short = 300;
sub id { $_[0] * 65536 + $short }

# Before Linux 6.14 pid_max is one value for the whole system, and a test has
# no business changing it; from 6.14 on each PID namespace has its own.
my $pid_max_file = '/proc/sys/kernel/pid_max';
my ($major, $minor) = (POSIX::uname())[2] =~ /^(\d+)\.(\d+)/;
my $own_pid_max = $major > 6 || ($major == 6 && $minor >= 14);
# Sets pid_max when given a value; returns it.
sub pid_max {
    if (@_) {
        open my $out, '>', $pid_max_file or die "$pid_max_file: $!";
        print {$out} $_[0];
        close $out or die "$pid_max_file: $!";
    }
    open my $in, '<', $pid_max_file or die "$pid_max_file: $!";
    my $value = <$in>;
    close $in;
    return $value + 0;
}
if (pid_max() <= id(63)) {
    plan skip_all => 'pid_max is below the identifiers this test places, and before Linux 6.14 '
                   . 'raising it would change the whole host' unless $own_pid_max;
    pid_max(4194304);
}

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
my $threaded = eval { require threads; 1 } && ChildProcess::spawn_named('t.exe', $^X, '-Mthreads', '-e', <<'END', $thread_id);
open my $fh, '>', '/proc/sys/kernel/ns_last_pid' or die $!;
print {$fh} $ARGV[0] - 1;
close $fh;
threads->create(sub { sleep 600 })->detach;
sleep 600;
END
wait_until('the thread', sub { -e "/proc/$threaded/task/$thread_id" }) if $threaded;

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
        SKIP: {
            skip 'this perl has no threads.pm', 1 unless $threaded;
            is(MatchWin9xPid($short, 't.exe'), $first, 'a thread');
        }
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

SKIP: {
    skip 'pid_max is system-wide before Linux 6.14; lowering it would limit the whole host', 3
        unless $own_pid_max;
    # Identifiers given out before pid_max was lowered are still running.
    pid_max(32768);
    check_lookups('pid_max lowered below them');
}

kill 'KILL', $first;
waitpid $first, 0;
is(MatchWin9xPid($short, 'nothing.exe'), $named, 'an ended process is gone at the next call');

done_testing;
