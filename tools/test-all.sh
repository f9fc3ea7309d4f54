#!/usr/bin/env bash
# Builds and runs every test this machine can run. Every stage runs, whatever
# the stages before it gave; one that needs what an earlier stage failed to
# make is skipped. Stages run side by side, as many at once as the machine
# has cores (VARROKIT_JOBS overrides), each with its output kept apart and
# printed whole when it ends. The run ends with a table of the stages, what
# each gave and its seconds, and says what it skipped and why. Exits 1 if any
# stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
jobs=()                 # the stages to run, as the words of a job function call
job() { jobs+=("$*"); }

# In a job: its records go to its own file, one line each, in the order made.
record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:-}" >>"$records"; }
skip() { record "$1" skipped 0 "$2"; }

# stage NAME COMMAND...: runs the command, stopping it at its first failure,
# and records what it gave. Exit status 77 means it cannot run here: the
# last line it wrote says why.
stage() {
    local name=$1 start=$SECONDS status
    shift
    {
        echo
        echo "=== $name"
    } >>"$log"
    # Neither a condition nor || around the subshell: either would switch
    # off its set -e.
    (set -e; "$@") >>"$log" 2>&1 </dev/null
    status=$?
    case $status in
        0) record "$name" passed $((SECONDS - start)) ;;
        77) skip "$name" "$(tail -1 "$log")" ;;
        *) record "$name" failed $((SECONDS - start)) "exit status $status" ;;
    esac
    return $status
}

workflow() { cmake --workflow --preset "$1"; }

