"""The job's stages, shared by the single-process and the Dask runs.

Each stage is a function over a block of rows, a band slot or a range of
pairs, working on integer and float arrays only (never a Python object per
vector or per pair). One process calls them one after another on arrays in
memory; Dask workers call the same functions, in the same order, on arrays
mapped from a scratch folder. So the two runs can't drift apart.

    prepare   read a block, normalise its rows into the matrix, digest them
    copies    rows whose digest an earlier row has (exact copies), dropped
    shape     background cosines of random pairs; the signature shape
    sign      signatures of the rows kept
    bucket    pair codes of every band slot, split by ranges of the first row
    score     per range: distinct codes, exact cosines, Hamming distances
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

import zarvik_lumetra_native as zln

from . import bulk
from .buckets import Cuts, decode, slot_pairs, unique_sorted
from .inputs import Block
from .row_checks import unusable
from .signing import LshShape, band_key, hamming

SCORE_BLOCK = 1 << 18  # pairs scored at once: 4 MiB of codes, whatever the corpus
SIGN_BLOCK = 8192  # rows signed at once (a gathered copy of 24 MiB at d = 768)
BACKGROUND_SEED = 20261209


@dataclass(frozen=True)
class Prepared:
    """What the prepare stage returns for a block of rows."""
    start: int
    ids: np.ndarray
    good: np.ndarray  # rows the job can use
    why: np.ndarray  # uint8 per row: 0, or why the row is skipped (row_checks)
    digests: np.ndarray  # uint8 (rows, 32); zeros for rows skipped


@dataclass(frozen=True)
class Scored:
    """Pairs of one range that reach the threshold, by kept position."""
    a: np.ndarray
    b: np.ndarray
    hamming: np.ndarray
    estimate: np.ndarray
    cosine: np.ndarray
    candidates: int  # distinct pairs of the range, before the threshold

    @staticmethod
    def join(parts: list[Scored]) -> Scored:
        def cat(name: str, dtype: type) -> np.ndarray:
            return np.concatenate([getattr(p, name) for p in parts]) if parts else np.empty(0, dtype=dtype)
        return Scored(cat("a", np.int64), cat("b", np.int64), cat("hamming", np.int64), cat("estimate", np.float64),
                      cat("cosine", np.float64), sum(p.candidates for p in parts))


def prepare(block: Block, matrix: np.ndarray, threads: int | None) -> Prepared:
    ids, vectors = block.read()
    why = unusable(vectors)
    good = why == 0
    rows = matrix[block.start:block.start + len(vectors)]
    bulk.normalize_rows(vectors, rows, threads)
    digests = np.zeros((len(vectors), 32), dtype=np.uint8)
    where = np.flatnonzero(good)
    if len(where) == len(vectors):
        digests[:] = bulk.digest_rows(rows, threads)
    elif len(where):
        digests[where] = bulk.digest_rows(rows[where], threads)
    return Prepared(block.start, ids, good, why, digests)


def copies(good: np.ndarray, digests: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(removed rows, the earliest row with the same digest for each), by row."""
    rows = np.flatnonzero(good)
    # Digests that share their first 64 bits are the only ones that can be
    # equal: one sort of those words finds them, and only they are compared whole.
    lead = np.ascontiguousarray(digests[rows, :8]).view(">u8")[:, 0]
    order = np.argsort(lead)
    ordered = lead[order]
    same = ordered[1:] == ordered[:-1]
    if not same.any():
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    rows = np.sort(rows[order[np.flatnonzero(np.r_[same, False] | np.r_[False, same])]])
    words = np.ascontiguousarray(digests[rows]).view(">u8")  # 4 big-endian words a digest: sorting them sorts the digests
    order = np.lexsort((rows, words[:, 3], words[:, 2], words[:, 1], words[:, 0]))
    ordered = words[order]
    same = (ordered[1:] == ordered[:-1]).all(axis=1)
    group = np.cumsum(np.r_[True, ~same]) - 1  # group number of every sorted entry
    first = np.flatnonzero(np.r_[True, ~same])  # each group's first (earliest) entry
    removed = np.flatnonzero(np.r_[False, same])
    copy_rows, kept_rows = rows[order[removed]], rows[order[first[group[removed]]]]
    by_row = np.argsort(copy_rows)
    return copy_rows[by_row], kept_rows[by_row]


