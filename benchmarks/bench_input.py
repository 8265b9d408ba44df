"""List input against NumPy float32 and array.array input at n = 768.

Prints the float vector conversion alone and each function end to end, for
each kind of input. Buffers of a plain native number format are read
directly; lists go through the item-by-item conversion.

Run: .venv-3.12/bin/python benchmarks/bench_input.py
"""

from __future__ import annotations

import array
import statistics
import timeit

import numpy as np

import _zarvik_lumetra_testing as testing
import zarvik_lumetra_native as zln


def median_us(fn, arg, repeat: int = 7) -> float:
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    return statistics.median(t / number * 1e6 for t in timer.repeat(repeat, number))


def main(n: int = 768) -> None:
    rng = np.random.default_rng(7)
    values = rng.standard_normal(n).astype(np.float32)
    values /= np.linalg.norm(values)
    inputs = {
        "list of float": values.tolist(),
        "numpy float32": values,
        "numpy float64": values.astype(np.float64),
        "array.array('f')": array.array("f", values.tolist()),
    }
    rows = [
        ("conversion alone", testing.convert_only),
        ("normalize_vector", zln.normalize_vector),
        ("simhash_lsh_multi", zln.simhash_lsh_multi),
        ("compute_embedding_sha256", zln.compute_embedding_sha256),
    ]
    print(f"n = {n}, median µs per call\n")
    print("| call | " + " | ".join(inputs) + " |")
    print("|---|" + "---:|" * len(inputs))
    for name, fn in rows:
        cells = [f"{median_us(fn, arg):.2f}" for arg in inputs.values()]
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
