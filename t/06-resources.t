use strict;
use warnings;

use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use POSIX ();

use ChildProcess qw(spawn_named);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

sub resident_kb {
    open my $status, '<', '/proc/self/status' or die "status: $!";
    while (<$status>) { return $1 if /^VmRSS:\s+(\d+)/ }
    die "no VmRSS\n";
}

sub open_descriptors {
    opendir my $fds, '/proc/self/fd' or die "fd: $!";
    return scalar grep { /^\d+$/ } readdir $fds;
}

# A process that starts and reaps short-lived children as fast as it can, so
# that lookups keep meeting processes that end while they are read.
sub start_churn {
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        while (1) {
            my $kid = fork;
            POSIX::_exit(0) if defined $kid && $kid == 0;
            waitpid $kid, 0 if $kid;
        }
    }
    return $pid;
}

sub last_pid {
    open my $fh, '<', '/proc/sys/kernel/ns_last_pid' or return $$;
    return scalar <$fh>;
}

my $child = spawn_named('vk-resources');
my $short = $child & 0xFFFF;
my $churn = start_churn();

subtest '200,000 calls keep memory and descriptors flat' => sub {
    MatchWin9xPid($short, 'vk-resources') for 1 .. 2000;
    my ($resident, $descriptors) = (resident_kb(), open_descriptors());
    my $wrong = 0;
    for my $call (1 .. 200_000) {
        # Every tenth call seeks where the churn is giving out identifiers.
        if ($call % 10) { $wrong++ if MatchWin9xPid($short, 'vk-resources') != $child }
        else            { MatchWin9xPid((last_pid() + 1) & 0xFFFF, 'perl') }
    }
    is($wrong, 0, 'every answer right');
    cmp_ok(resident_kb() - $resident, '<', 1024, 'resident memory grew by less than 1 MB');
    is(open_descriptors(), $descriptors, 'no descriptor leaked');
};

subtest 'identifiers coming and going' => sub {
    my $foreign = 0;
    for (1 .. 20_000) {
        my $seek = (last_pid() + int(rand 3)) & 0xFFFF;
        my $found = MatchWin9xPid($seek, 'perl');
        $foreign++ if $found && ($found & 0xFFFF) != $seek;
    }
    is($foreign, 0, 'no answer carries another short identifier');
};

kill 'KILL', $churn;
waitpid $churn, 0;
done_testing;
