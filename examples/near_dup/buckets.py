"""Candidate pairs from shared buckets, one band at a time, as integers.

A bucket is one band slot (family, band index) and one band key; every two
vectors that share a bucket form a candidate pair. Rows are numbered by
position among the signed rows (0 .. n-1, in input order), and a pair
(a, b), a < b, is the single integer a * n + b, so a set of pairs is one
sorted uint64 array. A bucket larger than the cap keeps only its members
earliest in input order, so every run and every partitioning cuts the same
way. Memory per band is a few arrays of n integers; the pairs of all bands
are merged in sorted blocks, so repeats (a close pair shares many bands)
never pile up.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

MERGE_AT = 1 << 23  # pending pair codes (64 MiB) before they are merged into the set


@dataclass(frozen=True)
class Cuts:
    """Buckets larger than the cap: how many, the largest, members left out."""
    buckets: int = 0
    largest: int = 0
    dropped: int = 0

    def __add__(self, other: Cuts) -> Cuts:
        return Cuts(self.buckets + other.buckets, max(self.largest, other.largest), self.dropped + other.dropped)


def slot_pairs(keys: np.ndarray, cap: int) -> tuple[np.ndarray, Cuts]:
    """Sorted distinct codes a * n + b of the pairs sharing a key, n = len(keys),
    position in `keys` being the row; cap 0: no cap."""
    members, sizes = bucket_members(keys)
    members, sizes, cuts = apply_cap(members, sizes, cap)
    return pair_codes(members, sizes, len(keys)), cuts


def bucket_members(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Rows of every bucket with at least two, each bucket in ascending row
    order, concatenated; and the bucket sizes."""
    n = len(keys)
    if n < 2:
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    keys = np.asarray(keys, dtype=np.uint64)
    row_bits = max(int(n - 1).bit_length(), 1)
    top = int(keys.max())
    if top.bit_length() + row_bits <= 64:
        # Key and row packed in one integer: one sort groups the buckets and
        # puts each in row order.
        packed = (keys << np.uint64(row_bits)) | np.arange(n, dtype=np.uint64)
        packed.sort()
        grouped = packed >> np.uint64(row_bits)
        rows = (packed & np.uint64((1 << row_bits) - 1)).astype(np.int64)
    else:
        order = np.argsort(keys, kind="stable")  # ties keep row order
        grouped, rows = keys[order], order.astype(np.int64)
    same = grouped[1:] == grouped[:-1]
    if not same.any():
        return np.empty(0, dtype=np.int64), np.empty(0, dtype=np.int64)
    # Entries in a shared bucket: equal to the one before or the one after.
    shared = np.zeros(n, dtype=bool)
    shared[1:] |= same
    shared[:-1] |= same
    starts = np.flatnonzero(shared & ~np.r_[False, same])
    ends = np.flatnonzero(shared & ~np.r_[same, False]) + 1
    return rows[shared], (ends - starts).astype(np.int64)


def apply_cap(members: np.ndarray, sizes: np.ndarray, cap: int) -> tuple[np.ndarray, np.ndarray, Cuts]:
    if cap <= 0 or len(sizes) == 0 or sizes.max() <= cap:
        return members, sizes, Cuts()
    position = np.arange(len(members)) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    over = sizes > cap
    cuts = Cuts(int(over.sum()), int(sizes.max()), int((sizes[over] - cap).sum()))
    return members[position < cap], np.minimum(sizes, cap), cuts


def pair_codes(members: np.ndarray, sizes: np.ndarray, n: int) -> np.ndarray:
    """Codes of all pairs within each bucket, sorted, repeats removed."""
    if len(sizes) == 0:
        return np.empty(0, dtype=np.uint64)
    # The member at position j of a bucket of size s pairs with the s - 1 - j after it.
    position = np.arange(len(members)) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    after = np.repeat(sizes, sizes) - 1 - position
    first = np.repeat(np.arange(len(members)), after)
    step = np.arange(len(first)) - np.repeat(np.cumsum(after) - after, after)
    codes = members[first].astype(np.uint64) * np.uint64(n) + members[first + 1 + step].astype(np.uint64)
    return unique_sorted(codes)


def unique_sorted(codes: np.ndarray) -> np.ndarray:
    codes.sort()  # (np.unique is several times slower here)
    return codes[np.r_[True, codes[1:] != codes[:-1]]] if len(codes) else codes


class PairSet:
    """Distinct pair codes gathered band after band: codes wait in a list and
    are merged into one sorted array once they reach MERGE_AT."""

    def __init__(self) -> None:
        self.merged = np.empty(0, dtype=np.uint64)
        self.pending: list[np.ndarray] = []
        self.waiting = 0

    def add(self, codes: np.ndarray) -> None:
        self.pending.append(codes)
        self.waiting += len(codes)
        if self.waiting >= MERGE_AT:
            self._merge()

    def codes(self) -> np.ndarray:
        self._merge()
        return self.merged

    def _merge(self) -> None:
        if self.pending:
            self.merged = unique_sorted(np.concatenate([self.merged, *self.pending]))
            self.pending, self.waiting = [], 0


def decode(codes: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    a = codes // np.uint64(n)
    return a.astype(np.int64), (codes - a * np.uint64(n)).astype(np.int64)
