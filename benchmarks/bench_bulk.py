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
on a shared machine weighs on all of them alike.

Run: .venv-3.12/bin/python benchmarks/bench_bulk.py [--rows N] [--rounds R]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import time

import numpy as np

from _bench_common import ROOT, print_table
from bench_simhash_batch import numpy_batched_ns

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


def seconds(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


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
            f = line.split()
            if f and f[0].isdigit() and len(f) >= 8:
                out[("digest", int(f[0]))] = float(f[6])  # whole digest, median
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
    rows = []
    for d in SIZES:
        x = unit_rows(args.rows, d, seed=d)
        loop = per_call_loop(x[: args.loop_rows])
        times: dict = {}

        def add(key, s, count):
            times.setdefault(key, []).append(s / count * 1e6)

        for _ in range(args.rounds):
            for name, fn in zip(("normalize", "digest", "sign"), loop):
                add(("loop", name), seconds(fn), args.loop_rows)
            for t in (1, 2):
                add(("normalize", t), seconds(lambda: bulk.normalize_rows(x, threads=t)), args.rows)
                add(("digest", t), seconds(lambda: bulk.digest_rows(x, threads=t)), args.rows)
                add(("sign", t), seconds(lambda: bulk.sign_rows(x, threads=t)), args.rows)
            add(("numpy",), numpy_batched_ns(d) / 1e3, 1)
        m = {k: statistics.median(v) for k, v in times.items()}
        loop_all = m[("loop", "normalize")] + m[("loop", "digest")] + m[("loop", "sign")]
        bulk1 = m[("normalize", 1)] + m[("digest", 1)] + m[("sign", 1)]
        rows.append([
            d,
            f"{m[('loop', 'normalize')]:.2f} / {m[('normalize', 1)]:.2f} / {m[('normalize', 2)]:.2f}",
            f"{m[('loop', 'digest')]:.2f} / {m[('digest', 1)]:.2f} / {m[('digest', 2)]:.2f} / "
            f"{core.get(('digest', d), float('nan')):.2f}",
            f"{m[('loop', 'sign')]:.2f} / {m[('sign', 1)]:.2f} / {m[('sign', 2)]:.2f} / "
            f"{core.get(('sign', d), float('nan')):.2f}",
            f"{m[('numpy',)]:.2f}",
            f"{loop_all:.1f} / {bulk1:.1f} ({bulk1 / loop_all:.2f}×)",
            f"{m[('sign', 1)] / m[('numpy',)]:.2f}× / {m[('sign', 1)] / core.get(('sign', d), float('nan')):.2f}× / "
            f"{m[('sign', 1)] / m[('sign', 2)]:.2f}×",
        ])
        del x
    print(f"## bulk functions per vector (µs), n = {args.rows:,}, medians of {args.rounds} alternating rounds\n")
    print_table(
        ["d", "normalize: loop / 1 thr / 2 thr", "digest: loop / 1 / 2 / core", "sign: loop / 1 / 2 / core",
         "NumPy batched", "all three: loop / bulk 1 thr", "sign 1 thr vs NumPy / core; 2-thread speed-up"],
        rows,
    )
    print(f"Loop: the per-call functions over the first {args.loop_rows:,} ndarray rows. Core: the C++ timing "
          "programs' median per call (nan when build/bench is not built).\n")

    x = unit_rows(args.pair_rows, 768, seed=1)
    rng = np.random.default_rng(2)
    i = rng.integers(0, args.pair_rows, args.pairs)
    j = rng.integers(0, args.pair_rows, args.pairs)
    pair = {1: [], 2: []}
    for _ in range(args.rounds):
        for t in (1, 2):
            pair[t].append(seconds(lambda: bulk.pair_cosines(x, i, j, threads=t)) / args.pairs * 1e6)
    print(f"pair_cosines, d = 768, {args.pairs:,} random pairs of {args.pair_rows:,} rows: "
          f"{statistics.median(pair[1]):.3f} µs per pair with 1 thread, {statistics.median(pair[2]):.3f} with 2")


if __name__ == "__main__":
    main()
