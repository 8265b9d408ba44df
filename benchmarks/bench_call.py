"""Per-call cost of every function and constructor on small arguments, where
binding, conversion and result building outweigh the computation.

Each row is called positionally and, where it differs, by keyword, so that
both binding paths are timed. `--json` prints the rows as one JSON object
(name -> ns per call) for comparing two builds.

Run: .venv-3.12/bin/python benchmarks/bench_call.py [--json]
"""

from __future__ import annotations

import json
import sys

from _bench_common import fmt_ns, print_table, time_call

import zarvik_lumetra_native as native


def rows():
    v8 = [0.5, -0.25, 0.125, 1.0, -0.75, 0.0625, 0.3, -0.9]
    a = "0123456789abcdef" * 4
    b = "fedcba9876543210" * 4
    d, t = 77, 256
    return [
        ("normalize_vector(v8)", lambda: native.normalize_vector(v8)),
        ("normalize_vector(vector=v8)", lambda: native.normalize_vector(vector=v8)),
        ("simhash_lsh_multi(v8, 1, 64, 4)", lambda: native.simhash_lsh_multi(v8, 1, 64, 4)),
        ("simhash_lsh_multi(v8, families=1, bits=64, bands=4)",
         lambda: native.simhash_lsh_multi(v8, families=1, bits=64, bands=4)),
        ("simhash_lsh_multi(v8) (defaults)", lambda: native.simhash_lsh_multi(v8)),
        ("hamming_distance_hex(a, b)", lambda: native.hamming_distance_hex(a, b)),
        ("hamming_distance_hex(a=a, b=b)", lambda: native.hamming_distance_hex(a=a, b=b)),
        ("cosine_from_hamming(d, t)", lambda: native.cosine_from_hamming(d, t)),
        ("cosine_from_hamming(distance_bits=d, total_bits=t)",
         lambda: native.cosine_from_hamming(distance_bits=d, total_bits=t)),
        ("compute_embedding_sha256(v8)", lambda: native.compute_embedding_sha256(v8)),
        ("LshConfig()", lambda: native.LshConfig()),
        ("LshConfig(1, 64, bands=4)", lambda: native.LshConfig(1, 64, bands=4)),
        ("LshFamily(0, 64, sig, bands)", lambda: native.LshFamily(0, 64, "ab", ["a", "b"])),
    ]


def main() -> None:
    as_json = "--json" in sys.argv[1:]
    times = {name: time_call(fn) for name, fn in rows()}
    if as_json:
        print(json.dumps(times))
        return
    print("## Per call, small arguments (median)\n")
    print_table(["call", "time"], [[name, fmt_ns(ns)] for name, ns in times.items()])


if __name__ == "__main__":
    main()
