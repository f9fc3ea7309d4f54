#!/usr/bin/env bash
# Measures the cost of one lookup against a range of running processes,
# prints tables with the worst ratio of each regime, and draws
# bench/results/lookup-cost.svg.
#
#   bench/run.sh [--counts "20 200 2000"]
#
# The default counts are finer between 200 and 5000, where the two roads
# cross: it is there that a wrong choice costs most.
#
# The library chooses, in each lookup, between two roads: listing /proc and
# probing the 64 identifiers that can carry the short identifier. Both are
# measured alone as floors (the full walk and the probe of all 64, through
# the library's source; and the bare probe, the least probing can do), in two
# regimes: as this host is, and with every system call made dear by ptrace
# (`strace -o /dev/null`, as under some hypervisors and syscall filters).
#
# It also measures what one would write without the library: a naive walk of
# /proc in C++, and loops over Proc::ProcessTable (Perl) and psutil (Python)
# by the same rule. As root it installs those two from Debian when missing
# (and strace), and runs each count in a PID namespace of its own, with the
# identifiers spread over the range pid_max allows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

counts=(20 200 400 600 800 1000 1500 2000 2500 3000 4000 5000)
while [ $# -gt 0 ]; do
    case $1 in
        --counts)
            [ $# -ge 2 ] || { echo "--counts needs a list of process counts" >&2; exit 2; }
            read -r -a counts <<< "${2//,/ }"
            shift 2 ;;
        *) echo "usage: $0 [--counts \"N N ...\"]" >&2; exit 2 ;;
    esac
done
for n in "${counts[@]}"; do
    [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "not a count of processes: $n" >&2; exit 2; }
done
[ ${#counts[@]} -gt 0 ] || { echo "--counts needs a list of process counts" >&2; exit 2; }
results="$root/bench/results"
mkdir -p "$results"

# Debian's python, which sees Debian's psutil, whatever python3 PATH finds first.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

if [ "$(id -u)" = 0 ]; then
    missing=()
    perl -MProc::ProcessTable -e1 2>/dev/null || missing+=(libproc-processtable-perl)
    "$python" -c 'import psutil' 2>/dev/null || missing+=(python3-psutil)
    command -v strace >/dev/null || missing+=(strace)
    command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
fi

cmake --workflow --preset bench >/dev/null
bench="$root/build-bench/bench/lookup_bench"
# The library's lookups and its floors, each a command that lookup_bench
# runs, with the words given in front.
lookups() {
    local way
    for way in library full-walk probe-all naive-walk bare-probe; do
        printf '%s\0' -- "$@" "$bench" --serve "$way"
    done
    printf '%s\0' -- "$@" perl "-Mblib=$root/build-bench" "$root/bench/perl_lookup.pl" library
}
mapfile -d '' ours < <(lookups)
peers=(-- perl "$root/bench/perl_lookup.pl" proctable
       -- "$python" "$root/bench/psutil_lookup.py")

in_namespace=()
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    # From Linux 6.14 each PID namespace has its own pid_max, and the spread
    # may use the whole range; before, pid_max is the host's, left alone.
    raise_pid_max=:
    IFS=. read -r major minor _ < <(uname -r)
    if [ "$major" -gt 6 ] || { [ "$major" -eq 6 ] && [ "$minor" -ge 14 ]; }; then
        raise_pid_max='echo 4194304 > /proc/sys/kernel/pid_max'
    fi
    in_namespace=(unshare --pid --fork --mount-proc sh -c "$raise_pid_max; exec \"\$@\"" sh)
fi

# Dear system calls: each process that makes lookups traced alone (not
# lookup_bench, which only keeps time, nor the idle processes, which make no
# calls).
dear=(strace -o /dev/null)
command -v strace >/dev/null || dear=()

# Everything runs on one core. A traced call waits for its tracer, and on
# two cores that wait costs anything from 20 to 120 µs, as the scheduler
# places the two; lookups measured in different processes could then not
# be set against each other.
pinned=()
command -v taskset >/dev/null && pinned=(taskset -c "$(($(nproc) - 1))")
in_namespace=("${pinned[@]}" "${in_namespace[@]}")

{
    printf '# processes\tlibrary (C++)\tfull walk\tprobe all 64\tnaive walk\tbare probe\tlibrary (Perl)\tProc::ProcessTable\tpsutil\n'
    for n in "${counts[@]}"; do
        "${in_namespace[@]}" "$bench" "$n" "${ours[@]}" "${peers[@]}"
    done
} > "$results/lookup-cost.tsv"
if [ ${#dear[@]} -gt 0 ]; then
    mapfile -d '' ours_traced < <(lookups "${dear[@]}")
    {
        printf '# processes\tlibrary (C++)\tfull walk\tprobe all 64\tnaive walk\tbare probe\tlibrary (Perl)\n'
        for n in "${counts[@]}"; do
            "${in_namespace[@]}" "$bench" "$n" "${ours_traced[@]}"
        done
    } > "$results/lookup-cost-strace.tsv"
fi

# The library from Perl against the cheaper of the full walk and the bare
# probe, the tightest floors of the two roads.
table() {
    awk -F'\t' 'NR == 1 { printf "%10s %10s %12s %11s %12s %12s %15s\n", "processes", "full walk", "probe all 64", "bare probe", "library C++", "library Perl", "Perl / cheaper"; next }
                { cheaper = $3 < $6 ? $3 : $6
                  ratio = $7 / cheaper
                  if (ratio > worst) { worst = ratio; at = $1 }
                  printf "%10d %10.1f %12.1f %11.1f %12.1f %12.1f %15.2f\n", $1, $3, $4, $6, $2, $7, ratio }
                END { printf "Worst Perl / cheaper: %.2f, at %d processes.\n", worst, at }' "$1"
}
echo "On $(nproc) cores of $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r);"
traced=""
[ ${#dear[@]} -eq 0 ] || traced=", and $("${pinned[@]}" "${dear[@]}" "$bench" --system-call) µs traced"
echo "one system call (getppid) costs $("${pinned[@]}" "$bench" --system-call) µs here$traced."
echo
echo "Median cost of one lookup, in microseconds, as this host is:"
table "$results/lookup-cost.tsv"
if [ ${#dear[@]} -gt 0 ]; then
    echo
    echo "With every system call made dear (strace -o /dev/null):"
    table "$results/lookup-cost-strace.tsv"
fi
echo
echo "Without the library, as this host is:"
awk -F'\t' 'NR == 1 { printf "%10s %12s %18s %12s\n", "processes", "naive walk", "Proc::ProcessTable", "psutil"; next }
            { printf "%10d %12.1f %18s %12s\n", $1, $5, $8, $9 }' "$results/lookup-cost.tsv"

if command -v gnuplot >/dev/null; then
    gnuplot -e "data='$results/lookup-cost.tsv'; out='$results/lookup-cost.svg'" "$root/bench/lookup-cost.gp"
    echo "Chart: bench/results/lookup-cost.svg"
else
    echo "gnuplot is not installed: no chart"
fi
