#!/usr/bin/perl
# Makes lookups from Perl for bench/lookup_bench, for the short identifier
# and name given as arguments, one of two ways:
#   library    MatchWin9xPid
#   proctable  a loop over Proc::ProcessTable by the same rule, as a Perl
#              programmer would write it without the library
# Prints "ready", or "-" when the way cannot be had here. Then, for each
# number N read from standard input, makes N lookups and prints the last
# answer and the microseconds one lookup took.
use strict;
use warnings;

use Time::HiRes qw(time);

my ($way, $seek, $name) = @ARGV;
my $lookup;
if ($way eq 'library') {
    require Win32::Varrokit::Varrokit9x;
    $lookup = \&Win32::Varrokit::Varrokit9x::MatchWin9xPid;
}
elsif ($way eq 'proctable') {
    unless (eval { require Proc::ProcessTable; 1 }) { print "-\n"; exit }
    my $table = Proc::ProcessTable->new;
    $lookup = sub {
        my ($seek, $name) = @_;
        (my $base = $name) =~ s/.*\\//s;
        my $found = 0;
        for my $process (@{ $table->table }) {
            next if ($process->pid & 0xFFFF) != $seek;
            (my $fname = $process->fname) =~ s/.*\\//s;
            $found = $process->pid if !$found || lc $fname eq lc $base;
        }
        return $found;
    };
}
else { die "unknown way $way\n" }

$| = 1;
print "ready\n";
while (my $calls = <STDIN>) {
    my $found;
    my $start = time;
    $found = $lookup->($seek, $name) for 1 .. $calls;
    printf "%d %.3f\n", $found, (time - $start) / $calls * 1e6;
}