def background(matrix: np.ndarray, kept: np.ndarray, sample: int, threads: int | None) -> np.ndarray:
    """Exact cosines of `sample` random pairs of distinct kept rows (a fixed seed:
    every run of the same input measures the same pairs)."""
    if len(kept) < 2:
        return np.empty(0, dtype=np.float64)
    rng = np.random.default_rng(BACKGROUND_SEED)
    a = rng.integers(0, len(kept), sample)
    b = (a + rng.integers(1, len(kept), sample)) % len(kept)
    return bulk.pair_cosines(matrix, kept[a], kept[b], threads)


def sign(matrix: np.ndarray, kept: np.ndarray, shape: LshShape, out: np.ndarray, threads: int | None) -> None:
    """Signatures of the rows `kept` (ascending) into `out`, in the same order."""
    for start in range(0, len(kept), SIGN_BLOCK):
        rows = kept[start:start + SIGN_BLOCK]
        out[start:start + len(rows)] = bulk.sign_rows(matrix[rows], shape.families, shape.bits, shape.bands, threads)


def bucket(signatures: np.ndarray, shape: LshShape, slot: int, cap: int, ranges: int) -> tuple[list[np.ndarray], Cuts]:
    """Pair codes of one band slot, cut into `ranges` pieces by the first row."""
    codes, cuts = slot_pairs(band_key(signatures, shape, slot), cap)
    return split(codes, len(signatures), ranges), cuts


def split(codes: np.ndarray, n: int, ranges: int) -> list[np.ndarray]:
    """Sorted codes cut at the first rows where range r begins."""
    edges = range_starts(n, ranges).astype(np.uint64) * np.uint64(n)
    cuts = np.searchsorted(codes, edges)
    return [codes[cuts[r]:cuts[r + 1]] for r in range(ranges)] if ranges > 1 else [codes]


def range_starts(n: int, ranges: int) -> np.ndarray:
    return np.linspace(0, n, ranges + 1).astype(np.int64)


def score(matrix: np.ndarray, signatures: np.ndarray, kept: np.ndarray, pieces: list[np.ndarray],
          shape: LshShape, threshold: float, threads: int | None,
          tick: Callable[[int], object] | None = None) -> Scored:
    """Exact cosines and Hamming distances of a range's distinct pairs, in blocks;
    keeps those whose cosine reaches the threshold."""
    codes = unique_sorted(np.concatenate(pieces)) if pieces else np.empty(0, dtype=np.uint64)
    estimates = estimate_table(shape.total_bits)
    parts = []
    for start in range(0, len(codes), SCORE_BLOCK):
        a, b = decode(codes[start:start + SCORE_BLOCK], len(kept))
        cosine = bulk.pair_cosines(matrix, kept[a], kept[b], threads)
        keep = np.flatnonzero(cosine >= threshold)
        a, b, cosine = a[keep], b[keep], cosine[keep]
        distance = hamming(signatures, a, b)
        parts.append(Scored(a, b, distance, estimates[distance], cosine, 0))
        if tick is not None:
            tick(min(SCORE_BLOCK, len(codes) - start))
    joined = Scored.join(parts)
    return Scored(joined.a, joined.b, joined.hamming, joined.estimate, joined.cosine, len(codes))


def estimate_table(total_bits: int) -> np.ndarray:
    """The module's cosine estimate for every possible distance, looked up per pair."""
    return np.array([zln.cosine_from_hamming(d, total_bits) for d in range(total_bits + 1)], dtype=np.float64)
