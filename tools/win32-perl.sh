#!/usr/bin/env bash
# Cross-builds perl 5.6.2 for 32-bit Windows, configured as the binary
# distributions of its time were (ActivePerl 6xx): threaded, 32-bit
# integers, perl56.dll, lib/ beside bin/, headers and an import library in
# lib/CORE. Debian has no dmake, so this follows win32/makefile.mk by hand;
# the helper scripts run under a first-stage miniperl.exe under Wine.
#
#   tools/win32-perl.sh SOURCE.tar.xz PREFIX      (WINEPREFIX set by the caller)
#
# Only the options below change the interpreter's structures; keep them as
# the distributions had them, so that a module built here loads into any
# perl 5.6.2 for Win32 built that way.
set -euo pipefail

tarball=$1 prefix=$2
cross=i686-w64-mingw32
# The win32 thread model: perl has its own threads, and the posix model's
# winpthread would be one more DLL, or imports that Windows 95 lacks.
cc=$cross-gcc-win32
cxx=$cross-g++-win32
archname=MSWin32-x86-multi-thread

includes=(-I../lib/CORE -I./include -I. -I..)
# msvcrt's printf, as every perl of the time had: 1e+020 and 1.#INF.
defines=(-DWIN32 -DHAVE_DES_FCRYPT -D__USE_MINGW_ANSI_STDIO=0)
optimize=(-O2)
buildopt=(-DPERL_IMPLICIT_CONTEXT -DPERL_IMPLICIT_SYS -fno-strict-aliasing -DPERL_MSVCRT_READFIX)
# gcc 10 and later default to -fno-common, which these sources predate.
compat=(-fcommon -w)
cflags=("${includes[@]}" "${defines[@]}" -DPERLDLL -DPERL_CORE "${optimize[@]}" "${compat[@]}")
# Extensions get the flags that MakeMaker would give them: no PERL_CORE.
ext_cflags=("${includes[@]}" "${defines[@]}" "${optimize[@]}" "${buildopt[@]}" "${compat[@]}")
libs=(-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32
      -lole32 -loleaut32 -lnetapi32 -luuid -lwsock32 -lmpr -lwinmm -lversion -lodbc32)
# No compiler runtime DLL: perllib.c is C++.
static_runtime=(-static-libgcc -static-libstdc++)
extensions=(IO Fcntl Socket POSIX)

run_wine() { WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine "$@"; }

