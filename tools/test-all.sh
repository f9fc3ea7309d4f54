#!/usr/bin/env bash
# Builds and runs every test this machine can run, and says what it skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

skipped=()

cmake --workflow --preset default

if command -v clang++ >/dev/null; then
    cmake --workflow --preset sanitize
else
    skipped+=("sanitize (needs clang++)")
fi

for preset in windows-x86 windows-x64; do
    case $preset in
        windows-x86) compiler=i686-w64-mingw32-g++-posix ;;
        windows-x64) compiler=x86_64-w64-mingw32-g++-posix ;;
    esac
    if command -v "$compiler" >/dev/null && command -v wine >/dev/null; then
        cmake --workflow --preset "$preset"
    else
        skipped+=("$preset (needs $compiler and wine)")
    fi
done

if [ ${#skipped[@]} -gt 0 ]; then
    echo
    echo "SKIPPED, not run on this machine:"
    printf '  %s\n' "${skipped[@]}"
fi
