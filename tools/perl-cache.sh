#!/usr/bin/env bash
# Fetches or builds the interpreters and tools the module is tested with,
# once, into a cache outside the clone, and prints the path of what was
# asked for:
#
#   tools/perl-cache.sh perl NAME       the perl of NAME in the table of perls
#                                       (tools/perls.pl list): built from source
#                                       for Linux, cross-built from source for
#                                       Windows, or a packaged Windows runtime
#   tools/perl-cache.sh windows-headers VERSION   the headers (CORE) of the
#                                       packaged Windows perl of that version
#   tools/perl-cache.sh test-more       the lib folder of Test::More 0.98
#   tools/perl-cache.sh gmake 64        gmake.exe, GNU make for 64-bit (or 32)
#                                       Windows, cross-built from its source
#   tools/perl-cache.sh ucrt-specs COMPILER   a specs file that makes that
#                                       mingw-w64 compiler build for the
#                                       Universal C Runtime
#   tools/perl-cache.sh cpan-modules VERSION   the pure-Perl modules a Windows
#                                       perl of that version lacks to build a
#                                       CPAN tarball
#
# It exits 2, saying why on stderr, when the thing cannot be had here, and 1
# when it should have been had but its build failed. Each item is made in a
# folder beside its place and moved there whole, by one process at a time:
# others that need it wait for that one (at most VARROKIT_CACHE_WAIT
# seconds, default 2400). A build that failed during the run named by
# VARROKIT_RUN_ID fails again at once for the rest of that run.
# VARROKIT_CACHE overrides the cache (default ~/.cache/varrokit9x), and
# VARROKIT_EQUIPMENT the folder of test equipment (default ../shared).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/common.sh"
cache=$varrokit_cache
# The test equipment the repository does not hold: the perls' sources, the
# Windows perls' headers and GNU make's source (CONTRIBUTING.md, "Test equipment").
equipment=${VARROKIT_EQUIPMENT:-$(dirname "$here")/shared}

cannot() { echo "$*" >&2; exit 2; }
failed() { echo "$*" >&2; exit 1; }

staging="" log=""
trap 'rm -rf "$staging" "$log"' EXIT

# Whether TARGET was made whole. The mark also tells a finished item from
# one that an older version of this script left half made in its place.
made() { [ -e "$1/.complete" ]; }

# make_once TARGET FUNCTION ARGS...: unless TARGET is made, runs FUNCTION
# ARGS... to fill $staging, a new folder beside it, and then puts that in
# TARGET's place whole. The lock is TARGET's own, whoever asks for it; the
# maker does not inherit it, which a Wine server it starts would hold on.
make_once() {
    local target=$1
    shift
    made "$target" && return
    mkdir -p "$(dirname "$target")"
    exec 8>"$target.lock"
    local wait=${VARROKIT_CACHE_WAIT:-2400}
    flock -w "$wait" 8 || failed "waited $wait s for another build of $target"
    if ! made "$target"; then
        local failure="$target.failed"
        if [ -n "${VARROKIT_RUN_ID:-}" ] && [ "$(head -1 "$failure" 2>/dev/null)" = "$VARROKIT_RUN_ID" ]; then
            tail -n +2 "$failure" >&2
            failed "(failed earlier in this run; not built again)"
        fi
        staging=$(mktemp -d "$target.staging.XXXXXX")
        log=$(mktemp)
        # Not in a condition, which would switch off set -e inside.
        set +e
        ( set -e; "$@" ) >"$log" 2>&1 8>&-
        local status=$?
        set -e
        if [ $status = 0 ]; then
            touch "$staging/.complete"
            rm -rf "$target"
            mv -T "$staging" "$target"
            rm -f "$failure"
        else
            { echo "${VARROKIT_RUN_ID:-}"; tail -30 "$log"; echo "$*: failed"; } >"$failure"
            tail -n +2 "$failure" >&2
            exit 1
        fi
    fi
    exec 8>&-
}

