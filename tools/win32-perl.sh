#!/usr/bin/env bash
# Cross-builds perl 5.6.2 or 5.8.9 for 32-bit Windows, configured as the
# binary distributions of their time were (ActivePerl 6xx and 8xx):
# threaded, 32-bit integers, perl56.dll or perl58.dll, lib/ beside bin/,
# headers and an import library in lib/CORE. Debian has no dmake, so this
# follows win32/makefile.mk by hand; the helper scripts run under a
# first-stage miniperl.exe under Wine.
#
#   tools/win32-perl.sh VERSION SOURCE.tar.gz PREFIX    (WINEPREFIX set by the caller)
#
# Only the options below change the interpreter's structures; keep them as
# the distributions had them, so that a module built here loads into any
# perl of that version for Win32 built that way.
set -euo pipefail

version=$1 tarball=$2 prefix=$3

# What differs between the two versions: their sources, the fixes today's
# compilers and headers need, and their options.
case $version in
    5.6.2)
        dll=perl56
        core=(av deb doio doop dump globals gv hv mg op perl perlapi perly pp pp_ctl pp_hot pp_sys
              regcomp regexec run scope sv taint toke universal utf8 util xsutils)
        win32_sources=(win32 win32sck win32thread fcrypt)
        extensions=(IO Fcntl Socket POSIX)
        version_defines=()
        socket_library=-lwsock32
        # DynaLoader is linked in statically; 5.6 counts it as a static extension.
        static_extensions=(DynaLoader)
        version_options=("usethreads=undef")
        fix_sources() { :; } ;;
    5.8.9)
        dll=perl58
        core=(av deb doio doop dump globals gv hv locale mathoms mg numeric op pad perl perlapi perly
              pp pp_ctl pp_hot pp_pack pp_sort pp_sys reentr regcomp regexec run scope sv taint toke
              universal utf8 util xsutils)
        win32_sources=(win32 win32sck win32thread win32io fcrypt)
        # File::Glob serves glob(), which a Makefile.PL may call.
        extensions=(IO Fcntl Socket POSIX List::Util Cwd Win32 threads threads::shared File::Glob)
        # win32.h sets _WIN32_WINNT only when unset, but mingw-w64 sets it to
        # 0x0A00 first, and then <winsock2.h> declares what IO's poll.h
        # takes for <poll.h>.
        version_defines=(-D_WIN32_WINNT=0x0400)
        socket_library=-lws2_32
        # Win32CORE is linked into perl58.dll, as the distributions had it.
        static_extensions=(Win32CORE)
        version_options=("usethreads=define" "useperlio=define" "uselargefiles=define"
                         "usesitecustomize=undef")
        fix_sources() {
            # mingw-w64's <stdlib.h> declares mkstemp(char *).
            sed -i 's/mkstemp(const char \*path)/mkstemp(char *path)/' win32.c win32.h
            # mingw-w64's setjmp takes two arguments on i386 with msvcrt.
            sed -i 's/define setjmp(x) _setjmp(x)/define setjmp(x) _setjmp3((x), NULL)/' \
                ../ext/threads/threads.xs
        } ;;
    *) echo "no Win32 configuration for perl $version (5.6.2 or 5.8.9)" >&2; exit 2 ;;
esac
# Flags that some extensions' Makefile.PL give them.
declare -A extension_defines=([List::Util]=-DPERL_EXT [Cwd]=-DNO_PPPORT_H)

cross=i686-w64-mingw32
# The win32 thread model: perl has its own threads, and the posix model's
# winpthread would be one more DLL, or imports that Windows 95 lacks.
cc=$cross-gcc-win32
cxx=$cross-g++-win32
archname=MSWin32-x86-multi-thread

