#!/usr/bin/env bash
# Runs the stages of a plan side by side, and says what each gave:
#
#   tools/run-stages.sh PLAN LOGS [ON_STOP...]
#
# PLAN has one stage a line, its fields separated by tabs:
#
#   NAME  LIMIT  MAKES  NEEDS  COMMAND  ARGUMENTS...
#
# LIMIT is the stage's time limit in seconds. MAKES names the product it
# leaves, and NEEDS the product it waits for ("-" for none): a stage that
# needs one starts once the stage that makes it has ended, and is skipped
# if that one left none. VARROKIT_JOBS stages run at once (default: one per
# core), each in a process group of its own, its output in LOGS/NAME.log.
#
# A stage's command appends its results to $VARROKIT_RECORDS, one line each:
# NAME, passed, skipped or failed, seconds and why, separated by tabs. It may
# record more than its own. A product is a file in $VARROKIT_PRODUCTS named
# for it. A stage that records nothing under its own name is failed with "no
# result"; one past its limit is ended and failed with "timed out".
#
# Ctrl-C, or SIGTERM to this process, ends every stage by its process group,
# then runs ON_STOP (for what a stage starts outside its group). The run
# ends with a table of the stages, and exits 1 if any failed or was
# stopped, 2 for a plan or job count it cannot use.
set -uo pipefail

plan=${1:?the plan}
logs=${2:?the folder for the logs}
on_stop=("${@:3}")

workers=${VARROKIT_JOBS:-$(nproc)}
if ! [[ $workers =~ ^[1-9][0-9]*$ ]]; then
    echo "VARROKIT_JOBS must be a positive whole number, not '$workers'" >&2
    exit 2
fi

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
mkdir -p "$state/products" "$logs"
export VARROKIT_PRODUCTS=$state/products
export VARROKIT_RUN_ID=${VARROKIT_RUN_ID:-$$-$(date +%s)}

