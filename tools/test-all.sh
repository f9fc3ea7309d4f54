#!/usr/bin/env bash
# Builds and runs every test this machine can run: for each perl in the
# table of perls (tools/perls.pl), its preset and its CPAN route, and the
# sanitizers. Every stage runs, whatever the stages before it gave; one that
# needs what an earlier stage failed to make is skipped. The stages run side
# by side through tools/run-stages.sh (VARROKIT_JOBS at once, default one
# per core), the longest first, each with a time limit and its own log in
# build-logs/, printed whole when it ends. The run ends with a table of the
# stages, what each gave and its seconds, and says what it skipped and why.
# Exits 1 if any stage failed or the run was stopped.
#
#   tools/test-all.sh                   every stage
#   tools/test-all.sh STAGE...          only these (and the tarball's maker,
#                                       where they need the tarball)
#   tools/test-all.sh --job KIND NAME   one stage, as the run starts it
set -uo pipefail
cd "$(dirname "$0")/.."
# Each stage's level of t/ is the table's to say (workflow below); the CPAN
# routes run the install level, as a user's cpanm does.
unset EXTENDED_TESTING

# ---------------------------------------------------------------------------
# One stage, run by tools/run-stages.sh: its results go to $VARROKIT_RECORDS.

record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:-}" >>"$VARROKIT_RECORDS"; }
skip() { record "$1" skipped 0 "$2"; }

# stage NAME COMMAND...: runs the command, stopping it at its first failure,
# and records what it gave. Exit status 77 means it cannot run here: the
# last line it wrote says why.
stage() {
    local name=$1 start=$SECONDS status output
    shift
    output=$(mktemp -p "$job_temp")
    # Neither a condition nor || around the subshell: either would switch
    # off its set -e.
    (set -e; "$@") </dev/null 2>&1 | tee "$output"
    status=${PIPESTATUS[0]}
    case $status in
        0) record "$name" passed $((SECONDS - start)) ;;
        77) skip "$name" "$(tail -1 "$output")" ;;
        *) record "$name" failed $((SECONDS - start)) "exit status $status" ;;
    esac
    rm -f "$output"
    return "$status"
}

# A preset's workflow, at the level of t/ its entry in the table names.
workflow() {
    local perl_extended
    eval "$(perl tools/perls.pl shell "$1" | grep '^perl_extended=')"
    if [ "$perl_extended" = 1 ]; then
        EXTENDED_TESTING=1 cmake --workflow --preset "$1"
    else
        cmake --workflow --preset "$1"
    fi
}

# The perl or tool a stage needs, fetched or built once into a cache
# (tools/perl-cache.sh): sets $found to it and returns 0; or sets $why and
# returns 2 when it cannot be had here, and 1 when its build failed.
have() {
    local why_file status=0
    why_file=$(mktemp -p "$job_temp")
    found=$(tools/perl-cache.sh "$@" 2>"$why_file") || status=$?
    why=$(tr '\n' ' ' <"$why_file" | sed 's/ $//')
    rm -f "$why_file"
    [ $status = 0 ] || [ $status = 2 ] || status=1
    return $status
}
# Runs stage NAME with the thing have() was asked for; skips it where that
# cannot be had here, and fails it where its build failed.
with() {
    local name=$1 status=$2
    shift 2
    case $status in
        0) stage "$name" "$@" ;;
        2) skip "$name" "$why" ;;
        *) record "$name" failed 0 "$why" ;;
    esac
}

job_workflow() {
    if [ "$1" = sanitize ] && ! command -v clang++ >/dev/null; then
        skip sanitize "needs clang++ (Debian: clang)"
    else
        stage "$1" workflow "$1"
    fi
}

job_linux_perl() {
    have perl "$1"
    with "$1" $? workflow "$1"
}

# The lookup and its tests under Wine, without a perl.
lookup_only() {
    cmake --preset "$1" -DVARROKIT_BUILD_MODULE=OFF
    cmake --build --preset "$1"
    ctest --preset "$1"
}

job_windows() {
    local name=$1 compiler wine_arch why_not_here status
    eval "$(perl tools/perls.pl shell "$name")"
    if [ "$perl_bits" = 32 ]; then
        compiler=i686-w64-mingw32-g++-posix wine_arch=i686
    else
        compiler=x86_64-w64-mingw32-g++-posix wine_arch=x86_64
    fi
    if ! command -v "$compiler" >/dev/null; then
        skip "$name" "needs $compiler (Debian: g++-mingw-w64)"
        return
    fi
    # Some hosts run no 32-bit x86 program, nor so the 32-bit half of Wine.
    # There the 32-bit DLLs are still built and checked as files.
    why_not_here=$(tools/wine.sh "$wine_arch" --can-run 2>&1) && why_not_here=""
    have perl "$name"
    status=$?
    if [ $status != 2 ]; then
        with "$name" $status workflow "$name"
        if [ $? = 0 ] && [ $status = 0 ] && [ -n "$why_not_here" ]; then
            skip "$name under Wine" "the lookup tests, t/ and everything else (the DLL was built and checked as a file): $why_not_here"
        fi
    elif [ "$perl_from" = windows-source ]; then
        skip "$name" "$why"
    elif [ -n "$why_not_here" ]; then
        skip "$name" "$why; and $why_not_here"
    else
        # A packaged perl that cannot be had: the same lookup tests run without it.
        stage "$name" lookup_only "$name"
        skip "$name, the module" "the module inside a Windows perl and t/ under Wine: $why"
    fi
}

