#!/usr/bin/env bash
# Builds, tests and installs the module the way Perl users do: MakeMaker,
# make test, make dist with its checks, and cpanm into a local lib, offline.
# Then the tarball that make dist wrote is unpacked and built by each PERL
# given, with the MakeMaker it ships, and made again after a realclean. A
# Windows perl is named by its workflow (windows-x64, windows-x86,
# windows-x86-5.8.9): the tarball is installed inside it, under Wine, as a
# Windows user does (tools/windows-cpan.sh).
#
#   tools/test-cpan.sh [PERL | windows-WORKFLOW]...
#
# What cannot run here is named at the end, and added to the file that
# VARROKIT_SKIPPED_FILE names, if any.
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

skipped=()
for target in "$@"; do
    if [[ $target = windows-* ]]; then
        status=0
        tools/windows-cpan.sh "$target" "$dist.tar.gz" 2>&1 | tee "$scratch/route.log" || status=$?
        if [ $status = 77 ]; then
            skipped+=("the CPAN tarball inside $target's perl: $(tail -1 "$scratch/route.log")")
        elif [ $status != 0 ]; then
            exit $status
        fi
        continue
    fi
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
        # The distribution's own ppport.h survives, and the next build needs no Devel::PPPort.
        make realclean >/dev/null
        [ -f module/ppport.h ] || { echo "make realclean deleted the shipped module/ppport.h"; exit 1; }
    )
done
if [ ${#skipped[@]} -gt 0 ]; then
    printf 'SKIPPED: %s\n' "${skipped[@]}"
    [ -z "${VARROKIT_SKIPPED_FILE:-}" ] || printf '%s\n' "${skipped[@]}" >>"$VARROKIT_SKIPPED_FILE"
fi
