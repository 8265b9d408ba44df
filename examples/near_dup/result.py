"""What a run found, by input row; the same for both ways of running."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .buckets import Cuts


@dataclass
class Result:
    """What a run found, by input row; the same for both ways of running."""
    ids: np.ndarray  # id of every input row
    skipped: np.ndarray  # rows with a value that is not finite, not processed
    removed: dict[int, int]  # exact copy row -> earliest row with the same digest
    kept: int  # rows signed and bucketed
    candidates: int  # distinct pairs sharing a bucket
    pairs: np.ndarray  # scored candidate pairs (a, b), rows a < b, sorted
    hamming: np.ndarray  # per candidate pair
    estimates: np.ndarray  # per candidate pair
    cuts: Cuts
    seconds: dict[str, float] = field(default_factory=dict)
