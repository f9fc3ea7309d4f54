#!/usr/bin/env bash
# Builds, tests and installs the module the way Perl users do: MakeMaker,
# make test, make dist with its checks, and cpanm into a local lib, offline.
set -euo pipefail
cd "$(dirname "$0")/.."

dist=Win32-Varrokit-Varrokit9x-0.01
local_lib=$(mktemp -d)
trap 'rm -rf "$local_lib"; make realclean >/dev/null 2>&1 || true; rm -rf "$dist" "$dist.tar.gz"' EXIT

perl Makefile.PL
make
make test

# Nothing missing from the tree and nothing in it left out of MANIFEST.
perl -MExtUtils::Manifest=fullcheck -e 'my ($missing, $extra) = fullcheck(); exit(@$missing || @$extra)'
podchecker lib/Win32/Varrokit/Varrokit9x.pm
RELEASE_TESTING=1 prove xt/

make dist
make disttest
cpanm --local-lib "$local_lib" "./$dist.tar.gz"
perl -I"$local_lib/lib/perl5" -MWin32::Varrokit::Varrokit9x=MatchWin9xPid -e '
    my $found = MatchWin9xPid($$ & 0xFFFF, "perl");
    print "installed with cpanm: found $found, this perl is $$\n";
    exit($found == $$ ? 0 : 1)'
