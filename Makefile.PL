use 5.006;
use strict;
use warnings;

use Config ();
use ExtUtils::MakeMaker;

# One process-list source per system; elsewhere the module has nothing to
# read, which CPAN clients take as "not applicable", not as a failure.
my %source_folder = (linux => 'linux', MSWin32 => 'windows');
my $folder = $source_folder{$^O};
unless ($folder) {
    print "OS unsupported\n";
    exit 0;
}

require ExtUtils::CppGuess;
my $guess = ExtUtils::CppGuess->new;
my %cpp = $guess->makemaker_options;
require './module/ccflags.pl';
$cpp{CCFLAGS} = module_ccflags($cpp{CCFLAGS});
my $gnu = $guess->is_gcc || $guess->is_clang;

# The folders are the list of sources, as in the CMake build: every .cpp in
# module/ and lookup/ and in their folders for this system.
my @sources = map { glob "$_/*.cpp" } 'module', "module/$folder", 'lookup', "lookup/$folder";
my @objects = map { (my $object = $_) =~ s/\.cpp$/\$(OBJ_EXT)/; $object } @sources;

# ppport.h ships with the distribution, as Devel::PPPort advises: the perl
# that builds it may have no Devel::PPPort (5.6 has none), or an old one. A
# clone has none yet, and writes it with this perl's own, which must provide
# what the module uses (SVfARG, for one, which 5.8.9's lacks).
unless (-e 'module/ppport.h') {
    my $needed = '3.31';
    unless (eval { require Devel::PPPort; Devel::PPPort->VERSION($needed) }) {
        my $have = $Devel::PPPort::VERSION ? "has $Devel::PPPort::VERSION" : 'has none';
        die "A clone needs Devel::PPPort $needed or later to write module/ppport.h, and this perl $have.\n"
          . "Install a newer Devel::PPPort, or build from the release tarball, which ships ppport.h.\n";
    }
    Devel::PPPort::WriteFile('module/ppport.h');
}

my (@cc_flags, @ld_flags);
# Headers of perls before 5.18 declare `register` variables, which C++17
# dropped (a warning in each use for g++, an error for clang++), and some
# glue string literals to macros without a space.
push @cc_flags, qw(-std=c++17 -fvisibility=hidden -fvisibility-inlines-hidden -fno-exceptions -Wno-register)
    if $gnu;
push @cc_flags, '-Wno-literal-suffix' if $guess->is_gcc;
if ($^O eq 'linux') {
    # The same export list as the CMake build: the two boot names alone.
    push @ld_flags, '-Wl,--version-script=module/Varrokit9x.map',
        '-Wl,--defsym=_boot_Win32__Varrokit__Varrokit9x=boot_Win32__Varrokit__Varrokit9x';
}
elsif ($gnu) {
    # The perl may carry its own libstdc++, libgcc and winpthread DLLs, from
    # another compiler: link ours in, so that theirs are never loaded. Only
    # -static does it whatever -l options come first (ExtUtils::CppGuess
    # names -lstdc++ before any -static-libstdc++ could take effect); the
    # perl and the system DLLs come through import libraries, archives too.
    push @ld_flags, '-static';
}

# On Windows MakeMaker writes the export list: boot_... from DL_FUNCS, and
# the underscored name as an alias of it. Perls before 5.16 add that alias
# themselves.
my @aliases = $] >= 5.016
    ? ('_boot_Win32__Varrokit__Varrokit9x = boot_Win32__Varrokit__Varrokit9x')
    : ();

my %arguments = (
    NAME             => 'Win32::Varrokit::Varrokit9x',
    VERSION_FROM     => 'lib/Win32/Varrokit/Varrokit9x.pm',
    ABSTRACT_FROM    => 'lib/Win32/Varrokit/Varrokit9x.pm',
    AUTHOR           => 'The Win32::Varrokit::Varrokit9x developers',
    LICENSE          => 'perl_5',
    MIN_PERL_VERSION => '5.006',
    CONFIGURE_REQUIRES => {
        'ExtUtils::MakeMaker' => '6.48',    # the oldest tried: perl 5.8.9's
        'ExtUtils::CppGuess'  => '0.14',    # is_clang
    },
    TEST_REQUIRES => { 'Test::More' => '0.98' },
    PREREQ_PM     => { 'XSLoader' => 0, 'Exporter' => 0 },
    %cpp,
    CCFLAGS   => join(' ', $cpp{CCFLAGS}, @cc_flags),
    dynamic_lib => {
        OTHERLDFLAGS => join(' ', $cpp{dynamic_lib}{OTHERLDFLAGS} || '', @ld_flags),
    },
    INC       => "-Imodule -Ilookup -Ilookup/$folder",
    OBJECT    => join(' ', @objects),
    XS        => {},
    C         => [],
    FUNCLIST  => \@aliases,
    DL_FUNCS  => { 'Win32::Varrokit::Varrokit9x' => [] },
    clean     => { FILES => join(' ', @objects) },
    test      => { TESTS => 't/*.t' },
    dist      => { COMPRESS => 'gzip -9f', SUFFIX => 'gz' },
    META_MERGE => {
        'meta-spec' => { version => 2 },
        resources   => {
            license => ['http://dev.perl.org/licenses/'],
        },
        no_index => { directory => [qw(t xt lookup module examples)] },
        prereqs  => {
            develop => { requires => { 'Test::Pod' => '1.22' } },
        },
    },
);

# realclean takes away the ppport.h that a clone wrote, never the one that a
# distribution (made by make dist, with its META files) ships.
my $distribution = -e 'META.json' || -e 'META.yml';
$arguments{realclean} = { FILES => 'module/ppport.h' } unless $distribution;

# Older MakeMakers warn about keys they do not know. TEST_REQUIRES (6.64)
# goes into PREREQ_PM; CONFIGURE_REQUIRES (6.52) and META_MERGE in version 2
# of the META format (6.68) only serve the release, which a newer perl makes.
(my $makemaker = ExtUtils::MakeMaker->VERSION) =~ tr/_//d;
if ($makemaker < 6.64) {
    my $test = delete $arguments{TEST_REQUIRES};
    $arguments{PREREQ_PM} = { %{ $arguments{PREREQ_PM} }, %$test };
}
delete $arguments{CONFIGURE_REQUIRES} if $makemaker < 6.52;
delete $arguments{META_MERGE}         if $makemaker < 6.68;

WriteMakefile(%arguments);

# Objects live beside their sources, in module/ and lookup/; MakeMaker's
# rules would leave them in the top folder.
package MY;

sub c_o {
    my $self = shift;
    my $rules = $self->SUPER::c_o(@_);
    # xs_obj_opt came with MakeMaker 7.12; before it, only MSVC's cl differs.
    my $output = $self->can('xs_obj_opt') ? $self->xs_obj_opt('$*$(OBJ_EXT)')
               : $Config::Config{cc} =~ /^cl\b/i ? '-Fo$*$(OBJ_EXT)'
               : '-o $*$(OBJ_EXT)';
    $rules =~ s/(\$\*\.cpp)\n/$1 $output\n/ unless $rules =~ /\$\*\.cpp \Q$output\E/;
    return $rules;
}
