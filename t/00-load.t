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

# The names the module's file exports, each with its address, and whether
# it imports perl's binary-compatibility check; read from the file itself,
# with nm for ELF and from the PE tables on Windows, with nothing but perl.
sub exported_names {
    my ($object) = @_;
    return pe_exports($object) if $^O eq 'MSWin32';
    my @symbols = `nm -D --defined-only '$object' 2>/dev/null`;
    return unless @symbols;
    my $handshake = grep { /^\s+U Perl_xs_handshake$/ } `nm -D --undefined-only '$object'`;
    return ({ map { (split ' ')[2, 0] } @symbols }, $handshake);
}

sub pe_exports {
    my ($dll) = @_;
    open my $fh, '<', $dll or return;
    binmode $fh;
    my $image = do { local $/; <$fh> };
    my $pe = unpack 'V', substr($image, 0x3C, 4);
    return unless substr($image, $pe, 4) eq "PE\0\0";
    my ($section_count, $optional_size) = unpack 'x2 v x12 v', substr($image, $pe + 4, 20);
    my $optional = $pe + 24;
    # The data directories follow the 32- or 64-bit optional header's fields.
    my $directories = $optional + (unpack('v', substr($image, $optional, 2)) == 0x20B ? 112 : 96);
    my @sections = map { [unpack 'x8 V V V V', substr($image, $optional + $optional_size + 40 * $_, 24)] }
        0 .. $section_count - 1;
    my $at = sub {    # a file offset for an address relative to the image
        my ($rva) = @_;
        for (@sections) {
            my ($size, $address, $raw_size, $raw) = @$_;
            $size = $raw_size if $raw_size > $size;
            return $raw + $rva - $address if $rva >= $address && $rva < $address + $size;
        }
        die "address $rva lies in no section of $dll\n";
    };
    my $exports = $at->(unpack 'V', substr($image, $directories, 4));
    my ($names, $functions_at, $names_at, $ordinals_at) = unpack 'x24 V V V V', substr($image, $exports, 40);
    my %address;
    for my $i (0 .. $names - 1) {
        my $name = unpack 'Z*', substr($image, $at->(unpack 'V', substr($image, $at->($names_at) + 4 * $i, 4)), 256);
        my $ordinal = unpack 'v', substr($image, $at->($ordinals_at) + 2 * $i, 2);
        $address{$name} = unpack 'V', substr($image, $at->($functions_at) + 4 * $ordinal, 4);
    }
    # An import by name leaves its name, after a two-byte hint, in the file.
    return (\%address, index($image, "Perl_xs_handshake\0") >= 0);
}

SKIP: {
    my ($object) = grep { -f } map { "$_/auto/Win32/Varrokit/Varrokit9x/Varrokit9x.$Config{dlext}" } @INC;
    my ($address, $handshake) = exported_names($object);
    skip 'nm -D cannot read the shared object', 3 unless $address;
    is_deeply([sort keys %$address], [qw(_boot_Win32__Varrokit__Varrokit9x boot_Win32__Varrokit__Varrokit9x)],
        'the module exports the two boot names and nothing else');
    is($address->{_boot_Win32__Varrokit__Varrokit9x}, $address->{boot_Win32__Varrokit__Varrokit9x},
        'both names are bound to the one bootstrap routine');
    skip 'perl before 5.22 has no binary-compatibility handshake', 1 if $] < 5.022;
    ok($handshake, 'the bootstrap checks that the binary fits this perl');
}

done_testing;
