#!/usr/bin/env bash
# Runs Windows programs under Wine, the one way every tool and test does:
#
#   tools/wine.sh ARCH PROGRAM ARGS...   runs it (ARCH: i686 or x86_64), in a
#                                        prefix made first if need be
#   tools/wine.sh ARCH --session         starts Wine's server and services apart
#   tools/wine.sh ARCH --can-run         exits 0 where Wine runs ARCH's programs
#                                        here, and 1, saying why, where not
#   tools/wine.sh --stop-all             ends the Wine server of each prefix in
#                                        the cache, and so every program in it
#
# The prefix is WINEPREFIX where set, else the cache's prefix for ARCH.
# Debug output is off, and there is no Mono or Gecko: nothing here needs
# them, and a prompt to install them would hang a headless run.
set -euo pipefail
. "$(dirname "$0")/common.sh"

if [ "${1:-}" = --stop-all ]; then
    for prefix in "$varrokit_cache"/wineprefix-*/; do
        [ -d "$prefix" ] && WINEPREFIX=${prefix%/} wineserver -k 2>/dev/null || true
    done
    exit 0
fi

arch=${1:?i686 or x86_64}
shift
case $arch in
    # Debian's `wine` starts the 32-bit loader whenever wine32 is installed,
    # and that fails for every program on a host with no 32-bit mode. The
    # 64-bit loader runs 64-bit programs on any host.
    x86_64) loader=/usr/lib/wine/wine64; export WINELOADER=$loader ;;
    i686) loader=wine; unset WINELOADER ;;
    *) echo "tools/wine.sh: i686 or x86_64, not $arch" >&2; exit 2 ;;
esac
if [ "${1:-}" = --can-run ]; then
    command -v "$loader" >/dev/null || { echo "no $loader (Debian: wine, wine64)" >&2; exit 1; }
    [ $arch = x86_64 ] || exec "$(dirname "$0")/runs-32bit.sh"
    exit 0
fi
export WINEPREFIX=${WINEPREFIX:-$varrokit_cache/wineprefix-$arch}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# Perl 5.40 warns at every start where LANG names a locale that Windows
# lacks, such as Linux's C.UTF-8, which Wine hands on; PERL_BADLANG=0 stills
# it. (LC_ALL=C would too, but would leave Wine no character set for file
# names beyond ASCII.)
export PERL_BADLANG=0

# Stages side by side may ask at once: one makes the prefix, the others wait.
if [ ! -e "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock -w 600 9 || { echo "tools/wine.sh: waited 600 s for $WINEPREFIX.lock" >&2; exit 1; }
        [ -e "$WINEPREFIX/system.reg" ] || "$loader" wineboot --init </dev/null >/dev/null 2>&1
    ) 9>"$WINEPREFIX.lock"
fi

if [ "${1:-}" = --session ]; then
    # The first program run in a prefix starts Wine's server and services
    # with its own standard handles, and they stay for seconds after the
    # last program ends: whoever reads that program's output (CTest, prove,
    # a pipe) waits for them, three seconds a program. Started here, reading
    # and writing nothing, and kept a minute past the last program, they
    # hold no one's output.
    wineserver -p60 </dev/null >/dev/null 2>&1 || true
    exec "$loader" cmd /c exit </dev/null >/dev/null 2>&1
fi
exec "$loader" "$@"
