"""Rows the job can't use, and why.

The module works in 32-bit floats. A value that is NaN or not finite there
has no normalised form. Nor has a row whose sum of squares (squares rounded
to 32 bits, added one after another in 32 bits, as the module normalises)
overflows, which normalises to all zeros, or computes as zero although the
row is not all zeros, which comes back unchanged: either way the digests of
unrelated rows would coincide and they would be reported as exact copies of
one another. Rows that are all zeros in the input are not skipped; they are
exact copies of each other.
"""

from __future__ import annotations

import numpy as np

NOT_FINITE, NORM_OVERFLOWS, NORM_ZERO = 1, 2, 3
REASONS = {
    NOT_FINITE: "with NaN or values that are not finite as 32-bit floats",
    NORM_OVERFLOWS: "whose sum of squares overflows 32-bit floats",
    NORM_ZERO: "whose sum of squares is zero in 32-bit floats though not all their values are",
}
CHUNK = 4096  # rows looked at together: the squares' copy stays small
# A 32-bit sequential sum exceeds the exact sum by a factor of at most
# (1 + 2^-24)^n, under 2^12 for any n below 2^27: a sum that overflows 2^128
# there is above 2^116 in 64 bits. Only rows above this are summed the slow way.
SUSPECT = 2.0 ** 100


def unusable(vectors: np.ndarray) -> np.ndarray:
    """uint8 per row: 0 for a row the job can use, else its reason's code."""
    codes = np.zeros(len(vectors), dtype=np.uint8)
    for start in range(0, len(vectors), CHUNK):
        rows = vectors[start:start + CHUNK]
        codes[start:start + len(rows)] = _codes(rows)
    return codes


def _codes(rows: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        narrow = rows.astype(np.float32, copy=False)
        finite = np.isfinite(narrow).all(axis=1)
        squares = narrow * narrow  # each rounded to 32 bits, as the module squares
        wide = squares.sum(axis=1, dtype=np.float64)
        overflows = np.zeros(len(rows), dtype=bool)
        suspect = np.flatnonzero(finite & (wide >= SUSPECT))
        if len(suspect):
            # accumulate adds in element order, in 32 bits: the module's own sum
            overflows[suspect] = np.isinf(np.add.accumulate(squares[suspect], axis=1, dtype=np.float32)[:, -1])
        # Squares are never negative: the sum is zero exactly when each square is.
        zero = finite & (wide == 0) & (rows != 0).any(axis=1)
    codes = np.zeros(len(rows), dtype=np.uint8)
    codes[zero] = NORM_ZERO
    codes[overflows] = NORM_OVERFLOWS
    codes[~finite] = NOT_FINITE
    return codes
