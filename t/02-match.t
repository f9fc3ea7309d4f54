use strict;
use warnings;

use Test::More;
# The shared test helpers, found without FindBin or lib.pm, which trimmed
# Windows runtimes lack.
BEGIN { unshift @INC, (__FILE__ =~ /^(.*)[\\\/]/ ? $1 : ".") . "/lib" }

use ChildProcess qw(spawn_named spawn_script);
use Errno ();
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

my $usage = 'Usage: Win32::Varrokit::Varrokit9x::MatchWin9xPid(dwSeekPid, szSeekExeName)';

subtest 'argument count' => sub {
    for my $args ([], [1], [1, 'a', 'b']) {
        my $line = __LINE__ + 1;
        eval { MatchWin9xPid(@$args) };
        is($@, "$usage at $0 line $line.\n", scalar(@$args) . ' arguments croak with the usage');
    }
};

my $child = spawn_named('vk-child.exe');
my $short = $child & 0xFFFF;

subtest 'a running child is found' => sub {
    is(MatchWin9xPid($short, 'vk-child.exe'), $child, 'by short identifier and name');
    is(MatchWin9xPid($short, 'C:\\Program Files\\VK-CHILD.EXE'), $child, 'by base name, without case');
    is(MatchWin9xPid($short, "vk-child.exe\0trailing"), $child, 'the name ends at a NUL byte');
    is(MatchWin9xPid($child + 65536 * 64, 'vk-child.exe'), 0, 'a value above 0xFFFF matches nothing');
};

SKIP: {
    skip 'scripts run through "#!" only on Unix', 1 if $^O eq 'MSWin32';
    my $script = spawn_script('a-very-long-script-name.pl', 'sleep 600;');
    is(MatchWin9xPid($script & 0xFFFF, 'a-very-long-script-name.pl'), $script,
        'a "#!" script is found by its whole name, not the 15 bytes the kernel keeps');
}

subtest 'the caller\'s $! is left alone' => sub {
    for my $case ([$short, 'vk-child.exe', 'a lookup that finds'], [-1, 'x', 'one that finds nothing']) {
        $! = Errno::EDOM();
        MatchWin9xPid($case->[0], $case->[1]);
        is($! + 0, Errno::EDOM(), $case->[2]);
    }
};

SKIP: {
    skip 'descriptors are limited through the Unix shell', 2 if $^O eq 'MSWin32';
    # A perl limited to a few descriptors opens them all, then looks up its
    # own identifier, which it would find but for the limit.
    my $code = 'my @held; while (open my $fh, "<", $^X) { push @held, $fh } '
             . '$! = 0; my $found = Win32::Varrokit::Varrokit9x::MatchWin9xPid($$ & 0xFFFF, "perl"); '
             . 'print "$found ", $! + 0, "\n"';
    my @inc = map { "-I$_" } grep { !ref } @INC;
    my $output = `ulimit -n 32 && '$^X' @inc -MWin32::Varrokit::Varrokit9x -e '$code' 2>&1`;
    is($output, "0 " . Errno::EMFILE() . "\n",
        'out of descriptors: 0, and $! says why');
}

subtest 'conversion of the sought identifier' => sub {
    is(MatchWin9xPid("$short", 'vk-child.exe'), $child, 'a numeric string');
    is(MatchWin9xPid($short + 0.75, 'vk-child.exe'), $child, 'a fraction is cut');
    is(MatchWin9xPid(-1, 'vk-child.exe'), 0, '-1 is all bits set and matches nothing');
    is(MatchWin9xPid(2**32 + $short, 'vk-child.exe'), 0, '2**32 and more match nothing, not the low 32 bits');
    tie my $tied, 'Recorder';
    $Recorder::stored = 2**32 + $short;
    is(MatchWin9xPid($tied, 'vk-child.exe'), 0, 'so does a tied value of 2**32 and more');
    my $infinity = 9**9**9;
    for my $case ([$infinity, 'infinity'], [-$infinity, 'minus infinity'], [$infinity - $infinity, 'NaN'],
                  [-2**32 + $short, 'a float below -2**31']) {
        is(MatchWin9xPid($case->[0], 'vk-child.exe'), 0, "$case->[1] matches nothing");
    }
    my $warning = '';
    local $SIG{__WARN__} = sub { $warning .= shift };
    is(MatchWin9xPid('nonsense', 'vk-child.exe'), MatchWin9xPid(0, 'vk-child.exe'),
        'a string that is no number converts as perl converts it');
    like($warning, qr/isn't numeric/, 'with perl\'s own warning');
};

subtest 'result scalar' => sub {
    my @results = (MatchWin9xPid($short, 'vk-child.exe'), MatchWin9xPid(-1, 'x'));
    is_deeply(\@results, [$child, 0], 'results in one list keep their values');
    my @seen = map { MatchWin9xPid($_ ? $short : -1, 'vk-child.exe') } 0, 1, 0;
    is_deeply(\@seen, [0, $child, 0], 'one call site in a loop');
    my $ref = \MatchWin9xPid($short, 'vk-child.exe');
    my $other = MatchWin9xPid(-1, 'x');
    is($$ref, $child, 'a reference to a result keeps its value');
    tie my $tied, 'Recorder';
    $tied = MatchWin9xPid($short, 'vk-child.exe');
    is($Recorder::stored, $child, 'the value reaches set magic');
};

{
    package Recorder;
    our $stored;
    sub TIESCALAR { bless [], shift }
    sub FETCH     { $stored }
    sub STORE     { $stored = $_[1] }
}

done_testing;
