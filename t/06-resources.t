use strict;
use warnings;

use Test::More;
# The shared test helpers, found without FindBin or lib.pm, which trimmed
# Windows runtimes lack.
BEGIN { unshift @INC, (__FILE__ =~ /^(.*)[\\\/]/ ? $1 : ".") . "/lib" }
use POSIX ();

use ChildProcess qw(spawn_named);
use StressLevel qw(sized counted);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

# A handle or descriptor left open on every call shows in an exact count
# after a few hundred calls. The smallest leak of memory, one allocation a
# call, takes at least 32 bytes of the C library's heap (glibc's least
# chunk): 10,000 calls put it past 256 KB, where the resident memory of a
# sound run stays. The extended level keeps 1 MB, over 200,000 calls.
my $handle_calls = sized(500, 20_000);
my $memory_calls = sized(10_000, 200_000);
my $memory_kb    = sized(256, 1024);
my $coming_and_going = sized(2_000, 20_000);

# Each helper closes what it opened before it returns, so that the counts
# below see only what the module may have left open.
sub resident_kb {
    open my $status, '<', '/proc/self/status' or die "status: $!";
    my ($kb) = map { /^VmRSS:\s+(\d+)/ ? $1 : () } <$status>;
    close $status;
    return defined $kb ? $kb : die "no VmRSS\n";
}

sub open_descriptors {
    opendir my $fds, '/proc/self/fd' or die "fd: $!";
    my $count = grep { /^\d+$/ } readdir $fds;
    closedir $fds;
    return $count;
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
    my $pid = <$fh>;
    close $fh;
    return $pid;
}

my $child = spawn_named('vk-resources.exe');
my $short = $child & 0xFFFF;

if ($^O eq 'MSWin32') {
    subtest counted($handle_calls) . ' calls keep the handle count flat' => sub {
        plan skip_all => 'needs Win32::API to ask for the handle count'
            unless eval { require Win32::API; 1 };
        my $count_handles = Win32::API->new('kernel32', 'GetProcessHandleCount', 'NP', 'I')
            or die "GetProcessHandleCount: $^E";
        my $current_process = Win32::API->new('kernel32', 'GetCurrentProcess', '', 'N')->Call;
        my $handles = sub {
            my $count = pack 'L', 0;
            $count_handles->Call($current_process, $count) or die "GetProcessHandleCount: $^E";
            return unpack 'L', $count;
        };
        MatchWin9xPid($short, 'vk-resources.exe') for 1 .. 200;
        my $before = $handles->();
        my $wrong = grep { MatchWin9xPid($short, 'vk-resources.exe') != $child } 1 .. $handle_calls;
        is($wrong, 0, 'every answer right');
        is($handles->(), $before, 'no handle leaked');
    };
    done_testing;
    exit;
}

my $churn = start_churn();

subtest counted($memory_calls) . ' calls keep memory and descriptors flat' => sub {
    MatchWin9xPid($short, 'vk-resources.exe') for 1 .. 2000;
    my ($resident, $descriptors) = (resident_kb(), open_descriptors());
    my $wrong = 0;
    for my $call (1 .. $memory_calls) {
        # Every tenth call seeks where the churn is giving out identifiers.
        if ($call % 10) { $wrong++ if MatchWin9xPid($short, 'vk-resources.exe') != $child }
        else            { MatchWin9xPid((last_pid() + 1) & 0xFFFF, 'perl') }
    }
    is($wrong, 0, 'every answer right');
    cmp_ok(resident_kb() - $resident, '<', $memory_kb, "resident memory grew by less than $memory_kb KB");
    is(open_descriptors(), $descriptors, 'no descriptor leaked');
};

subtest counted($coming_and_going) . ' lookups of identifiers coming and going' => sub {
    my $foreign = 0;
    for (1 .. $coming_and_going) {
        my $seek = (last_pid() + int(rand 3)) & 0xFFFF;
        my $found = MatchWin9xPid($seek, 'perl');
        $foreign++ if $found && ($found & 0xFFFF) != $seek;
    }
    is($foreign, 0, 'no answer carries another short identifier');
};

kill 'KILL', $churn;
waitpid $churn, 0;
done_testing;
