#!/usr/bin/env bash
# Cross-builds a perl for Windows from its source, configured as the binary
# distributions of its time were built, with lib/ beside bin/, headers and
# an import library in lib/CORE:
#
#   x86-5.6.2, x86-5.8.9   ActivePerl 6xx and 8xx: threaded, 32-bit integers,
#                          perl56.dll or perl58.dll, msvcrt
#   x86-5.22.4             ActivePerl 5.22: MSWin32-x86-multi-thread-64int, msvcrt
#   x64-5.38.2, x86-5.38.2 Strawberry Perl 5.38.2.2 (64-bit) and 5.38.2.1
#                          (32-bit, MSWin32-x86-multi-thread-64int): msvcrt
#   x86-5.40.0             the last 32-bit Strawberry Perl's configuration
#                          as 5.40 would have it: MSWin32-x86-multi-thread-64int
#   x64-5.40.0             Strawberry Perl 5.40: MSWin32-x64-multi-thread,
#                          linked against the Universal C Runtime (UCRT)
#
#   tools/win32-perl.sh ARCH-VERSION SOURCE.tar.gz PREFIX
#   tools/win32-perl.sh --settings ARCH-VERSION   what that build depends on
#                                        here: its settings and the steps its
#                                        era runs (the cache keys it by them)
#
# Debian has neither dmake nor a way to run perl's Windows makefiles, so this
# follows win32/makefile.mk (5.6 to 5.22) or win32/GNUmakefile (5.40) by
# hand: the compiler runs here, and the helper scripts under a first-stage
# miniperl.exe under Wine. Only the options below change the interpreter's
# structures; keep them as the distributions had them, so that a module
# built here loads into any perl of that version built that way.
set -euo pipefail

if [ "$1" = --settings ]; then
    settings_only=yes name=$2
else
    settings_only="" name=$1 tarball=$2 prefix=$3
fi
arch=${name%%-*} version=${name#*-}
here=$(cd "$(dirname "$0")/.." && pwd)

case $arch in
    x86) cross=i686-w64-mingw32 ;;
    x64) cross=x86_64-w64-mingw32 ;;
    *) echo "no Windows perl for $name (x86-5.6.2, x86-5.8.9, x86-5.22.4, x86-5.40.0 or x64-5.40.0)" >&2; exit 2 ;;
esac
# The win32 thread model: perl has its own threads, and the posix model's
# winpthread would be one more DLL, or imports that Windows 95 lacks.
cc=($cross-gcc-win32)
cxx=($cross-g++-win32)
# No compiler runtime DLL: perllib.c is C++.
static_runtime=(-static-libgcc -static-libstdc++)

