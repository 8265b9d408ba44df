"""Timing helpers shared by the Python benchmark scripts: median of repeated
timeit runs, in nanoseconds per call, and markdown table printing."""

from __future__ import annotations

import os
import statistics
import sys
import time
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.join(ROOT, "tests")  # for the helpers package tests/support
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)


def time_call(fn, repeat: int = 7, min_time_s: float = 0.2, max_number: int | None = None) -> float:
    """Median nanoseconds per call of fn() over `repeat` runs, each run
    looping enough times (timeit.autorange) to last about `min_time_s`."""
    timer = timeit.Timer(fn, timer=time.perf_counter_ns)
    number = 1
    while True:
        elapsed_ns = timer.timeit(number)
        if elapsed_ns >= min_time_s * 1e9 or (max_number is not None and number >= max_number):
            break
        number = max(number * 2, int(number * min_time_s * 1e9 / max(elapsed_ns, 1) * 1.1))
        if max_number is not None:
            number = min(number, max_number)
    runs = timer.repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number


def fmt_ns(ns: float) -> str:
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.0f} ns"


def fmt_ratio(r: float) -> str:
    return f"{r:.1f}×" if r >= 10 else f"{r:.2f}×"


def print_table(headers, rows) -> None:
    print("| " + " | ".join(headers) + " |")
    print("|" + "|".join("---" for _ in headers) + "|")
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
    print()
