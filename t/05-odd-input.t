use strict;
use warnings;

use Test::More;
# The shared test helpers, found without FindBin or lib.pm, which trimmed
# Windows runtimes lack.
BEGIN { unshift @INC, (__FILE__ =~ /^(.*)[\\\/]/ ? $1 : ".") . "/lib" }

use ChildProcess qw(spawn_named);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

my $child = spawn_named('vk-odd.exe');
my $short = $child & 0xFFFF;

# Runs $code and returns its result and the warnings it raised.
sub with_warnings {
    my ($code) = @_;
    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, shift };
    my $result = $code->();
    return ($result, join '', @warnings);
}

subtest 'undefined arguments convert as perl converts undef' => sub {
    my ($result, $warnings) = with_warnings(sub { MatchWin9xPid(undef, 'vk-odd.exe') });
    is($result, MatchWin9xPid(0, 'vk-odd.exe'), 'an undefined identifier is 0');
    like($warnings, qr/^Use of uninitialized value/, 'with the uninitialized warning');
    ($result, $warnings) = with_warnings(sub { MatchWin9xPid($short, undef) });
    is($result, $child, 'an undefined name is empty, and the first match wins');
    like($warnings, qr/^Use of uninitialized value/, 'with the uninitialized warning');
};

subtest 'numbers that are no short identifier match nothing' => sub {
    no warnings 'numeric';
    my $zero = MatchWin9xPid(0, 'vk-odd.exe');
    for my $value (9**9**9, -9**9**9, 9**9**9 / 9**9**9, 1e30, -5, -1, 2**32, 2**64, 65536 + $short) {
        my $result = MatchWin9xPid($value, 'vk-odd.exe');
        ok($result == 0 || $result == $zero, "the value $value");
    }
    is(MatchWin9xPid(" $short ", 'vk-odd.exe'), $child, 'a number in spaces');
    is(MatchWin9xPid(sprintf('%de0', $short), 'vk-odd.exe'), $child, 'a number in exponent form');
    is(MatchWin9xPid($short + 0.999, 'vk-odd.exe'), $child, 'a fraction is cut toward 0');
};

subtest 'references and globs' => sub {
    no warnings;
    my %values = (array => [], hash => {}, code => sub { 1 }, 'glob reference' => \*STDOUT,
                  glob => *STDOUT, 'reference to a reference' => \\1);
    for my $kind (sort keys %values) {
        eval { MatchWin9xPid($values{$kind}, 'vk-odd.exe') };
        is($@, '', "$kind as the identifier");
        is(eval { MatchWin9xPid($short, $values{$kind}) }, $child, "$kind as the name");
    }
};

subtest 'tied and magic arguments are fetched once' => sub {
    tie my $tied_pid,  'Counted', $short;
    tie my $tied_name, 'Counted', 'vk-odd.exe';
    is(MatchWin9xPid($tied_pid, $tied_name), $child, 'tied arguments give their values');
    is_deeply([tied($tied_pid)->fetches, tied($tied_name)->fetches], [1, 1], 'each fetched once');
    "$short:vk-odd.exe" =~ /^(\d+):(.*)$/ or die;
    is(MatchWin9xPid($1, $2), $child, 'capture variables');
};

subtest 'overloaded objects' => sub {
    my $object = Converts->new(number => $short, string => 'vk-odd.exe');
    is(MatchWin9xPid($object, $object), $child, 'converted through their overloads');
    my $failing = Converts->new(number => sub { die "no number here\n" }, string => 'x');
    is(eval { MatchWin9xPid($failing, 'vk-odd.exe'); 1 }, undef, 'a conversion that dies');
    is($@, "no number here\n", 'propagates its exception unchanged');
    $failing = Converts->new(number => 1, string => sub { die { reason => 'no name' } });
    eval { MatchWin9xPid($short, $failing) };
    is_deeply($@, { reason => 'no name' }, 'an exception object too');
};

subtest 'names' => sub {
    is(MatchWin9xPid($short, "vk-odd.exe\0.txt"), $child, 'a name ends at its first NUL byte');
    my $long = ('x' x (10 * 1024 * 1024)) . '\\vk-odd.exe';
    is(MatchWin9xPid($short, $long), $child, 'a 10 MB path is reduced to its base name');
};

subtest 'how perl stores a name does not change the answer' => sub {
    plan skip_all => 'perl before 5.8.1 has no utf8::upgrade' if $] < 5.008001;
    # "\xe9" is one byte however perl stores it; the child's name holds that byte.
    my $bytes = "vk-\xe9.exe";
    my $upgraded = $bytes;
    utf8::upgrade($upgraded);
    my $latin = spawn_named($bytes);
    is(MatchWin9xPid($latin & 0xFFFF, $bytes), $latin, 'the byte string');
    is(MatchWin9xPid($latin & 0xFFFF, $upgraded), $latin, 'the same string stored as UTF-8');
    ok(utf8::is_utf8($upgraded) && $upgraded eq $bytes, 'the caller\'s scalar is left as it was');
    SKIP: {
        skip 'Windows names are in the ANSI code page, which has no wide characters', 1
            if $^O eq 'MSWin32';
        my $wide = "vk-\x{263a}.exe";
        my $encoded = $wide;
        utf8::encode($encoded);
        my $smiling = spawn_named($encoded);
        is(MatchWin9xPid($smiling & 0xFFFF, $wide), $smiling, 'wide characters go as their UTF-8 bytes');
    }
};

done_testing;

package Counted;
sub TIESCALAR { my ($class, $value) = @_; bless { value => $value, fetches => 0 }, $class }
sub FETCH     { my $self = shift; $self->{fetches}++; $self->{value} }
sub fetches   { $_[0]{fetches} }

package Converts;
use overload
    '0+'     => sub { my $n = $_[0]{number}; ref $n ? $n->() : $n },
    '""'     => sub { my $s = $_[0]{string}; ref $s ? $s->() : $s },
    fallback => 1;
sub new { my ($class, %how) = @_; bless \%how, $class }