# The path of a release's source tarball (NAME.tar.xz or NAME.tar.gz), or why
# there is none.
source_tarball() {
    local name=$1 file
    for file in "$equipment/perls/source/$name".tar.{xz,gz}; do
        [ -f "$file" ] && { echo "$file"; return; }
    done
    cannot "no source for $name (tools/fetch-equipment.sh $name, or put $name.tar.gz in $equipment/perls/source)"
}

unpack_into() { tar xf "$1" -C "$2" --strip-components=1; }

# Checks the perl just made against its entry in the table.
check_perl() {
    perl "$here/tools/perls.pl" check "$perl_name" "$1"
}

# Installed as if at TARGET, which Configure writes into the perl, but into
# $staging (installprefix), and then moved there.
build_linux_perl() {
    local tarball=$1 target=$2
    shift 2
    local work=$staging/.source
    mkdir -p "$work"
    unpack_into "$tarball" "$work"
    cd "$work"
    patchperl
    sh Configure "$@" -Dprefix="$target" -Dinstallprefix="$staging"
    make -j"$(nproc)"
    make install
    cd /
    rm -rf "$work"
}

linux_perl() {
    local tarball
    tarball=$(source_tarball "perl-$perl_version")
    command -v patchperl >/dev/null || cannot "patchperl is missing (Debian: libdevel-patchperl-perl)"
    local options=(-des $perl_configure -Dman1dir=none -Dman3dir=none)
    local key target
    key=$( { sha256sum <"$tarball"; echo "${options[*]}"; } | sha256sum | cut -c1-16)
    target="$cache/perl-$perl_version-$key"
    if ! made "$target"; then
        echo "building perl $perl_version into $target (one to five minutes)" >&2
        make_once "$target" build_linux_perl "$tarball" "$target" "${options[@]}"
        check_perl "$target/bin/perl" || { rm -rf "$target"; failed "perl $perl_version was built otherwise than its entry says"; }
    fi
    echo "$target/bin/perl"
}

# Cross-built by tools/win32-perl.sh, which holds the build settings of each;
# the key is that perl's own settings and its source, so that an edit for
# one perl rebuilds that one alone.
build_windows_perl() {
    local tarball=$1
    "$here/tools/win32-perl.sh" "$perl_build" "$tarball" "$staging"
    check_perl "$staging/bin/perl.exe"
}

win32_source_perl() {
    local tarball triplet wine_arch
    tarball=$(source_tarball "perl-$perl_version")
    case $perl_bits in
        32) triplet=i686-w64-mingw32 wine_arch=i686 ;;
        64) triplet=x86_64-w64-mingw32 wine_arch=x86_64 ;;
    esac
    local tool
    for tool in $triplet-gcc-win32 $triplet-g++-win32; do
        command -v "$tool" >/dev/null ||
            cannot "$tool is missing: cannot cross-build perl $perl_version for Windows (Debian: g++-mingw-w64, wine)"
    done
    local key target settings
    settings=$("$here/tools/win32-perl.sh" --settings "$perl_build") || failed "no build settings for $perl_build"
    key=$( { sha256sum <"$tarball"; echo "$settings"; } | sha256sum | cut -c1-16)
    target="$cache/windows-perl-$perl_build-$key"
    if ! made "$target"; then
        # Its helper scripts run under its first-stage miniperl.exe, under Wine.
        local why
        why=$("$here/tools/wine.sh" "$wine_arch" --can-run 2>&1) ||
            cannot "cannot cross-build perl $perl_version for Windows ($perl_bits-bit): $why"
        echo "cross-building perl $perl_version for Windows ($perl_bits-bit) into $target (two to eight minutes)" >&2
        make_once "$target" build_windows_perl "$tarball"
    fi
    echo "$target/bin/perl.exe"
}

