"""Near-duplicate search over a generated embedding corpus.

Builds a reproducible corpus of unit vectors with planted near-duplicate
pairs at known cosine similarities, exact copies and unrelated vectors, then
runs the whole banded-LSH pipeline with zarvik_lumetra_native:

1. normalise every vector,
2. drop exact copies by their canonical SHA-256 digest,
3. sign and band every vector (SimHash, several families),
4. bucket by band and take candidate pairs from shared buckets,
5. score each candidate by the Hamming distance of its signatures and the
   cosine estimate derived from it,

and reports recall of the planted pairs, candidates per vector, the error of
the cosine estimate against the true cosine, and the time of each stage.
"""

from __future__ import annotations

import argparse
import math
import time
from collections import defaultdict
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import TypeVar

import numpy as np
from tqdm import tqdm

import zarvik_lumetra_native as zln

LEVELS = (0.99, 0.95, 0.9, 0.8)
T = TypeVar("T")


@dataclass
class Corpus:
    vectors: np.ndarray  # float32, one row per vector
    planted: dict[float, list[tuple[int, int]]]  # similarity -> index pairs
    copies: list[tuple[int, int]]  # (original, exact copy)


@dataclass
class Timings:
    seconds: dict[str, float] = field(default_factory=dict)

    def add(self, stage: str, seconds: float) -> None:
        self.seconds[stage] = self.seconds.get(stage, 0.0) + seconds


def make_corpus(size: int, dim: int, pairs_per_level: int, copies: int, seed: int) -> Corpus:
    """Unrelated random unit vectors, pairs at exact cosines, and exact copies."""
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((size, dim))
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    order = rng.permutation(size)
    cursor = 0
    planted: dict[float, list[tuple[int, int]]] = {}
    for level in LEVELS:
        pairs = []
        for _ in range(pairs_per_level):
            a, b = int(order[cursor]), int(order[cursor + 1])
            cursor += 2
            u = vectors[a]
            w = vectors[b] - np.dot(vectors[b], u) * u  # orthogonal to u
            w /= np.linalg.norm(w)
            vectors[b] = level * u + math.sqrt(1.0 - level * level) * w
            pairs.append((a, b))
        planted[level] = pairs
    copy_pairs = []
    for _ in range(copies):
        a, b = int(order[cursor]), int(order[cursor + 1])
        cursor += 2
        vectors[b] = vectors[a]
        copy_pairs.append((a, b))
    return Corpus(vectors.astype(np.float32), planted, copy_pairs)


def timed(timings: Timings, stage: str, items: Iterable[T], total: int, show: bool) -> Iterator[T]:
    """Iterates with a progress bar and adds the elapsed time to `stage`."""
    start = time.perf_counter()
    yield from tqdm(items, total=total, desc=f"{stage:<10}", unit="vec", leave=False, disable=not show)
    timings.add(stage, time.perf_counter() - start)


def run(args: argparse.Namespace) -> None:
    corpus = make_corpus(args.size, args.dim, args.pairs, args.copies, args.seed)
    n = len(corpus.vectors)
    timings = Timings()
    show = not args.quiet

    normalized = [zln.normalize_vector(row) for row in timed(timings, "normalise", corpus.vectors, n, show)]

    digests = [zln.compute_embedding_sha256(v) for v in timed(timings, "digest", normalized, n, show)]
    first_with_digest: dict[str, int] = {}
    duplicate_of: dict[int, int] = {}
    for i, digest in enumerate(digests):
        if digest in first_with_digest:
            duplicate_of[i] = first_with_digest[digest]
        else:
            first_with_digest[digest] = i
    kept = [i for i in range(n) if i not in duplicate_of]

    records = {
        i: zln.simhash_lsh_multi(normalized[i], args.families, args.bits, args.bands)
        for i in timed(timings, "simhash", kept, len(kept), show)
    }

    start = time.perf_counter()
    signatures: dict[int, list[str]] = {}
    buckets: dict[tuple[int, int, str], list[int]] = defaultdict(list)
    for i, families in records.items():
        signatures[i] = [fam.signature for fam in families]
        for fam in families:
            for band_index, band in enumerate(fam.bands):
                buckets[(fam.family, band_index, band)].append(i)
    candidates: set[tuple[int, int]] = set()
    for members in buckets.values():
        if len(members) > 1:
            for x in range(len(members)):
                for y in range(x + 1, len(members)):
                    candidates.add((members[x], members[y]))
    timings.add("bucket", time.perf_counter() - start)

    total_bits = args.families * max(args.bits, 64)
    estimates: dict[tuple[int, int], float] = {}
    for a, b in timed(timings, "score", candidates, len(candidates), show):
        distance = sum(zln.hamming_distance_hex(sa, sb) for sa, sb in zip(signatures[a], signatures[b]))
        estimates[(a, b)] = zln.cosine_from_hamming(distance, total_bits)

    report(args, corpus, kept, len(duplicate_of), candidates, estimates, timings, total_bits, normalized)