includes=(-I../lib/CORE -I./include -I. -I..)
# msvcrt's printf, as every perl of the time had: 1e+020 and 1.#INF.
defines=(-DWIN32 -DHAVE_DES_FCRYPT -D__USE_MINGW_ANSI_STDIO=0 "${version_defines[@]}")
optimize=(-O2)
buildopt=(-DPERL_IMPLICIT_CONTEXT -DPERL_IMPLICIT_SYS -fno-strict-aliasing -DPERL_MSVCRT_READFIX)
# gcc 10 and later default to -fno-common, which these sources predate, and
# they rely on signed overflow wrapping (without it gcc 12 miscompiles 5.8's
# av_extend).
compat=(-fcommon -fwrapv -w)
cflags=("${includes[@]}" "${defines[@]}" -DPERLDLL -DPERL_CORE "${optimize[@]}" "${compat[@]}")
# Extensions get the flags that MakeMaker would give them: no PERL_CORE.
ext_cflags=("${includes[@]}" "${defines[@]}" "${optimize[@]}" "${buildopt[@]}" "${compat[@]}")
libs=(-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32
      -lole32 -loleaut32 -lnetapi32 -luuid "$socket_library" -lmpr -lwinmm -lversion -lodbc32)
# No compiler runtime DLL: perllib.c is C++.
static_runtime=(-static-libgcc -static-libstdc++)

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

