"""The whole-matrix functions the job calls, in one place.

They come from `zarvik_lumetra_bulk`, the module's companion for whole
matrices, and give the per-call functions' bits; tests/test_demo.py checks
the job against a plain model built on the per-call functions.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import zarvik_lumetra_bulk as _bulk


def normalize_rows(x: np.ndarray, out: np.ndarray, threads: int | None) -> None:
    _bulk.normalize_rows(x, out=out, threads=threads)


def digest_rows(x: np.ndarray, threads: int | None) -> np.ndarray:
    """uint8 (n, 32): the SHA-256 of each row's canonical text."""
    return np.asarray(_bulk.digest_rows(x, threads=threads))


def sign_rows(x: np.ndarray, families: int, bits: int, bands: int, threads: int | None) -> np.ndarray:
    """uint64 (n, families, words): each family's signature, 16 hex digits a word."""
    return np.asarray(_bulk.sign_rows(x, families, bits, bands, threads=threads))


def pair_cosines(x: np.ndarray, i: np.ndarray, j: np.ndarray, threads: int | None) -> np.ndarray:
    """float64 (m,): dot products of rows i[k] and j[k], summed in element order."""
    return np.asarray(_bulk.pair_cosines(x, i, j, threads=threads))


def module() -> Any:
    return _bulk
