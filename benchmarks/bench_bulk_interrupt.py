"""How soon Ctrl-C stops a long bulk call.

Each bulk function is given a matrix that takes it about --seconds seconds
(one row seen many times through a zero row stride, so no memory is needed
beyond the output, which stays small for these two: normalize_rows would
need gigabytes of output for ten seconds), and SIGINT is raised from another thread halfway
through. Printed: the time from the signal to the KeyboardInterrupt reaching
Python, for one and two worker threads.

Run: .venv-3.12/bin/python benchmarks/bench_bulk_interrupt.py [--seconds 10]
"""

from __future__ import annotations

import argparse
import signal
import threading
import time

import numpy as np

import zarvik_lumetra_bulk as bulk

CALLS = {
    "sign_rows": lambda x, t: bulk.sign_rows(x, 1, 64, threads=t),
    "digest_rows": lambda x, t: bulk.digest_rows(x, threads=t),
}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10.0)
    args = ap.parse_args()
    row = np.random.default_rng(0).standard_normal((1, 768)).astype(np.float32)
    for name, call in CALLS.items():
        for threads in (1, 2):
            # Calibrate on a short run, then size the call to the wanted length.
            probe = 20_000
            t0 = time.perf_counter()
            call(np.broadcast_to(row, (probe, 768)), threads)
            rows = int(probe * args.seconds / (time.perf_counter() - t0))
            x = np.broadcast_to(row, (rows, 768))
            sent = []

            def interrupt():
                sent.append(time.perf_counter())
                signal.raise_signal(signal.SIGINT)

            timer = threading.Timer(args.seconds / 2, interrupt)
            started = time.perf_counter()
            timer.start()
            try:
                call(x, threads)
                print(f"{name}, threads={threads}: finished before the signal")
                continue
            except KeyboardInterrupt:
                caught = time.perf_counter()
            finally:
                timer.cancel()
            print(f"{name}, threads={threads}: a {args.seconds:.0f}-second call ({rows:,} rows) stopped "
                  f"{(caught - sent[0]) * 1e3:.1f} ms after SIGINT (signal at {sent[0] - started:.1f} s)")


if __name__ == "__main__":
    main()
