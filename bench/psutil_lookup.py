#!/usr/bin/env python3
"""Prints the median cost in microseconds of one lookup by the library's rule
written as a loop over psutil, for the short identifier and name given as
arguments; "-" when psutil is not installed."""
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
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            lookup(seek, name)
        if time.perf_counter() - start > 0.02:
            break
        calls *= 2
    rounds = []
    for _ in range(15):
        start = time.perf_counter()
        for _ in range(calls):
            lookup(seek, name)
        rounds.append((time.perf_counter() - start) / calls * 1e6)
    rounds.sort()
    print("%.2f" % rounds[len(rounds) // 2])


main()
