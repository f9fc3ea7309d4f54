#!/usr/bin/env bash
# Installs the release tarball as a Windows user does, inside a Windows perl
# under Wine: perl Makefile.PL, gmake, gmake test and gmake install, with the
# perl's own MakeMaker rules, a GNU make for Windows and the compiler its
# Config names. Then checks the DLL MakeMaker built and the installed copy.
#
#   tools/windows-cpan.sh NAME TARBALL     (a Windows perl of tools/perls.pl list)
#
# What a Windows machine would have is played by test equipment, never
# shipped: the perl laid out where its Config says it lives, inside a Wine
# prefix of its own; gmake.exe, cross-built from GNU make's source; gcc.exe
# and g++.exe, which run the mingw-w64 cross compiler through Wine
# (tests/windows/cpan/unix_compiler.c); and the pure-Perl modules that each
# perl lacks, of versions that perl can run (tools/perl-cache.sh
# cpan-modules). Exits 77, saying why, where it cannot run here.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/common.sh"
name=${1:?which Windows perl (tools/perls.pl list)}
tarball=$(realpath "${2:?the release tarball}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cannot() { echo "$*" >&2; exit 77; }
# What tools/perl-cache.sh fetches or builds; or why it cannot here (77), or
# why its build failed (1).
cached() {
    local found status=0
    found=$("$here/tools/perl-cache.sh" "$@" 2>"$work/why") || status=$?
    case $status in
        0) echo "$found" ;;
        2) cannot "$(tr '\n' ' ' <"$work/why")" ;;
        *) cat "$work/why" >&2; exit 1 ;;
    esac
}

entry=$(perl "$here/tools/perls.pl" shell "$name") || exit 1
eval "$entry"
case $perl_from:$perl_bits in
    windows-*:64) triplet=x86_64-w64-mingw32 wine_arch=x86_64 ;;
    windows-*:32) triplet=i686-w64-mingw32 wine_arch=i686 ;;
    *) cannot "$name is no Windows perl" ;;
esac
bits=$perl_bits
wine=("$here/tools/wine.sh" "$wine_arch")
why=$("${wine[@]}" --can-run 2>&1) || cannot "$why"
command -v "$triplet-gcc-posix" >/dev/null || cannot "no $triplet-gcc-posix (Debian: g++-mingw-w64)"
perl_exe=$(cached perl "$name")
gmake_exe=$(cached gmake "$bits")

config() { perl "$here/cmake/perl_config_files.pl" "$perl_exe" "$@" | sed 's/^[a-z_]*=//'; }
version=$(config version)
prefix=$(config prefix)        # C:\strawberry\perl, C:\Perl
libperl=$(config libperl)      # libperl532.a
archname=$(config archname)
libc=$(config libc)            # -lucrt, -lmsvcrt
modules=$(cached cpan-modules "$version")

