"""The job on a Dask cluster, with exactly the results of one process.

The workers run the stages of `stages`, the same functions one process runs,
each on its share: a block of input rows, a block of kept rows, a group of
band slots, a range of pairs. The normalised rows and the signatures live in
two arrays mapped from a scratch folder every worker can reach (on one
machine, in shared memory), so no row travels through the scheduler and no
worker holds a copy of the corpus: a scoring task reads the two rows of each
pair where they lie. What the client receives is small: ids, digests, the
pairs that reach the threshold. Signatures and digests are pure functions of
the vector, so it does not matter which machine computed what.
"""

from __future__ import annotations

import logging
import operator
import os
import shutil
import tempfile
import time
import uuid
import zipfile
from collections.abc import Callable
from typing import Any

import numpy as np
from tqdm import tqdm

from . import bulk, stages
from . import shape as shapes
from .buckets import Cuts, PairSet
from .errors import InputError
from .inputs import Block, Source
from .libs import load
from .options import Search
from .result import Result
from .signing import LshShape

PROBE = [0.25, -1.5, 3.0, 1e-3, -7.0]  # any fixed vector: every worker must sign it alike
PAIRS_PER_RANGE = 1 << 22  # expected candidate pairs per scoring task


def describe(address: str) -> str:
    if address.startswith("local:"):
        return f"{address[len('local:'):]} local workers"
    return address


def run(address: str, source: Source, search: Search, show: bool, scratch: str | None = None) -> Result:
    distributed = load("distributed")
    client, cluster = _connect(distributed, address)
    folder = _scratch(scratch, address)
    try:
        _ship_code(client)
        _check_workers(client, folder)
        result = _pipeline(client, distributed, source, search, folder, show)
        result.cpu["all (workers since they started, and this process)"] = _Stages(client, distributed, False).worker_cpu()
        spilled = sum(client.run(_spilled).values())
        print("dask: nothing spilled to disk" if not spilled else
              f"dask: the workers spilled {spilled / 2**20:.0f} MiB to disk", flush=True)
        return result
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(folder, ignore_errors=True)


