# Installs the binary package the way PPM does, into a scratch copy of the
# perl's site library, and runs t/ against the installed copy, with no blib
# on @INC; then shows that a perl of another version refuses the package:
#
#   perl ppm_install.pl PPD T_DIR [-I DIR]... -- PERL_COMMAND... [-- OTHER_PERL_COMMAND...]
#
# PERL_COMMAND runs the target perl (under Wine); -I adds to its @INC what
# the tests need beside the module, such as a newer Test::More.
use strict;
use warnings;

use Archive::Tar;
use File::Basename qw(dirname);
use File::Copy qw(copy);
use File::Find qw(find);
use File::Path qw(mkpath);
use File::Temp qw(tempdir);
use TAP::Harness;

my ($ppd, $t_dir, @rest) = @ARGV;
my (@inc, @perl);
while (@rest and $rest[0] ne '--') { shift @rest; push @inc, '-I' . shift @rest }
shift @rest;
push @perl, shift @rest while @rest and $rest[0] ne '--';
my @other_perl = @rest ? @rest[1 .. $#rest] : ();
die "usage: $0 PPD T_DIR [-I DIR]... -- PERL_COMMAND... [-- OTHER_PERL_COMMAND...]\n" unless @perl;

my $description = do { local (@ARGV, $/) = $ppd; <> };
my ($architecture) = $description =~ /<ARCHITECTURE NAME="([^"]*)"/ or die "$ppd: no ARCHITECTURE\n";
my ($codebase) = $description =~ /<CODEBASE HREF="([^"]+)"/ or die "$ppd: no CODEBASE\n";

# PPM refuses a package built for another architecture, which names the
# perl's version from 5.8 on, as its `make ppd` writes it.
my $ask_architecture = q{print $Config{archname}, ($] >= 5.008 ? '-' . substr($Config{version}, 0, 3) : ''), "\n";};
if (@other_perl) {
    my ($other) = split /\r?\n/, ask_perl($ask_architecture, @other_perl, '-MConfig');
    die "a perl for $other would install a package for $architecture\n" if $other eq $architecture;
    print "a perl for $other refuses the package for $architecture\n";
}
my ($archname, @site) = split /\r?\n/, ask_perl($ask_architecture . q{print "$_\n" for grep { m{site[\\\\/]lib$}i } @INC});
die "the package is for $architecture, the perl is $archname\n" unless $architecture eq $archname;
die "the perl has no site library on \@INC\n" unless @site;
my $site = linux_path($site[0]);

# The scratch copy of the site library, then blib/lib and blib/arch into it.
my $scratch = tempdir(CLEANUP => 1);
my $installed = "$scratch/site/lib";
copy_tree($site, $installed);
my $archive = Archive::Tar->new(dirname($ppd) . "/$codebase") or die "$codebase: " . Archive::Tar->error . "\n";
my $unpacked = "$scratch/package";
mkpath($unpacked);
$archive->setcwd($unpacked);
$archive->extract or die "$codebase: " . $archive->error . "\n";
copy_tree("$unpacked/blib/$_", $installed) for qw(lib arch);

my @with_installed = (@perl, "-I$installed", @inc);
my $loaded = ask_perl('require Win32::Varrokit::Varrokit9x; print $INC{"Win32/Varrokit/Varrokit9x.pm"}',
                      @with_installed);
print "installed into $installed; perl loads $loaded\n";
die "the module came from $loaded, not from the installed copy\n" unless linux_path($loaded) =~ /^\Q$scratch/;

my $harness = TAP::Harness->new({ exec => \@with_installed });
my $aggregate = $harness->runtests(sort glob "$t_dir/*.t");
exit($aggregate->all_passed ? 0 : 1);

sub ask_perl {
    my ($code, @command) = @_;
    @command = (@perl, '-MConfig') unless @command;
    open my $answer, '-|', @command, '-e', $code or die "$command[0]: $!\n";
    my $text = do { local $/; <$answer> };
    close $answer or die "@command -e '$code' failed\n";
    return $text;
}

# Wine maps drive Z: to the root of the Linux file system.
sub linux_path {
    my ($path) = @_;
    $path =~ s{^[Zz]:}{};
    $path =~ tr{\\}{/};
    return $path;
}

sub copy_tree {
    my ($from, $to) = @_;
    mkpath($to);
    find({ no_chdir => 1, wanted => sub {
        (my $target = $File::Find::name) =~ s/^\Q$from/$to/;
        if (-d) { mkpath($target) }
        else    { copy($_, $target) or die "copy $_ to $target: $!\n" }
    } }, $from);
}