# A Wine prefix of its own, where the perl lives where its Config says.
export WINEPREFIX="$varrokit_cache/wineprefix-cpan-$name"
# A Windows path as the Unix path inside the prefix.
unix_path() { local path=${1//\\//}; echo "$WINEPREFIX/drive_c/${path#[Cc]:/}"; }
windows_path() { echo "Z:${1//\//\\}"; }

# The perl where its Config says it lives, with its headers and an import
# library in lib/CORE, and the tools on the Windows PATH.
root=$(unix_path "$prefix")
tools="$WINEPREFIX/drive_c/cpan-tools"
# Laid out again for another build of the perl.
if [ "$(cat "$root/.complete" 2>/dev/null)" != "$perl_exe" ]; then
    echo "== laying out perl $version in $WINEPREFIX ($prefix)"
    rm -rf "$WINEPREFIX"
    "${wine[@]}" --session
    runtime=$(dirname "$perl_exe")
    mkdir -p "$root/bin" "$root/site/lib" "$tools"
    # The compiler's folders that the Config names, such as C:\strawberry\c\lib.
    for folder in $(config libpth incpath | tr ' ' '\n'); do
        mkdir -p "$(unix_path "$folder")"
    done
    cp "$runtime"/*.exe "$runtime"/*.dll "$root/bin/"
    if [ -d "$runtime/lib" ]; then
        cp -r "$runtime/lib" "$root/lib"           # Strawberry's layout: lib/ beside perl.exe
    else
        cp -r "$runtime/../lib" "$root/lib"        # the binary distributions': bin/ and lib/
    fi
    [ -f "$root/lib/CORE/perl.h" ] || cp -r "$(cached windows-headers "$version")" "$root/lib/"
    if [ ! -f "$root/lib/CORE/$libperl" ]; then
        dll=$(basename "$root"/bin/perl5*.dll)
        { echo "LIBRARY $dll"; echo EXPORTS
          "$triplet-objdump" -p "$root/bin/$dll" |
              awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }'
        } >"$root/lib/CORE/perl.def"
        "$triplet-dlltool" -d "$root/lib/CORE/perl.def" -l "$root/lib/CORE/$libperl" -D "$dll"
    fi
    echo "$perl_exe" >"$root/.complete"
fi
"${wine[@]}" --session
cp "$gmake_exe" "$tools/gmake.exe"
# Strawberry's gcc builds for its perl's C runtime, and so must the stand-in's.
for compiler in gcc g++; do
    specs=()
    [ "$libc" = -lucrt ] &&
        specs=(-DSPECS="\"$(cached ucrt-specs "$triplet-${compiler}-posix")\"")
    "$triplet-gcc-posix" -O2 -Wall -DTRIPLET="\"$triplet\"" "${specs[@]}" -municode -static \
        -o "$tools/$compiler.exe" "$here/tests/windows/cpan/unix_compiler.c" -lshell32
done
# The stand-in must pass the compiler's verdict on as it is: one that turned
# a failure into success would let a broken build pass.
"${wine[@]}" "$tools/g++.exe" --version | grep -q GCC ||
    { echo "the compiler stand-in does not pass on the compiler's output"; exit 1; }
status=0
"${wine[@]}" "$tools/g++.exe" -c no-such-source.cpp 2>/dev/null || status=$?
[ $status = 1 ] || { echo "the compiler stand-in gave status $status for a failed compile, not 1"; exit 1; }

tar xzf "$tarball" -C "$work"
dist=$(basename "$tarball" .tar.gz)
install_base="$work/installed"

# Every command the route runs, timed, in the Windows perl's environment.
windows() {
    local start=$SECONDS status=0
    echo "== $* (perl $version, $name)"
    in_windows "$@" || status=$?
    # With other stages beside it, Wine now and then fails to start the
    # batch file gmake writes for a recipe ("process_begin:
    # CreateProcess(...) failed", "make (e=1359): Internal error"). Nothing
    # was built wrong; gmake goes on from where it stopped.
    if [ $status != 0 ] && grep -q 'make (e=1359)' "$work/step.log"; then
        echo "== Wine could not start a recipe's batch file: $* once more"
        status=0
        in_windows "$@" || status=$?
    fi
    echo "== $* took $((SECONDS - start)) s"
    return $status
}
in_windows() {
    # Through a pipe: Wine cannot say what a standard handle that is a Unix
    # file is (GetFileInformationByHandle), so perl 5.40 could not dup it.
    (cd "$work/$dist" && env WINEPATH='C:\cpan-tools' PERL5LIB="$(windows_path "$modules")" \
        VARROKIT_STANDIN_ECHO=1 "${wine[@]}" "$@" 2>&1 | tee "$work/step.log")
}
perl_windows="$prefix\\bin\\perl.exe"
make_args=()
# Perl 5.8's own MakeMaker writes for dmake; the newer one in $modules
# writes for GNU make when asked, as for a user who upgraded it.
[[ $version = 5.8.* ]] && make_args=(MAKE=gmake)

windows "$perl_windows" Makefile.PL "INSTALL_BASE=$(windows_path "$install_base")" "${make_args[@]}"
windows gmake
windows gmake test
windows gmake install

echo "== the DLL MakeMaker built"
built=$(find "$work/$dist/blib/arch" -iname 'Varrokit9x.*dll')
checks=(perl "$here/tests/windows/dll_tables.pl" "$triplet-objdump" "$built")
if [ "$libc" = -lucrt ]; then "${checks[@]}" --ucrt; else "${checks[@]}"; fi
if [ $bits = 32 ]; then
    "${checks[@]}" --windows-9x "$here/tests/windows/exports"
    "${checks[@]}" --windows-nt4 "$here/tests/windows/exports"
fi

echo "== the installed copy, from outside the build folder"
cat >"$work/installed-lookup.pl" <<'EOF'
use Win32::Varrokit::Varrokit9x qw(MatchWin9xPid);
my $found = MatchWin9xPid($$ & 0xFFFF, 'perl.exe');
print "found $found, this perl is $$, from $INC{'Win32/Varrokit/Varrokit9x.pm'}\n";
exit($found == $$ ? 0 : 1);
EOF
(cd "$work" && "${wine[@]}" "$perl_windows" -I"$(windows_path "$install_base/lib/perl5/$archname")" \
    -I"$(windows_path "$install_base/lib/perl5")" "$(windows_path "$work/installed-lookup.pl")")