# What differs between the versions: their sources, the fixes today's
# compilers and headers need, and their options.
crt=msvcrt
case $name in
    x86-5.6.2)
        era=classic
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
    x86-5.8.9)
        era=classic
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
    x86-5.22.4)
        # ActivePerl 5.22's configuration, built with gcc as the perl
        # source's win32/makefile.mk builds it; C:\Perl, NAME.dll.
        era=modern
        dll=perl522
        core=(av caretx deb doio doop dump globals gv mro_core hv locale keywords mathoms mg numeric op
              pad perl perlapi perly pp pp_ctl pp_hot pp_pack pp_sort pp_sys reentr regcomp regexec run
              scope sv taint toke universal utf8 util)
        win32_sources=(win32 win32io win32sck win32thread fcrypt)
        buildopt=(-DPERL_TEXTMODE_SCRIPTS -DPERL_IMPLICIT_CONTEXT -DPERL_IMPLICIT_SYS -fwrapv
                  -fno-strict-aliasing -mms-bitfields)
        mini_buildopt=(-fwrapv -fno-strict-aliasing)
        extracflags=() optimize=(-s -O2)
        libs=(-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32 -lole32
              -loleaut32 -lnetapi32 -luuid -lws2_32 -lmpr -lwinmm -lversion -lodbc32 -lodbccp32 -lcomctl32)
        inst_top='C:\Perl' cchome='C:\MinGW' dlext=dll
        version_config=(uselargefiles=define)
        # Its makefile's amendments of the template: large files, and an
        # 8-byte long double, as Visual C++ has it.
        mini_config=('Off_t long long' 'LSEEKSIZE 8' 'Off_t_size 8' 'LONG_DOUBLESIZE 8')
        # Where config_h.PL writes the config.h of the whole perl.
        full_config=config.h
        fix_sources() { :; } ;;
    x86-5.38.2 | x64-5.38.2 | x86-5.40.0 | x64-5.40.0)
        # Strawberry Perl's configuration, as the perl source's
        # win32/GNUmakefile builds it with gcc: C:\strawberry, NAME.xs.dll,
        # mingw-w64's own stdio. From 5.40 on, 64-bit Strawberry links
        # against the UCRT; 5.38.2 is the last on msvcrt (5.38.2.2), and
        # the last 32-bit one (5.38.2.1).
        era=modern
        dll=perl${version%.*}
        dll=${dll//./}
        [ "$name" = x64-5.40.0 ] && crt=ucrt
        core=(toke regcomp regcomp_trie regcomp_debug regcomp_invlist regcomp_study regexec op sv pp
              pp_ctl pp_sys pp_pack pp_hot gv perl utf8 dump hv av builtin caretx class deb doio doop
              dquote globals mro_core locale keywords mathoms mg numeric pad peep perly pp_sort reentr
              run scope taint time64 universal util)
        win32_sources=(win32 win32sck win32thread fcrypt)
        buildopt=(-DPERL_TEXTMODE_SCRIPTS -DMULTIPLICITY -DPERL_IMPLICIT_SYS -DUSE_PERLIO
                  -D__USE_MINGW_ANSI_STDIO -fwrapv -fno-strict-aliasing -mms-bitfields)
        mini_buildopt=(-D__USE_MINGW_ANSI_STDIO -fwrapv -fno-strict-aliasing)
        extracflags=(-std=c99) optimize=(-Os)
        # As Strawberry's public build configuration of 5.38.2.2 has it.
        [ "$name" = x64-5.38.2 ] &&
            optimize+=(-falign-functions -falign-jumps -falign-labels -falign-loops -freorder-blocks
                       -freorder-blocks-algorithm=stc -freorder-blocks-and-partition)
        libs=(-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32 -lole32
              -loleaut32 -lnetapi32 -luuid -lws2_32 -lmpr -lwinmm -lversion -lodbc32 -lodbccp32 -lcomctl32)
        # Strawberry names extensions NAME.xs.dll, so that none shadows a system DLL.
        inst_top='C:\strawberry\perl' cchome='C:\strawberry\c' dlext=xs.dll
        version_config=()
        # The makefile's amendments of the template: PerlIO's view of the
        # C runtime's FILE, and gcc's long double.
        mini_config=('FILE_ptr(fp) PERLIO_FILE_ptr(fp)' 'FILE_cnt(fp) PERLIO_FILE_cnt(fp)'
                     'FILE_base(fp) PERLIO_FILE_base(fp)'
                     'FILE_bufsiz(fp) (PERLIO_FILE_cnt(fp) + PERLIO_FILE_ptr(fp) - PERLIO_FILE_base(fp))'
                     I_STDBOOL)
        if [ "$arch" = x64 ]; then mini_config+=('LONG_DOUBLESIZE 16'); else mini_config+=('LONG_DOUBLESIZE 12'); fi
        # Where config_h.PL writes the config.h of the whole perl: 5.40
        # keeps it apart from the first stage's.
        full_config=full/config.h
        if [ "$version" = 5.38.2 ]; then
            full_config=config.h
            # What Strawberry's build of 5.38.2 adds to the templates: the
            # DBM headers of its bundled libraries, gcc's
            # __builtin_choose_expr, mkstemp and symlink.
            fix_sources() {
                sed -i -E 's|^/\*#define (I_DBM\|I_GDBM\|I_NDBM\|HAS_BUILTIN_CHOOSE_EXPR\|HAS_SYMLINK)\s.*|#define \1\t/**/|' \
                    config_H.gc
                sed -i -E -e "s/^(d_builtin_choose_expr|d_mkstemp|d_ndbm|d_symlink|i_db|i_dbm|i_gdbm|i_ndbm)='undef'/\1='define'/" \
                    -e "s/^osvers='.*'/osvers='10'/" config.gc
                # config_sh.PL would take osvers from `ver`, here Wine's.
                sed -i "s/^\$opt{osvers} = .*/\$opt{osvers} = '10';/" config_sh.PL
                grep -q "^.opt{osvers} = '10';" config_sh.PL
                # Its vmem.h for 64 bits: one more pointer in the memory
                # block header, which gcc newer than 11 aligns to 16 bytes.
                if [ "$arch" = x64 ]; then
                    sed -i 's|^\(    VMem \*owner;\)$|\1\n    void *reserved;|' vmem.h
                    grep -q 'void \*reserved;' vmem.h
                fi
            }
        else
            fix_sources() { :; }
        fi ;;
    *) echo "no Windows configuration for perl $name (x86-5.6.2, x86-5.8.9, x86-5.22.4, x86-5.38.2, x64-5.38.2, x86-5.40.0 or x64-5.40.0)" >&2; exit 2 ;;
