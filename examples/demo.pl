#!/usr/bin/perl
# Looks up this very process from the low 16 bits of its identifier.
use strict;
use warnings;

use File::Basename qw(basename);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

my $short = $$ & 0xFFFF;
my $name  = basename($^X);
my $found = MatchWin9xPid($short, $name);
printf "short identifier %u, name %s: found process %u (this process is %u)\n",
    $short, $name, $found, $$;
exit($found == $$ ? 0 : 1);
