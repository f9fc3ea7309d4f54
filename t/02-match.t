use strict;
use warnings;

use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";

use ChildProcess qw(spawn_named);
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

subtest 'conversion of the sought identifier' => sub {
    is(MatchWin9xPid("$short", 'vk-child.exe'), $child, 'a numeric string');
    is(MatchWin9xPid($short + 0.75, 'vk-child.exe'), $child, 'a fraction is cut');
    is(MatchWin9xPid(-1, 'vk-child.exe'), 0, '-1 is all bits set and matches nothing');
    is(MatchWin9xPid(2**32 + $short, 'vk-child.exe'), 0, '2**32 and more match nothing, not the low 32 bits');
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
