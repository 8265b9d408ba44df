"""simhash_lsh_multi one call per vector (defaults: 3 families, 256 bits,
16 bands) against NumPy signing a whole batch in one float32 matrix product.

Per call: a loop over 1,000 different unit vectors, each passed as a list and
as a float32 ndarray row; the time per vector is the loop time / 1,000.
NumPy: a batch of 10,000 unit vectors against a precomputed float32 ±1
matrix of n x 768; the product, the comparison with 0 and np.packbits are
timed, per vector. That measurement runs in a child process whose
environment alone has OPENBLAS_NUM_THREADS=1 and no OPENBLAS_CORETYPE or
OPENBLAS_L2_SIZE; NumPy's sums are float32 in BLAS order, so its bits are
not the exact ones.

Run: .venv-3.12/bin/python benchmarks/bench_simhash_batch.py
"""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np

from _bench_common import fmt_ns, fmt_ratio, print_table, time_call

import zarvik_lumetra_native as native

F, B, K = 3, 256, 16
SIZES = (128, 384, 768, 1536, 3072)
CALLS = 1000
BATCH = 10_000
ROUNDS = 5

CHILD = r"""
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
times = []
for _ in range(5):
    t0 = time.perf_counter_ns()
    run()
    times.append(time.perf_counter_ns() - t0)
print(statistics.median(times) / batch)
"""


def numpy_batched_ns(n: int) -> float:
    env = dict(os.environ)
    env["OPENBLAS_NUM_THREADS"] = "1"
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(n), str(BATCH), here],
        env=env, check=True, capture_output=True, text=True,
    )
    return float(out.stdout.strip())


def main() -> None:
    rows = []
    for n in SIZES:
        rng = np.random.default_rng(100 + n)
        x = rng.standard_normal((CALLS, n)).astype(np.float32)
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        arrays = list(x)
        lists = [r.tolist() for r in x]
        f = native.simhash_lsh_multi

        def loop(items):
            for v in items:
                f(v)

        # Rounds interleave the three measurements and each keeps its
        # lowest median: on a shared machine, load that comes and goes then
        # weighs on none of them more than on the others.
        t_list = t_row = t_np = float("inf")
        for _ in range(ROUNDS):
            t_list = min(t_list, time_call(lambda: loop(lists), repeat=3, min_time_s=0.1) / CALLS)
            t_row = min(t_row, time_call(lambda: loop(arrays), repeat=3, min_time_s=0.1) / CALLS)
            t_np = min(t_np, numpy_batched_ns(n))
        rows.append([n, fmt_ns(t_row), fmt_ns(t_list), fmt_ns(t_np),
                     fmt_ratio(t_np / t_row), fmt_ratio(t_np / t_list)])
    print(f"## one call per vector against NumPy's batched product, families={F}, bits={B}, bands={K}\n")
    print_table(
        ["n", "per call, ndarray row", "per call, list", "NumPy batched, per vector (1 BLAS thread)",
         "NumPy / row", "NumPy / list"],
        rows,
    )
    print(f"Per call: {CALLS} different unit vectors in a loop. NumPy: a batch of {BATCH} unit vectors, "
          "float32 product with a precomputed n x 768 ±1 matrix, > 0 and np.packbits timed; "
          f"OPENBLAS_NUM_THREADS=1 in that child process only. Each figure is the lowest of {ROUNDS} interleaved "
          "medians. A ratio above 1 means the exact call is faster.")


if __name__ == "__main__":
    main()