def _connect(distributed: Any, address: str) -> tuple[Any, Any]:
    cluster = None
    if address.startswith("local:"):
        try:
            workers = int(address[len("local:"):])
        except ValueError:
            workers = 0
        if workers < 1:
            raise InputError(f"--dask {address}: expected local:N with N at least 1")
        # The local scheduler's notes about each shuffle would drown the
        # report, and a failed task comes back here as its exception, which
        # the program reports in one line: the workers' own logs stay quiet.
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           silence_logs=logging.CRITICAL)
        client = distributed.Client(cluster)
    else:
        try:
            client = distributed.Client(address, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise InputError(f"cannot reach the Dask scheduler at {address} ({exc})") from None
    info = client.scheduler_info()
    print(f"dask: {len(info.get('workers', {}))} workers, scheduler {info.get('address', address)}, "
          f"dashboard {client.dashboard_link}", flush=True)
    return client, cluster


def _ship_code(client: Any) -> None:
    """Sends this package to every worker (now and later ones); only the
    native module itself has to be installed there."""
    package = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as directory:
        archive = os.path.join(directory, "near_dup.zip")
        with zipfile.ZipFile(archive, "w") as zf:
            for name in sorted(os.listdir(package)):
                if name.endswith(".py"):
                    zf.write(os.path.join(package, name), f"near_dup/{name}")
        client.upload_file(archive)


def probe(token_path: str) -> tuple[Any, ...]:
    """Digest and signatures of a fixed vector, computed wherever this runs,
    and what the scratch folder's token file holds there."""
    matrix = np.zeros((1, len(PROBE)), dtype=np.float32)
    bulk.normalize_rows(np.asarray([PROBE], dtype=np.float32), matrix, 1)
    signatures = bulk.sign_rows(matrix, 3, 256, 16, 1)
    try:
        with open(token_path) as f:
            token = f.read()
    except OSError as exc:
        token = f"cannot read {token_path}: {exc.strerror}"
    return bulk.digest_rows(matrix, 1).tobytes(), signatures.tobytes(), token


def _scratch(scratch: str | None, address: str) -> str:
    if scratch is None:
        if not address.startswith("local:"):
            raise InputError("--dask with a scheduler needs --scratch DIR, a folder every worker can read and write")
        scratch = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
    try:
        return tempfile.mkdtemp(prefix="near-dup-", dir=os.path.abspath(scratch))  # workers run elsewhere
    except OSError as exc:
        raise InputError(f"--scratch {scratch}: {exc.strerror}") from None


def _check_workers(client: Any, folder: str) -> None:
    token_path = os.path.join(folder, "token")
    token = uuid.uuid4().hex
    with open(token_path, "w") as f:
        f.write(token)
    try:
        answers = client.run(probe, token_path)
    except ImportError as exc:
        raise InputError(f"a Dask worker cannot import {exc.name or 'a module'}: install zarvik_lumetra_native "
                         "(and requirements-demo.txt) on every worker") from None
    here = probe(token_path)
    for worker, answer in answers.items():
        if tuple(answer[:2]) != here[:2]:
            raise InputError(f"Dask worker {worker} signs a test vector differently from this machine")
        if answer[2] != token:
            raise InputError(f"Dask worker {worker} does not see the scratch folder {folder} ({answer[2][:80]})")


class _Stages:
    """Runs one stage's tasks, shows their progress and times the stage."""

    def __init__(self, client: Any, distributed: Any, show: bool) -> None:
        self.client, self.distributed, self.show = client, distributed, show
        self.seconds: dict[str, float] = {}
        self.cpu: dict[str, float] = {}

    def worker_cpu(self) -> float:
        """CPU time of every worker process since it started, and of this one."""
        seconds: dict[str, float] = self.client.run(time.process_time)
        return sum(seconds.values()) + time.process_time()

    def run(self, name: str, function: Callable[..., Any], calls: list[tuple[Any, ...]], weights: list[int],
            unit: str = "vec", **common: Any) -> list[Any]:
        start, cpu = time.perf_counter(), self.worker_cpu()
        futures = [self.client.submit(function, *args, **common, pure=False) for args in calls]
        weight = {f.key: w for f, w in zip(futures, weights)}
        with tqdm(total=sum(weights), desc=f"{name:<10}", unit=unit, leave=False, disable=not self.show) as bar:
            for future in self.distributed.as_completed(futures):
                if future.status == "error":
                    future.result()  # raises the task's exception here
                bar.update(weight[future.key])
        self.seconds[name] = self.seconds.get(name, 0.0) + time.perf_counter() - start
        self.cpu[name] = self.cpu.get(name, 0.0) + self.worker_cpu() - cpu
        return futures


def _pipeline(client: Any, distributed: Any, source: Source, search: Search, folder: str, show: bool) -> Result:
    run = _Stages(client, distributed, show)
    n = source.count
    matrix_path = os.path.join(folder, "normalised.npy")
    np.lib.format.open_memmap(matrix_path, mode="w+", dtype=np.float32, shape=(n, source.dim))
    starts = [block.start for block in source.blocks] + [n]
    prepared = run.run("prepare", _prepare, [(block,) for block in source.blocks],
                       [stop - start for start, stop in zip(starts, starts[1:])], matrix_path=matrix_path)

    start, cpu = time.perf_counter(), time.process_time()
    ids = np.empty(n, dtype=source.id_dtype)
    good = np.zeros(n, dtype=bool)
    why = np.zeros(n, dtype=np.uint8)
    digests = np.zeros((n, 32), dtype=np.uint8)
    for done in client.gather(prepared):
        rows = slice(done.start, done.start + len(done.good))
        ids[rows], good[rows], why[rows], digests[rows] = done.ids, done.good, done.why, done.digests
    del prepared
    removed, removed_kept = stages.copies(good, digests)
    del digests
    keep = good.copy()
    keep[removed] = False
    kept = np.flatnonzero(keep)
    run.seconds["copies"] = time.perf_counter() - start
    run.cpu["copies"] = time.process_time() - cpu

    [kept_future] = client.scatter([kept], broadcast=True)
    [sample] = run.run("shape", _background, [()], [1], "step", matrix_path=matrix_path, kept=kept_future)
    choice = search.choose(sample.result(), len(kept))
    shape = choice.shape

    signature_path = os.path.join(folder, "signatures.npy")
    np.lib.format.open_memmap(signature_path, mode="w+", dtype=np.uint64,
                              shape=(len(kept), shape.families, shape.words))
    blocks = [(start, min(start + 4 * stages.SIGN_BLOCK, len(kept))) for start in range(0, len(kept), 4 * stages.SIGN_BLOCK)]
    run.run("sign", _sign, blocks, [stop - start for start, stop in blocks], matrix_path=matrix_path,
            signature_path=signature_path, kept=kept_future, shape=shape)

    workers = max(len(client.scheduler_info().get("workers", {})), 1)
    ranges = max(2 * workers, -(-int(choice.per_vector * len(kept)) // PAIRS_PER_RANGE))
    groups = np.array_split(np.arange(shape.slots), min(shape.slots, 4 * workers))
    bucketed = run.run("bucket", _bucket, [(g[0], g[-1] + 1) for g in groups if len(g)],
                       [len(g) for g in groups if len(g)], "band", signature_path=signature_path, shape=shape,
                       cap=search.cap, ranges=ranges)
    cuts = sum(client.gather([client.submit(operator.itemgetter(1), f) for f in bucketed]), Cuts())
    pieces = [[client.submit(_piece, f, r) for f in bucketed] for r in range(ranges)]
    scored = run.run("score", _score, [(p,) for p in pieces], [1] * ranges, "range", matrix_path=matrix_path,
                     signature_path=signature_path, kept=kept_future, shape=shape, threshold=search.threshold)
    joined = stages.Scored.join(client.gather(scored))
    return Result(ids, np.flatnonzero(~good), why[~good], removed, removed_kept, len(kept), joined.candidates,
                  np.stack([kept[joined.a], kept[joined.b]], axis=1), joined.hamming, joined.estimate, joined.cosine,
                  cuts, choice, run.seconds, run.cpu)


def _spilled(dask_worker: Any) -> float:
    metrics = getattr(dask_worker.data, "cumulative_metrics", {})
    return float(sum(v for (label, unit), v in metrics.items() if label == "disk-write" and unit == "bytes"))


# Task functions: each opens the scratch arrays itself (a mapping is cheap)
# and calls one stage with threads=1, the worker's own threads being the
# parallelism.

def _prepare(block: Block, matrix_path: str) -> stages.Prepared:
    matrix = np.load(matrix_path, mmap_mode="r+")
    return stages.prepare(block, matrix, 1)


def _background(matrix_path: str, kept: np.ndarray) -> np.ndarray:
    return stages.background(np.load(matrix_path, mmap_mode="r"), kept, shapes.SAMPLE_PAIRS, 1)


def _sign(start: int, stop: int, matrix_path: str, signature_path: str, kept: np.ndarray, shape: LshShape) -> None:
    signatures = np.load(signature_path, mmap_mode="r+")
    stages.sign(np.load(matrix_path, mmap_mode="r"), kept[start:stop], shape, signatures[start:stop], 1)


def _bucket(first: int, stop: int, signature_path: str, shape: LshShape, cap: int, ranges: int) \
        -> tuple[list[np.ndarray], Cuts]:
    signatures = np.load(signature_path, mmap_mode="r")
    sets = [PairSet() for _ in range(ranges)]
    cuts = Cuts()
    for slot in range(first, stop):
        pieces, cut = stages.bucket(signatures, shape, slot, cap, ranges)
        for pairs, piece in zip(sets, pieces):
            pairs.add(piece)
        cuts += cut
    return [pairs.codes() for pairs in sets], cuts


def _piece(bucketed: tuple[list[np.ndarray], Cuts], r: int) -> np.ndarray:
    return bucketed[0][r]


def _score(pieces: list[np.ndarray], matrix_path: str, signature_path: str, kept: np.ndarray, shape: LshShape,
           threshold: float) -> stages.Scored:
    return stages.score(np.load(matrix_path, mmap_mode="r"), np.load(signature_path, mmap_mode="r"), kept, pieces,
                        shape, threshold, 1)
