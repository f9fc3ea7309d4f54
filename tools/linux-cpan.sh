#!/usr/bin/env bash
# Builds the release tarball as a user of another perl does: unpacked, then
# perl Makefile.PL with the MakeMaker that perl ships, make and make test.
# What an old perl lacks to configure and test it is given as a user would
# install it: ExtUtils::CppGuess and Capture::Tiny (pure Perl, copied from
# the host's), and a Test::More with subtest and done_testing.
#
#   tools/linux-cpan.sh PERL TARBALL
#
# Exits 77, saying why, where it cannot run here.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
perl_under_test=${1:?which perl}
tarball=$(realpath "${2:?the release tarball}")
dist=$(basename "$tarball" .tar.gz)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

lib=()
if ! "$perl_under_test" -MExtUtils::CppGuess -e1 2>/dev/null; then
    mkdir -p "$scratch/configure/ExtUtils" "$scratch/configure/Capture"
    for module in ExtUtils/CppGuess.pm Capture/Tiny.pm; do
        cp "$(perl -e 'my $file = shift; require $file; print $INC{$file}' "$module")" \
            "$scratch/configure/$module"
    done
    lib+=("$scratch/configure")
fi
if ! "$perl_under_test" -e 'use Test::More 0.98; 1' 2>/dev/null; then
    status=0
    test_more=$("$here/tools/perl-cache.sh" test-more 2>"$scratch/why") || status=$?
    [ $status = 0 ] || { cat "$scratch/why" >&2; exit $((status == 2 ? 77 : 1)); }
    lib+=("$test_more")
fi

echo "== the tarball with perl $("$perl_under_test" -e 'printf "%vd", $^V') ($perl_under_test)"
tar xzf "$tarball" -C "$scratch"
cd "$scratch/$dist"
export PERL5LIB
PERL5LIB=$(IFS=:; echo "${lib[*]}")
"$perl_under_test" Makefile.PL 2>&1 | tee makefile.log
# MakeMaker names the keys it does not know in a warning.
if grep -E "is not a known parameter|Unrecognized argument" makefile.log; then exit 1; fi
make
make test
# The distribution's own ppport.h survives, and the next build needs no Devel::PPPort.
make realclean >/dev/null
[ -f module/ppport.h ] || { echo "make realclean deleted the shipped module/ppport.h"; exit 1; }
