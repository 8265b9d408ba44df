"""hamming_distance_hex, cosine_from_hamming and compute_embedding_sha256
against plain-Python equivalents, with an empty-call baseline for the cost
of any call into a C function.

Run: .venv-3.12/bin/python benchmarks/bench_compare_digest.py
"""

from __future__ import annotations

import hashlib
import math
import random

from _bench_common import fmt_ns, fmt_ratio, print_table, time_call

from support import reference_model
import _zarvik_lumetra_testing as testing_ext
import zarvik_lumetra_native as native


def main() -> None:
    rng = random.Random(5)
    a = "".join(rng.choice("0123456789abcdef") for _ in range(64))
    b = "".join(rng.choice("0123456789abcdef") for _ in range(64))
    empty = ()

    t_empty = time_call(lambda: len(empty))
    t_lambda = time_call(lambda: None)
    t_ham = time_call(lambda: native.hamming_distance_hex(a, b))
    t_ham_py = time_call(lambda: (int(a, 16) ^ int(b, 16)).bit_count())
    d, t = 77, 256  # variables, so nothing is folded at compile time
    t_cos = time_call(lambda: native.cosine_from_hamming(d, t))
    t_cos_py = time_call(lambda: math.cos(math.pi * d / t))
    t_cos_py_q = time_call(lambda: math.cos((d / t) * math.pi))

    print("## Signature comparison, 64-digit signatures (median per call, incl. Python call overhead)\n")
    print_table(
        ["operation", "native", "plain Python", "Python / native", "native minus empty call"],
        [
            ["empty call baseline: len(())", fmt_ns(t_empty), "", "", ""],
            ["empty lambda baseline: (lambda: None)()", fmt_ns(t_lambda), "", "", ""],
            [
                "hamming_distance_hex vs (int(a,16)^int(b,16)).bit_count()",
                fmt_ns(t_ham),
                fmt_ns(t_ham_py),
                fmt_ratio(t_ham_py / t_ham),
                fmt_ns(t_ham - t_empty),
            ],
            [
                "cosine_from_hamming vs math.cos(math.pi*d/t)",
                fmt_ns(t_cos),
                fmt_ns(t_cos_py),
                fmt_ratio(t_cos_py / t_cos),
                fmt_ns(t_cos - t_empty),
            ],
            [
                "cosine_from_hamming vs math.cos((d/t)*math.pi)",
                fmt_ns(t_cos),
                fmt_ns(t_cos_py_q),
                fmt_ratio(t_cos_py_q / t_cos),
                "",
            ],
        ],
    )
    print("All timings include the lambda wrapper of timeit; the baselines show that floor.\n")

    rows = []
    for n in (384, 768, 1536):
        v = [rng.gauss(0.0, 1.0) for _ in range(n)]
        norm = math.sqrt(sum(x * x for x in v))
        v = [x / norm for x in v]
        text = testing_ext.canonical_embedding_text(v)
        payload = text.encode("ascii")
        t_native = time_call(lambda: native.compute_embedding_sha256(v))
        t_model = time_call(lambda: reference_model.compute_embedding_sha256(v), repeat=5, min_time_s=0.3)
        t_hash = time_call(lambda: hashlib.sha256(payload).hexdigest())
        t_hash_enc = time_call(lambda: hashlib.sha256(text.encode("ascii")).hexdigest())
        rows.append(
            [
                n,
                len(payload),
                fmt_ns(t_native),
                fmt_ns(t_model),
                fmt_ns(t_hash),
                fmt_ns(t_hash_enc),
                fmt_ratio(t_model / t_native),
                f"{t_hash / t_native:.0%}",
            ]
        )
    print("## compute_embedding_sha256, list input (median per call)\n")
    print_table(
        [
            "n",
            "text bytes",
            "native",
            "pure Python model",
            "hashlib.sha256 of ready bytes",
            "encode + hashlib.sha256",
            "model / native",
            "hashing share of native",
        ],
        rows,
    )
    print(
        "Pure Python model: tests/support/reference_model.compute_embedding_sha256 (binary32 narrowing, "
        "half-away quantisation, repr-based shortest digits, join, hashlib)."
    )


if __name__ == "__main__":
    main()
