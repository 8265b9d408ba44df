"""Embedding-like corpora with planted near-duplicate pairs and exact copies.

Real sentence embeddings are not spread evenly over the sphere: they share a
mean direction and a few dimensions carry much more of their length than
the rest, so two unrelated sentences have a cosine of about 0.1, not 0, and
now and then far more. That background is what makes random candidate pairs
expensive, so the generated rows have it: each row is a shared mean
direction plus Gaussian noise whose few dominant dimensions are several
times wider, tuned so unrelated rows meet at a mean cosine near 0.1. Planted
pairs are set at exact cosines (rows b = level * u + sqrt(1 - level^2) * w,
w a fresh row made orthogonal to u), copies are rows written twice.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

LEVELS = (0.91, 0.93, 0.95, 0.97, 0.99)
DOMINANT = 8  # dimensions several times wider than the rest
DOMINANT_SCALE = 6.0
MEAN_COSINE = 0.1
BLOCK = 1 << 15  # rows generated at once


@dataclass
class Corpus:
    vectors: np.ndarray  # float32, one row per vector
    pair_a: np.ndarray  # planted near-duplicate pairs (rows)
    pair_b: np.ndarray
    pair_level: np.ndarray  # the cosine each pair was planted at
    copy_of: np.ndarray  # planted exact copies: original row ...
    copy_row: np.ndarray  # ... and the row that repeats it

    def levels(self) -> list[float]:
        return sorted(set(self.pair_level.tolist()))


def make_corpus(size: int, dim: int, pairs_per_level: int, copies: int, seed: int) -> Corpus:
    vectors = np.empty((size, dim), dtype=np.float32)
    return fill(vectors, pairs_per_level, copies, seed)


def fill(vectors: np.ndarray, pairs_per_level: int, copies: int, seed: int) -> Corpus:
    """Writes the corpus into `vectors` (an array or a memory-mapped file), block by block."""
    size, dim = vectors.shape
    planted = pairs_per_level * len(LEVELS)
    if 2 * (planted + copies) > size:
        raise ValueError(f"{planted} pairs and {copies} copies need {2 * (planted + copies)} rows; the corpus has {size}")
    rng = np.random.default_rng(seed)
    mean, scales = _style(dim, rng)
    for start in range(0, size, BLOCK):
        vectors[start:start + BLOCK] = _rows(min(BLOCK, size - start), mean, scales, rng)
    picks = rng.choice(size, 2 * (planted + copies), replace=False)
    a, b = picks[0:2 * planted:2], picks[1:2 * planted:2]
    level = np.repeat(np.array(LEVELS), pairs_per_level)
    u = _unit(vectors[a].astype(np.float64))
    w = _unit(_rows(planted, mean, scales, rng))
    w = _unit(w - np.sum(w * u, axis=1, keepdims=True) * u)
    vectors[b] = (level[:, None] * u + np.sqrt(1.0 - level * level)[:, None] * w).astype(np.float32)
    copy_of, copy_row = picks[2 * planted::2], picks[2 * planted + 1::2]
    vectors[copy_row] = vectors[copy_of]
    return Corpus(vectors, a.astype(np.int64), b.astype(np.int64), level, copy_of.astype(np.int64),
                  copy_row.astype(np.int64))


def _style(dim: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """The shared mean direction (its length sets the mean cosine) and the noise widths."""
    scales = np.ones(dim)
    scales[rng.choice(dim, min(DOMINANT, dim), replace=False)] = DOMINANT_SCALE
    spread = float(np.sum(scales ** 2))
    # Two rows m + e1, m + e2 meet at about |m|^2 / (|m|^2 + sum of widths^2).
    length = math.sqrt(MEAN_COSINE / (1.0 - MEAN_COSINE) * spread)
    return length * _unit(rng.standard_normal((1, dim)))[0], scales


def _rows(count: int, mean: np.ndarray, scales: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    rows: np.ndarray = (mean + rng.standard_normal((count, len(mean))) * scales).astype(np.float32)
    return rows


def _unit(rows: np.ndarray) -> np.ndarray:
    rows = np.asarray(rows, dtype=np.float64)
    unit: np.ndarray = rows / np.linalg.norm(rows, axis=1, keepdims=True)
    return unit
