"""Per-call cost of every function and constructor on small arguments, where
binding, conversion and result building outweigh the computation.

Each row is called positionally and, where it differs, by keyword, so that
both binding paths are timed. `--json` prints the rows as one JSON object
(name -> ns per call). `--compare PATH` loads a second build of the module
(the .so at PATH) beside the installed one and times the two alternately,
row by row, which keeps a busy machine's drift out of the comparison.

Run: .venv-3.12/bin/python benchmarks/bench_call.py [--json | --compare PATH]
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import sys

from _bench_common import fmt_ns, print_table, time_call

import zarvik_lumetra_native


def load_build(path):
    """Another build of the module, loaded under its own name from `path`."""
    loader = importlib.machinery.ExtensionFileLoader("zarvik_lumetra_native", path)
    spec = importlib.util.spec_from_file_location("zarvik_lumetra_native", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def rows(native=zarvik_lumetra_native):
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


def compare(other_path: str, rounds: int = 9) -> None:
    """Fastest of `rounds` alternating timings of each row in both builds."""
    other = load_build(other_path)
    table = []
    for (name, here), (_, there) in zip(rows(), rows(other)):
        best_here, best_there = float("inf"), float("inf")
        for _ in range(rounds):
            best_there = min(best_there, time_call(there, repeat=3, min_time_s=0.05))
            best_here = min(best_here, time_call(here, repeat=3, min_time_s=0.05))
        table.append([name, fmt_ns(best_there), fmt_ns(best_here), f"{100 * (best_here / best_there - 1):+.1f}%"])
    print(f"## Per call, small arguments: {other_path} against the installed build (fastest of {rounds})\n")
    print_table(["call", "other build", "installed build", "change"], table)


def main() -> None:
    if "--compare" in sys.argv[1:]:
        compare(sys.argv[sys.argv.index("--compare") + 1])
        return
    as_json = "--json" in sys.argv[1:]
    times = {name: time_call(fn) for name, fn in rows()}
    if as_json:
        print(json.dumps(times))
        return
    print("## Per call, small arguments (median)\n")
    print_table(["call", "time"], [[name, fmt_ns(ns)] for name, ns in times.items()])


if __name__ == "__main__":
    main()
