# The table of target perls: the configure presets of CMakePresets.json that
# carry a "varrokit9x" vendor entry. Everything the scripts know of a perl
# comes from there: where it comes from, its binary interface, the perl that
# must refuse its module, its CPAN route, its usual seconds, and whether its
# preset runs the extended level of the tests.
#
#   perl tools/perls.pl list               one line per perl, in the file's order:
#                                          NAME FROM SECONDS CPAN_SECONDS REFUSES
#                                          (0 and - where there is none)
#   perl tools/perls.pl shell NAME         the entry as shell assignments (perl_*)
#   perl tools/perls.pl sources            NAME SHA256 of each perl source release
#   perl tools/perls.pl toolchain          the source release of the CPAN routes' toolchain
#   perl tools/perls.pl check NAME PERL    checks a perl just built or fetched
#                                          against its entry; names what differs
#
# Exits 2, naming the perls there are, for a name the table lacks.
use strict;
use warnings;
use File::Basename qw(dirname);
use JSON::PP ();

my $root = dirname(dirname(__FILE__));
my $file = "$root/CMakePresets.json";
my $presets = do {
    open my $fh, '<', $file or die "$file: $!\n";
    local $/;
    JSON::PP->new->decode(<$fh>);
};
my %configure = map { $_->{name} => $_ } @{ $presets->{configurePresets} };
my @names = grep { $configure{$_}{vendor}{varrokit9x} } map { $_->{name} } @{ $presets->{configurePresets} };
my $table = $presets->{vendor}{varrokit9x} || {};

# A preset's cache variables, with those it inherits.
sub cache_variables {
    my ($name) = @_;
    my $preset = $configure{$name} or die "$file: no configure preset $name\n";
    my @parents = ref $preset->{inherits} ? @{ $preset->{inherits} } : grep { defined } $preset->{inherits};
    my %variables = map { %{ cache_variables($_) } } reverse @parents;
    return { %variables, %{ $preset->{cacheVariables} || {} } };
}

sub entry {
    my ($name) = @_;
    unless (defined $name and grep { $_ eq $name } @names) {
        print STDERR "no perl named ", (defined $name ? $name : '(none)'), " in $file; there are: @names\n";
        exit 2;
    }
    my $vendor = $configure{$name}{vendor}{varrokit9x};
    my $variables = cache_variables($name);
    my %perl = %{ $vendor->{perl} || { from => 'none' } };
    $perl{name} = $name;
    $perl{seconds} = $vendor->{seconds} || 0;
    $perl{cpan} = $vendor->{cpan} || 0;
    # Its preset runs t/'s extended level (EXTENDED_TESTING); CPAN routes never do.
    $perl{extended} = $vendor->{extended} ? 1 : 0;
    $perl{refuses} = $variables->{VARROKIT_FOREIGN_PERL} || '-';
    if ($perl{from} =~ /^windows/) {
        $perl{bits} = $variables->{VARROKIT_MINGW_ARCH} eq 'x86_64' ? 64 : 32;
        $perl{crt} = $variables->{VARROKIT_MINGW_CRT};
        # The name tools/win32-perl.sh keys its build settings by.
        $perl{build} = ($perl{bits} == 64 ? 'x64' : 'x86') . "-$perl{version}";
    }
    if ($perl{from} !~ /^(?:host|none)$/ and ($variables->{VARROKIT_FETCH_PERL} || '') ne $name) {
        die "$file: preset $name must fetch its own perl (VARROKIT_FETCH_PERL \"$name\")\n";
    }
    return \%perl;
}

sub shell_quote { my ($value) = @_; $value =~ s/'/'\\''/g; "'$value'" }

my ($command, @arguments) = @ARGV;
$command = '' unless defined $command;
if ($command eq 'list') {
    for my $name (@names) {
        my $perl = entry($name);
        print join("\t", @$perl{qw(name from seconds cpan refuses)}), "\n";
    }
}
elsif ($command eq 'shell') {
    my $perl = entry($arguments[0]);
    for my $key (sort keys %$perl) {
        my $value = ref $perl->{$key} ? join(' ', @{ $perl->{$key} }) : $perl->{$key};
        print "perl_$key=", shell_quote($value), "\n";
    }
}
elsif ($command eq 'sources') {
    my $sources = $table->{sources} || {};
    print "$_ $sources->{$_}\n" for sort keys %$sources;
}
elsif ($command eq 'toolchain') {
    print "$table->{cpan_toolchain}\n";
}
elsif ($command eq 'check') {
    my ($name, $perl_exe) = @arguments;
    my $perl = entry($name);
    die "usage: $0 check NAME PERL\n" unless defined $perl_exe;
    my @faults = check($perl, $perl_exe);
    if (@faults) {
        print STDERR "$perl_exe is not the perl $name names:\n", map { "  $_\n" } @faults;
        exit 1;
    }
}
else {
    die "usage: $0 list | shell NAME | sources | toolchain | check NAME PERL\n";
}

# The binary interface a module must match, as the perl's own Config says it
# and, on Windows, as its DLL's imports show.
sub check {
    my ($perl, $perl_exe) = @_;
    my @keys = qw(version archname ivsize dlext libperl libc);
    my @answers = $perl->{from} =~ /^windows/
        ? `$^X "$root/cmake/perl_config_files.pl" "$perl_exe" @keys`
        : `"$perl_exe" -MConfig -e 'print map { "\$_=\$Config{\$_}\\n" } \@ARGV' @keys`;
    return "could not read its Config" if $? or !@answers;
    my %config = map { /^(\w+)=(.*?)\r?$/ ? ($1, $2) : () } @answers;
    my @faults;
    for my $key (qw(version archname ivsize dlext)) {
        push @faults, "$key is $config{$key}, not $perl->{$key}" if $config{$key} ne $perl->{$key};
    }
    return @faults unless $perl->{from} =~ /^windows/;

    (my $dll = $config{libperl}) =~ s/^lib(.*)\.a$/$1.dll/;
    push @faults, "its DLL is $dll, not $perl->{dll}" if lc $dll ne lc $perl->{dll};
    my $ucrt = $perl->{crt} eq 'ucrt';
    push @faults, "Config's libc is '$config{libc}', not " . ($ucrt ? '-lucrt' : 'msvcrt\'s')
        if $ucrt ? $config{libc} ne '-lucrt' : $config{libc} eq '-lucrt';
    my $dll_path = dirname($perl_exe) . "/$perl->{dll}";
    my $objdump = ($perl->{bits} == 64 ? 'x86_64' : 'i686') . '-w64-mingw32-objdump';
    my @imports = map { /DLL Name:\s+(\S+)/ ? lc $1 : () } `$objdump -p "$dll_path"`;
    return (@faults, "$objdump -p $dll_path failed") if $? or !@imports;
    my $has_msvcrt = grep { $_ eq 'msvcrt.dll' } @imports;
    my $has_ucrt = grep { /^api-ms-win-crt-/ } @imports;
    push @faults, "$perl->{dll} imports " . join(' ', grep { /msvcrt|api-ms-win-crt/ } @imports) . ", not $perl->{crt} alone"
        if $ucrt ? ($has_msvcrt || !$has_ucrt) : ($has_ucrt || !$has_msvcrt);
    return @faults;
}