# compile DIR FLAGS... -- SOURCES...: each SOURCE.c into DIR/, two at a time.
compile() {
    local dir=$1 flags=()
    shift
    while [ "$1" != -- ]; do flags+=("$1"); shift; done
    shift
    mkdir -p "$dir"
    printf '%s\n' "$@" | xargs -P"$(nproc)" -I{} sh -c \
        'cc=$1 dir=$2 source=$3; shift 3; exec "$cc" -c "$@" -o "$dir/${source##*/}.o" "$source.c"' \
        sh "$cc" "$dir" {} "${flags[@]}"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar xJf "$tarball" -C "$work"
src=$(echo "$work"/perl-*)
cd "$src/win32"
# The file is win32iop.h: Windows does not mind the case, Linux does.
sed -i 's/"Win32iop.h"/"win32iop.h"/' win32.c win32sck.c

core=(av deb doio doop dump globals gv hv mg op perl perlapi perly pp pp_ctl pp_hot pp_sys
      regcomp regexec run scope sv taint toke universal utf8 util xsutils)
win32_sources=(win32 win32sck win32thread fcrypt)

echo "== miniperl"
mkdir -p ../lib/CORE
cp config_H.gc config.h
compile mini "${cflags[@]}" -DPERL_EXTERNAL_GLOB -- "${core[@]/#/../}" ../miniperlmain ../perlio
compile mini "${cflags[@]}" -- "${win32_sources[@]}"
$cc -mconsole -o ../miniperl.exe mini/*.o "${libs[@]}"
miniperl() { run_wine "$src/miniperl.exe" "$@"; }

echo "== config.sh, Config.pm, config.h"
# INST_TOP is where the distributions installed; at run time perl finds its
# library beside perl56.dll, wherever that is.
options=(
    "INST_DRV=C:" 'INST_TOP=C:\Perl' "INST_VER=" "INST_ARCH="
    "archname=$archname" "cc=gcc" "ld=g++"
    "ccflags=${optimize[*]} ${defines[*]} ${buildopt[*]}"
    "cf_email=nobody@example.invalid" "d_crypt=define" "d_mymalloc=undef"
    "libs=libmoldname.a libkernel32.a libuser32.a libgdi32.a libwinspool.a libcomdlg32.a libadvapi32.a libshell32.a libole32.a liboleaut32.a libnetapi32.a libuuid.a libwsock32.a libmpr.a libwinmm.a libversion.a libodbc32.a"
    "incpath=" "libperl=libperl56.a" "libpth=" "libc=-lmsvcrt" "make=dmake"
    "_o=.o" "obj_ext=.o" "_a=.a" "lib_ext=.a"
    "static_ext=DynaLoader" "dynamic_ext=${extensions[*]}" "nonxs_ext=Errno"
    "use5005threads=undef" "useithreads=define" "usethreads=undef" "usemultiplicity=define"
    "LINK_FLAGS=" "optimize=${optimize[*]}")
printf '%s\t~\t' "${options[@]}" | sed 's/\t~\t$/\n/' >cfg_vars.txt
cp config.gc config.w32
miniperl -I../lib config_sh.PL --cfgsh-option-file cfg_vars.txt config.w32 >../config.sh
(cd .. && miniperl configpm)
cp ../*.h ./*.h ../lib/CORE/
cp -r include/* ../lib/CORE/
cp ../ext/re/re.pm ../lib/
# It rewrites config.h from config.sh and copies it to lib/CORE; its exit
# status says whether the file changed, which it must have here.
miniperl -I../lib config_h.PL "INST_VER=" || true
grep -q -E '^#define\s+USE_ITHREADS' ../lib/CORE/config.h
(cd .. && miniperl minimod.pl >lib/ExtUtils/Miniperl.pm)

echo "== DynaLoader, XSLoader"
xsubpp() { miniperl -I"$src/lib" "$src/lib/ExtUtils/xsubpp" -C++ -typemap "$src/lib/ExtUtils/typemap" "$@"; }
cp dl_win32.xs ../ext/DynaLoader/
(cd ../ext/DynaLoader && miniperl -I../../lib DynaLoader_pm.PL && miniperl -I../../lib XSLoader_pm.PL &&
    cp DynaLoader.pm XSLoader.pm ../../lib/ && xsubpp -prototypes dl_win32.xs >DynaLoader.c)
cp ../ext/DynaLoader/dlutils.c .
miniperl -w ../makedef.pl PLATFORM=win32 "${optimize[@]}" "${defines[@]}" "${buildopt[@]}" CCTYPE=GCC \
    >perldll.def

echo "== perl56.dll, perl.exe"
compile dll "${cflags[@]}" "${buildopt[@]}" -- "${core[@]/#/../}" ../perlio "${win32_sources[@]}" \
    ../ext/DynaLoader/DynaLoader
# With PERL_IMPLICIT_SYS the host is C++.
$cxx -c -I. "${cflags[@]}" "${buildopt[@]}" -xc++ -o dll/perllib.o perllib.c
# Windows 95's LoadLibrary refuses a DLL with a TLS directory, which
# mingw-w64's start-up code brings in through this callback unless it is
# defined away; perl keeps its per-thread data without the compiler's help.
echo '#include <windows.h>
const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = NULL;' >no_tls.c
$cc -c -o no_tls.o no_tls.c
$cxx -shared -o ../perl56.dll perldll.def dll/*.o no_tls.o "${libs[@]}" "${static_runtime[@]}" \
    -Wl,--out-implib,../lib/CORE/libperl56.a
cp runperl.c perlmain.c
$cc -c "${cflags[@]}" "${buildopt[@]}" -UPERLDLL -o perlmain.o perlmain.c
$cxx -mconsole -o ../perl.exe perlmain.o ../lib/CORE/libperl56.a "${libs[@]}" "${static_runtime[@]}"

echo "== Errno.pm"
# Errno_pm.PL reads the preprocessor's output through a pipe, which a perl
# under Wine cannot do with a Linux program: the host perl runs it, with the
# target's %Config, and without its `use ExtUtils::MakeMaker`, since the
# host's MakeMaker would read that %Config too. Without
# -ftrack-macro-expansion=0, gcc spreads each expansion over several lines
# and the file comes out empty.
mkdir -p "$work/target-config"
cat >"$work/target-config/Config.pm" <<'PERL'
package Config;
our %Config;
open my $sh, '<', $ENV{TARGET_CONFIG_SH} or die "$ENV{TARGET_CONFIG_SH}: $!";
while (<$sh>) { s/\r?\n\z//; $Config{$1} = $2 if /^(\w+)='(.*)'$/ }
$Config{cpprun} = "$ENV{TARGET_CPP} -ftrack-macro-expansion=0";
sub import { no strict 'refs'; *{caller() . '::Config'} = \%Config }
1;
PERL
(cd ../ext/Errno && TARGET_CONFIG_SH="$src/config.sh" TARGET_CPP="$cc -E" \
    perl -I"$work/target-config" -e '
        BEGIN { $^O = "MSWin32" }
        my $code = do { local (@ARGV, $/) = "Errno_pm.PL"; <> };
        $code =~ s/^use ExtUtils::MakeMaker;//m;
        eval $code; die $@ if $@' &&
    cp Errno.pm ../../lib/)
grep -q 'sub EMFILE ()' ../lib/Errno.pm

echo "== extensions: ${extensions[*]}"
# MakeMaker cannot build them inside Wine (no make, no compiler there): each
# is built as its pm_to_blib and dynamic_lib steps would.
for name in "${extensions[@]}"; do
    dir=../ext/$name
    version=$(perl -MExtUtils::MakeMaker -e 'print MM->parse_version(shift)' "$dir/$name.pm")
    typemaps=()
    [ -f "$dir/typemap" ] && typemaps=(-typemap "$src/ext/$name/typemap")
    (cd "$dir" && xsubpp "${typemaps[@]}" -noprototypes "$name.xs" >"$name.c")
    mkdir -p "../lib/auto/$name"
    sources=("$dir/$name")
    [ "$name" = IO ] && sources+=("$dir/poll")
    compile "ext-$name" "${ext_cflags[@]}" -I"$dir" \
        "-DVERSION=\"$version\"" "-DXS_VERSION=\"$version\"" -- "${sources[@]}"
    printf 'LIBRARY %s\nEXPORTS\n    boot_%s\n    _boot_%s = boot_%s\n' "$name" "$name" "$name" "$name" \
        >"ext-$name/$name.def"
    $cc -shared -o "../lib/auto/$name/$name.dll" "ext-$name/$name.def" "ext-$name"/*.o no_tls.o \
        ../lib/CORE/libperl56.a "${libs[@]}" -static-libgcc
    cp "$dir/$name.pm" ../lib/
    [ -d "$dir/lib" ] && cp -r "$dir/lib/." ../lib/
done
# AutoLoader's pieces (POSIX has many), as the Windows makefile splits them.
cp splittree.pl ..
miniperl -I../lib ../splittree.pl "../LIB" ../lib/auto >/dev/null

echo "== install into $prefix"
rm -rf "$prefix"
mkdir -p "$prefix/bin" "$prefix/site/lib"
cp ../perl.exe ../perl56.dll "$prefix/bin/"
cp -r ../lib "$prefix/lib"
for dll in "$prefix/bin/perl56.dll" "$prefix"/lib/auto/*/*.dll; do
    [[ $($cross-objdump -p "$dll") == *$'\nEntry 9 00000000 00000000 '* ]] ||
        { echo "$dll has a TLS directory" >&2; exit 1; }
done