names=() limits=() needs=() commands=()
declare -A maker=()
while IFS= read -r line; do
    [ -z "$line" ] && continue
    IFS=$'\t' read -r -a fields <<<"$line"
    if [ ${#fields[@]} -lt 5 ] || ! [[ ${fields[1]} =~ ^[1-9][0-9]*$ ]]; then
        echo "$plan: not NAME, LIMIT, MAKES, NEEDS and a command: $line" >&2
        exit 2
    fi
    names+=("${fields[0]}") limits+=("${fields[1]}") needs+=("${fields[3]}")
    commands+=("$line")
    [ "${fields[2]}" = - ] || maker[${fields[2]}]=$((${#names[@]} - 1))
done <"$plan"
if [ ${#names[@]} = 0 ]; then
    echo "$plan holds no stage" >&2
    exit 2
fi
for ((i = 0; i < ${#names[@]}; i++)); do
    if [ "${needs[i]}" != - ] && [ -z "${maker[${needs[i]}]:-}" ]; then
        echo "$plan: no stage makes ${needs[i]}, which ${names[i]} needs" >&2
        exit 2
    fi
done

echo "Each stage's output, as it runs: $logs/STAGE.log"

# pending, running or ended, for each stage
status=() pids=() starts=() timed_out=()
for ((i = 0; i < ${#names[@]}; i++)); do status[i]=pending; done

# The stage's log file: its name, in characters any file system takes.
log_of() { echo "$logs/${names[$1]//[^A-Za-z0-9.-]/_}.log"; }

record() { printf '%s\t%s\t%s\t%s\n' "$2" "$3" "$4" "${5:-}" >>"$state/records.$1"; }

launch() {
    local i=$1 words
    IFS=$'\t' read -r -a words <<<"${commands[i]}"
    : >"$state/records.$i"
    # Job control gives the stage a process group of its own, which stops it
    # whole, and keeps Ctrl-C from the terminal for this process to handle.
    set -m
    VARROKIT_RECORDS=$state/records.$i exec_stage "${words[@]:4}" >"$(log_of "$i")" 2>&1 </dev/null &
    pids[i]=$!
    set +m
    starts[i]=$SECONDS status[i]=running
}
exec_stage() { export VARROKIT_RECORDS; exec "$@"; }

# Ends what is left of a stage's process group: TERM, then KILL.
end_group() {
    local group=$1 try
    kill -TERM -- "-$group" 2>/dev/null || return 0
    for try in 1 2 3 4 5 6 7 8 9 10; do
        pgrep -g "$group" >/dev/null || return 0
        sleep 1
    done
    kill -KILL -- "-$group" 2>/dev/null
    return 0
}

# A stage that ended: its records, completed with what the runner saw.
finish() {
    local i=$1 code=$2 name=${names[$1]} seconds=$((SECONDS - starts[$1]))
    end_group "${pids[i]}"
    # The stage's own line gives all its seconds, the perls it waited for too.
    awk -F'\t' -v OFS='\t' -v name="$name" -v seconds="$seconds" '$1 == name { $3 = seconds } { print }' \
        "$state/records.$i" >"$state/records.$i.timed" && mv "$state/records.$i.timed" "$state/records.$i"
    if [ -n "${timed_out[i]:-}" ]; then
        record "$i" "$name" failed "$seconds" "timed out after ${limits[i]} s"
    elif ! cut -f1 "$state/records.$i" | grep -qxF "$name"; then
        local how="exit status $code"
        [ "$code" -gt 128 ] && how="ended by signal $((code - 128))"
        record "$i" "$name" failed "$seconds" "no result ($how)"
    fi
    status[i]=ended
    echo
    echo "=== $name ($seconds s)"
    cat "$(log_of "$i")"
}

# Whether a child still runs: not yet a zombie. (Not by `jobs`, whose
# command substitution a signal to this process group can cut short.)
alive() {
    local stat
    { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

stop_signal=""
trap 'stop_signal=INT' INT
trap 'stop_signal=TERM' TERM

running_count() {
    local i n=0
    for ((i = 0; i < ${#names[@]}; i++)); do [ "${status[i]}" = running ] && n=$((n + 1)); done
    echo $n
}

while [ -z "$stop_signal" ]; do
    # Collect the stages that ended; end those past their limit.
    for ((i = 0; i < ${#names[@]}; i++)); do
        [ "${status[i]}" = running ] || continue
        if ! alive "${pids[i]}"; then
            wait "${pids[i]}"
            code=$?
            # A wait cut short by Ctrl-C: the stop below ends the stage.
            [ -n "$stop_signal" ] && break
            finish "$i" $code
        elif [ $((SECONDS - starts[i])) -gt "${limits[i]}" ] && [ -z "${timed_out[i]:-}" ]; then
            timed_out[i]=yes
            kill -TERM -- "-${pids[i]}" 2>/dev/null
        fi
    done
    # Start what may start, in the plan's order.
    free=$((workers - $(running_count)))
    for ((i = 0; i < ${#names[@]} && free > 0; i++)); do
        [ "${status[i]}" = pending ] || continue
        need=${needs[i]}
        if [ "$need" != - ]; then
            [ "${status[${maker[$need]}]}" = ended ] || continue
            if [ ! -e "$VARROKIT_PRODUCTS/$need" ]; then
                : >"$state/records.$i"
                record "$i" "${names[i]}" skipped 0 "needs the $need, which the stage \"${names[${maker[$need]}]}\" did not make"
                status[i]=ended
                continue
            fi
        fi
        launch "$i"
        free=$((free - 1))
    done
    pending=0
    for ((i = 0; i < ${#names[@]}; i++)); do [ "${status[i]}" = ended ] || pending=1; done
    [ $pending = 0 ] && break
    sleep 1
done

stopped=()
if [ -n "$stop_signal" ]; then
    echo
    echo "Stopped by SIG$stop_signal: ending every stage still running."
    for ((i = 0; i < ${#names[@]}; i++)); do
        [ "${status[i]}" = running ] || continue
        kill -TERM -- "-${pids[i]}" 2>/dev/null
        stopped+=("${names[i]}")
    done
    for ((i = 0; i < ${#names[@]}; i++)); do
        [ "${status[i]}" = running ] && end_group "${pids[i]}"
    done
    [ ${#on_stop[@]} -gt 0 ] && "${on_stop[@]}"
fi

echo
printf '%-30s %-8s %7s  %s\n' STAGE RESULT SECONDS ""
failed=() skipped=()
for ((i = 0; i < ${#names[@]}; i++)); do
    [ "${status[i]}" = ended ] || continue
    while IFS=$'\t' read -r name result seconds reason; do
        printf '%-30s %-8s %7s  %s\n' "$name" "$result" "$seconds" "$reason"
        case $result in
            failed) failed+=("$name") ;;
            skipped) skipped+=("$name: $reason") ;;
        esac
    done <"$state/records.$i"
done
echo
if [ ${#stopped[@]} -gt 0 ]; then
    echo "STOPPED, unfinished: ${stopped[*]}"
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "SKIPPED, not run on this machine:"
    printf '  %s\n' "${skipped[@]}"
elif [ ${#failed[@]} = 0 ] && [ -z "$stop_signal" ]; then
    echo "Nothing skipped."
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED:"
    printf '  %s\n' "${failed[@]}"
fi
[ ${#failed[@]} = 0 ] && [ -z "$stop_signal" ]
