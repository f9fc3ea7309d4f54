#!/usr/bin/env bash
# Measures the cost of one lookup against 20, 200, 2000 and 5000 running
# processes, prints a table and draws bench/results/lookup-cost.svg.
#
# Besides the library it measures what one would write without it: a full
# and a naive walk of /proc in C++, and loops over Proc::ProcessTable (Perl)
# and psutil (Python) by the same rule. As root it installs those two from
# Debian when missing, and runs each count in a PID namespace of its own,
# with the identifiers spread over the range pid_max allows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
results="$root/bench/results"
mkdir -p "$results"

# Debian's python, which sees Debian's psutil, whatever python3 PATH finds first.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

if [ "$(id -u)" = 0 ]; then
    missing=()
    perl -MProc::ProcessTable -e1 2>/dev/null || missing+=(libproc-processtable-perl)
    "$python" -c 'import psutil' 2>/dev/null || missing+=(python3-psutil)
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
fi

cmake --workflow --preset bench >/dev/null
bench="$root/build-bench/bench/lookup_bench"
peers=(-- perl "-Mblib=$root/build-bench" "$root/bench/perl_lookup.pl" library
       -- perl "$root/bench/perl_lookup.pl" proctable
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

{
    printf '# processes\tlibrary (C++)\tfull walk\tnaive walk\tlibrary (Perl)\tProc::ProcessTable\tpsutil\n'
    for n in 20 200 2000 5000; do
        "${in_namespace[@]}" "$bench" "$n" "${peers[@]}"
    done
} > "$results/lookup-cost.tsv"

echo "Median cost of one lookup, in microseconds, on $(nproc) cores of $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r):"
awk -F'\t' 'NR == 1 { printf "%10s %12s %12s %12s %12s %18s %12s\n", "processes", "library C++", "library Perl", "full walk", "naive walk", "Proc::ProcessTable", "psutil"; next }
            { printf "%10d %12.1f %12.1f %12.1f %12.1f %18s %12s\n", $1, $2, $5, $3, $4, $6, $7 }' "$results/lookup-cost.tsv"

if command -v gnuplot >/dev/null; then
    gnuplot -e "data='$results/lookup-cost.tsv'; out='$results/lookup-cost.svg'" "$root/bench/lookup-cost.gp"
    echo "Chart: bench/results/lookup-cost.svg"
else
    echo "gnuplot is not installed: no chart"
fi