# The interpreter or tool a stage needs, fetched or built once into a cache
# (tools/perl-cache.sh): sets $found to it and returns 0; or sets $why and
# returns 2 when it cannot be had here, and 1 when its build failed.
have() {
    local why_file status=0
    why_file=$(mktemp)
    found=$(tools/perl-cache.sh "$@" 2>"$why_file") || status=$?
    why=$(tr '\n' ' ' <"$why_file" | sed 's/ $//')
    rm -f "$why_file"
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

# ---------------------------------------------------------------------------
# The stages.

job_workflow() { stage "$1" workflow "$1"; }

job_perl() {
    have linux "$1"
    with "perl-$1" $? workflow "perl-$1"
}

job_sanitize() {
    if command -v clang++ >/dev/null; then
        stage sanitize workflow sanitize
    else
        skip sanitize "needs clang++ (Debian: clang)"
    fi
}

# The release tarball, as Perl users install it; then with each perl's own
# MakeMaker. Perl 5.6 lacks what Capture::Tiny needs, and is served by CMake
# and the PPM package.
dist_dir="$state/dist"
job_tarball() {
    if ! perl -MExtUtils::CppGuess -e1 2>/dev/null || ! command -v cpanm >/dev/null; then
        skip "cpan, the system perl" "needs ExtUtils::CppGuess and cpanm (Debian: libextutils-cppguess-perl, cpanminus)"
        echo "needs the release tarball, which needs cpanm" >"$state/tarball.missing"
        return
    fi
    mkdir -p "$dist_dir"
    # Not in a condition, which would switch off the stage's set -e.
    stage "cpan, the system perl" tools/test-cpan.sh "$dist_dir"
    if [ $? = 0 ]; then
        ls "$dist_dir"/*.tar.gz >"$state/tarball"
    else
        echo "needs the release tarball, which the stage \"cpan, the system perl\" failed to make" \
            >"$state/tarball.missing"
    fi
}
# Sets $tarball once the stage above made it; or says why there is none.
await_tarball() {
    until [ -e "$state/tarball" ] || [ -e "$state/tarball.missing" ]; do sleep 1; done
    [ -e "$state/tarball" ] && tarball=$(cat "$state/tarball")
}

job_cpan_linux() {
    local name="cpan, perl $1"
    await_tarball || { skip "$name" "$(cat "$state/tarball.missing")"; return; }
    have linux "$1"
    with "$name" $? tools/linux-cpan.sh "$found" "$tarball"
}

# Inside a Windows perl, as a Windows user installs it.
job_cpan_windows() {
    local name="cpan, $1"
    await_tarball || { skip "$name" "$(cat "$state/tarball.missing")"; return; }
    stage "$name" tools/windows-cpan.sh "$1" "$tarball"
}

# Some hosts run no 32-bit x86 program, nor so the 32-bit half of Wine.
# There the 32-bit DLLs are still built and checked as files.
why_no_32bit=$(tools/runs-32bit.sh 2>&1) && why_no_32bit=""

# The lookup and its tests under Wine, without a perl.
lookup_only() {
    cmake --preset "$1" -DVARROKIT_BUILD_MODULE=OFF
    cmake --build --preset "$1"
    ctest --preset "$1"
}

job_windows() {
    local arch=$1 preset=windows-$1 compiler why_not_here status
    case $arch in
        x86*) compiler=i686-w64-mingw32-g++-posix why_not_here=$why_no_32bit ;;
        x64*) compiler=x86_64-w64-mingw32-g++-posix why_not_here="" ;;
    esac
    if ! command -v "$compiler" >/dev/null || ! command -v wine >/dev/null; then
        skip "$preset" "needs $compiler and wine (Debian: g++-mingw-w64, wine)"
        return
    fi
    have windows "$arch"
    status=$?
    if [ $status != 2 ]; then
        with "$preset" $status workflow "$preset"
        [ -z "$why_not_here" ] || [ $status != 0 ] || [ "$(tail -1 "$records" | cut -f2)" != passed ] ||
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
}

# Longest first, and side by side those that share no Wine prefix, so that
# neither core waits long for the other at the end.
job job_tarball
job job_windows x86-5.8.9
job job_cpan_windows windows-x64
job job_windows x64
job job_cpan_windows windows-x86
job job_windows x86
job job_cpan_windows windows-x64-5.40.0
job job_windows x86-5.6.2
job job_cpan_windows windows-x86-5.8.9
job job_windows x64-5.40.0
job job_windows x86-5.40.0
job job_cpan_windows windows-x86-5.40.0
job job_windows x86-5.22.4
job job_perl 5.40.0
job job_perl 5.22.4
job job_sanitize
job job_perl 5.8.9
job job_perl 5.6.2
job job_workflow default
job job_cpan_linux 5.40.0
job job_cpan_linux 5.22.4
job job_cpan_linux 5.8.9

# ---------------------------------------------------------------------------
# The workers: each takes the next job not yet taken, until none is left.

# The Wine prefixes the stages share are made before they run side by side.
for wine_prefix in i686:wine x86_64:/usr/lib/wine/wine64; do
    prefix="${VARROKIT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varrokit9x}/wineprefix-${wine_prefix%%:*}"
    loader=${wine_prefix#*:}
    [ "$loader" = wine ] && [ -n "$why_no_32bit" ] && continue
    command -v "$loader" >/dev/null || continue
    [ -e "$prefix/system.reg" ] && continue
    mkdir -p "$prefix"
    WINEPREFIX="$prefix" WINELOADER=$loader WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
        "$loader" wineboot --init </dev/null >/dev/null 2>&1
done

echo 0 >"$state/next"
take_job() {
    local n
    {
        flock 9
        n=$(cat "$state/next")
        echo $((n + 1)) >"$state/next"
    } 9>"$state/lock"
    echo "$n"
}
worker() {
    local n words
    while n=$(take_job) && [ "$n" -lt ${#jobs[@]} ]; do
        records="$state/records.$n" log="$state/log.$n"
        : >"$records"
        read -r -a words <<<"${jobs[$n]}"
        "${words[@]}"
        # Printed whole, one stage at a time.
        { flock 9; [ -s "$log" ] && cat "$log"; } 9>"$state/print.lock"
    done
}
workers=${VARROKIT_JOBS:-$(nproc)}
for ((i = 0; i < workers; i++)); do
    worker &
done
wait

echo
printf '%-30s %-8s %7s  %s\n' STAGE RESULT SECONDS ""
failed=() skipped=()
for ((n = 0; n < ${#jobs[@]}; n++)); do
    while IFS=$'\t' read -r name result seconds reason; do
        printf '%-30s %-8s %7s  %s\n' "$name" "$result" "$seconds" "$reason"
        case $result in
            failed) failed+=("$name") ;;
            skipped) skipped+=("$name: $reason") ;;
        esac
    done <"$state/records.$n"
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
