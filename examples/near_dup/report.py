"""What a run prints: recall against the planted truth for the generated
corpus, counts and exact-copy groups for a user's input, and stage times."""

from __future__ import annotations

import math
from collections import defaultdict

import numpy as np

import zarvik_lumetra_native as zln

from .corpus import Corpus
from .result import Result
from .signing import LshShape

SHOWN = 5  # rows, groups and buckets listed before "..."


def generated(corpus: Corpus, dim: int, shape: LshShape, result: Result) -> list[tuple[float, float]]:
    """Prints the report on the planted pairs; returns (true, estimated) cosines of those found."""
    print(f"corpus: {len(corpus.vectors)} vectors of dimension {dim}; {len(result.removed)} exact copies removed "
          f"by digest ({len(corpus.copies)} planted); signatures: {shape.families} families x "
          f"{shape.signature_bits} bits, {shape.bands} bands each")
    _candidates(result)
    _problems(result)
    print()
    print("| true cosine | recall | mean error | error spread | predicted spread |")
    print("|---:|---:|---:|---:|---:|")
    estimates = {(int(a), int(b)): float(e) for (a, b), e in zip(result.pairs.tolist(), result.estimates)}
    found_all = []
    for level, pairs in corpus.planted.items():
        found, errors = 0, list[float]()
        for a, b in pairs:
            key = (min(a, b), max(a, b))
            if key in estimates:
                found += 1
                true = float(np.dot(_normalised(corpus.vectors[a]), _normalised(corpus.vectors[b])))
                errors.append(estimates[key] - true)
                found_all.append((true, estimates[key]))
        theta = math.acos(level)
        p = theta / math.pi
        predicted = math.sin(theta) * math.pi * math.sqrt(p * (1 - p) / shape.total_bits)
        mean = float(np.mean(errors)) if errors else float("nan")
        spread = float(np.std(errors)) if errors else float("nan")
        print(f"| {level:.2f} | {found / len(pairs):.3f} | {mean:+.4f} | {spread:.4f} | {predicted:.4f} |")
    return found_all


def user_input(description: str, dim: int, shape: LshShape, result: Result, threshold: float, kept_pairs: int) -> None:
    print(f"input: {description}: {len(result.ids)} vectors of dimension {dim}")
    _problems(result)
    groups: dict[int, list[int]] = defaultdict(list)
    for row, first in sorted(result.removed.items()):
        groups[first].append(row)
    listed = "; ".join(f"{_id(result, k)} <- {', '.join(_id(result, r) for r in rows)}"
                       for k, rows in sorted(groups.items())[:SHOWN])
    more = "; ..." if len(groups) > SHOWN else ""
    print(f"exact copies removed by digest: {len(result.removed)} in {len(groups)} group{'' if len(groups) == 1 else 's'}"
          + (f" (kept id <- removed ids: {listed}{more})" if groups else ""))
    print(f"signatures: {shape.families} families x {shape.signature_bits} bits, {shape.bands} bands each")
    _candidates(result)
    print(f"pairs with cosine estimate >= {threshold:g}: {kept_pairs}")


def timings(seconds: dict[str, float], count: int) -> None:
    print()
    print("| stage | total s | us per vector |")
    print("|---|---:|---:|")
    for stage, value in seconds.items():
        print(f"| {stage} | {value:.3f} | {value / count * 1e6:.1f} |")


def _candidates(result: Result) -> None:
    per_vector = 2 * result.candidates / result.kept if result.kept else 0.0
    print(f"candidate pairs: {result.candidates} ({per_vector:.2f} per vector)")


def _problems(result: Result) -> None:
    if len(result.skipped):
        shown = ", ".join(_id(result, int(r)) for r in result.skipped[:SHOWN])
        more = ", ..." if len(result.skipped) > SHOWN else ""
        rows = "row" if len(result.skipped) == 1 else "rows"
        print(f"skipped {len(result.skipped)} {rows} with NaN or values that are not finite as 32-bit floats "
              f"(ids {shown}{more})")
    if result.cuts.buckets:
        print(f"bucket cap cut {result.cuts.buckets} buckets (largest had {result.cuts.largest} members; "
              f"{result.cuts.dropped} memberships beyond the cap left out)")


def _id(result: Result, row: int) -> str:
    return str(result.ids[row])


def _normalised(vector: np.ndarray) -> np.ndarray:
    return np.asarray(zln.normalize_vector(vector), dtype=np.float64)
