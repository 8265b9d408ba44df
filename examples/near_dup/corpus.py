"""A reproducible corpus with planted near-duplicate pairs and exact copies."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

LEVELS = (0.99, 0.95, 0.9, 0.8)


@dataclass
class Corpus:
    vectors: np.ndarray  # float32, one row per vector
    planted: dict[float, list[tuple[int, int]]]  # similarity -> index pairs
    copies: list[tuple[int, int]]  # (original, exact copy)


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
