"""Recall and precision of a run's pairs against a generated corpus's truth.

    python examples/check_recall.py --corpus corpus --out results

reads corpus/truth.parquet and corpus/vectors.npy, and the run's
results/pairs.parquet and duplicates.parquet; prints, per planted level, the
planted pairs at or above the threshold, those found, and the recall the
run's shape predicts for them (from their exact cosines; the shape and
threshold are in the pairs file's metadata); then the exact
copies found and the share of reported pairs that were planted.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

from near_dup import bulk
from near_dup.libs import load
from near_dup.shape import match_probability
from near_dup.signing import LshShape


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--corpus", required=True, metavar="DIR", help="folder made by make_corpus.py")
    parser.add_argument("--out", required=True, metavar="DIR", help="the run's --out folder")
    args = parser.parse_args(argv)
    pq = load("pyarrow.parquet")
    metadata = pq.read_schema(os.path.join(args.out, "pairs.parquet")).metadata  # the run's shape and threshold
    shape = LshShape(*(int(v) for v in metadata[b"near_dup.shape"].decode().split(",")))
    args.threshold = float(metadata[b"near_dup.threshold"].decode())
    truth = pq.read_table(os.path.join(args.corpus, "truth.parquet")).to_pandas()
    pairs = pq.read_table(os.path.join(args.out, "pairs.parquet"), columns=["id_a", "id_b", "cosine"]).to_pandas()
    copies = pq.read_table(os.path.join(args.out, "duplicates.parquet")).to_pandas()
    vectors = np.load(os.path.join(args.corpus, "vectors.npy"), mmap_mode="r")
    near = truth[truth["kind"] == "near"]
    rows = np.unique(np.r_[near["id_a"], near["id_b"]])
    normalised = np.empty((len(rows), vectors.shape[1]), dtype=np.float32)
    bulk.normalize_rows(np.ascontiguousarray(vectors[rows]), normalised, None)
    cosine = bulk.pair_cosines(normalised, np.searchsorted(rows, near["id_a"]), np.searchsorted(rows, near["id_b"]), None)
    n = len(vectors)
    found = set((pairs["id_a"].to_numpy() * n + pairs["id_b"].to_numpy()).tolist())
    hit = np.array([a * n + b in found for a, b in zip(near["id_a"], near["id_b"])], dtype=bool)
    predicted = match_probability(cosine, shape.band_bits, shape.slots)
    print(f"shape {shape.describe()}; threshold {args.threshold:g}")
    print()
    print("| planted cosine | pairs at or above the threshold | found | recall | predicted recall |")
    print("|---:|---:|---:|---:|---:|")
    wanted = cosine >= args.threshold
    for level in sorted(set(near["level"])):
        mine = wanted & (near["level"].to_numpy() == level)
        print(f"| {level:.2f} | {int(mine.sum())} | {int(hit[mine].sum())} | {hit[mine].mean():.4f} | "
              f"{predicted[mine].mean():.4f} |")
    print(f"| all | {int(wanted.sum())} | {int(hit[wanted].sum())} | {hit[wanted].mean():.4f} | "
          f"{predicted[wanted].mean():.4f} |")
    planted_copies = truth[truth["kind"] == "copy"]
    copied = set(zip(copies["id"], copies["kept_id"]))
    print()
    print(f"exact copies found: {sum((b, a) in copied for a, b in zip(planted_copies['id_a'], planted_copies['id_b']))} "
          f"of {len(planted_copies)}; copies reported: {len(copies)}")
    planted = set((near["id_a"].to_numpy() * n + near["id_b"].to_numpy()).tolist())
    print(f"reported pairs: {len(pairs)}, of them planted: {len(found & planted)} (precision against the truth "
          f"{len(found & planted) / max(len(pairs), 1):.4f}); below the threshold: {int((pairs['cosine'] < args.threshold).sum())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
