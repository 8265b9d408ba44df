"""Writes an embedding-like corpus with planted near-duplicates, and its truth.

    python examples/make_corpus.py --size 1000000 --dim 768 --out corpus

gives corpus/vectors.npy (float32, one row per vector, ids are row numbers)
and corpus/truth.parquet: one row per planted pair, `id_a` < `id_b`, `kind`
("near" or "copy") and `level` (the cosine it was planted at; 1 for
copies). Rows are generated in blocks straight into the memory-mapped file,
so any size fits in memory. examples/check_recall.py compares a run's
results with the truth.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

from near_dup.corpus import fill
from near_dup.libs import load


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--size", type=int, default=200_000, help="vectors (default 200,000)")
    parser.add_argument("--dim", type=int, default=768, help="dimension (default 768)")
    parser.add_argument("--pairs", type=int, default=1000, help="planted pairs per cosine level (default 1,000)")
    parser.add_argument("--copies", type=int, default=500, help="planted exact copies (default 500)")
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--out", required=True, metavar="DIR", help="folder for vectors.npy and truth.parquet")
    args = parser.parse_args(argv)
    if args.size < 1 or args.dim < 2 or args.pairs < 0 or args.copies < 0:
        parser.error("--size must be at least 1, --dim at least 2, --pairs and --copies at least 0")
    pa, pq = load("pyarrow"), load("pyarrow.parquet")
    os.makedirs(args.out, exist_ok=True)
    start = time.perf_counter()
    vectors = np.lib.format.open_memmap(os.path.join(args.out, "vectors.npy"), mode="w+", dtype=np.float32,
                                        shape=(args.size, args.dim))
    try:
        corpus = fill(vectors, args.pairs, args.copies, args.seed)
    except ValueError as exc:
        parser.error(str(exc))
    vectors.flush()
    a = np.r_[corpus.pair_a, corpus.copy_of]
    b = np.r_[corpus.pair_b, corpus.copy_row]
    truth = pa.table({
        "id_a": np.minimum(a, b), "id_b": np.maximum(a, b),
        "kind": pa.array(["near"] * len(corpus.pair_a) + ["copy"] * len(corpus.copy_of)),
        "level": np.r_[corpus.pair_level, np.ones(len(corpus.copy_of))],
    }).sort_by([("id_a", "ascending"), ("id_b", "ascending")])
    pq.write_table(truth, os.path.join(args.out, "truth.parquet"))
    print(f"wrote {args.size} x {args.dim} vectors ({vectors.nbytes / 2**30:.2f} GiB) and {truth.num_rows} planted pairs "
          f"to {args.out} in {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
