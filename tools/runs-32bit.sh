#!/usr/bin/env bash
# Exits 0 when 32-bit x86 programs, Wine's 32-bit Windows programs among
# them, run here, and 1, saying why on stderr, when they do not:
#
#   tools/runs-32bit.sh          the host and Wine's 32-bit half
#   tools/runs-32bit.sh --host   the host alone (whether wine32 is worth having)
#
# Some hypervisors offer no 32-bit mode: there every i386 program, Wine's
# 32-bit loader among them, ends in "Exec format error". Only running one
# tells; no version or CPU flag does. VARROKIT_RUNS_32BIT=no plays such a
# host on any machine.
set -uo pipefail

case ${VARROKIT_RUNS_32BIT:-} in
    no) echo "this host runs no 32-bit x86 programs (VARROKIT_RUNS_32BIT=no)" >&2; exit 1 ;;
    yes) exit 0 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# exit(0) through the i386 system call gate: no C library, no multilib.
printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$work/exit.s"
if ! as --32 -o "$work/exit.o" "$work/exit.s" 2>"$work/log" ||
   ! ld -m elf_i386 -o "$work/exit" "$work/exit.o" 2>>"$work/log"; then
    echo "cannot tell whether this host runs 32-bit x86 programs: binutils could not make one: $(tr '\n' ' ' <"$work/log")" >&2
    exit 1
fi
if ! "$work/exit" 2>"$work/log"; then
    echo "this host runs no 32-bit x86 programs: $(sed -n 's/.*: //p' "$work/log" | head -1)" >&2
    exit 1
fi
# Debian's wine runs 32-bit programs only with wine32:i386 beside it.
if [ "${1:-}" != --host ] && [ -d /usr/lib/wine ] && [ ! -x /usr/lib/wine/wine ]; then
    echo "Wine's 32-bit half is not installed (Debian: wine32:i386)" >&2
    exit 1
fi