esac

case $arch in
    x86) wine_arch=i686 ;;
    x64) wine_arch=x86_64 ;;
esac
run_wine() { "$here/tools/wine.sh" "$wine_arch" "$@"; }

# compile DIR FLAGS... -- SOURCES...: each SOURCE.c into DIR/, two at a time.
compile() {
    local dir=$1 flags=()
    shift
    while [ "$1" != -- ]; do flags+=("$1"); shift; done
    shift
    mkdir -p "$dir"
    printf '%s\n' "$@" | xargs -P"$(nproc)" -I{} sh -c \
        'dir=$1 source=$2; shift 2; exec "$@" -o "$dir/${source##*/}.o" "$source.c"' \
        sh "$dir" {} "${cc[@]}" -c "${flags[@]}"
}

# config.sh's KEY='VALUE' lines, set or added.
set_config() {
    perl -i -pe 'BEGIN { %set = @ARGV; @ARGV = "../config.sh" }
        if (/^(\w+)=/ and exists $set{$1}) { $_ = "$1='\''$set{$1}'\''\n"; delete $set{$1} }
        END { open my $sh, ">>", "../config.sh"; print $sh "$_='\''$set{$_}'\''\n" for sort keys %set }' "$@"
}

# The options that config_sh.PL writes into config.sh, as the makefile
# passes them: separated by tab, tilde, tab.
write_config_options() {
    printf '%s\t~\t' "$@" | sed 's/\t~\t$/\n/' >cfg_vars.txt
}

# Errno_pm.PL reads the preprocessor's output through a pipe, which a perl
# under Wine cannot do with a Linux program: the host perl runs it, with the
# target's %Config and compiler, and without its `use ExtUtils::MakeMaker`,
# since the host's MakeMaker would read that %Config too. Without
# -ftrack-macro-expansion=0, gcc spreads each expansion over several lines
# and the file comes out empty.
make_errno_pm() {
    local defines=$1
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
    (cd ../ext/Errno && TARGET_CONFIG_SH="$src/config.sh" TARGET_CC="${cc[*]} $defines" \
        perl -I"$work/target-config" -e '
            BEGIN { $^O = "MSWin32" }
            my $code = do { local (@ARGV, $/) = "Errno_pm.PL"; <> };
            $code =~ s/^use ExtUtils::MakeMaker;//m;
            eval $code; die $@ if $@' &&
        cp Errno.pm ../../lib/)
    grep -q -E 'EMFILE (\(\)|=>)' ../lib/Errno.pm
}

# MakeMaker cannot build extensions inside Wine (no make, no compiler
# there): each is built as its pm_to_blib and dynamic_lib steps would. Its
# Makefile.PL runs only for the files it writes (ExtUtils::Constant's) and
# for the DEFINE, INC and LIBS it gives WriteMakefile, which this stand-in
# records: run_makefile_pl DIR.
write_makefile_recorder() {
    mkdir -p "$work/no-makefile"
    cat >"$work/no-makefile/makefile_recorder.pm" <<'PERL'
package ExtUtils::MakeMaker;
$INC{'ExtUtils/MakeMaker.pm'} = __FILE__;
require Exporter;
@ISA = ('Exporter');
@EXPORT = qw(WriteMakefile prompt);
$VERSION = '6.48';
sub WriteMakefile {
    my %args = @_;
    open my $flags, '>', 'makefile-flags.txt' or die "makefile-flags.txt: $!";
    my $libs = ref $args{LIBS} ? $args{LIBS}[0] : $args{LIBS};
    print $flags join(' ', grep { defined && length } @args{qw(DEFINE INC)}), "\n";
    print $flags defined $libs ? $libs : '', "\n";
    close $flags;
}
sub prompt { $_[1] }
1;
PERL
}
run_makefile_pl() {
    (cd "$1" && PERL_CORE=1 miniperl "${toolchain[@]}" -I"$work/no-makefile" -Mmakefile_recorder Makefile.PL \
        PERL_CORE=1 >/dev/null)
}

