"""Type information for the zarvik_lumetra_bulk extension module."""

from collections.abc import Buffer
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__: list[str]

# A 2-D float32 or float64 array (any object with the buffer protocol).
_Matrix = npt.NDArray[np.float32] | npt.NDArray[np.float64] | Buffer
# sign_rows' (n, families, words) signature words.
_Signatures = npt.NDArray[np.uint64] | Buffer
_Indexes = npt.NDArray[np.integer] | Buffer

def normalize_rows(
    x: _Matrix, *, out: npt.NDArray[np.float32] | None = None, threads: SupportsIndex | None = None
) -> npt.NDArray[np.float32]: ...
def digest_rows(x: _Matrix, *, threads: SupportsIndex | None = None) -> npt.NDArray[np.uint8]: ...
def sign_rows(
    x: _Matrix,
    families: SupportsIndex = 3,
    bits: SupportsIndex = 256,
    bands: SupportsIndex = 16,
    *,
    threads: SupportsIndex | None = None,
) -> npt.NDArray[np.uint64]: ...
def band_keys(signatures: _Signatures, bits: SupportsIndex, bands: SupportsIndex) -> npt.NDArray[np.uint64]: ...
def signature_texts(signatures: _Signatures, bits: SupportsIndex) -> npt.NDArray[np.str_]: ...
def hamming_rows(a: _Signatures, b: _Signatures) -> npt.NDArray[np.int64]: ...
def pair_cosines(
    x: _Matrix, i: _Indexes, j: _Indexes, *, threads: SupportsIndex | None = None
) -> npt.NDArray[np.float64]: ...
