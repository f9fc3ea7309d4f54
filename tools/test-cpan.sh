#!/usr/bin/env bash
# Builds, tests and installs the module the way Perl users do: MakeMaker,
# make test, make dist with its checks, and cpanm into a local lib, offline.
# Then the tarball that make dist wrote is unpacked and built by each PERL
# given, with the MakeMaker it ships:
#
#   tools/test-cpan.sh [PERL...]
set -euo pipefail
cd "$(dirname "$0")/.."

dist=Win32-Varrokit-Varrokit9x-0.01
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"; make realclean >/dev/null 2>&1 || true; rm -rf "$dist" "$dist.tar.gz"' EXIT

perl Makefile.PL
make
make test

# Nothing missing from the tree and nothing in it left out of MANIFEST.
perl -MExtUtils::Manifest=fullcheck -e 'my ($missing, $extra) = fullcheck(); exit(@$missing || @$extra)'
podchecker lib/Win32/Varrokit/Varrokit9x.pm
RELEASE_TESTING=1 prove xt/

make dist
make disttest
cpanm --local-lib "$scratch/local" "./$dist.tar.gz"
perl -I"$scratch/local/lib/perl5" -MWin32::Varrokit::Varrokit9x=MatchWin9xPid -e '
    my $found = MatchWin9xPid($$ & 0xFFFF, "perl");
    print "installed with cpanm: found $found, this perl is $$\n";
    exit($found == $$ ? 0 : 1)'

# What an old perl lacks to configure and test the distribution, as a user
# would install it: ExtUtils::CppGuess and Capture::Tiny (pure Perl, copied
# from the host's), and a Test::More with subtest and done_testing.
mkdir -p "$scratch/configure/ExtUtils" "$scratch/configure/Capture"
for module in ExtUtils/CppGuess.pm Capture/Tiny.pm; do
    cp "$(perl -e 'my $file = shift; require $file; print $INC{$file}' "$module")" \
        "$scratch/configure/$module"
done
test_more=$(tools/perl-cache.sh test-more)

for target in "$@"; do
    version=$("$target" -e 'printf "%vd", $^V')
    echo "== the tarball with perl $version ($target)"
    lib=()
    "$target" -MExtUtils::CppGuess -e1 2>/dev/null || lib+=("$scratch/configure")
    "$target" -e 'use Test::More 0.98; 1' 2>/dev/null || lib+=("$test_more")
    rm -rf "$scratch/unpacked" && mkdir "$scratch/unpacked"
    tar xzf "$dist.tar.gz" -C "$scratch/unpacked"
    (
        cd "$scratch/unpacked/$dist"
        export PERL5LIB
        PERL5LIB=$(IFS=:; echo "${lib[*]}")
        "$target" Makefile.PL 2>&1 | tee makefile.log
        # MakeMaker names the keys it does not know in a warning.
        ! grep -E "is not a known parameter|Unrecognized argument" makefile.log
        make
        make test
    )
done
