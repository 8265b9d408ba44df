"""What a run found, by input row; the same for both ways of running."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .buckets import Cuts
from .shape import Choice


@dataclass
class Result:
    """What a run found, by input row; the same for both ways of running."""
    ids: np.ndarray  # id of every input row
    skipped: np.ndarray  # rows the job can't use, not processed
    skip_reasons: np.ndarray  # for each, its code in row_checks.REASONS
    removed: np.ndarray  # exact copy rows, ascending
    removed_kept: np.ndarray  # for each, the earliest row with the same digest
    kept: int  # rows signed and bucketed
    candidates: int  # distinct pairs sharing a bucket
    pairs: np.ndarray  # pairs (a, b) of rows, a < b, sorted, whose cosine reaches the threshold
    hamming: np.ndarray  # per pair
    estimates: np.ndarray  # per pair: the module's cosine estimate from the Hamming distance
    cosines: np.ndarray  # per pair: exact cosine of the normalised rows
    cuts: Cuts
    choice: Choice
    seconds: dict[str, float] = field(default_factory=dict)  # wall time per stage
    cpu: dict[str, float] = field(default_factory=dict)  # CPU time per stage, all threads and workers
