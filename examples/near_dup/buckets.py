"""Candidate pairs from shared buckets, with pyarrow doing the grouping.

A bucket is one (family, band index, band text) key; every two vectors that
share a bucket form a candidate pair. pyarrow's hash tables find the
buckets; NumPy expands each bucket's members into its pairs and removes
pairs found in more than one bucket. A bucket larger than the cap keeps only
its members earliest in input order, so every run and every partitioning
cuts the same way.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from .libs import load


@dataclass(frozen=True)
class Cuts:
    """Buckets larger than the cap: how many, the largest, members left out."""
    buckets: int = 0
    largest: int = 0
    dropped: int = 0

    def __add__(self, other: Cuts) -> Cuts:
        return Cuts(self.buckets + other.buckets, max(self.largest, other.largest), self.dropped + other.dropped)


def candidate_pairs(slots: np.ndarray, texts: Any, rows: np.ndarray, cap: int) -> tuple[np.ndarray, Cuts]:
    """Distinct pairs (a, b), a < b, of rows sharing a bucket, sorted.

    One entry per (row, family, band index): `slots` holds family * bands +
    band index, `texts` the band text (pyarrow strings), `rows` the input row;
    entries may come in any order. cap 0: no cap."""
    members, sizes = bucket_members(slots, texts, rows)
    members, sizes, cuts = apply_cap(members, sizes, cap)
    return distinct_pairs(members, sizes), cuts


def row_entries(rows: np.ndarray, bands: list[str], per_row: int) -> tuple[np.ndarray, Any, np.ndarray]:
    """(slots, texts, rows) for rows whose bands, `per_row` each, follow one another in `bands`."""
    pa = load("pyarrow")
    slots = np.tile(np.arange(per_row, dtype=np.int64), len(rows))
    return slots, pa.array(bands, type=pa.string()), np.repeat(np.asarray(rows, dtype=np.int64), per_row)


def bucket_members(slots: np.ndarray, texts: Any, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Members of every bucket with at least two, each bucket in ascending row
    order, concatenated; and the bucket sizes."""
    if len(rows) == 0:
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    pa, pc = load("pyarrow"), load("pyarrow.compute")
    # pyarrow's hash table numbers the distinct band texts; a bucket is then
    # one integer, slot * (distinct texts) + text number.
    words = pc.dictionary_encode(texts.combine_chunks() if isinstance(texts, pa.ChunkedArray) else texts)
    keys = np.asarray(slots, dtype=np.int64) * len(words.dictionary) + words.indices.to_numpy()
    rows = np.asarray(rows, dtype=np.int64)
    # Sorting by (bucket, row) groups the buckets and puts each in input
    # order, whatever order the entries came in (a shuffled partition has
    # none); the cap and a < b rely on it. One sort of packed integers when
    # they fit in 63 bits, which is the common case, else two keys.
    span = int(rows.max()) + 1
    if (int(keys.max()) + 1) * span < 2**63:
        packed = keys * span + rows
        packed.sort()
        keys = packed // span
        members = packed - keys * span
    else:
        order = np.lexsort((rows, keys))
        keys, members = keys[order], rows[order]
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
    sizes = np.diff(np.r_[starts, len(keys)])
    shared = sizes > 1
    return members[np.repeat(shared, sizes)], sizes[shared].astype(np.int64)


def apply_cap(members: np.ndarray, sizes: np.ndarray, cap: int) -> tuple[np.ndarray, np.ndarray, Cuts]:
    if cap <= 0 or len(sizes) == 0 or sizes.max() <= cap:
        return members, sizes, Cuts()
    position = np.arange(len(members)) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    over = sizes > cap
    cuts = Cuts(int(over.sum()), int(sizes.max()), int((sizes[over] - cap).sum()))
    return members[position < cap], np.minimum(sizes, cap), cuts


def distinct_pairs(members: np.ndarray, sizes: np.ndarray) -> np.ndarray:
    """All pairs within each bucket, duplicates across buckets removed."""
    if len(sizes) == 0:
        return np.empty((0, 2), dtype=np.int64)
    # The member at position j of a bucket of size s pairs with the s - 1 - j after it.
    position = np.arange(len(members)) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    after = np.repeat(sizes, sizes) - 1 - position
    first = np.repeat(np.arange(len(members)), after)
    step = np.arange(len(first)) - np.repeat(np.cumsum(after) - after, after)
    a, b = members[first], members[first + 1 + step]
    span = int(members.max()) + 1
    keys = a * span + b
    keys.sort()  # (np.unique is several times slower here)
    keys = keys[np.r_[True, keys[1:] != keys[:-1]]]
    return np.stack([keys // span, keys % span], axis=1)