# Debian's mingw-w64 compilers build for msvcrt. The same runtime files
# hold the Universal C Runtime's import library, which a specs file can put
# in msvcrt's place, with _UCRT defined, as a UCRT compiler has it. The
# winpthread library was built for msvcrt, whose _setjmp the UCRT lacks:
# mingw-w64's own serves it.
write_ucrt_specs() {
    echo "$1" | sed -e 's/-lmsvcrt /--defsym=_setjmp=__intrinsic_setjmp -lucrt /' \
                    -e '/^\*cc1:$/{n;s/$/ -D_UCRT/}' >"$staging/specs"
    grep -q -- '-lucrt' "$staging/specs" && grep -q -- '-D_UCRT' "$staging/specs" ||
        { echo "the compiler's specs name no -lmsvcrt or cc1 options to replace"; return 1; }
}
ucrt_specs() {
    local compiler=$1
    command -v "$compiler" >/dev/null || cannot "$compiler is missing (Debian: g++-mingw-w64)"
    local specs
    specs=$("$compiler" -dumpspecs) || failed "$compiler cannot say its specs"
    local target
    target="$cache/ucrt-specs-$( { echo "$specs"; declare -f write_ucrt_specs; } | sha256sum | cut -c1-16)"
    make_once "$target" write_ucrt_specs "$specs"
    echo "$target/specs"
}

