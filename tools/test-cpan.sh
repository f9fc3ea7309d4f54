#!/usr/bin/env bash
# Builds, tests and installs the module the way Perl users do, with the
# system perl: MakeMaker, make test, make dist with its checks, and cpanm
# into a local lib, offline. Leaves the release tarball in DIR, for the
# routes that build it with other perls (tools/linux-cpan.sh and
# tools/windows-cpan.sh). It works in a copy of the files git tracks, so
# that what it writes (ppport.h, objects) never meets the other builds.
#
#   tools/test-cpan.sh DIR
set -euo pipefail
out=$(realpath "${1:?the folder to leave the release tarball in}")
cd "$(dirname "$0")/.."

dist=Win32-Varrokit-Varrokit9x-0.01
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tree"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$scratch/tree"
cd "$scratch/tree"

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
cp "$dist.tar.gz" "$out/"
