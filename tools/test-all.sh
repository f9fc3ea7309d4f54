#!/usr/bin/env bash
# Builds and runs every test this machine can run. Every stage runs, whatever
# the stages before it gave; one that needs what an earlier stage failed to
# make is skipped. The run ends with a table of the stages, what each gave and
# its seconds, and says what it skipped and why. Exits 1 if any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."

names=() results=() seconds=() reasons=()
record() { names+=("$1") results+=("$2") seconds+=("$3") reasons+=("${4:-}"); }
skip() { record "$1" skipped 0 "$2"; }

# stage NAME COMMAND...: runs the command, stopping it at its first failure,
# and records what it gave. Exit status 77 means it cannot run here: the
# last line it wrote to stderr says why.
stage() {
    local name=$1 start=$SECONDS status log
    shift
    echo
    echo "=== $name"
    log=$(mktemp)
    # Neither a condition nor || around the subshell: either would switch
    # off its set -e.
    { (set -e; "$@") 2>&1 1>&3 | tee "$log" >&2; } 3>&1
    status=$?
    case $status in
        0) record "$name" passed $((SECONDS - start)) ;;
        77) skip "$name" "$(tail -1 "$log")" ;;
        *) record "$name" failed $((SECONDS - start)) "exit status $status" ;;
    esac
    rm -f "$log"
}
# Whether the last stage recorded passed.
passed() { [ "${results[-1]}" = passed ]; }

workflow() { cmake --workflow --preset "$1"; }

# The interpreter or tool a stage needs, fetched or built once into a cache
# (tools/perl-cache.sh): sets $found to it and returns 0; or sets $why and
# returns 2 when it cannot be had here, and 1 when its build failed.
have() {
    local log status=0
    log=$(mktemp)
    found=$(tools/perl-cache.sh "$@" 2>"$log") || status=$?
    why=$(tr '\n' ' ' <"$log" | sed 's/ $//')
    rm -f "$log"
    [ $status = 0 ] || [ $status = 2 ] || status=1
    return $status
}
# Runs stage NAME with the thing have() was asked for; skips or fails it
# where that could not be had.
with() {
    local name=$1 status=$2
    shift 2
    case $status in
        0) stage "$name" "$@" ;;
        2) skip "$name" "$why" ;;
        *) record "$name" failed 0 "$why" ;;
    esac
}

stage default workflow default

# The release tarball, as Perl users install it; then with each perl's own
# MakeMaker. Perl 5.6 lacks what Capture::Tiny needs, and is served by CMake
# and the PPM package.
dist_dir=$(mktemp -d)
trap 'rm -rf "$dist_dir"' EXIT
tarball_perls=(5.8.9 5.22.4 5.40.0)
windows_routes=(windows-x64 windows-x64-5.40.0 windows-x86 windows-x86-5.8.9)
cpan_routes=("${tarball_perls[@]/#/cpan, perl }" "${windows_routes[@]/#/cpan, }")
if ! perl -MExtUtils::CppGuess -e1 2>/dev/null || ! command -v cpanm >/dev/null; then
    skip "cpan, the system perl" "needs ExtUtils::CppGuess and cpanm (Debian: libextutils-cppguess-perl, cpanminus)"
    for name in "${cpan_routes[@]}"; do skip "$name" "needs the release tarball, which needs cpanm"; done
else
    stage "cpan, the system perl" tools/test-cpan.sh "$dist_dir"
    if passed; then
        tarball=$(ls "$dist_dir"/*.tar.gz)
        for version in "${tarball_perls[@]}"; do
            have linux "$version"
            with "cpan, perl $version" $? tools/linux-cpan.sh "$found" "$tarball"
        done
        # Inside every Windows perl, as a Windows user installs it.
        for workflow in "${windows_routes[@]}"; do
            stage "cpan, $workflow" tools/windows-cpan.sh "$workflow" "$tarball"
        done
    else
        for name in "${cpan_routes[@]}"; do
            skip "$name" "needs the release tarball, which the stage \"cpan, the system perl\" failed to make"
        done
    fi
fi

for version in 5.6.2 5.8.9 5.22.4 5.40.0; do
    have linux "$version"
    with "perl-$version" $? workflow "perl-$version"
done

if command -v clang++ >/dev/null; then
    stage sanitize workflow sanitize
else
    skip sanitize "needs clang++ (Debian: clang)"
fi

# Some hosts run no 32-bit x86 program, nor so the 32-bit half of Wine.
# There the 32-bit DLLs are still built and checked as files.
why_no_32bit=$(tools/runs-32bit.sh 2>&1) && why_no_32bit=""

# The lookup and its tests under Wine, without a perl.
lookup_only() {
    cmake --preset "$1" -DVARROKIT_BUILD_MODULE=OFF
    cmake --build --preset "$1"
    ctest --preset "$1"
}

for arch in x86-5.6.2 x86-5.8.9 x86 x64 x64-5.40.0; do
    preset=windows-$arch
    case $arch in
        x86*) compiler=i686-w64-mingw32-g++-posix why_not_here=$why_no_32bit ;;
        x64*) compiler=x86_64-w64-mingw32-g++-posix why_not_here="" ;;
    esac
    if ! command -v "$compiler" >/dev/null || ! command -v wine >/dev/null; then
        skip "$preset" "needs $compiler and wine (Debian: g++-mingw-w64, wine)"
        continue
    fi
    have windows "$arch"
    status=$?
    if [ $status != 2 ]; then
        with "$preset" $status workflow "$preset"
        [ -z "$why_not_here" ] || [ $status != 0 ] || ! passed ||
            skip "$preset under Wine" "the lookup tests, t/ and everything else (the DLL was built and checked as a file): $why_not_here"
    elif [[ $arch = *-5.* ]]; then
        # windows-x86 and windows-x64 run the same lookup tests without a perl.
        skip "$preset" "$why"
    elif [ -n "$why_not_here" ]; then
        skip "$preset" "$why; and $why_not_here"
    else
        stage "$preset, the lookup alone" lookup_only "$preset"
        skip "$preset, the module" "the module inside a Windows perl and t/ under Wine: $why"
    fi
done

echo
printf '%-30s %-8s %7s  %s\n' STAGE RESULT SECONDS ""
failed=() skipped=()
for i in "${!names[@]}"; do
    printf '%-30s %-8s %7s  %s\n' "${names[$i]}" "${results[$i]}" "${seconds[$i]}" "${reasons[$i]}"
    case ${results[$i]} in
        failed) failed+=("${names[$i]}") ;;
        skipped) skipped+=("${names[$i]}: ${reasons[$i]}") ;;
    esac
done
echo
if [ ${#skipped[@]} -gt 0 ]; then
    echo "SKIPPED, not run on this machine:"
    printf '  %s\n' "${skipped[@]}"
elif [ ${#failed[@]} = 0 ]; then
    echo "Nothing skipped."
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
