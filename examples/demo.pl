#!/usr/bin/perl
# Looks up this very process from the low 16 bits of its identifier.
use strict;
use warnings;

use File::Basename qw(basename);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

# On Windows 9x, perl 5.6's $$ is the negated identifier (see CAVEATS).
my $pid = $$;
$pid = 2**32 - $pid if $^O eq 'MSWin32' && defined &Win32::IsWin95 && Win32::IsWin95();

my $short = $pid & 0xFFFF;
my $name  = basename($^X);
my $found = MatchWin9xPid($short, $name);
printf "short identifier %u, name %s: found process %u (this process is %u)\n",
    $short, $name, $found, $pid;
exit($found == $pid ? 0 : 1);
