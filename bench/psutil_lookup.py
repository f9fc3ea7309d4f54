#!/usr/bin/env python3
"""Makes lookups for bench/lookup_bench by the library's rule written as a
loop over psutil, for the short identifier and name given as arguments.
Prints "ready", or "-" when psutil is not installed. Then, for each number N
read from standard input, makes N lookups and prints the last answer and the
microseconds one lookup took."""
import sys
import time

try:
    import psutil
except ImportError:
    print("-")
    sys.exit(0)


def lookup(seek, name):
    base = name.rsplit("\\", 1)[-1].lower()
    found = 0
    for process in psutil.process_iter(["pid", "name"]):
        pid = process.info["pid"]
        if pid & 0xFFFF != seek:
            continue
        process_name = (process.info["name"] or "").rsplit("\\", 1)[-1]
        if not found or process_name.lower() == base:
            found = pid
    return found


def main():
    seek, name = int(sys.argv[1]), sys.argv[2]
    print("ready", flush=True)
    for line in sys.stdin:
        calls = int(line)
        start = time.perf_counter()
        for _ in range(calls):
            found = lookup(seek, name)
        print("%d %.3f" % (found, (time.perf_counter() - start) / calls * 1e6), flush=True)


main()
