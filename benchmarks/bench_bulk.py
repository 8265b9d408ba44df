"""zarvik_lumetra_bulk against the per-call loop, the core alone and NumPy.

For d = 384, 768 and 1536 (n rows of unit Gaussian vectors, default
100,000), per vector:

* per-call loop over ndarray rows: `out[i] = normalize_vector(x[i])` (the
  list written back into a float32 matrix), `compute_embedding_sha256(x[i])`
  and `simhash_lsh_multi(x[i])` (3 families, 256 bits, 16 bands), timed on
  the first --loop-rows rows (the per-vector cost does not depend on n);
* the bulk functions on all n rows with threads=1 and threads=2;
* the numeric core alone, per call (build/bench/bench_simhash_core and
  bench_digest_core, built by scripts/bench.sh or by hand; the "auto" row);
* NumPy's batched float32 product with a precomputed ±1 matrix, `> 0` and
  np.packbits (one BLAS thread, no OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE, in
  a child process; not bit-exact, no bands).

Then pair_cosines at d = 768 on random pairs of a --pair-rows matrix
(default 1,000,000 rows, 3 GB). Each figure is the median of --rounds
rounds; the rounds alternate all measurements, so load that comes and goes
on a shared machine weighs on all of them alike. Single-thread figures are
the process's CPU time (time.process_time), which a busy machine inflates
far less than wall time; thread speed-ups can only be wall time.

Run: .venv-3.12/bin/python benchmarks/bench_bulk.py [--rows N] [--rounds R]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np

from _bench_common import ROOT, print_table

import zarvik_lumetra_bulk as bulk
import zarvik_lumetra_native as native

SIZES = (384, 768, 1536)


def unit_rows(n: int, d: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = np.empty((n, d), np.float32)
    for start in range(0, n, 50_000):  # float32 in blocks: no float64 copy of the whole matrix
        block = rng.standard_normal((min(50_000, n - start), d), dtype=np.float32)
        x[start : start + len(block)] = block / np.linalg.norm(block, axis=1, keepdims=True)
    return x


def seconds(fn) -> tuple:
    """(wall seconds, CPU seconds of the whole process, every thread)."""
    c0, t0 = time.process_time(), time.perf_counter()
    fn()
    return time.perf_counter() - t0, time.process_time() - c0


NUMPY_CHILD = r"""
import sys, time, statistics
import numpy as np
sys.path.insert(0, sys.argv[3])
from bench_simhash import sign_matrix
n, batch = int(sys.argv[1]), int(sys.argv[2])
rng = np.random.default_rng(n)
x = rng.standard_normal((batch, n)).astype(np.float32)
x /= np.linalg.norm(x, axis=1, keepdims=True)
m = np.ascontiguousarray(sign_matrix(3, 256, n).T)  # n x 768
def run():
    return np.packbits((x @ m) > 0, axis=1)
run()
wall, cpu = [], []
for _ in range(5):
    c0, t0 = time.process_time(), time.perf_counter()
    run()
    wall.append(time.perf_counter() - t0)
    cpu.append(time.process_time() - c0)
print(statistics.median(wall) / batch, statistics.median(cpu) / batch)
"""


def numpy_batched(d: int) -> tuple:
    """(wall, CPU) seconds per vector of NumPy's batched product, one BLAS thread."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    out = subprocess.run([sys.executable, "-c", NUMPY_CHILD, str(d), "10000", os.path.dirname(os.path.abspath(__file__))],
                         env=env, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def core_figures() -> dict:
    """{(what, d): µs per call} from the C++ timing programs, when built."""
    out = {}
    core = os.path.join(ROOT, "build", "bench")
    try:
        text = subprocess.run([os.path.join(core, "bench_simhash_core")], capture_output=True, text=True, check=True).stdout
        sizes = [int(v) for v in re.search(r"path \\ n\s+(.*)", text).group(1).split()]
        for line in text.splitlines():
            if line.split()[:1] == ["auto"]:
                for d, us in zip(sizes, line.split()[1:]):
                    out[("sign", d)] = float(us)
        text = subprocess.run([os.path.join(core, "bench_digest_core")], capture_output=True, text=True, check=True).stdout
        for line in text.splitlines():
            f = re.findall(r"[0-9.]+", line)  # n, bytes, then median [min] of text, SHA-256, whole digest
            if line[:1].isdigit() and len(f) >= 8:
                out[("digest", int(f[0]))] = float(f[6])
    except (OSError, subprocess.CalledProcessError, AttributeError):
        pass
    return out


