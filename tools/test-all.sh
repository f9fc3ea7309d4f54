#!/usr/bin/env bash
# Builds and runs every test this machine can run, and says what it skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

skipped=()

# The interpreter a preset builds for, fetched or built once into a cache:
# sets $found to it, or $why and fails when it cannot be had here.
have_perl() {
    local log
    log=$(mktemp)
    found=$(tools/perl-cache.sh "$@" 2>"$log") && { rm -f "$log"; return 0; }
    why=$(tr '\n' ' ' <"$log" | sed 's/ $//')
    rm -f "$log"
    return 1
}

cmake --workflow --preset default

if perl -MExtUtils::CppGuess -e1 2>/dev/null && command -v cpanm >/dev/null; then
    # The tarball with each perl's own MakeMaker; perl 5.6 lacks what
    # Capture::Tiny needs, and is served by CMake and the PPM package.
    tarball_perls=()
    for version in 5.8.9 5.22.4 5.40.0; do
        if have_perl linux "$version"; then
            tarball_perls+=("$found")
        else
            skipped+=("the CPAN tarball with perl $version: $why")
        fi
    done
    # And inside every Windows perl, as a Windows user installs it.
    skipped_file=$(mktemp)
    VARROKIT_SKIPPED_FILE=$skipped_file tools/test-cpan.sh "${tarball_perls[@]}" \
        windows-x64 windows-x86 windows-x86-5.8.9
    mapfile -t -O ${#skipped[@]} skipped <"$skipped_file"
    rm -f "$skipped_file"
else
    skipped+=("the CPAN distribution (needs ExtUtils::CppGuess and cpanm)")
fi

for version in 5.6.2 5.8.9 5.22.4 5.40.0; do
    if have_perl linux "$version"; then
        cmake --workflow --preset "perl-$version"
    else
        skipped+=("perl-$version, the module for perl $version: $why")
    fi
done

if command -v clang++ >/dev/null; then
    cmake --workflow --preset sanitize
else
    skipped+=("sanitize (needs clang++)")
fi

# Some hosts run no 32-bit x86 program, nor so the 32-bit half of Wine.
# There the 32-bit DLLs are still built and checked as files.
why_no_32bit=$(tools/runs-32bit.sh 2>&1) && why_no_32bit=""

for arch in x86-5.6.2 x86-5.8.9 x86 x64; do
    preset=windows-$arch
    case $arch in
        x86*) compiler=i686-w64-mingw32-g++-posix why_not_here=$why_no_32bit ;;
        x64) compiler=x86_64-w64-mingw32-g++-posix why_not_here="" ;;
    esac
    if ! command -v "$compiler" >/dev/null || ! command -v wine >/dev/null; then
        skipped+=("$preset (needs $compiler and wine)")
    elif have_perl windows "$arch"; then
        cmake --workflow --preset "$preset"
        [ -z "$why_not_here" ] ||
            skipped+=("$preset: the lookup tests, t/ and everything else under Wine (the DLL was built and checked as a file): $why_not_here")
    elif [[ $arch = x86-5.* ]]; then
        # windows-x86 runs the same lookup tests without a perl.
        skipped+=("$preset: $why")
    elif [ -n "$why_not_here" ]; then
        skipped+=("$preset: $why; and $why_not_here")
    else
        # The lookup and its tests still run under Wine, without a perl.
        cmake --preset "$preset" -DVARROKIT_BUILD_MODULE=OFF
        cmake --build --preset "$preset"
        ctest --preset "$preset"
        skipped+=("$preset: the module inside a Windows perl and t/ under Wine: $why")
    fi
done

if [ ${#skipped[@]} -gt 0 ]; then
    echo
    echo "SKIPPED, not run on this machine:"
    printf '  %s\n' "${skipped[@]}"
else
    echo
    echo "Nothing skipped."
fi