fetch_windows_runtime() {
    local work=$staging/.fetch tgz actual
    mkdir -p "$work"
    (cd "$work" && npm pack --silent "$perl_package" >/dev/null)
    tgz=$(ls "$work"/*.tgz)
    actual="sha512-$(perl -MDigest::SHA -MMIME::Base64 -e \
        'print encode_base64(Digest::SHA->new(512)->addfile(shift)->digest, "")' "$tgz")"
    [ "$actual" = "$perl_integrity" ] || { echo "$perl_package does not match its known integrity"; return 1; }
    unpack_into "$tgz" "$staging"
    rm -rf "$work"
    check_perl "$staging/bin/exiftool_files/perl.exe"
}

# A Windows runtime that ships inside an npm package; the integrity is the
# package's own.
windows_runtime() {
    # The runtimes ship no headers: the build takes them from the equipment.
    windows_headers "$perl_version" >/dev/null
    local target="$cache/windows-perl-$perl_name-${perl_package##*@}"
    if ! made "$target"; then
        command -v npm >/dev/null || cannot "npm is missing: cannot fetch the Windows perl ($perl_package)"
        make_once "$target" fetch_windows_runtime
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

perl_entry() {
    local entry
    entry=$(perl "$here/tools/perls.pl" shell "$1") || exit 2
    eval "$entry"
    case $perl_from in
        host) command -v perl ;;
        linux-source) linux_perl ;;
        windows-source) win32_source_perl ;;
        windows-package) windows_runtime ;;
        *) cannot "$1 names no perl" ;;
    esac
}

unpack_test_more() { unpack_into "$1" "$staging"; }
test_more() {
    local tarball
    tarball=$(source_tarball Test-Simple-0.98)
    make_once "$cache/Test-Simple-0.98" unpack_test_more "$tarball"
    echo "$cache/Test-Simple-0.98/lib"
}

# GNU make for Windows, built as its build_w32.bat builds it with gcc.
build_gmake() {
    local tarball=$1 cc=$2
    cd "$staging"
    tar xzf "$tarball" --strip-components=1
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
    find . -mindepth 1 -maxdepth 1 ! -name gmake.exe -exec rm -rf {} +
}
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
    target="$cache/gmake-$bits-$( { cat "$tarball"; declare -f build_gmake; } | sha256sum | cut -c1-16)"
    made "$target" || echo "building gmake.exe ($bits-bit) into $target (half a minute)" >&2
    make_once "$target" build_gmake "$tarball" "$cc"
    echo "$target/gmake.exe"
}

# What a Windows perl lacks to run MakeMaker, xsubpp and t/, for the perls
# of VERSION's era: the toolchain release's pure-Perl toolchain, and
# Debian's ExtUtils::CppGuess and Capture::Tiny. Perls from 5.10 on get
# that release's version.pm and Test::More, and the core modules that a
# trimmed runtime leaves out. Older perls cannot run those: version.pm needs
# the version objects built into 5.10, and a Test::More on Test2 needs
# Time::HiRes. They get Debian's pure-Perl version.pm and Test::More 0.98.
gather_cpan_modules() {
    local tarball=$1 era=$2 test_more_lib=$3
    shift 3
    local work=$staging/.source source
    mkdir -p "$work" "$staging/ExtUtils" "$staging/File/Spec"
    unpack_into "$tarball" "$work"
    for source in cpan/ExtUtils-MakeMaker cpan/ExtUtils-Install cpan/ExtUtils-Manifest \
                  cpan/ExtUtils-PL2Bat dist/ExtUtils-ParseXS cpan/Getopt-Long cpan/Test-Harness; do
        cp -r "$work/$source/lib/." "$staging/"
    done
    cp "$work/cpan/AutoLoader/lib/AutoSplit.pm" "$staging/"
    cp "$work/lib/File/Compare.pm" "$staging/File/"
    cp "$work/dist/PathTools/lib/File/Spec/Functions.pm" "$staging/File/Spec/"
    cp "$work/lib/ExtUtils/typemap" "$staging/ExtUtils/"
    if [ "$era" = 5.10 ]; then
        cp -r "$work/cpan/version/lib/." "$work/cpan/Test-Simple/lib/." "$staging/"
        # Left out of the trimmed 5.30 runtime; MakeMaker and Test::Harness load them.
        mkdir -p "$staging/Text"
        cp "$work/cpan/Text-ParseWords/lib/Text/ParseWords.pm" "$staging/Text/"
        cp "$work/lib/PerlIO.pm" "$work/lib/Benchmark.pm" "$staging/"
    else
        cp -r "$test_more_lib/." "$staging/"
    fi
    rm -rf "$work"
    # The host's modules: NAME=PATH.
    local module
    for module in "$@"; do
        mkdir -p "$staging/$(dirname "${module%%=*}")"
        cp "${module#*=}" "$staging/${module%%=*}"
    done
}
cpan_modules() {
    local version=$1 era
    case $version in
        5.[6-9].* | 5.[6-9]) era=before-5.10 ;;
        5.*) era=5.10 ;;
        *) cannot "cpan-modules for a perl version such as 5.8.9, not $version" ;;
    esac
    local tarball
    tarball=$(source_tarball "$(perl "$here/tools/perls.pl" toolchain)")
    local host=(ExtUtils/CppGuess.pm Capture/Tiny.pm) host_lacks="Debian: libextutils-cppguess-perl"
    local test_more_lib=""
    if [ $era = before-5.10 ]; then
        host+=(version.pm version/vpp.pm version/regex.pm) host_lacks+=", libversion-perl"
        test_more_lib=$(test_more)
    fi
    local found=() module path
    for module in "${host[@]}"; do
        path=$(perl -e 'my $file = shift; eval { require $file } or exit 1; print $INC{$file}' "$module") ||
            cannot "the host perl lacks $module ($host_lacks)"
        found+=("$module=$path")
    done
    local target
    target="$cache/cpan-modules-$era-$( { cat "$tarball" "${found[@]#*=}"; declare -f gather_cpan_modules; } |
        sha256sum | cut -c1-16)"
    make_once "$target" gather_cpan_modules "$tarball" "$era" "$test_more_lib" "${found[@]}"
    echo "$target"
}

case ${1:-} in
    perl) perl_entry "${2:?which perl (tools/perls.pl list)}" ;;
    windows-headers) windows_headers "${2:?the version, such as 5.30.0}" ;;
    test-more) test_more ;;
    gmake) windows_gmake "${2:?32 or 64}" ;;
    ucrt-specs) ucrt_specs "${2:?the mingw-w64 compiler}" ;;
    cpan-modules) cpan_modules "${2:?the version of the perl, such as 5.8.9}" ;;
    *) cannot "usage: tools/perl-cache.sh perl NAME | windows-headers VERSION | test-more | gmake 32|64 | ucrt-specs COMPILER | cpan-modules VERSION" ;;
esac
