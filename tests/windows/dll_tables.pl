# Checks the Windows module's export and import tables, as objdump -p shows
# them: exactly the two boot names out, and only system DLLs and the perl DLL
# in. A libstdc++, libgcc or winpthread DLL imported would be the runtime's
# own copy, built by another compiler.
use strict;
use warnings;

my ($objdump, $dll) = @ARGV;
my @table = `"$objdump" -p "$dll"`;
die "$objdump -p $dll failed\n" if $? or !@table;

my (@exports, @imports, $in_exports);
for (@table) {
    $in_exports = 1 if /^\[Ordinal\/Name Pointer\] Table/;
    $in_exports = 0 if /^\s*$/;
    push @exports, $1 if $in_exports && /^\s+\[\s*\d+\]\s+(\S+)\s*$/;
    push @imports, $1 if /^\s+DLL Name:\s+(\S+)/;
}

my @wanted = qw(_boot_Win32__Varrokit__Varrokit9x boot_Win32__Varrokit__Varrokit9x);
my @faults;
push @faults, "exports @{[sort @exports]}, not @wanted" if "@{[sort @exports]}" ne "@wanted";
my @system = qw(kernel32 msvcrt ntdll user32 advapi32);
for my $import (@imports) {
    next if grep { lc $import eq "$_.dll" } @system;
    next if $import =~ /^perl5\d+\.dll$/i or $import =~ /^api-ms-win-/i;
    push @faults, "imports $import";
}
push @faults, 'imports no perl DLL' unless grep { /^perl5\d+\.dll$/i } @imports;

print "exports: @exports\nimports: @imports\n";
print "FAULT: $_\n" for @faults;
exit(@faults ? 1 : 0);
