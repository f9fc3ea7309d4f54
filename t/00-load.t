use strict;
use warnings;

use Test::More;
use Config;

BEGIN { use_ok('Win32::Varrokit::Varrokit9x') }

is($Win32::Varrokit::Varrokit9x::VERSION, '0.01', 'version');

{
    package Plain::User;
    Win32::Varrokit::Varrokit9x->import;
    ::ok(!defined &Plain::User::MatchWin9xPid, 'nothing is exported by default');

    package Importing::User;
    Win32::Varrokit::Varrokit9x->import('MatchWin9xPid');
    ::ok(defined &Importing::User::MatchWin9xPid, 'MatchWin9xPid is exported on request');
    ::is(prototype(\&Win32::Varrokit::Varrokit9x::MatchWin9xPid), undef, 'no prototype');
}

SKIP: {
    my ($object) = grep { -f } map { "$_/auto/Win32/Varrokit/Varrokit9x/Varrokit9x.$Config{dlext}" } @INC;
    skip 'nm reads ELF shared objects only', 3 if $^O eq 'MSWin32';
    my @symbols = `nm -D --defined-only '$object' 2>/dev/null`;
    skip 'nm -D cannot read the shared object', 3 unless @symbols;
    my %address = map { (split ' ')[2, 0] } @symbols;
    is_deeply([sort keys %address], [qw(_boot_Win32__Varrokit__Varrokit9x boot_Win32__Varrokit__Varrokit9x)],
        'the shared object exports the two boot names and nothing else');
    is($address{_boot_Win32__Varrokit__Varrokit9x}, $address{boot_Win32__Varrokit__Varrokit9x},
        'both names are bound to the one bootstrap routine');
    skip 'perl before 5.22 has no binary-compatibility handshake', 1 if $] < 5.022;
    ok(scalar(grep { /^\s+U Perl_xs_handshake$/ } `nm -D --undefined-only '$object'`),
        'the bootstrap checks that the binary fits this perl');
}

done_testing;
