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

=head2 The rule

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
that Toolhelp reports; on Windows NT 4.0 and 3.51, which have no Toolhelp,
from C<NtQuerySystemInformation>, in the same order and with the same names
as Toolhelp gives on Windows 2000 and later. On Linux it comes from
F</proc>, in ascending identifier order.

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
70000 returns 0. The same holds for negative numbers, for NaN and the
infinities, and for values of 2**32 and more on every perl: whether it holds
them as integers (64-bit integers) or as floating values (32-bit integers,
as perl 5.6 on Windows does, whose own conversion would keep only their low
32 bits).

=item Only the backslash separates

The base name is taken after the last backslash, on every system. A path
written with forward slashes, such as F</usr/bin/perl> or F<C:/dir/a.exe>, is
compared whole and so matches no process; pass the bare name instead.

=item How names are found on Linux

Linux keeps no executable path in the process list. The name of a process is
its command name from F</proc/PID/stat>, which the kernel takes from the
file name that was executed (or that the process set for itself) and cuts to
15 bytes. When the command name is exactly 15 bytes long, the longer name is
looked for in the process's arguments: the file name of C<argv[0]>, or, for a
script started through C<#!>, the file name of the script that follows the
interpreter (and the one option of its C<#!> line). The first of those that
begins with the 15 bytes is used. A process whose arguments name nothing of
the kind, such as one that overwrote them, is found only by its first 15
bytes. A process that changed its command name is found by the new one.

=item Threads, zombies and other namespaces on Linux

Only processes count: the identifier of a thread that is not its process's
main thread is never returned, even when its low 16 bits fit. A zombie or
dead process has ended and is not returned either. A process whose first
thread has ended while others run (F</proc> shows it as a zombie) still runs,
and is found. Inside a PID namespace
the identifiers are those of the namespace, as F</proc> shows them.

=item What a lookup costs on Linux

A lookup either lists F</proc> or asks the kernel about the 64 identifiers
that can carry the short one, whichever its own timings say is cheaper
here, so its cost stays flat as processes grow in number. Where the two
cost about the same and system calls are dear (under C<strace>, say, with
800 to 1 500 processes on the machine measured), it may cost up to half as
much again as the cheaper of them. Listing costs less when another listing
came just before, as the kernel's caches are then warm: a loop of lookups
can cost less each than one lookup alone.

=item Processes you cannot see

Only processes that the system lets the caller see count. On Linux, where
F</proc> is mounted with C<hidepid>, other users' processes are invisible
and never returned; on Windows, Toolhelp decides.

=item Which bytes are compared

Names are compared as bytes. On Windows they are the bytes of the ANSI code
page, as Toolhelp reports them; on Linux, the raw bytes of the file name,
which are usually UTF-8. The sought name is taken as the bytes that Perl
holds equal to it: a string that perl happens to store as UTF-8 gives the
same answer as its byte form, so C<"\x{e9}"> is the one byte 0xE9 either
way. Only a string with characters above 0xFF is passed as its UTF-8 bytes,
which matches Linux names in UTF-8. Encode a name yourself
(L<Encode/encode>) when the system's names use another encoding.

=item Letter case

Only the ASCII letters A to Z fold; other bytes, such as letters of a
Windows code page or UTF-8 sequences, must match exactly, whatever the
current locale.

=item Names end at a NUL byte

The name is used up to its first NUL byte, as the system's own strings are.

=item 0 also means "could not look"

When the process list cannot be read at all, the result is 0, as when no
process fits. Only then does the call change C<$!> (and C<$^E> on Windows),
to say why: for example F</proc> missing or not procfs, no file descriptor
left (C<EMFILE>), or a failed C<CreateToolhelp32Snapshot>. Otherwise C<$!>
and C<$^E> are left as they were, so to tell the two zeros apart, clear
C<$!> before the call and look at it when the result is 0:

    $! = 0;
    my $pid = MatchWin9xPid($short, $name);
    die "cannot read the process list: $!\n" if !$pid && $!;

=item Short identifiers written in hex

A log that shows the short identifier as hex, such as C<0x04D2> or C<4d2>,
gives a string that Perl reads as a decimal number (0, or 4, with a
warning). Convert it with C<hex()> first: C<MatchWin9xPid(hex($text), $name)>.

=item Fractions are cut

The identifier is converted as an unsigned integer, so 1234.9 seeks 1234.

=item Identifier 0

On Windows NT, 2000 and later, identifier 0 is the System Idle Process, and
its name is C<[System Process]>. C<MatchWin9xPid(0, ...)> returns 0 even when
it is found, since 0 is also the answer for "none"; a later process whose
identifier has the low 16 bits 0 is returned instead, if there is one.

=item Which Windows versions

The 32-bit DLL is built to load on

=over 4

=item *

Windows 95 with F<msvcrt.dll>, which an Internet Explorer or Winsock 2
update brings and every perl of its time needed;

=item *

Windows 98 and ME;

=item *

Windows NT 4.0 and 3.51, which have no Toolhelp: there the list comes
through the NT interface, C<NtQuerySystemInformation>;

=item *

Windows 2000 and later.

=back

The Toolhelp functions and C<NtQuerySystemInformation> are looked up when
called, so that a system that lacks one still loads the DLL; with neither,
the result is 0, C<$^E> is C<ERROR_CALL_NOT_IMPLEMENTED> and C<$!> is
C<ENOSYS>. The older loaders refuse what NT and Wine accept, and none of
those systems runs where the DLL is built, so this is checked from the file
itself: subsystem and OS version 4.0, no TLS directory, and imports from
F<KERNEL32.DLL>, F<msvcrt.dll> and the perl DLL alone, each a name that the
F<KERNEL32.DLL> of Windows 95 and of NT 4.0 exports, and the F<msvcrt.dll>
of Windows 98 SE and the older one that NT 4.0 installs.

=item One build for one perl, and its C runtime

The DLL is built for one perl: its version, its options (threads, 64-bit
integers) and its C runtime. Strawberry Perl 5.40 and later are linked
against the Universal C Runtime (UCRT); Strawberry 5.38 and older, and the
ActivePerls, against F<msvcrt.dll>. A DLL built for one is refused by the
other, with perl's own C<Can't load> or C<loadable library and perl
binaries are mismatched>. Install the module with the perl that will load
it (C<cpanm>, or C<perl Makefile.PL> and C<gmake> with that perl's own
compiler), and do not copy a built DLL from one perl to another. The UCRT
build imports the F<api-ms-win-crt-*.dll> names, which Windows 10 and later
have, and Windows 7 and 8.1 get from the Universal C Runtime update.

=item Names cut to 15 characters before Windows XP

Before XP the system keeps only the first 15 characters of a process's
name, very likely on NT 4.0 (and 3.51) and in Windows 2000's Toolhelp
alike. A longer name, such as F<LongProgramName.exe>, therefore cannot
match there, and the rule falls back to the first process with the short
identifier. Task Manager shows the names as the system keeps them: a name
cut there (F<LongProgramName>) is cut for this function too. On those
systems, seek the first 15 characters:

    my (undef, $major, $minor, undef, $id) = Win32::GetOSVersion();
    my $cut = $id == 2 && ($major < 5 || ($major == 5 && $minor == 0));
    my $pid = MatchWin9xPid($short, $cut ? substr($exe, 0, 15) : $exe);

Windows 95, 98 and ME keep the whole path, and XP and later the whole name.

=item Identifiers on Windows 9x

Windows 95, 98 and ME hand out large identifiers that usually have the high
bit set, such as 4290283651. The result is an unsigned number on every
system, never a negative one: print it with C<%u>, not C<%d>.

=item Your own process on Windows 9x

There, perl 5.6's own C<$$> is not the identifier that Toolhelp reports: its
C<getpid> negates an identifier that has the high bit set, so the process's
own identifier is C<2**32 - $$>. On 9x the executable's name is also the
full path, which C<$^X> holds. To find the running script's own process on
every system:

    my $pid = $$;
    $pid = 2**32 - $pid if $^O eq 'MSWin32' && defined &Win32::IsWin95 && Win32::IsWin95();
    my ($exe) = $^X =~ /([^\\\/]+)$/;
    my $found = MatchWin9xPid($pid & 0xFFFF, $exe);    # == $pid

=item Threads of the interpreter

The function keeps no state and takes no locks, so it is safe to call from
several interpreter threads (L<threads>) at once, and from a forked child.

=item A child of fork on Windows

Perl's C<fork> on Windows is emulated: the child is an interpreter thread of
the parent's process, and its C<$$> is a negative number that names no
process. The process it runs in is the parent's, so take C<$$> before the
fork:

    my $process = $$;    # the process that parent and child share
    if (!fork) {
        my ($exe) = $^X =~ /([^\\\/]+)$/;
        my $found = MatchWin9xPid($process & 0xFFFF, $exe);    # == $process
        exit;
    }

The L<Win32> module's C<Win32::GetCurrentProcessId()>, where it has it,
gives the same number in the child.

=back

=head1 SEE ALSO

L<Win32::Process::Info>, L<Proc::ProcessTable>, and the Toolhelp functions
C<CreateToolhelp32Snapshot>, C<Process32First> and C<Process32Next> in the
Windows documentation, and C<NtQuerySystemInformation> for NT 4.0;
L<proc(5)> on Linux.

=head1 AUTHOR

The Win32::Varrokit::Varrokit9x developers.

=head1 LICENSE

This library is free software; you can redistribute it and/or modify it
under the same terms as Perl itself (either the GNU General Public License,
version 1 or later, or the Artistic License).

=cut
