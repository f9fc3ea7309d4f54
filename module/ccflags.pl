# The target perl's compile flags as the module takes them, for Makefile.PL
# and the CMake build alike: all but the C standard the perl is written in
# (-std=c99 from 5.40 on), which g++ warns about for every file of a C++17
# module.
#
#   perl module/ccflags.pl FLAGS        prints them
use strict;

sub module_ccflags {
    my ($flags) = @_;
    $flags =~ s/(^|\s)-std=\S+//g;
    return $flags;
}

print module_ccflags($ARGV[0]), "\n" unless caller;
1;
