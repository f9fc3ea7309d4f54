# Loads the module built here into a perl of another binary interface (a
# different version, threads or not), which must refuse it with a message of
# its own, and not crash or misread its structures. Perl refuses in one of
# two ways: its dynamic loader finds the module's symbols missing, which
# require reports as an error the caller can catch; or the handshake finds
# the key wrong, and then perl, which cannot trust the interpreter the
# module would use, prints why and exits with 1.
#
#   perl foreign_perl.pl OTHER_PERL BUILD_DIR
use strict;
use warnings;

my ($other_perl, $build) = @ARGV;
my $code = 'eval { require Win32::Varrokit::Varrokit9x } ? print "loaded\n" : print "refused: $@"';
my $output = `"$other_perl" -Mblib="$build" -e '$code' 2>&1`;
my $status = $?;
print $output;

my $refused_by_loader = $status == 0 && $output =~ /^refused: Can't load .* undefined symbol/m;
my $refused_by_handshake = $status == 1 << 8
    && $output =~ /^\S+: loadable library and perl binaries are mismatched \(got .*handshake key/m;
my $fault = $status & 127                              ? 'it crashed (signal ' . ($status & 127) . ')'
          : !$refused_by_loader && !$refused_by_handshake ? "it was not refused with perl's message"
          :                                                '';
print $fault ? "FAULT: $fault\n" : "refused, as it must be\n";
exit($fault ? 1 : 0);
