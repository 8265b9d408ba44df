"""normalize_vector on list input: the native module against the
straightforward pure-Python binary32 computation and a NumPy recipe.

Run: .venv-3.12/bin/python benchmarks/bench_normalize.py
"""

from __future__ import annotations

import math
import random

import numpy as np

from _bench_common import fmt_ns, fmt_ratio, print_table, time_call

from support import reference_model
import zarvik_lumetra_native as native


def plain_python_normalize(v):
    """What a host package would write without a native module (binary64)."""
    norm = math.sqrt(sum(x * x for x in v))
    if norm == 0.0:
        return list(v)
    return [x / norm for x in v]


def numpy_normalize(v):
    a = np.asarray(v, dtype=np.float32)
    return (a / np.linalg.norm(a)).tolist()


def main() -> None:
    rng = random.Random(42)
    rows = []
    for n in (384, 768, 1536):
        v = [rng.gauss(0.0, 1.0) for _ in range(n)]
        t_native = time_call(lambda: native.normalize_vector(v))
        t_python = time_call(lambda: reference_model.normalize_vector(v), repeat=5, min_time_s=0.3)
        t_plain = time_call(lambda: plain_python_normalize(v))
        t_numpy = time_call(lambda: numpy_normalize(v))
        rows.append(
            [
                n,
                fmt_ns(t_native),
                fmt_ns(t_python),
                fmt_ns(t_plain),
                fmt_ns(t_numpy),
                fmt_ratio(t_python / t_native),
                fmt_ratio(t_plain / t_native),
                fmt_ratio(t_numpy / t_native),
            ]
        )
    print("## normalize_vector, list of Python floats in, list out (median per call)\n")
    print_table(
        [
            "n",
            "native",
            "pure Python, binary32 model",
            "pure Python, binary64",
            "NumPy float32",
            "model / native",
            "binary64 / native",
            "NumPy / native",
        ],
        rows,
    )
    print(
        "binary32 model: tests/support/reference_model.normalize_vector (exact binary32 rounding "
        "in integer arithmetic). binary64: math.sqrt(sum(x*x)) and x / norm, not bit-exact."
    )
    print(
        "NumPy: np.asarray(v, dtype=np.float32) / np.linalg.norm(...), .tolist(); "
        "not bit-exact (pairwise sum), shown for scale."
    )


if __name__ == "__main__":
    main()
