"""The job in one process, stage after stage, with progress bars and timings."""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import Never, TypeVar

import numpy as np
from tqdm import tqdm

from . import signing
from .buckets import candidate_pairs, row_entries
from .inputs import Source
from .libs import load
from .result import Result
from .signing import LshShape

T = TypeVar("T")


@contextmanager
def stage(seconds: dict[str, float], name: str, total: int, show: bool) -> Iterator[tqdm[Never]]:
    """A progress bar over `total` items, and the stage's time added to `seconds`."""
    start = time.perf_counter()
    with tqdm(total=total, desc=f"{name:<10}", unit="vec", leave=False, disable=not show) as bar:
        yield bar
    seconds[name] = seconds.get(name, 0.0) + time.perf_counter() - start


def timed(seconds: dict[str, float], name: str, items: Iterable[T], total: int, show: bool) -> Iterator[T]:
    """Iterates with a progress bar and adds the elapsed time to the stage."""
    start = time.perf_counter()
    yield from tqdm(items, total=total, desc=f"{name:<10}", unit="vec", leave=False, disable=not show)
    seconds[name] = seconds.get(name, 0.0) + time.perf_counter() - start


def run(source: Source, shape: LshShape, cap: int, show: bool) -> Result:
    load("pyarrow")  # imported and warmed up before any stage is timed
    seconds: dict[str, float] = {}
    n = source.count
    ids = np.empty(n, dtype=object if source.ids_are_text else np.int64)
    good = np.zeros(n, dtype=bool)
    normalised = np.zeros((n, source.dim), dtype=np.float32)
    with stage(seconds, "normalise", n, show) as bar:
        for block in source.blocks:
            block_ids, vectors = block.read()
            rows = slice(block.start, block.start + len(vectors))
            ids[rows], good[rows] = block_ids, signing.finite_rows(vectors)
            for offset in np.flatnonzero(good[rows]):
                signing.normalise_into(normalised, block.start + int(offset), vectors[offset])
            bar.update(len(vectors))
    valid = np.flatnonzero(good)

    digests = [signing.digest(normalised[row]) for row in timed(seconds, "digest", valid, len(valid), show)]
    removed = signing.first_copies(zip(valid.tolist(), digests))
    kept = np.array([row for row in valid.tolist() if row not in removed], dtype=np.int64)

    signed = [signing.sign(normalised[row], shape) for row in timed(seconds, "simhash", kept, len(kept), show)]

    start = time.perf_counter()
    bands = signing.bands_of(signed)
    pairs, cuts = candidate_pairs(*row_entries(kept, bands, shape.families * shape.bands), cap)
    seconds["bucket"] = time.perf_counter() - start

    start = time.perf_counter()
    signatures = signing.signatures_of(signed)
    position = np.searchsorted(kept, pairs)  # kept rows are in ascending order
    seconds["score"] = time.perf_counter() - start
    firsts = (signatures[i] for i in timed(seconds, "score", position[:, 0].tolist(), len(pairs), show))
    distances, estimates = signing.pair_scores(firsts, (signatures[j] for j in position[:, 1].tolist()),
                                               shape.total_bits)
    return Result(ids, np.flatnonzero(~good), removed, len(kept), len(pairs), pairs, np.array(distances, dtype=np.int64),
                  np.array(estimates, dtype=np.float64), cuts, seconds)
