"""The whole-matrix functions the job calls, in one place.

They come from `zarvik_lumetra_bulk`, the module's companion for whole
matrices. Where that companion is not installed, the same results come from
the per-call functions row by row (slowly): every function here gives the
per-call bits either way, so the job's output never depends on which ran.
"""

from __future__ import annotations

from typing import Any

import numpy as np

import zarvik_lumetra_native as zln

try:
    import zarvik_lumetra_bulk as _bulk
except ImportError:  # an older build of the distribution
    _bulk = None

NATIVE = _bulk is not None


def normalize_rows(x: np.ndarray, out: np.ndarray, threads: int | None) -> None:
    if _bulk is not None:
        _bulk.normalize_rows(x, out=out, threads=threads)
        return
    for row in range(len(x)):
        out[row] = zln.normalize_vector(x[row])


def digest_rows(x: np.ndarray, threads: int | None) -> np.ndarray:
    """uint8 (n, 32): the SHA-256 of each row's canonical text."""
    if _bulk is not None:
        return np.asarray(_bulk.digest_rows(x, threads=threads))
    out = np.empty((len(x), 32), dtype=np.uint8)
    for row in range(len(x)):
        out[row] = np.frombuffer(bytes.fromhex(zln.compute_embedding_sha256(x[row])), dtype=np.uint8)
    return out


def sign_rows(x: np.ndarray, families: int, bits: int, bands: int, threads: int | None) -> np.ndarray:
    """uint64 (n, families, words): each family's signature, 16 hex digits a word."""
    if _bulk is not None:
        return np.asarray(_bulk.sign_rows(x, families, bits, bands, threads=threads))
    digits = -(-max(bits, 64) // 4)
    words = -(-digits // 16)
    out = np.zeros((len(x), families, words), dtype=np.uint64)
    for row in range(len(x)):
        for record in zln.simhash_lsh_multi(x[row], families, bits, bands):
            sig = record.signature
            out[row, record.family] = [int(sig[16 * w:16 * w + 16], 16) for w in range(words)]
    return out


def pair_cosines(x: np.ndarray, i: np.ndarray, j: np.ndarray, threads: int | None) -> np.ndarray:
    """float64 (m,): dot products of rows i[k] and j[k], summed in element order."""
    if _bulk is not None:
        return np.asarray(_bulk.pair_cosines(x, i, j, threads=threads))
    out = np.empty(len(i), dtype=np.float64)
    for start in range(0, len(i), 4096):  # cumsum adds left to right: the defining order
        a, b = x[i[start:start + 4096]].astype(np.float64), x[j[start:start + 4096]].astype(np.float64)
        out[start:start + len(a)] = np.cumsum(a * b, axis=1)[:, -1] if x.shape[1] else 0.0
    return out + 0.0  # a sum that starts from +0.0 is never -0.0


def module() -> Any:
    return _bulk