# config.sh's KEY='VALUE' lines, set or added.
set_config() {
    perl -i -pe 'BEGIN { %set = @ARGV; @ARGV = "../config.sh" }
        s/^(\w+)=.*/$1='\''$set{$1}'\''/ and delete $set{$1} if exists $set{$1};
        END { open my $sh, ">>", "../config.sh"; print $sh "$_='\''$set{$_}'\''\n" for sort keys %set }' "$@"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar xf "$tarball" -C "$work"
src=$(echo "$work"/perl-*)
cd "$src/win32"
# The file is win32iop.h: Windows does not mind the case, Linux does.
sed -i 's/"Win32iop.h"/"win32iop.h"/' win32.c win32sck.c
fix_sources

echo "== miniperl"
mkdir -p ../lib/CORE
cp config_H.gc config.h
compile mini "${cflags[@]}" -DPERL_EXTERNAL_GLOB -- "${core[@]/#/../}" ../miniperlmain ../perlio
compile mini "${cflags[@]}" -- "${win32_sources[@]}"
$cc -mconsole -o ../miniperl.exe mini/*.o "${libs[@]}"
miniperl() { run_wine "$src/miniperl.exe" "$@"; }

echo "== config.sh, Config.pm, config.h"
# The extensions as perl lists them: List/Util for List::Util.
dynamic_ext="${extensions[*]//:://}"
# INST_TOP is where the distributions installed; at run time perl finds its
# library beside the perl DLL, wherever that is.
options=(
    "INST_DRV=C:" 'INST_TOP=C:\Perl' "INST_VER=" "INST_ARCH="
    "archname=$archname" "cc=gcc" "ld=g++"
    "ccflags=${optimize[*]} ${defines[*]} ${buildopt[*]}"
    "cf_email=nobody@example.invalid" "d_crypt=define" "d_mymalloc=undef"
    # As makefile.mk has them for gcc: -l names, found in the MinGW of the
    # day, where MakeMaker's Liblist looks for them.
    "libs=${libs[*]}" 'incpath=C:\MinGW\include' "libperl=lib$dll.a" 'libpth=C:\MinGW\lib'
    "libc=-lmsvcrt" "make=dmake"
    "_o=.o" "obj_ext=.o" "_a=.a" "lib_ext=.a"
    "static_ext=${static_extensions[*]}" "dynamic_ext=$dynamic_ext" "nonxs_ext=Errno"
    "use5005threads=undef" "useithreads=define" "usemultiplicity=define" "${version_options[@]}"
    "LINK_FLAGS=" "optimize=${optimize[*]}")
printf '%s\t~\t' "${options[@]}" | sed 's/\t~\t$/\n/' >cfg_vars.txt
cp config.gc config.w32
miniperl -I../lib config_sh.PL --cfgsh-option-file cfg_vars.txt config.w32 >../config.sh
# What config_sh.PL cannot know inside Wine: the compiler's version, and
# (5.8 finds them in ext/) the extensions that are built.
set_config gccversion "$($cc -dumpversion)" static_ext "${static_extensions[*]}" \
    dynamic_ext "$dynamic_ext" nonxs_ext Errno extensions "${static_extensions[*]} $dynamic_ext Errno"
(cd .. && miniperl configpm)
cp ../*.h ./*.h ../lib/CORE/
cp ../*.inc ../lib/CORE/ 2>/dev/null || true
cp -r include/* ../lib/CORE/
cp ../ext/re/re.pm ../lib/
# It rewrites config.h from config.sh and copies it to lib/CORE; its exit
# status says whether the file changed, which it must have here.
miniperl -I../lib config_h.PL "INST_VER=" || true
grep -q -E '^#define\s+USE_ITHREADS' ../lib/CORE/config.h
(cd .. && miniperl minimod.pl >lib/ExtUtils/Miniperl.pm)
# 5.8 generates lib.pm, and the Unicode tables.
if [ -f ../lib/lib_pm.PL ]; then
    (cd ../lib && miniperl -I. lib_pm.PL)
    (cd ../lib/unicore && miniperl -I.. mktables)
fi

echo "== DynaLoader, XSLoader"
xsubpp() { miniperl -I"$src/lib" "$src/lib/ExtUtils/xsubpp" -C++ -typemap "$src/lib/ExtUtils/typemap" "$@"; }
cp dl_win32.xs ../ext/DynaLoader/
(cd ../ext/DynaLoader && miniperl -I../../lib DynaLoader_pm.PL && miniperl -I../../lib XSLoader_pm.PL &&
    cp DynaLoader.pm XSLoader.pm ../../lib/ && xsubpp -prototypes dl_win32.xs >DynaLoader.c)
cp ../ext/DynaLoader/dlutils.c .
static_objects=(../ext/DynaLoader/DynaLoader)
# The static extensions that perllib.c boots (5.8 lists them in perllibst.h).
if [ -f buildext.pl ]; then
    miniperl -I../lib buildext.pl --create-perllibst-h
fi
for name in "${static_extensions[@]}"; do
    [ "$name" = DynaLoader ] || static_objects+=("../ext/$name/$name")
done
[ -f ../ext/Win32CORE/Win32CORE.pm ] && cp ../ext/Win32CORE/Win32CORE.pm ../lib/
miniperl -w ../makedef.pl PLATFORM=win32 "${optimize[@]}" "${defines[@]}" "${buildopt[@]}" CCTYPE=GCC \
    >perldll.def

echo "== $dll.dll, perl.exe"
compile dll "${cflags[@]}" "${buildopt[@]}" -- "${core[@]/#/../}" ../perlio "${win32_sources[@]}" \
    "${static_objects[@]}"
# With PERL_IMPLICIT_SYS the host is C++.
$cxx -c -I. "${cflags[@]}" "${buildopt[@]}" -xc++ -o dll/perllib.o perllib.c
# Windows 95's LoadLibrary refuses a DLL with a TLS directory, which
# mingw-w64's start-up code brings in through this callback unless it is
# defined away; perl keeps its per-thread data without the compiler's help.
echo '#include <windows.h>
const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = NULL;' >no_tls.c
$cc -c -o no_tls.o no_tls.c
$cxx -shared -o "../$dll.dll" perldll.def dll/*.o no_tls.o "${libs[@]}" "${static_runtime[@]}" \
    -Wl,--out-implib,"../lib/CORE/lib$dll.a"
cp runperl.c perlmain.c
$cc -c "${cflags[@]}" "${buildopt[@]}" -UPERLDLL -o perlmain.o perlmain.c
$cxx -mconsole -o ../perl.exe perlmain.o "../lib/CORE/lib$dll.a" "${libs[@]}" "${static_runtime[@]}"

echo "== Errno.pm"
# Errno_pm.PL reads the preprocessor's output through a pipe, which a perl
# under Wine cannot do with a Linux program: the host perl runs it, with the
# target's %Config and compiler, and without its `use ExtUtils::MakeMaker`,
# since the host's MakeMaker would read that %Config too. Without
# -ftrack-macro-expansion=0, gcc spreads each expansion over several lines
# and the file comes out empty.
mkdir -p "$work/target-config"
cat >"$work/target-config/Config.pm" <<'PERL'
package Config;
our %Config;
open my $sh, '<', $ENV{TARGET_CONFIG_SH} or die "$ENV{TARGET_CONFIG_SH}: $!";
while (<$sh>) { s/\r?\n\z//; $Config{$1} = $2 if /^(\w+)='(.*)'$/ }
$Config{cc} = $ENV{TARGET_CC};
$Config{cpprun} = "$ENV{TARGET_CC} -E -ftrack-macro-expansion=0";
sub import { no strict 'refs'; *{caller() . '::Config'} = \%Config }
1;
PERL
(cd ../ext/Errno && TARGET_CONFIG_SH="$src/config.sh" TARGET_CC="$cc ${version_defines[*]}" \
    perl -I"$work/target-config" -e '
        BEGIN { $^O = "MSWin32" }
        my $code = do { local (@ARGV, $/) = "Errno_pm.PL"; <> };
        $code =~ s/^use ExtUtils::MakeMaker;//m;
        eval $code; die $@ if $@' &&
    cp Errno.pm ../../lib/)
grep -q 'sub EMFILE ()' ../lib/Errno.pm

echo "== extensions: ${extensions[*]}"
# MakeMaker cannot build them inside Wine (no make, no compiler there): each
# is built as its pm_to_blib and dynamic_lib steps would. Their Makefile.PL
# runs only for the constants it writes (5.8's ExtUtils::Constant), with a
# WriteMakefile that does nothing.
mkdir -p "$work/no-makefile/ExtUtils"
cat >"$work/no-makefile/ExtUtils/MakeMaker.pm" <<'PERL'
package ExtUtils::MakeMaker;
require Exporter;
@ISA = ('Exporter');
@EXPORT = qw(WriteMakefile prompt);
$VERSION = '6.48';
sub WriteMakefile { }
sub prompt { $_[1] }
1;
PERL
for module in "${extensions[@]}"; do
    path=${module//:://} leaf=${module##*::}
    dir=$src/ext/$path
    pm=$dir/$leaf.pm
    [ -f "$pm" ] || pm=$dir/lib/$path.pm
    [ -f "$pm" ] || pm=$src/lib/$path.pm
    version=$(perl -MExtUtils::MakeMaker -e 'print MM->parse_version(shift)' "$pm")
    typemaps=()
    [ -f "$dir/typemap" ] && typemaps=(-typemap "$dir/typemap")
    sources=("$dir/$leaf")
    for extra in "$dir"/*.c; do [ -f "$extra" ] && sources+=("${extra%.c}"); done
    if grep -q WriteConstants "$dir/Makefile.PL"; then
        (cd "$dir" && miniperl -I"$work/no-makefile" -I"$src/lib" Makefile.PL >/dev/null)
    fi
    (cd "$dir" && xsubpp "${typemaps[@]}" -noprototypes "$leaf.xs" >"$leaf.c")
    objects=ext-${path//\//-}
    compile "$objects" "${ext_cflags[@]}" -I"$dir" ${extension_defines[$module]:-} \
        "-DVERSION=\"$version\"" "-DXS_VERSION=\"$version\"" -- "${sources[@]}"
    boot=boot_${path//\//__}
    printf 'LIBRARY %s\nEXPORTS\n    %s\n    _%s = %s\n' "$leaf" "$boot" "$boot" "$boot" >"$objects/$leaf.def"
    mkdir -p "../lib/auto/$path"
    $cc -shared -o "../lib/auto/$path/$leaf.dll" "$objects/$leaf.def" "$objects"/*.o no_tls.o \
        "../lib/CORE/lib$dll.a" "${libs[@]}" -static-libgcc
    mkdir -p "../lib/${path%/*}"
    [ -f "$dir/$leaf.pm" ] && cp "$dir/$leaf.pm" "../lib/$path.pm"
    [ -d "$dir/lib" ] && cp -r "$dir/lib/." ../lib/
done
# AutoLoader's pieces (POSIX has many), as the Windows makefile splits them.
cp splittree.pl ..
miniperl -I../lib ../splittree.pl "../LIB" ../lib/auto >/dev/null

echo "== install into $prefix"
rm -rf "$prefix"
mkdir -p "$prefix/bin" "$prefix/site/lib"
cp ../perl.exe "../$dll.dll" "$prefix/bin/"
cp -r ../lib "$prefix/lib"
for library in "$prefix/bin/$dll.dll" $(find "$prefix/lib/auto" -name '*.dll'); do
    [[ $($cross-objdump -p "$library") == *$'\nEntry 9 00000000 00000000 '* ]] ||
        { echo "$library has a TLS directory" >&2; exit 1; }
done
