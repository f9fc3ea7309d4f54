#!/usr/bin/perl
# Prints the median cost in microseconds of one lookup made from Perl, for the
# short identifier and name given as arguments, made one of two ways:
#   library    MatchWin9xPid
#   proctable  a loop over Proc::ProcessTable by the same rule, as a Perl
#              programmer would write it without the library
# Prints "-" when the way cannot be had here.
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

my $calls = 1;
while (1) {
    my $start = time;
    $lookup->($seek, $name) for 1 .. $calls;
    last if time - $start > 0.02;
    $calls *= 2;
}
my @rounds;
for (1 .. 15) {
    my $start = time;
    $lookup->($seek, $name) for 1 .. $calls;
    push @rounds, (time - $start) / $calls * 1e6;
}
@rounds = sort { $a <=> $b } @rounds;
printf "%.2f\n", $rounds[@rounds / 2];
