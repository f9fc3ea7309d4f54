#!/usr/bin/env bash
# Measures the cost of one lookup against 20, 200, 2000 and 5000 running
# processes, prints a table and draws bench/results/lookup-cost.svg.
#
# As root each count runs in a PID namespace of its own, with the processes'
# identifiers spread over the whole range; otherwise they come as they come.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
results="$root/bench/results"
mkdir -p "$results"

cmake --workflow --preset bench >/dev/null
bench="$root/build-bench/bench/lookup_bench"
perl_lookup=(perl "-Mblib=$root/build-bench" "$root/bench/perl_lookup.pl")

pid_max_file=/proc/sys/kernel/pid_max
in_namespace=()
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    in_namespace=(unshare --pid --fork --mount-proc)
    # The spread reaches the top of the identifier range; the limit is
    # system-wide, so it is raised for this run only.
    saved_pid_max=$(cat "$pid_max_file")
    trap 'echo "$saved_pid_max" > "$pid_max_file"' EXIT
    echo 4194304 > "$pid_max_file"
fi

{
    printf '# processes\tlibrary (C++)\tfull walk\tnaive walk\tlibrary (Perl)\n'
    for n in 20 200 2000 5000; do
        "${in_namespace[@]}" "$bench" "$n" "${perl_lookup[@]}"
    done
} > "$results/lookup-cost.tsv"

echo "Median cost of one lookup, in microseconds, on $(nproc) cores of $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Linux $(uname -r):"
awk -F'\t' 'NR == 1 { printf "%10s %14s %14s %14s %14s %12s\n", "processes", "library C++", "library Perl", "full walk", "naive walk", "C++ / walk"; next }
            { printf "%10d %14.1f %14.1f %14.1f %14.1f %12.3f\n", $1, $2, $5, $3, $4, $2 / $3 }' "$results/lookup-cost.tsv"

if command -v gnuplot >/dev/null; then
    gnuplot -e "data='$results/lookup-cost.tsv'; out='$results/lookup-cost.svg'" "$root/bench/lookup-cost.gp"
    echo "Chart: bench/results/lookup-cost.svg"
else
    echo "gnuplot is not installed: no chart"
fi
