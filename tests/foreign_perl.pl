# Loads the module built here into a perl of another binary interface (a
# different version, threads or not, another C runtime), which must refuse
# it with a message of its own, and not crash or misread its structures.
# The module is put where that perl looks, under the name it looks for
# (NAME.dll, NAME.xs.dll, NAME.so), so that the refusal is the loader's or
# the handshake's, never a file not found. Perl refuses in one of two
# ways: its dynamic loader cannot load the module (symbols missing on
# Linux, the other version's perlNN.dll on Windows), which require reports
# as an error the caller can catch; or the handshake finds the key wrong,
# and then perl, which cannot trust the interpreter the module would use,
# prints why and exits with 1.
#
#   perl foreign_perl.pl BUILD_DIR -- OTHER_PERL_COMMAND...
#
# The command runs the other perl, under Wine for a Windows one.
use strict;
use warnings;
use File::Copy qw(copy);
use File::Path qw(mkpath rmtree);

my ($build, $separator, @other_perl) = @ARGV;
die "usage: $0 BUILD_DIR -- OTHER_PERL_COMMAND...\n" unless @other_perl and $separator eq '--';

my $auto = 'auto/Win32/Varrokit/Varrokit9x';
my @built = grep { -f and !/\.bs$/ } glob "$build/blib/arch/$auto/Varrokit9x.*";
die "FAULT: no module built in $build/blib/arch/$auto\n" unless @built == 1;

# Both streams: perl prints a failed handshake on STDERR.
sub run_other {
    my @code = @_;
    my $child = open my $run, '-|';
    die "fork: $!\n" unless defined $child;
    if (!$child) {
        open STDERR, '>&', \*STDOUT or die "STDERR: $!\n";
        exec @other_perl, @code or die "$other_perl[0]: $!\n";
    }
    my $output = do { local $/; <$run> };
    close $run;
    return ($?, $output);
}

my ($status, $dlext) = run_other('-MConfig', '-e', 'print $Config{dlext}');
die "FAULT: @other_perl could not say its dlext\n" if $status or $dlext !~ /^[\w.]+$/;
my $tree = "$build/foreign-perl";
rmtree($tree);
mkpath(["$tree/arch/$auto", "$tree/lib/Win32/Varrokit"]);
copy($built[0], "$tree/arch/$auto/Varrokit9x.$dlext") or die "copy $built[0]: $!\n";
copy("$build/blib/lib/Win32/Varrokit/Varrokit9x.pm", "$tree/lib/Win32/Varrokit/") or die "copy the .pm: $!\n";

my $code = 'eval { require Win32::Varrokit::Varrokit9x } ? print "loaded\n" : print "refused: $@"';
($status, my $output) = run_other("-I$tree/arch", "-I$tree/lib", '-e', $code);
rmtree($tree);
print $output;

my $refused_by_loader = $status == 0
    && $output =~ /^refused: Can't load '[^']*' for module Win32::Varrokit::Varrokit9x\b/m;
my $refused_by_handshake = $status == 1 << 8
    && $output =~ /^\S+: loadable library and perl binaries are mismatched \(got .*handshake key/m;
my $fault = $status & 127                              ? 'it crashed (signal ' . ($status & 127) . ')'
          : !$refused_by_loader && !$refused_by_handshake ? "it was not refused with perl's message"
          :                                                '';
print $fault ? "FAULT: $fault\n" : "refused, as it must be\n";
exit($fault ? 1 : 0);
