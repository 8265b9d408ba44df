"""The result tables, by id; result_folder writes them."""

from __future__ import annotations

from typing import Any

import numpy as np

from .libs import load
from .signing import LshShape


def pair_table(ids: np.ndarray, pairs: np.ndarray, hamming: np.ndarray, estimates: np.ndarray,
               cosines: np.ndarray, shape: LshShape, threshold: float) -> Any:
    """Pairs by id, the smaller id first, sorted by (id_a, id_b); the shape and
    threshold that found them in the file's metadata."""
    pa = load("pyarrow")
    first, second = ids[pairs[:, 0]], ids[pairs[:, 1]]
    swap = np.asarray(first > second, dtype=bool)  # text ids need not follow row order
    id_a, id_b = np.where(swap, second, first), np.where(swap, first, second)
    table = pa.table({"id_a": _ids(id_a), "id_b": _ids(id_b), "hamming": pa.array(hamming, type=pa.int64()),
                      "cosine_estimate": pa.array(estimates, type=pa.float64()),
                      "cosine": pa.array(cosines, type=pa.float64())})
    table = table.replace_schema_metadata({"near_dup.shape": f"{shape.families},{shape.bits},{shape.bands}",
                                           "near_dup.threshold": repr(threshold)})
    return table.sort_by([("id_a", "ascending"), ("id_b", "ascending")])


def duplicate_table(ids: np.ndarray, removed: np.ndarray, kept: np.ndarray) -> Any:
    pa = load("pyarrow")
    table = pa.table({"id": _ids(ids[removed]), "kept_id": _ids(ids[kept])})
    return table.sort_by([("id", "ascending")])


def _ids(values: np.ndarray) -> Any:
    pa = load("pyarrow")
    if values.dtype == object:
        return pa.array(values.tolist(), type=pa.string())
    return pa.array(values, type=pa.uint64() if values.dtype == np.uint64 else pa.int64())