def report(
    args: argparse.Namespace,
    corpus: Corpus,
    kept: list[int],
    copies_removed: int,
    candidates: set[tuple[int, int]],
    estimates: dict[tuple[int, int], float],
    timings: Timings,
    total_bits: int,
    normalized: list[list[float]],
) -> None:
    n = len(corpus.vectors)
    print(f"corpus: {n} vectors of dimension {args.dim}; {copies_removed} exact copies removed by digest "
          f"({len(corpus.copies)} planted); signatures: {args.families} families x {max(args.bits, 64)} bits, "
          f"{args.bands} bands each")
    print(f"candidate pairs: {len(candidates)} ({2 * len(candidates) / len(kept):.2f} per vector)")
    print()
    print("| true cosine | recall | mean error | error spread | predicted spread |")
    print("|---:|---:|---:|---:|---:|")
    found_all = []
    for level, pairs in corpus.planted.items():
        found, errors = 0, list[float]()
        for a, b in pairs:
            key = (min(a, b), max(a, b))
            if key in estimates:
                found += 1
                true = float(np.dot(np.asarray(normalized[a], dtype=np.float64), np.asarray(normalized[b], dtype=np.float64)))
                errors.append(estimates[key] - true)
                found_all.append((true, estimates[key]))
        theta = math.acos(level)
        p = theta / math.pi
        predicted = math.sin(theta) * math.pi * math.sqrt(p * (1 - p) / total_bits)
        mean = float(np.mean(errors)) if errors else float("nan")
        spread = float(np.std(errors)) if errors else float("nan")
        print(f"| {level:.2f} | {found / len(pairs):.3f} | {mean:+.4f} | {spread:.4f} | {predicted:.4f} |")
    print()
    print("| stage | total s | us per vector |")
    print("|---|---:|---:|")
    for stage, seconds in timings.seconds.items():
        print(f"| {stage} | {seconds:.3f} | {seconds / n * 1e6:.1f} |")
    if args.plot:
        plot(args.plot, found_all)


def plot(path: str, points: list[tuple[float, float]]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(5, 5))
    ax.scatter([t for t, _ in points], [e for _, e in points], s=4, alpha=0.4)
    ax.plot([0.7, 1.0], [0.7, 1.0], color="black", linewidth=0.8)
    ax.set_xlabel("true cosine")
    ax.set_ylabel("estimated cosine (SimHash)")
    ax.set_title("Planted pairs found by banded LSH")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=20_000, help="vectors in the corpus")
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--pairs", type=int, default=500, help="planted pairs per similarity level")
    parser.add_argument("--copies", type=int, default=200, help="planted exact copies")
    parser.add_argument("--families", type=int, default=3)
    parser.add_argument("--bits", type=int, default=256)
    parser.add_argument("--bands", type=int, default=16)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--plot", metavar="PNG", help="also write a plot of estimated against true cosine")
    parser.add_argument("--quiet", action="store_true", help="no progress bars")
    run(parser.parse_args())


if __name__ == "__main__":
    main()
