use strict;
use warnings;

use Config;
use Test::More;
# The shared test helpers, found without FindBin or lib.pm, which trimmed
# Windows runtimes lack.
BEGIN { unshift @INC, (__FILE__ =~ /^(.*)[\\\/]/ ? $1 : ".") . "/lib" }

use ChildProcess qw(spawn_named);
use StressLevel qw(sized counted);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

# A race shows with a few threads each making a few hundred calls.
my $threads = sized(4, 8);
my $calls   = sized(250, 2_000);

my $child = spawn_named('vk-concurrent.exe');
my $short = $child & 0xFFFF;

SKIP: {
    skip 'this perl has no interpreter threads', 1 unless $Config{useithreads};
    skip 'this perl has no threads.pm', 1 unless eval { require threads; 1 };
    my @workers = map {
        threads->create(sub {
            my $wrong = 0;
            for (1 .. $calls) { $wrong++ if MatchWin9xPid($short, 'vk-concurrent.exe') != $child }
            return $wrong;
        });
    } 1 .. $threads;
    my @wrong = map { $_->join } @workers;
    is_deeply(\@wrong, [(0) x $threads],
        "$threads threads calling at once, " . counted($calls) . ' calls each, all get the right answer');
}

SKIP: {
    skip 'this perl cannot fork', 2 unless $^O ne 'MSWin32' || $Config{useithreads};
    # On Windows the child is an interpreter thread of this same process,
    # whose $$ names no process: it finds the process by the $$ taken here.
    my $process = $$;
    my ($exe) = $^X =~ /([^\\\/]+)$/;
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        my $wrong = (MatchWin9xPid($short, 'vk-concurrent.exe') == $child ? 0 : 1)
                  + (MatchWin9xPid($process & 0xFFFF, $exe) == $process ? 0 : 2);
        exit $wrong;
    }
    waitpid $pid, 0;
    is($? >> 8 & 1, 0, 'a forked child finds another process');
    is($? >> 8 & 2, 0, 'and the process it runs in, by the $$ taken before the fork');
}

done_testing;