# build_extension MODULE DIR XS FLAGS...: DIR/XS.xs and the other C files in
# DIR into lib/auto/.../LEAF.DLEXT, and its .pm files into lib/.
build_extension() {
    local module=$1 dir=$2 xs=$3
    shift 3
    local path=${module//:://} leaf=${module##*::}
    local pm=$dir/$leaf.pm
    [ -f "$pm" ] || pm=$dir/lib/$path.pm
    [ -f "$pm" ] || pm=$src/lib/$path.pm
    local version typemaps=() sources=("$dir/$xs") extra flags=() libraries=()
    version=$(perl -MExtUtils::MakeMaker -e 'print MM->parse_version(shift)' "$pm")
    [ -f "$dir/typemap" ] && typemaps=(-typemap "$dir/typemap")
    for extra in "$dir"/*.c; do
        [ -f "$extra" ] && [ "$extra" != "$dir/$xs.c" ] && sources+=("${extra%.c}")
    done
    # Written by a Windows perl: its lines end in CR LF.
    if [ -f "$dir/makefile-flags.txt" ]; then
        { read -r -a flags; read -r -a libraries; } < <(tr -d '\r' <"$dir/makefile-flags.txt")
    fi
    (cd "$dir" && xsubpp "${typemaps[@]}" -noprototypes "$xs.xs" >"$xs.c")
    local objects=$work/ext-${path//\//-}
    compile "$objects" "$@" -I"$dir" "${flags[@]}" "-DVERSION=\"$version\"" "-DXS_VERSION=\"$version\"" -- "${sources[@]}"
    local boot=boot_${path//\//__}
    printf 'LIBRARY %s\nEXPORTS\n    %s\n    _%s = %s\n' "$leaf" "$boot" "$boot" "$boot" >"$objects/$leaf.def"
    mkdir -p "../lib/auto/$path" "../lib/$(dirname "$path")"
    "${cc[@]}" -shared -o "../lib/auto/$path/$leaf.$dlext" "$objects/$leaf.def" "$objects"/*.o "${extension_link[@]}" \
        "../lib/CORE/lib$dll.a" "${libraries[@]}" "${libs[@]}" -static-libgcc
    [ -f "$dir/$leaf.pm" ] && cp "$dir/$leaf.pm" "../lib/$path.pm"
    [ -d "$dir/lib" ] && cp -r "$dir/lib/." ../lib/
    return 0
}

install_perl() {
    echo "== install into $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix/bin" "$prefix/site/lib"
    cp ../perl.exe "../$dll.dll" "$prefix/bin/"
    cp -r ../lib "$prefix/lib"
}

# ---------------------------------------------------------------------------
# Perls 5.6 and 5.8, as their win32/makefile.mk built them for gcc.
build_classic_era() {
    local archname=MSWin32-x86-multi-thread
    local includes=(-I../lib/CORE -I./include -I. -I..)
    # msvcrt's printf, as every perl of the time had: 1e+020 and 1.#INF.
    local defines=(-DWIN32 -DHAVE_DES_FCRYPT -D__USE_MINGW_ANSI_STDIO=0 "${version_defines[@]}")
    local optimize=(-O2)
    local buildopt=(-DPERL_IMPLICIT_CONTEXT -DPERL_IMPLICIT_SYS -fno-strict-aliasing -DPERL_MSVCRT_READFIX)
    # gcc 10 and later default to -fno-common, which these sources predate, and
    # they rely on signed overflow wrapping (without it gcc 12 miscompiles 5.8's
    # av_extend).
    local compat=(-fcommon -fwrapv -w)
    local cflags=("${includes[@]}" "${defines[@]}" -DPERLDLL -DPERL_CORE "${optimize[@]}" "${compat[@]}")
    # Extensions get the flags that MakeMaker would give them: no PERL_CORE.
    local ext_cflags=("${includes[@]}" "${defines[@]}" "${optimize[@]}" "${buildopt[@]}" "${compat[@]}")
    libs=(-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32
          -lole32 -loleaut32 -lnetapi32 -luuid "$socket_library" -lmpr -lwinmm -lversion -lodbc32)
    dlext=dll
    # Flags that some extensions' Makefile.PL give them.
    declare -A extension_defines=([List::Util]=-DPERL_EXT [Cwd]=-DNO_PPPORT_H)
    # Windows 95's LoadLibrary refuses a DLL with a TLS directory, which
    # mingw-w64's start-up code brings in through this callback unless it is
    # defined away; perl keeps its per-thread data without the compiler's help.
    extension_link=(no_tls.o)

    echo "== miniperl"
    mkdir -p ../lib/CORE
    cp config_H.gc config.h
    compile mini "${cflags[@]}" -DPERL_EXTERNAL_GLOB -- "${core[@]/#/../}" ../miniperlmain ../perlio
    compile mini "${cflags[@]}" -- "${win32_sources[@]}"
    "${cc[@]}" -mconsole -o ../miniperl.exe mini/*.o "${libs[@]}"

    echo "== config.sh, Config.pm, config.h"
    # The extensions as perl lists them: List/Util for List::Util.
    local dynamic_ext="${extensions[*]//:://}"
    # INST_TOP is where the distributions installed; at run time perl finds its
    # library beside the perl DLL, wherever that is.
    write_config_options \
        "INST_DRV=C:" 'INST_TOP=C:\Perl' "INST_VER=" "INST_ARCH=" \
        "archname=$archname" "cc=gcc" "ld=g++" \
        "ccflags=${optimize[*]} ${defines[*]} ${buildopt[*]}" \
        "cf_email=nobody@example.invalid" "d_crypt=define" "d_mymalloc=undef" \
        "libs=${libs[*]}" 'incpath=C:\MinGW\include' "libperl=lib$dll.a" 'libpth=C:\MinGW\lib' \
        "libc=-lmsvcrt" "make=dmake" \
        "_o=.o" "obj_ext=.o" "_a=.a" "lib_ext=.a" \
        "static_ext=${static_extensions[*]}" "dynamic_ext=$dynamic_ext" "nonxs_ext=Errno" \
        "use5005threads=undef" "useithreads=define" "usemultiplicity=define" "${version_options[@]}" \
        "LINK_FLAGS=" "optimize=${optimize[*]}"
    cp config.gc config.w32
    miniperl -I../lib config_sh.PL --cfgsh-option-file cfg_vars.txt config.w32 >../config.sh
    # What config_sh.PL cannot know inside Wine: the compiler's version, and
    # (5.8 finds them in ext/) the extensions that are built.
    set_config gccversion "$("${cc[@]}" -dumpversion)" static_ext "${static_extensions[*]}" \
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
    local static_objects=(../ext/DynaLoader/DynaLoader)
    # The static extensions that perllib.c boots (5.8 lists them in perllibst.h).
    if [ -f buildext.pl ]; then
        miniperl -I../lib buildext.pl --create-perllibst-h
    fi
    local name
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
    "${cxx[@]}" -c -I. "${cflags[@]}" "${buildopt[@]}" -xc++ -o dll/perllib.o perllib.c
    echo '#include <windows.h>
const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = NULL;' >no_tls.c
    "${cc[@]}" -c -o no_tls.o no_tls.c
    "${cxx[@]}" -shared -o "../$dll.dll" perldll.def dll/*.o no_tls.o "${libs[@]}" "${static_runtime[@]}" \
        -Wl,--out-implib,"../lib/CORE/lib$dll.a"
    cp runperl.c perlmain.c
    "${cc[@]}" -c "${cflags[@]}" "${buildopt[@]}" -UPERLDLL -o perlmain.o perlmain.c
    "${cxx[@]}" -mconsole -o ../perl.exe perlmain.o "../lib/CORE/lib$dll.a" "${libs[@]}" "${static_runtime[@]}"

    echo "== Errno.pm"
    make_errno_pm "${version_defines[*]}"

    echo "== extensions: ${extensions[*]}"
    write_makefile_recorder
    local module
    for module in "${extensions[@]}"; do
        local dir=$src/ext/${module//:://}
        if grep -q WriteConstants "$dir/Makefile.PL"; then
            run_makefile_pl "$dir"
            rm -f "$dir/makefile-flags.txt"
        fi
        build_extension "$module" "$dir" "${module##*::}" "${ext_cflags[@]}" ${extension_defines[$module]:-}
    done
    # AutoLoader's pieces (POSIX has many), as the Windows makefile splits them.
    cp splittree.pl ..
    miniperl -I../lib ../splittree.pl "../LIB" ../lib/auto >/dev/null

    install_perl
    local library
    for library in "$prefix/bin/$dll.dll" $(find "$prefix/lib/auto" -name '*.dll'); do
        [[ $($cross-objdump -p "$library") == *$'\nEntry 9 00000000 00000000 '* ]] ||
            { echo "$library has a TLS directory" >&2; exit 1; }
    done
}

# ---------------------------------------------------------------------------
# Perls from 5.22 on, as win32/makefile.mk (5.22) and win32/GNUmakefile
# (5.24 on) build them with gcc: threaded, 64-bit integers.
build_modern_era() {
    local archname=MSWin32-$arch-multi-thread win64=undef
    local defines=(-DWIN32)
    if [ "$arch" = x64 ]; then
        defines+=(-DWIN64) win64=define
    else
        archname+=-64int
    fi
    local includes=(-I./include -I. -I..)
    local cflags=("${extracflags[@]}" "${includes[@]}" "${defines[@]}" -DPERLDLL -DPERL_CORE "${optimize[@]}" -w)
    extension_link=("${static_runtime[@]}")
    local gcc_target=$cross gcc_version
    gcc_version=$(echo __GNUC__.__GNUC_MINOR__.__GNUC_PATCHLEVEL__ | "${cc[@]}" -E -P - | tr -d ' ')

    echo "== generate_uudmap, miniperl"
    # Its tables are the same for every platform: it runs here.
    (cd .. && cc -o generate_uudmap generate_uudmap.c && ./generate_uudmap uudmap.h bitcount.h mg_data.h)
    mkdir -p mini ../lib/CORE
    # The makefile's own amendments of the template, for the options above.
    {
        cat config_H.gc
        echo
        echo '#ifndef _config_h_footer_'
        echo '#define _config_h_footer_'
        local undefine
        for undefine in PTRSIZE SSize_t HAS_ATOLL HAS_STRTOLL HAS_STRTOULL Size_t_size IVTYPE UVTYPE IVSIZE \
                        UVSIZE NV_PRESERVES_UV NV_PRESERVES_UV_BITS IVdf UVuf UVof UVxf UVXf USE_64_BIT_INT \
                        Gconvert HAS_FREXPL HAS_ISNANL HAS_MODFL HAS_MODFL_PROTO HAS_SQRTL HAS_STRTOLD \
                        PERL_PRIfldbl PERL_PRIgldbl PERL_PRIeldbl PERL_SCNfldbl NVTYPE NVSIZE \
                        NV_OVERFLOWS_INTEGERS_AT NVef NVff NVgf USE_LONG_DOUBLE I_QUADMATH USE_QUADMATH \
                        USE_CPLUSPLUS; do
            echo "#undef $undefine"
        done
        local setting
        for setting in "${mini_config[@]}"; do
            printf '#undef %s\n#define %s\n' "${setting%%[( ]*}" "$setting"
        done
        if [ $win64 = define ]; then
            printf '#define %s\n' 'PTRSIZE 8' 'SSize_t long long' HAS_ATOLL HAS_STRTOLL HAS_STRTOULL 'Size_t_size 8'
        else
            printf '#define %s\n' 'PTRSIZE 4' 'SSize_t int' 'Size_t_size 4'
        fi
        printf '#define %s\n' 'IVTYPE long long' 'UVTYPE unsigned long long' 'IVSIZE 8' 'UVSIZE 8' \
            'NV_PRESERVES_UV_BITS 53' 'IVdf "I64d"' 'UVuf "I64u"' 'UVof "I64o"' 'UVxf "I64x"' 'UVXf "I64X"' \
            USE_64_BIT_INT 'Gconvert(x,n,t,b) sprintf((b),"%.*g",(n),(x))' 'NVTYPE double' 'NVSIZE 8' \
            'NV_OVERFLOWS_INTEGERS_AT 256.0*256.0*256.0*256.0*256.0*256.0*2.0*2.0*2.0*2.0*2.0' \
            'NVef "e"' 'NVff "f"' 'NVgf "g"'
        echo '#endif'
    } >mini/config.h
    # The first-stage miniperl has none of the interpreter's options.
    compile mini -Imini "${cflags[@]}" "${mini_buildopt[@]}" -DPERL_EXTERNAL_GLOB -DPERL_IS_MINIPERL -- \
        "${core[@]/#/../}" ../miniperlmain ../perlio "${win32_sources[@]}"
    "${cxx[@]}" -mconsole -o ../miniperl.exe mini/*.o "${libs[@]}" "${static_runtime[@]}"
    (cd .. && miniperl -Ilib -f write_buildcustomize.pl . && miniperl -Ilib make_patchnum.pl)

    echo "== config.sh, Config.pm, config.h"
    write_config_options \
        "INST_TOP=$inst_top" "INST_VER=" "INST_ARCH=" "archname=$archname" "cc=gcc" "ld=g++" \
        "ccflags=${extracflags[*]} ${defines[*]} ${buildopt[*]}" "usecplusplus=undef" \
        "cf_email=nobody@example.invalid" "d_mymalloc=undef" "i_quadmath=undef" "libs=${libs[*]}" \
        "incpath=$cchome\\include" "libperl=lib$dll.a" \
        "libpth=$cchome\\lib;$cchome\\$gcc_target\\lib;$cchome\\lib\\gcc\\$gcc_target\\$gcc_version" \
        "libc=" "make=gmake" "_o=.o" "obj_ext=.o" "_a=.a" "lib_ext=.a" "static_ext=Win32CORE" \
        "usethreads=define" "useithreads=define" "usemultiplicity=define" "useperlio=define" \
        "use64bitint=define" "uselongdouble=undef" "usequadmath=undef" "usesitecustomize=undef" \
        "default_inc_excludes_dot=define" \
        "LINK_FLAGS=-s -L\"$inst_top\\lib\\CORE\" -L\"$cchome\\lib\"" \
        "optimize=${optimize[*]}" "ARCHPREFIX=" "WIN64=$win64" "SKIP_CCHOME_CHECK=1" \
        "dlext=$dlext" "${version_config[@]}"
    # config_sh.PL asks gcc for its version and runtime by running it, which
    # the perl under Wine cannot: the answers are given instead.
    perl -0pi -e 's/elsif \(\$opt\{cc\} =~ \/\\bgcc\\b\/\) \{(?=\s*chomp\(\$opt\{gccversion)/elsif (0) {/' config_sh.PL
    grep -q 'elsif (0)' config_sh.PL
    miniperl -I../lib config_sh.PL --cfgsh-option-file cfg_vars.txt config.gc >../config.sh
    set_config gccversion "$gcc_version" libc "-l$crt"
    miniperl -I../lib ../configpm --chdir=..
    # It writes the config.h of the whole perl and copies it to lib/CORE;
    # its exit status says whether that changed, which it must have here.
    mkdir -p "$(dirname "$full_config")" ../lib/CORE
    miniperl -I../lib config_h.PL "CONFIG_H=${full_config//\//\\}" "ARCHPREFIX=" || true
    grep -q -E '^#define\s+USE_ITHREADS' "$full_config"
    cp ./*.h ../*.h ../lib/CORE/
    cp "$full_config" ../lib/CORE/config.h
    cp -r include/. ../lib/CORE/
    miniperl -I../lib create_perllibst_h.pl
    miniperl -I../lib -w ../makedef.pl PLATFORM=win32 "CONFIG_H=${full_config//\//\\}" "${optimize[@]}" \
        "${defines[@]}" "${buildopt[@]}" CCTYPE=GCC 'TARG_DIR=..\' >perldll.def

    echo "== DynaLoader, XSLoader"
    xsubpp() {
        miniperl "${toolchain[@]}" "$src/dist/ExtUtils-ParseXS/lib/ExtUtils/xsubpp" \
            -typemap "$src/lib/ExtUtils/typemap" "$@"
    }
    (cd ../ext/DynaLoader && miniperl -I../../lib DynaLoader_pm.PL && cp dl_win32.xs DynaLoader.xs &&
        xsubpp -noprototypes DynaLoader.xs >DynaLoader.c && cp DynaLoader.pm ../../lib/)
    (cd ../dist/XSLoader && miniperl -I../../lib XSLoader_pm.PL && cp XSLoader.pm ../../lib/)
    cp ../ext/Win32CORE/Win32CORE.pm ../lib/

    echo "== $dll.dll, perl.exe"
    local full_cflags=(-I"$(dirname "$full_config")" "${cflags[@]}" "${buildopt[@]}")
    compile dll "${full_cflags[@]}" -- "${core[@]/#/../}" ../perlio "${win32_sources[@]}"
    compile dll "${full_cflags[@]}" -I../ext/DynaLoader '-DLIBC=""' -- ../ext/DynaLoader/DynaLoader
    compile dll "${full_cflags[@]}" -UPERL_CORE -- ../ext/Win32CORE/Win32CORE
    # With PERL_IMPLICIT_SYS the host is C++.
    "${cxx[@]}" -c "${full_cflags[@]}" -xc++ -o dll/perllib.o perllib.c
    "${cxx[@]}" -shared -s -o "../$dll.dll" perldll.def dll/*.o "${libs[@]}" "${static_runtime[@]}" \
        -Wl,--out-implib,"../lib/CORE/lib$dll.a"
    "${cc[@]}" -c "${full_cflags[@]}" -UPERLDLL -o perlmain.o runperl.c
    "${cxx[@]}" -mconsole -s -o ../perl.exe perlmain.o "../lib/CORE/lib$dll.a" "${libs[@]}" "${static_runtime[@]}"

    echo "== Errno.pm"
    make_errno_pm ""
    # Perls before 5.32 read their Unicode tables at run time.
    if [ -f ../lib/utf8_heavy.pl ]; then
        echo "== Unicode tables"
        miniperl "${toolchain[@]}" ../lib/unicore/mktables -C ../lib/unicore -P ../pod -maketest -makelist -p
    fi

    echo "== the pure-Perl library"
    # Every distribution's lib/, as pm_to_blib would install it.
    local dist pm parent
    for dist in ../cpan/* ../dist/* ../ext/*; do
        if [ -d "$dist/lib" ]; then
            # What lib/ has already stays.
            tar -C "$dist/lib" -cf - . | tar -C ../lib -xf - --skip-old-files
        elif ! ls "$dist"/*.xs >/dev/null 2>&1; then
            # Config-Perl-V/V.pm is Config/Perl/V.pm.
            parent=$(dirname "$(basename "$dist" | tr - /)")
            for pm in "$dist"/*.pm; do
                [ -f "$pm" ] && [ ! -e "../lib/$parent/${pm##*/}" ] && mkdir -p "../lib/$parent" &&
                    cp "$pm" "../lib/$parent/"
            done
        fi
    done

    echo "== extensions"
    write_makefile_recorder
    # The extensions that t/, MakeMaker and Test::Harness need, each in the
    # folder of its distribution (Cwd's is PathTools).
    local module dist_name folder dir xs
    for module in Cwd List::Util Time::HiRes POSIX IO Fcntl Data::Dumper Win32 File::Glob PerlIO::scalar \
                  threads threads::shared Socket attributes mro B; do
        case $module in
            Cwd) dist_name=PathTools ;;
            List::Util) dist_name=Scalar-List-Utils ;;
            *) dist_name=${module//::/-} ;;
        esac
        dir=""
        for folder in cpan dist ext; do
            if [ -d "$src/$folder/$dist_name" ]; then dir=$src/$folder/$dist_name; fi
        done
        # PerlIO::scalar is built into perl from 5.40 on.
        [ -n "$dir" ] && ls "$dir"/*.xs >/dev/null 2>&1 || continue
        [ -f "$dir/Makefile.PL" ] && run_makefile_pl "$dir"
        # What the core build's mkppport puts in each extension's folder;
        # the host's Devel::PPPort serves every perl alike.
        perl -MDevel::PPPort -e 'Devel::PPPort::WriteFile(shift)' "$dir/ppport.h"
        xs=$(cd "$dir" && ls ./*.xs | head -1)
        xs=${xs#./}
        build_extension "$module" "$dir" "${xs%.xs}" "${extracflags[@]}" "${defines[@]}" "${buildopt[@]}" \
            "${optimize[@]}" -w -I../lib/CORE
    done

    install_perl
}

build() {
    run_wine --session
    tar xf "$tarball" -C "$work"
    src=$(echo "$work"/perl-*)
    cd "$src/win32"
    # The file is win32iop.h: Windows does not mind the case, Linux does.
    sed -i 's/"Win32iop.h"/"win32iop.h"/' win32.c win32sck.c
    fix_sources
    miniperl() { run_wine "$src/miniperl.exe" "$@"; }
    # What the helper scripts load from the source tree: its lib/ (first, where
    # from 5.22 on miniperl finds the build's @INC in buildcustomize.pl), and
    # what that leaves out on Windows before 5.24.
    toolchain=(-I"$src/lib")
    for folder in dist/ExtUtils-ParseXS cpan/Getopt-Long cpan/ExtUtils-Constant cpan/parent dist/base; do
        [ -d "$src/$folder/lib" ] && toolchain+=(-I"$src/$folder/lib")
    done

    case $era in
        classic) build_classic_era ;;
        modern) build_modern_era ;;
    esac
}

if [ -n "$settings_only" ]; then
    declare -p cc cxx static_runtime crt era dll core win32_sources extensions version_defines socket_library \
        static_extensions version_options buildopt mini_buildopt extracflags optimize libs inst_top cchome dlext \
        version_config mini_config full_config 2>/dev/null || true
    declare -f fix_sources run_wine compile set_config write_config_options make_errno_pm write_makefile_recorder \
        run_makefile_pl build_extension install_perl build_${era}_era build
    exit 0
fi

if [ $crt = ucrt ]; then
    # The compilers build for the UCRT through a specs file (tools/perl-cache.sh).
    specs=$("$here/tools/perl-cache.sh" ucrt-specs "${cc[0]}")
    cc+=("-specs=$specs")
    cxx+=("-specs=$("$here/tools/perl-cache.sh" ucrt-specs "${cxx[0]}")")
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build
