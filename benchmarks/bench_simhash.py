"""simhash_lsh_multi end to end on list input with the default parameters
(3 families, 256 bits, 16 bands): every kernel path the CPU offers, the
shipped function, and a NumPy recipe with a precomputed ±1 matrix.

Run: .venv-3.12/bin/python benchmarks/bench_simhash.py
"""

from __future__ import annotations

import os
import random

# One BLAS thread, like the native module: multithreaded matrix-vector
# products stall on a loaded machine and would measure the scheduler.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

from _bench_common import fmt_ns, fmt_ratio, print_table, time_call  # noqa: E402

import _zarvik_lumetra_testing as testing_ext  # noqa: E402
import zarvik_lumetra_native as native  # noqa: E402

F, B, K = 3, 256, 16
SIZES = (128, 384, 768, 1536, 3072)
MASK32 = np.uint64(0xFFFFFFFF)


def sign_matrix(families: int, bits: int, n: int) -> np.ndarray:
    """float32 matrix of shape (families*bits, n) holding the hyperplane
    signs (+1/-1), computed with the same 64-bit mixing, vectorised."""
    f = np.repeat(np.arange(families, dtype=np.uint64), bits)[:, None]
    b = np.tile(np.arange(bits, dtype=np.uint64), families)[:, None]
    j = np.arange(n, dtype=np.uint64)[None, :]
    with np.errstate(over="ignore"):
        key = (f << np.uint64(48)) ^ (b << np.uint64(24)) ^ j
        z = key + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        e = (z ^ (z >> np.uint64(27))) & MASK32
        e = (e * np.uint64(0x133111EB)) & MASK32
        e ^= e >> np.uint64(31)
    return np.where((e & np.uint64(1)) == 1, np.float32(1.0), np.float32(-1.0))


def numpy_recipe(matrix: np.ndarray, v) -> list:
    a = np.asarray(v, dtype=np.float32)
    bits = (matrix @ a) > 0
    packed = np.packbits(bits.reshape(F, B), axis=1)
    return [packed[f].tobytes().hex() for f in range(F)]


def main() -> None:
    # Every driver with the full kernel table (the narrowed tables are timed by bench_simhash_core).
    paths = [p for p in testing_ext.simhash_paths() if "@" not in p]
    rng = random.Random(1)
    rows = []
    agreement = []
    for n in SIZES:
        v = [rng.gauss(0.0, 1.0) for _ in range(n)]
        times = {}
        times["shipped"] = time_call(lambda: native.simhash_lsh_multi(v), repeat=5, min_time_s=0.1)
        for p in paths:
            slow = p.startswith("scalar")
            times[p] = time_call(
                lambda p=p: testing_ext.simhash_with_path(v, F, B, K, p),
                repeat=3 if slow and n > 768 else 5,
                min_time_s=0.05 if slow and n > 768 else 0.1,
            )
        matrix = sign_matrix(F, B, n)
        times["numpy"] = time_call(lambda: numpy_recipe(matrix, v), repeat=5, min_time_s=0.1)
        rows.append([n] + [fmt_ns(times[k]) for k in ["shipped"] + paths + ["numpy"]] + [
            fmt_ratio(times["scalar_uncached"] / times["shipped"]),
            fmt_ratio(times["numpy"] / times["shipped"]),
        ])
        sigs = [r.signature for r in native.simhash_lsh_multi(v)]
        same = sum(a == b for a, b in zip(sigs, numpy_recipe(matrix, v)))
        agreement.append(f"n={n}: {same}/{F}")
    print(f"## simhash_lsh_multi, list input, families={F}, bits={B}, bands={K} (median per call)\n")
    print_table(
        ["n", "shipped"] + paths + ["NumPy recipe", "scalar_uncached / shipped", "NumPy / shipped"],
        rows,
    )
    print(
        "Paths via _zarvik_lumetra_testing.simhash_with_path (tuples instead of LshFamily). "
        "NumPy recipe: precomputed float32 ±1 matrix (F*B, n); timed asarray, matmul, > 0, "
        "packbits, .hex() per family; no bands, float32 sums, so not bit-exact; BLAS limited "
        "to one thread unless OPENBLAS_NUM_THREADS is set."
    )
    print("NumPy signatures identical to the native ones: " + ", ".join(agreement))


def hard_vectors() -> None:
    """The certified path where its estimates settle little: vectors full of
    cancellation, against the fastest exact kernel, in the same run."""
    n = 768
    rng = random.Random(2)
    base = [rng.uniform(-1.0, 1.0) for _ in range(n // 2)]
    cases = {
        "a, tiny..., -a": [1.0] + [2.0**-60] * (n - 2) + [-1.0],
        "x, -x": base + [-x for x in base],
        "constant 0.25": [0.25] * n,
        "all zeros": [0.0] * n,
        "max magnitudes": [3.4e38 if rng.random() < 0.5 else -3.4e38 for _ in range(n)],
        "gaussian (for scale)": [rng.gauss(0.0, 1.0) for _ in range(n)],
    }
    rows = []
    for name, v in cases.items():
        cert = time_call(lambda: testing_ext.simhash_with_path(v, F, B, K, "certified"), repeat=5, min_time_s=0.1)
        exact = time_call(lambda: testing_ext.simhash_with_path(v, F, B, K, "exact_auto"), repeat=5, min_time_s=0.1)
        rows.append([name, fmt_ns(cert), fmt_ns(exact), fmt_ratio(cert / exact)])
    print(f"\n## certified vs exact_auto on hard vectors, n={n} (median per call)\n")
    print_table(["vector", "certified", "exact_auto", "certified / exact_auto"], rows)


if __name__ == "__main__":
    main()
    hard_vectors()
