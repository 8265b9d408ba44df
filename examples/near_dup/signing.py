"""Per-vector work done by the module: normalise, digest, sign and band.

Every function here is a pure function of its rows, so the single-process
run and the Dask workers call the same code and get the same bits.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np

import zarvik_lumetra_native as zln


@dataclass(frozen=True)
class LshShape:
    families: int
    bits: int
    bands: int

    @property
    def signature_bits(self) -> int:
        return max(self.bits, 64)  # the module raises smaller requests to 64 bits

    @property
    def total_bits(self) -> int:
        return self.families * self.signature_bits


def finite_rows(vectors: np.ndarray) -> np.ndarray:
    """True for rows whose values all stay finite once narrowed to 32-bit floats,
    which is what the module computes with."""
    with np.errstate(over="ignore", invalid="ignore"):
        return np.asarray(np.isfinite(vectors.astype(np.float32, copy=False)).all(axis=1))


def normalise_into(out: np.ndarray, index: int, row: np.ndarray) -> None:
    # The module's results are 32-bit floats, so a float32 matrix holds them exactly.
    out[index] = zln.normalize_vector(row)


def digest(normalised: np.ndarray) -> str:
    return zln.compute_embedding_sha256(normalised)


def sign(normalised: np.ndarray, shape: LshShape) -> list[zln.LshFamily]:
    return zln.simhash_lsh_multi(normalised, shape.families, shape.bits, shape.bands)


def signatures_of(signed: Sequence[list[zln.LshFamily]]) -> list[tuple[str, ...]]:
    """Each vector's family signatures."""
    return [tuple(record.signature for record in records) for records in signed]


def bands_of(signed: Sequence[list[zln.LshFamily]]) -> list[str]:
    """All bands in one list: vector after vector, family after family."""
    return [band for records in signed for record in records for band in record.bands]


def first_copies(digests: Iterable[tuple[int, str]]) -> dict[int, int]:
    """Maps every row whose digest an earlier row already had to that earliest row."""
    first: dict[str, int] = {}
    removed: dict[int, int] = {}
    for row, text in digests:
        kept = first.setdefault(text, row)
        if kept != row:
            removed[row] = kept
    return removed


def pair_scores(
    signatures_a: Iterable[Sequence[str]], signatures_b: Iterable[Sequence[str]], total_bits: int,
) -> tuple[list[int], list[float]]:
    """Hamming distance summed over the families, and the cosine estimate from it."""
    distances: list[int] = []
    estimates: list[float] = []
    for sa, sb in zip(signatures_a, signatures_b):
        distance = sum(zln.hamming_distance_hex(x, y) for x, y in zip(sa, sb))
        distances.append(distance)
        estimates.append(zln.cosine_from_hamming(distance, total_bits))
    return distances, estimates
