use strict;
use warnings;

use Test::More;
use Config;
use File::Spec;
use File::Temp ();

# Each case runs the bootstrap entry in a fresh interpreter, through the same
# DynaLoader calls that XSLoader makes, so no case sees another's package
# variables or registered function.

my ($object) = grep { -f } map { "$_/auto/Win32/Varrokit/Varrokit9x/Varrokit9x.$Config{dlext}" } @INC;
plan skip_all => 'the built module is not on @INC' unless $object;

my $package = 'Win32::Varrokit::Varrokit9x';

my $script = File::Spec->catfile(File::Temp::tempdir(CLEANUP => 1), 'bootstrap.pl');

# Runs $setup, then the bootstrap with the arguments in $args (Perl source);
# returns what the child printed: "ok <result> <registered?>" or "died: $@".
sub bootstrap_with {
    my ($setup, $args) = @_;
    open my $out, '>', $script or die "$script: $!";
    print {$out} <<"END";
no warnings;
require DynaLoader;
$setup;
my \$lib = DynaLoader::dl_load_file(\$ARGV[0], 0) or die DynaLoader::dl_error();
my \$sym = DynaLoader::dl_find_symbol(\$lib, 'boot_Win32__Varrokit__Varrokit9x') or die;
my \$boot = DynaLoader::dl_install_xsub('Handshake::Test::bootstrap', \$sym, \$ARGV[0]);
my \$result = eval { \$boot->($args) };
my \$registered = defined &Win32::Varrokit::Varrokit9x::MatchWin9xPid ? 'registered' : 'absent';
print defined \$result ? "ok \$result \$registered" : "died: \$@\$registered";
END
    close $out or die "$script: $!";
    my $command = qq{"$^X" "$script" "$object"};
    # Perl 5.6 on Windows hands the line to cmd.exe whole, which strips the
    # outer quotes of a line that begins with one: give it a pair to strip.
    $command = qq{"$command"} if $^O eq 'MSWin32' && $] < 5.008;
    return scalar `$command`;
}

sub mismatch {
    my ($pkg, $named, $shown) = @_;
    return "died: $pkg object version 0.01 does not match $named $shown at $script line 7.\nabsent";
}

subtest 'version passed as the bootstrap parameter' => sub {
    is(bootstrap_with('', qq{'$package', '0.01'}), 'ok 1 registered', '0.01 passes and returns true');
    is(bootstrap_with('', qq{'$package', 0.01}), 'ok 1 registered', 'the number 0.01 passes');
    is(bootstrap_with('', qq{'$package', '0.010'}), mismatch($package, 'bootstrap parameter', '0.010'),
        'strings are compared, not numbers');
    is(bootstrap_with('', qq{'$package', '0.01_01'}),
        mismatch($package, 'bootstrap parameter', '0.01_01'), 'no underscore rule');
    is(bootstrap_with('', qq{'$package', '0.02'}), mismatch($package, 'bootstrap parameter', '0.02'),
        'another version fails and registers nothing');
    is(bootstrap_with('', qq{'$package', undef}), mismatch($package, 'bootstrap parameter', ''),
        'an undefined parameter fails');
    is(bootstrap_with(qq{\$${package}::XS_VERSION = '0.02'}, qq{'$package', '0.01'}), 'ok 1 registered',
        'the parameter wins over the package variables');
};

subtest 'version found in the package variables' => sub {
    is(bootstrap_with(qq{\$${package}::XS_VERSION = '0.01'; \$${package}::VERSION = 9}, qq{'$package'}),
        'ok 1 registered', 'XS_VERSION is consulted before VERSION');
    is(bootstrap_with(qq{\$${package}::XS_VERSION = '0.02'}, qq{'$package'}),
        mismatch($package, "\$${package}::XS_VERSION", '0.02'), 'a wrong XS_VERSION is named');
    is(bootstrap_with(qq{\$${package}::VERSION = '0.02'}, qq{'$package'}),
        mismatch($package, "\$${package}::VERSION", '0.02'), 'a wrong VERSION is named');
    is(bootstrap_with(qq{\$${package}::XS_VERSION = undef; \$${package}::VERSION = '0.01'}, qq{'$package'}),
        'ok 1 registered', 'an undefined XS_VERSION falls back to VERSION');
    is(bootstrap_with(qq{\$${package}::VERSION = undef}, qq{'$package'}),
        mismatch($package, "\$${package}::VERSION", ''), 'an undefined VERSION fails');
    is(bootstrap_with(qq{\$Other::Name::VERSION = '0.3'}, q{'Other::Name'}),
        mismatch('Other::Name', '$Other::Name::VERSION', '0.3'),
        'the variables and the message follow the package name given');
};

subtest 'no version to compare' => sub {
    is(bootstrap_with('', qq{'$package'}), 'ok 1 registered', 'neither variable exists');
    is(bootstrap_with(qq{\$${package}::XS_VERSION = undef}, qq{'$package'}), 'ok 1 registered',
        'XS_VERSION undefined and no VERSION');
};

like(bootstrap_with('', ''), qr/^died: Usage: Win32::Varrokit::Varrokit9x::bootstrap\(package, \.\.\.\) at /,
    'a call without the package name croaks instead of reading past the stack');

done_testing;
