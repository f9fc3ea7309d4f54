#!/usr/bin/perl
# Prints the median cost in microseconds of one MatchWin9xPid call made from
# Perl, for the short identifier and name given as arguments.
use strict;
use warnings;

use Time::HiRes qw(time);
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);

my ($seek, $name) = @ARGV;
my $calls = 1;
while (1) {
    my $start = time;
    MatchWin9xPid($seek, $name) for 1 .. $calls;
    last if time - $start > 0.02;
    $calls *= 2;
}
my @rounds;
for (1 .. 15) {
    my $start = time;
    MatchWin9xPid($seek, $name) for 1 .. $calls;
    push @rounds, (time - $start) / $calls * 1e6;
}
@rounds = sort { $a <=> $b } @rounds;
printf "%.2f\n", $rounds[@rounds / 2];
