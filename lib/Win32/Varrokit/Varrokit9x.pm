package Win32::Varrokit::Varrokit9x;

use strict;
use warnings;

require Exporter;
require XSLoader;

our $VERSION   = '0.01';
our @ISA       = ('Exporter');
our @EXPORT_OK = ('MatchWin9xPid');

XSLoader::load('Win32::Varrokit::Varrokit9x', $VERSION);

1;

__END__

=head1 NAME

Win32::Varrokit::Varrokit9x - find a running process from the low 16 bits of its identifier and its executable name

=head1 SYNOPSIS

    use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

    # Only the low 16 bits of the identifier are known, say from a log line.
    my $pid = MatchWin9xPid(0x1234, 'C:\\Program Files\\Tool\\tool.exe');
    if ($pid) {
        printf "tool.exe runs as process %u\n", $pid;
    }

=head1 DESCRIPTION

Some records keep only a short process identifier: the low 16 bits of the
real one. This module turns such a short identifier back into the full
identifier of a process that is running now, with the name of its executable
to choose between processes that share the short identifier.

Every call reads the system's list of running processes afresh. Among the
processes whose identifier has the sought low 16 bits, it returns

=over 4

=item *

the B<last> one, in the system's order, whose executable name equals the
sought name, if any does;

=item *

otherwise the B<first> one;

=item *

and 0 when no running process has those low 16 bits.

=back

Names are compared by their base names, the part after the last backslash,
without regard to the case of the ASCII letters.

On Windows the process list comes from the Toolhelp snapshot, in the order
that Toolhelp reports. On Linux it comes from F</proc>, in ascending
identifier order.

=head1 FUNCTIONS

=head2 MatchWin9xPid

    my $pid = MatchWin9xPid($dwSeekPid, $szSeekExeName);

C<$dwSeekPid> is the short identifier, a number from 0 to 65535.
C<$szSeekExeName> is the executable's name or path; only the part after its
last backslash takes part. Returns the full identifier as an unsigned
integer, or 0 when no running process fits. It never dies for want of a
process, only when it is not given exactly two arguments:

    Usage: Win32::Varrokit::Varrokit9x::MatchWin9xPid(dwSeekPid, szSeekExeName)

Nothing is exported by default; ask for C<MatchWin9xPid> in the import list
or call it by its full name.

=head1 CAVEATS

=over 4

=item The short identifier is ambiguous

Many processes can share the same low 16 bits. Without a name match the
function returns the first of them, which may well be another program than
the one meant. Check the result before acting on it, and expect that a
process found now may end a moment later, and that its identifier may then
be given to another process.

=item Values above 0xFFFF match nothing

The sought value is not cut to 16 bits: passing a full identifier such as
70000 returns 0. The same holds for negative numbers and for values of
2**32 and more, which a perl with 64-bit integers can pass.

=item Only the backslash separates

The base name is taken after the last backslash, on every system. A path
written with forward slashes, such as F</usr/bin/perl> or F<C:/dir/a.exe>, is
compared whole and so matches no process; pass the bare name instead.

=item How names are found on Linux

Linux keeps no executable path in the process list. The name of a process is
its command name from F</proc/PID/stat>, which the kernel takes from the
file name that was executed (or that the process set for itself) and cuts to
15 bytes. When the command name is exactly 15 bytes long and the file name of
the process's C<argv[0]> begins with it, that longer file name is used, so a
long executable name is found by its whole name, not by its first 15 bytes.
A process that changed its command name is found by the new one.

=item Threads, zombies and other namespaces on Linux

Only processes count: the identifier of a thread that is not its process's
main thread is never returned, even when its low 16 bits fit. A zombie or
dead process has ended and is not returned either. Inside a PID namespace
the identifiers are those of the namespace, as F</proc> shows them.

=item Processes you cannot see

Only processes that the system lets the caller see count. On Linux, where
F</proc> is mounted with C<hidepid>, other users' processes are invisible
and never returned; on Windows, Toolhelp decides.

=item Letter case

Only the ASCII letters A to Z fold; other bytes, such as letters of a
Windows code page or UTF-8 sequences, must match exactly, whatever the
current locale.

=item Names end at a NUL byte

The name is used up to its first NUL byte, as the system's own strings are.

=back

=head1 SEE ALSO

L<Win32::Process::Info>, L<Proc::ProcessTable>, and the Toolhelp functions
C<CreateToolhelp32Snapshot>, C<Process32First> and C<Process32Next> in the
Windows documentation; L<proc(5)> on Linux.

=cut
