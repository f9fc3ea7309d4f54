#!/usr/bin/env bash
# The runner of the whole test run (tools/run-stages.sh) must not report
# work it did not do: each case below is a plan of small stages.
set -uo pipefail
runner=$(cd "$(dirname "$0")/.." && pwd)/tools/run-stages.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}
# plan LINE...: each line's fields separated by |, as tabs in the plan.
plan() { printf '%s\n' "$@" | tr '|' '\t' >plan; }
run() { "$runner" plan logs >out 2>&1; }
# The command of a stage that records that it passed.
passes() { echo "sh|-c|printf '%s\tpassed\t0\t\n' \"\$0\" >>\"\$VARROKIT_RECORDS\"|$1"; }

plan "records|9|-|-|$(passes records)" "silent|9|-|-|sh|-c|echo working"
run
check "a run with a stage that records nothing exits 1" [ $? = 1 ]
check "that stage is failed with no result" grep -qE '^silent +failed +[0-9]+ +no result' out
check "the other stage passed" grep -qE '^records +passed' out

plan "fails|9|-|-|sh|-c|printf 'fails\tfailed\t0\texit 3\n' >>\"\$VARROKIT_RECORDS\"; exit 3" \
     "records|9|-|-|$(passes records)"
run
check "one failed stage gives exit 1" [ $? = 1 ]
check "and the run names it" grep -qxF '  fails' out

plan "slow|1|-|-|sleep|30"
run
check "a stage past its limit is failed" grep -qE '^slow +failed +[0-9]+ +timed out after 1 s' out

plan "maker|9|product|-|sh|-c|exit 1" "user|9|-|product|$(passes user)"
run
check "a stage whose product was not made skips those that need it" \
    grep -qE '^user +skipped .*needs the product, which the stage "maker" did not make' out

for jobs in 0 -1 two; do
    VARROKIT_JOBS=$jobs run
    check "VARROKIT_JOBS=$jobs is refused with exit 2" [ $? = 2 ]
done

# Each stage leaves its own id and its child's, then waits.
leaves_pids='sleep 300 & echo $$ $! >>"'"$work"'/pids"; wait'
plan "a|300|-|-|sh|-c|$leaves_pids" "b|300|-|-|sh|-c|$leaves_pids"
# In a session of its own, with SIGINT as a terminal would deliver it
# (a background command's is ignored).
setsid perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' "$runner" plan logs >out 2>&1 &
leader=$!
for try in $(seq 50); do [ "$(wc -w 2>/dev/null <pids)" = 4 ] && break; sleep 0.2; done
kill -INT -- "-$leader"
for try in $(seq 100); do kill -0 "$leader" 2>/dev/null || break; sleep 0.2; done
wait "$leader"
check "an interrupted run exits non-zero" [ $? != 0 ]
left=()
check "its stages had started" [ -s pids ]
for pid in $(cat pids 2>/dev/null); do kill -0 "$pid" 2>/dev/null && left+=("$pid"); done
check "an interrupted run leaves no stage behind" [ ${#left[@]} = 0 ]
[ ${#left[@]} = 0 ] || kill -KILL "${left[@]}"
check "and says what it stopped" grep -q 'STOPPED, unfinished: a b' out

exit $((failures > 0))