def per_call_loop(x: np.ndarray):
    out = np.empty_like(x)

    def normalize():
        for i in range(len(x)):
            out[i] = native.normalize_vector(x[i])

    def digest():
        for i in range(len(x)):
            native.compute_embedding_sha256(x[i])

    def sign():
        for i in range(len(x)):
            native.simhash_lsh_multi(x[i])

    return normalize, digest, sign


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--loop-rows", type=int, default=5_000)
    ap.add_argument("--pair-rows", type=int, default=1_000_000)
    ap.add_argument("--pairs", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    core = core_figures()
    rows_cpu, rows_wall = [], []
    for d in SIZES:
        x = unit_rows(args.rows, d, seed=d)
        loop = per_call_loop(x[: args.loop_rows])
        wall: dict = {}
        cpu: dict = {}

        def add(key, took, count):
            wall.setdefault(key, []).append(took[0] / count * 1e6)
            cpu.setdefault(key, []).append(took[1] / count * 1e6)

        for _ in range(args.rounds):
            for name, fn in zip(("normalize", "digest", "sign"), loop):
                add(("loop", name), seconds(fn), args.loop_rows)
            for t in (1, 2):
                add(("normalize", t), seconds(lambda: bulk.normalize_rows(x, threads=t)), args.rows)
                add(("digest", t), seconds(lambda: bulk.digest_rows(x, threads=t)), args.rows)
                add(("sign", t), seconds(lambda: bulk.sign_rows(x, threads=t)), args.rows)
            add(("numpy",), numpy_batched(d), 1)
        c = {k: statistics.median(v) for k, v in cpu.items()}
        w = {k: statistics.median(v) for k, v in wall.items()}
        loop_all = c[("loop", "normalize")] + c[("loop", "digest")] + c[("loop", "sign")]
        bulk1 = c[("normalize", 1)] + c[("digest", 1)] + c[("sign", 1)]
        nan = float("nan")
        rows_cpu.append([
            d,
            f"{c[('loop', 'normalize')]:.2f} / {c[('normalize', 1)]:.2f}",
            f"{c[('loop', 'digest')]:.2f} / {c[('digest', 1)]:.2f} / {core.get(('digest', d), nan):.2f}",
            f"{c[('loop', 'sign')]:.2f} / {c[('sign', 1)]:.2f} / {core.get(('sign', d), nan):.2f}",
            f"{c[('numpy',)]:.2f}",
            f"{loop_all:.1f} / {bulk1:.1f} ({bulk1 / loop_all:.2f}×)",
            f"{c[('sign', 1)] / c[('numpy',)]:.2f}× / {c[('sign', 1)] / core.get(('sign', d), nan):.2f}×",
        ])
        rows_wall.append([
            d,
            *(f"{w[(f, 1)]:.2f} / {w[(f, 2)]:.2f} ({w[(f, 1)] / w[(f, 2)]:.2f}×)" for f in ("normalize", "digest", "sign")),
        ])
        del x
    print(f"## per vector, CPU µs of the process (all threads), n = {args.rows:,}, medians of {args.rounds} "
          "alternating rounds, one thread\n")
    print_table(
        ["d", "normalize: loop / bulk", "digest: loop / bulk / core", "sign: loop / bulk / core",
         "NumPy batched", "all three: loop / bulk", "sign bulk vs NumPy / core"],
        rows_cpu,
    )
    print(f"Loop: the per-call functions over the first {args.loop_rows:,} ndarray rows. Core: the C++ timing "
          "programs' median wall time per call (nan when build/bench is not built); a call that short is rarely "
          "preempted, so its median is close to its CPU time.\n")
    print("## wall µs per vector, 1 thread / 2 threads (speed-up)\n")
    print_table(["d", "normalize_rows", "digest_rows", "sign_rows"], rows_wall)

    x = unit_rows(args.pair_rows, 768, seed=1)
    rng = np.random.default_rng(2)
    i = rng.integers(0, args.pair_rows, args.pairs)
    j = rng.integers(0, args.pair_rows, args.pairs)
    pair: dict = {}
    for _ in range(args.rounds):
        for t in (1, 2):
            took = seconds(lambda: bulk.pair_cosines(x, i, j, threads=t))
            pair.setdefault(t, []).append([v / args.pairs * 1e6 for v in took])
    one, two = ([statistics.median(v[k] for v in pair[t]) for k in (0, 1)] for t in (1, 2))
    print(f"pair_cosines, d = 768, {args.pairs:,} random pairs of {args.pair_rows:,} rows, µs per pair: "
          f"1 thread {one[0]:.3f} wall / {one[1]:.3f} CPU; 2 threads {two[0]:.3f} wall / {two[1]:.3f} CPU")


if __name__ == "__main__":
    main()
