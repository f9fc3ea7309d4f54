package StressLevel;

# How hard a stress loop pushes. A user's `make test` runs the install
# level, sized so that each kind of fault the loop looks for still shows;
# EXTENDED_TESTING=1 runs the full loops, as CI does on the perls where they
# find the most.

use strict;
use warnings;

use Exporter;
use vars qw(@ISA @EXPORT_OK);
@ISA       = ('Exporter');
@EXPORT_OK = qw(sized counted);

# sized(INSTALL, EXTENDED): the value for this run's level.
sub sized { return $ENV{EXTENDED_TESTING} ? $_[1] : $_[0] }

# counted(N): N as a test's name says it, 20000 as "20,000".
sub counted {
    my ($number) = @_;
    1 while $number =~ s/^(\d+)(\d{3})/$1,$2/;
    return $number;
}

1;
