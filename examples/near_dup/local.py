"""The job in one process: the stages one after another, with progress bars and timings."""

from __future__ import annotations

import os
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from typing import Never

import numpy as np
from tqdm import tqdm

from . import shape as shapes
from . import stages
from .buckets import Cuts, PairSet
from .inputs import Source
from .options import Search
from .result import Result


@contextmanager
def stage(seconds: dict[str, float], name: str, total: int, show: bool, unit: str = "vec") -> Iterator[tqdm[Never]]:
    """A progress bar over `total` items, and the stage's wall and CPU time
    (every thread of the process) added to `seconds` and `seconds.cpu`."""
    start, cpu = time.perf_counter(), time.process_time()
    with tqdm(total=total, desc=f"{name:<10}", unit=unit, leave=False, disable=not show) as bar:
        yield bar
    seconds[name] = seconds.get(name, 0.0) + time.perf_counter() - start
    _cpu[name] = _cpu.get(name, 0.0) + time.process_time() - cpu


_cpu: dict[str, float] = {}


def run(source: Source, search: Search, show: bool) -> Result:
    seconds: dict[str, float] = {}
    _cpu.clear()
    n = source.count
    ids = np.empty(n, dtype=source.id_dtype)
    good = np.zeros(n, dtype=bool)
    why = np.zeros(n, dtype=np.uint8)
    digests = np.zeros((n, 32), dtype=np.uint8)
    matrix = np.zeros((n, source.dim), dtype=np.float32)
    with stage(seconds, "prepare", n, show) as bar:
        for block in source.blocks:
            done = stages.prepare(block, matrix, None)
            rows = slice(done.start, done.start + len(done.good))
            ids[rows], good[rows], why[rows], digests[rows] = done.ids, done.good, done.why, done.digests
            bar.update(len(done.good))

    with stage(seconds, "copies", 1, show, "step"):
        removed, removed_kept = stages.copies(good, digests)
        del digests
        keep = good.copy()
        keep[removed] = False
        kept = np.flatnonzero(keep)

    with stage(seconds, "shape", 1, show, "step"):
        sample = stages.background(matrix, kept, shapes.SAMPLE_PAIRS, None)
        choice = search.choose(sample, len(kept))
        shape = choice.shape

    signatures = np.empty((len(kept), shape.families, shape.words), dtype=np.uint64)
    with stage(seconds, "sign", len(kept), show) as bar:
        for start in range(0, len(kept), stages.SIGN_BLOCK * 4):
            chosen = kept[start:start + stages.SIGN_BLOCK * 4]
            stages.sign(matrix, chosen, shape, signatures[start:start + len(chosen)], None)
            bar.update(len(chosen))

    pairs, cuts = PairSet(), Cuts()
    with stage(seconds, "bucket", shape.slots, show, "band") as bar, ThreadPoolExecutor(_cpus()) as pool:
        # NumPy's sorts let go of the interpreter lock: one band per core.
        for pieces, cut in pool.map(lambda slot: stages.bucket(signatures, shape, slot, search.cap, 1),
                                    range(shape.slots)):
            pairs.add(pieces[0])
            cuts += cut
            bar.update(1)

    with stage(seconds, "bucket", 0, False):  # the last merge
        codes = pairs.codes()
    with stage(seconds, "score", len(codes), show, "pair") as bar:
        scored = stages.score(matrix, signatures, kept, [codes], shape, search.threshold, None, bar.update)
    return Result(ids, np.flatnonzero(~good), why[~good], removed, removed_kept, len(kept), scored.candidates,
                  np.stack([kept[scored.a], kept[scored.b]], axis=1), scored.hamming, scored.estimate,
                  scored.cosine, cuts, choice, seconds, dict(_cpu))


def _cpus() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