# The release tarball, as Perl users install it with the system perl; the
# other CPAN routes build it with their own perls.
job_tarball() {
    local name="cpan, the system perl"
    if ! perl -MExtUtils::CppGuess -e1 2>/dev/null || ! command -v cpanm >/dev/null; then
        skip "$name" "needs ExtUtils::CppGuess and cpanm (Debian: libextutils-cppguess-perl, cpanminus)"
        return
    fi
    local dist="$VARROKIT_PRODUCTS/dist"
    mkdir -p "$dist"
    stage "$name" tools/test-cpan.sh "$dist" || return
    # Written, then renamed: a reader never sees it half made.
    ls "$dist"/*.tar.gz >"$VARROKIT_PRODUCTS/.tarball" && mv "$VARROKIT_PRODUCTS/.tarball" "$VARROKIT_PRODUCTS/tarball"
}

# The tarball with another perl's own MakeMaker; inside a Windows perl, as
# a Windows user installs it. Perl 5.6 lacks what Capture::Tiny needs, and
# is served by CMake and the PPM package.
job_cpan() {
    local name=$1 tarball
    tarball=$(cat "$VARROKIT_PRODUCTS/tarball")
    eval "$(perl tools/perls.pl shell "$name")"
    case $perl_from in
        windows-*) stage "cpan, $name" tools/windows-cpan.sh "$name" "$tarball" ;;
        *)
            have perl "$name"
            with "cpan, $name" $? tools/linux-cpan.sh "$found" "$tarball" ;;
    esac
}

if [ "${1:-}" = --job ]; then
    # Its temporary files go, however it ends: a signal ends it through exit.
    job_temp=$(mktemp -d)
    trap 'rm -rf "$job_temp"' EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    "job_$2" "${@:3}"
    exit 0
fi

# ---------------------------------------------------------------------------
# The plan: a stage for each perl's preset and for each CPAN route, from the
# table of perls, the longest first. A stage's time limit is four times its
# usual seconds, with room for building its perl where it comes from source
# (tools/perl-cache.sh says how long that takes).

plan=$(mktemp)
trap 'rm -f "$plan"' EXIT
limit() { echo $((4 * $1 + $2)); }
# PRIORITY SECONDS NAME LIMIT MAKES NEEDS COMMAND...
line() { printf '%s\t' "$@" | sed 's/\t$/\n/'; }
{
    while IFS=$'\t' read -r name from seconds cpan refuses; do
        build=300
        [[ $from = *-source ]] && build=1200
        # The foreign perl, which its preset may build first.
        [ "$refuses" = - ] || build=$((build + 1200))
        case $from in
            host | none) kind=workflow ;;
            linux-source) kind=linux_perl ;;
            windows-*) kind=windows ;;
        esac
        line 0 "$seconds" "$name" "$(limit "$seconds" $build)" - - tools/test-all.sh --job "$kind" "$name"
        if [ "$from" = host ]; then
            # The tarball's maker goes first: the other routes wait for it.
            line 1 "$cpan" "cpan, the system perl" "$(limit "$cpan" 300)" tarball - tools/test-all.sh --job tarball
        elif [ "$cpan" != 0 ]; then
            line 0 "$cpan" "cpan, $name" "$(limit "$cpan" $build)" - tarball tools/test-all.sh --job cpan "$name"
        fi
    done < <(perl tools/perls.pl list)
} | sort -s -t$'\t' -k1,1nr -k2,2nr | cut -f3- >"$plan"
if [ $# -gt 0 ]; then
    perl -F'\t' -ane '
        BEGIN { %wanted = map { $_ => 1 } splice @ARGV, 1 }
        push @lines, [@F];
        END {
            my @unknown = grep { my $name = $_; !grep { $_->[0] eq $name } @lines } sort keys %wanted;
            if (@unknown) { print STDERR "no stage named: @unknown\n"; exit 2 }
            my %needed = map { $_->[3] => 1 } grep { $wanted{ $_->[0] } and $_->[3] ne "-" } @lines;
            print join "\t", @$_ for grep { $wanted{ $_->[0] } or $needed{ $_->[2] } } @lines;
        }' "$plan" "$@" >"$plan.chosen" || { rm -f "$plan.chosen"; exit 2; }
    mv "$plan.chosen" "$plan"
fi
# The runner becomes this process, so that a signal to the run reaches it;
# the plan stays open to it after its file is gone.
exec 3<"$plan"
rm -f "$plan"
trap - EXIT
exec tools/run-stages.sh /dev/fd/3 build-logs tools/wine.sh --stop-all
