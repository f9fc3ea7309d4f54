# Checks the Windows module as objdump -p shows it: exactly the two boot
# names out, and only system DLLs and the perl DLL in. A libstdc++, libgcc or
# winpthread DLL imported would be the runtime's own copy, built by another
# compiler.
#
#   perl dll_tables.pl OBJDUMP DLL [--ucrt | --windows-9x LISTS | --windows-nt4 LISTS]
#
# The C runtime it imports must be its perl's: msvcrt, or with --ucrt the
# Universal C Runtime's api-ms-win-crt-* DLLs.
# With --windows-9x or --windows-nt4 it also checks, since neither system
# runs here, what that system's loader refuses: a subsystem or OS version
# above 4.0, a TLS directory (which Windows 95 refuses, and 98, ME and NT 4.0
# never set up), a DLL other than KERNEL32, msvcrt and the perl's, and a
# name that the system's KERNEL32 or msvcrt does not export: Windows 95's
# and the msvcrt of Windows 98 SE (Visual C++ 6), or NT 4.0's and the msvcrt
# it installs (Visual C++ 4.2). LISTS is the folder of those lists of names.
use strict;
use warnings;

my ($objdump, $dll, $option, $lists) = @ARGV;
my @table = `"$objdump" -p "$dll"`;
die "$objdump -p $dll failed\n" if $? or !@table;

my (@exports, %imports, %header, $from);
my $section = '';
for (@table) {
    $header{$1} = $2 if /^(Ma\w+Version|Minor\w+Version)\s+(\d+)\s*$/;
    $header{tls} = $1 if /^Entry 9 (\w+ \w+) Thread Storage Directory/;
    if (/^\[Ordinal\/Name Pointer\] Table/) { $section = 'exports' }
    elsif (/^The Import Tables/)             { $section = 'imports' }
    elsif (/^\S/ or ($section eq 'exports' and /^\s*$/)) { $section = '' }
    elsif ($section eq 'exports' and /^\s+\[\s*\d+\]\s+(\S+)\s*$/) { push @exports, $1 }
    elsif ($section eq 'imports' and /^\s+DLL Name:\s+(\S+)/) { $imports{ $from = $1 } = [] }
    elsif ($section eq 'imports' and /^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$/) { push @{ $imports{$from} }, $1 }
}
my $is_perl = qr/^perl5\d+\.dll$/i;

my @wanted = qw(_boot_Win32__Varrokit__Varrokit9x boot_Win32__Varrokit__Varrokit9x);
my @faults;
push @faults, "exports @{[sort @exports]}, not @wanted" if "@{[sort @exports]}" ne "@wanted";
# One C runtime, the perl's own: two in one process keep two heaps, two
# sets of file descriptors and two errno.
my $ucrt = defined $option && $option eq '--ucrt';
my $crt = $ucrt ? qr/^api-ms-win-crt-[a-z]+-l1-1-0\.dll$/i : qr/^msvcrt\.dll$/i;
my @system = qw(kernel32 ntdll user32 advapi32);
for my $import (sort keys %imports) {
    next if grep { lc $import eq "$_.dll" } @system;
    next if $import =~ $is_perl or $import =~ $crt;
    push @faults, "imports $import" . ($ucrt ? ', not the UCRT alone' : '');
}
push @faults, 'imports no perl DLL' unless grep { $_ =~ $is_perl } keys %imports;

my %old_windows = (
    '--windows-9x' => {
        kernel32 => ['kernel32-win95.txt', 'Windows 95'],
        msvcrt   => ['msvcrt-vc6-win98se.txt', 'the msvcrt of Windows 98 SE (Visual C++ 6)'] },
    '--windows-nt4' => {
        kernel32 => ['kernel32-nt4.txt', 'Windows NT 4.0'],
        msvcrt   => ['msvcrt-vc42.txt', 'the msvcrt of Windows NT 4.0 (Visual C++ 4.2)'] },
);
if (defined $option && !$ucrt) {
    my $lists_of = $old_windows{$option} or die "unknown option $option\n";
    for my $field (qw(Subsystem OSystem)) {
        my $version = sprintf '%d.%d', $header{"Major${field}Version"}, $header{"Minor${field}Version"};
        push @faults, "$field version $version is above 4.0" if $version > 4.0;
    }
    push @faults, 'has a TLS directory, which Windows 95 refuses and 98, ME and NT 4.0 never set up'
        if ($header{tls} || '') =~ /[1-9a-f]/;
    for my $import (sort keys %imports) {
        next if $import =~ $is_perl;
        (my $base = lc $import) =~ s/\.dll$//;
        my $list = $lists_of->{$base}
            or push(@faults, "imports $import: only KERNEL32, msvcrt and the perl's DLL may be imported"), next;
        my ($file, $system) = @$list;
        my $known = names("$lists/$file");
        for my $name (@{ $imports{$import} }) {
            my $needs = $known->{$name};
            push @faults, "imports $import!$name, which $system lacks" unless defined $needs;
            push @faults, "imports $import!$name, which needs $system $needs" if $needs;
        }
    }
}

# The names on a list, each => '' or what it needs beyond the first release
# (a comment such as "# requires OSR2").
sub names {
    my ($file) = @_;
    open my $in, '<', $file or die "$file: $!\n";
    my %names;
    while (<$in>) {
        $names{$1} = defined $2 ? $2 : '' if !/^#/ and /^(\S+)\s*(?:#\s*requires\s+(.*?))?\s*$/;
    }
    return \%names;
}

print "exports: @exports\n";
print "imports from $_: @{ $imports{$_} }\n" for sort keys %imports;
print "FAULT: $_\n" for @faults;
exit(@faults ? 1 : 0);
