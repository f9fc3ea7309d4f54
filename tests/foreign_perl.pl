# Loads the module built here into a perl of another binary interface (a
# different version, threads or not), which must refuse it with a message of
# its own, and not crash or misread its structures. Perl refuses in one of
# two ways: its dynamic loader cannot load the module (symbols missing on
# Linux, the other version's perlNN.dll on Windows), or finds none where the
# perls name their modules differently (NAME.dll, NAME.xs.dll), which
# require reports as an error the caller can catch; or the handshake finds
# the key wrong, and then perl, which cannot trust the interpreter the
# module would use, prints why and exits with 1.
#
#   perl foreign_perl.pl BUILD_DIR -- OTHER_PERL_COMMAND...
#
# The command runs the other perl, under Wine for a Windows one.
use strict;
use warnings;

my ($build, $separator, @other_perl) = @ARGV;
die "usage: $0 BUILD_DIR -- OTHER_PERL_COMMAND...\n" unless @other_perl and $separator eq '--';
my $code = 'eval { require Win32::Varrokit::Varrokit9x } ? print "loaded\n" : print "refused: $@"';
# Both streams: perl prints a failed handshake on STDERR.
my $child = open my $run, '-|';
die "fork: $!\n" unless defined $child;
if (!$child) {
    open STDERR, '>&', \*STDOUT or die "STDERR: $!\n";
    exec @other_perl, "-I$build/blib/arch", "-I$build/blib/lib", '-e', $code
        or die "$other_perl[0]: $!\n";
}
my $output = do { local $/; <$run> };
close $run;
my $status = $?;
print $output;

my $refused_by_loader = $status == 0
    && $output =~ /^refused: Can't (?:load '[^']*'|locate loadable object) for module Win32::Varrokit::Varrokit9x\b/m;
my $refused_by_handshake = $status == 1 << 8
    && $output =~ /^\S+: loadable library and perl binaries are mismatched \(got .*handshake key/m;
my $fault = $status & 127                              ? 'it crashed (signal ' . ($status & 127) . ')'
          : !$refused_by_loader && !$refused_by_handshake ? "it was not refused with perl's message"
          :                                                '';
print $fault ? "FAULT: $fault\n" : "refused, as it must be\n";
exit($fault ? 1 : 0);
