"""The job on a Dask cluster, with exactly the results of one process.

Workers read their own blocks of the input and normalise, digest and sign
them (the slow part, and embarrassingly parallel). Exact copies are found by
a shuffle on the digest, buckets by a shuffle on (family, band index, band
text); each bucket then lands whole in one partition, where the same code as
in one process forms its pairs, so the cap cuts the same members. Pairs are
joined with both signatures and scored in the workers. Signatures are a pure
function of the vector, so it does not matter which machine signed what.
"""

from __future__ import annotations

import logging
import os
import tempfile
import warnings
import zipfile
from typing import Any

import numpy as np

from . import signing
from .buckets import Cuts, apply_cap, bucket_members, candidate_pairs
from .errors import InputError
from .inputs import ArrayBlock, Block, Source
from .libs import load
from .result import Result
from .signing import LshShape

PROBE = [0.25, -1.5, 3.0, 1e-3, -7.0]  # any fixed vector: every worker must sign it alike


def describe(address: str) -> str:
    if address.startswith("local:"):
        return f"{address[len('local:'):]} local workers"
    return address


def run(address: str, source: Source, shape: LshShape, cap: int, floor: float) -> Result:
    """The whole job on the cluster; candidate pairs scoring below `floor` are dropped in the workers."""
    distributed = load("distributed")
    dd, dask = load("dask.dataframe"), load("dask")
    client, cluster = _connect(distributed, address)
    try:
        _ship_code(client)
        _check_workers(client)
        with dask.config.set({"dataframe.convert-string": True}):
            return _pipeline(dd, dask, source, shape, cap, floor)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


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


def probe() -> tuple[str, ...]:
    """Digest and signatures of a fixed vector, computed wherever this runs."""
    matrix = np.zeros((1, len(PROBE)), dtype=np.float32)
    signing.normalise_into(matrix, 0, np.asarray(PROBE))
    records = signing.sign(matrix[0], LshShape(3, 256, 16))
    return (signing.digest(matrix[0]), *(r.signature for r in records))


def _check_workers(client: Any) -> None:
    try:
        answers = client.run(probe)
    except ImportError as exc:
        raise InputError(f"a Dask worker cannot import {exc.name or 'a module'}: install zarvik_lumetra_native "
                         "(and requirements-demo.txt) on every worker") from None
    here = probe()
    for worker, answer in answers.items():
        if tuple(answer) != here:
            raise InputError(f"Dask worker {worker} signs a test vector differently from this machine")


def _pipeline(dd: Any, dask: Any, source: Source, shape: LshShape, cap: int, floor: float) -> Result:
    # The generated corpus travels inside the task graph; Dask would warn
    # that the graph is large. Blocks of a file are only its path and rows.
    warnings.filterwarnings("ignore", message="Sending large graph")
    empty = ArrayBlock(0, np.zeros((0, source.dim), dtype=np.float32))
    signed = dd.from_map(signed_frame, source.blocks, shape=shape, text_ids=source.ids_are_text,
                         meta=signed_frame(empty, shape, source.ids_are_text), enforce_metadata=False)
    signed = signed.persist()  # signing is the costly step: done once, read three times

    good = signed[signed["good"]]
    copies = good[["digest", "row"]].shuffle(on="digest").map_partitions(copies_frame, meta=copies_frame(None))
    ids, skipped, copies_found = dask.compute(signed["id"], signed[~signed["good"]]["row"], copies)
    removed = dict(zip(copies_found["row"].tolist(), copies_found["kept_row"].tolist()))
    removed_rows = np.array(sorted(removed), dtype=np.int64)

    entries = signed.map_partitions(entries_frame, shape, removed_rows, meta=entries_frame(None, shape, removed_rows))
    buckets = entries.shuffle(on=["family", "band", "text"])
    pairs = buckets.map_partitions(pairs_frame, shape.bands, cap, meta=pairs_frame(None, shape.bands, cap))
    cuts = buckets.map_partitions(cuts_frame, shape.bands, cap, meta=cuts_frame(None, shape.bands, cap))
    pairs = pairs.drop_duplicates(split_out=True)
    candidates = pairs.shape[0]

    columns = [f"s{f}" for f in range(shape.families)]
    signatures = good[["row", *columns]]
    for side in ("a", "b"):
        pairs = pairs.merge(signatures.rename(columns={"row": side, **{c: f"{side}_{c}" for c in columns}}), on=side)
    scored = pairs.map_partitions(score_frame, shape, floor, meta=score_frame(None, shape, floor))
    # One graph, so the bucket shuffle feeding both the pairs and the cut
    # counts runs once.
    scored, cuts, candidates = dask.compute(scored, cuts, candidates)

    scored = scored.sort_values(["a", "b"])
    kept = int(len(ids) - len(skipped) - len(removed))
    total = sum((Cuts(int(b), int(l), int(d)) for b, l, d in cuts.itertuples(index=False)), Cuts())
    return Result(np.asarray(ids.to_numpy(dtype=object if source.ids_are_text else np.int64)),
                  np.sort(skipped.to_numpy(dtype=np.int64)), removed, kept, int(candidates),
                  np.stack([scored["a"].to_numpy(np.int64), scored["b"].to_numpy(np.int64)], axis=1).reshape(-1, 2),
                  scored["hamming"].to_numpy(np.int64), scored["cosine_estimate"].to_numpy(np.float64), total)


# Partition functions. Each also gives its own empty result, the frame Dask
# needs to know the columns and types before anything runs.

def signed_frame(block: Block, shape: LshShape, text_ids: bool) -> Any:
    """Row, id, whether finite, digest, family signatures and all bands (one
    text, separated by spaces) of every row of the block."""
    pd = load("pandas")
    ids, vectors = block.read()
    good = signing.finite_rows(vectors)
    normalised = np.zeros(vectors.shape, dtype=np.float32)
    digests = [""] * len(vectors)
    signatures = [("",) * shape.families] * len(vectors)
    bands = [""] * len(vectors)
    for offset in np.flatnonzero(good).tolist():
        signing.normalise_into(normalised, offset, vectors[offset])
        digests[offset] = signing.digest(normalised[offset])
        records = signing.sign(normalised[offset], shape)
        signatures[offset] = signing.signatures_of([records])[0]
        bands[offset] = " ".join(signing.bands_of([records]))
    columns: dict[str, Any] = {
        "row": np.arange(block.start, block.start + len(vectors), dtype=np.int64),
        "id": pd.Series(ids, dtype="str" if text_ids else "int64"),
        "good": good,
        "digest": pd.Series(digests, dtype="str"),
        **{f"s{f}": pd.Series([s[f] for s in signatures], dtype="str") for f in range(shape.families)},
        "bands": pd.Series(bands, dtype="str"),
    }
    return pd.DataFrame(columns)


def copies_frame(frame: Any) -> Any:
    """(row, kept_row) for every row whose digest an earlier row has; a shuffled
    partition holds every row of each of its digests."""
    pd = load("pandas")
    if frame is None or len(frame) == 0:
        return pd.DataFrame({"row": np.empty(0, np.int64), "kept_row": np.empty(0, np.int64)})
    first = frame.groupby("digest")["row"].transform("min")
    copies = frame["row"] != first
    return pd.DataFrame({"row": frame["row"][copies].to_numpy(np.int64), "kept_row": first[copies].to_numpy(np.int64)})


def entries_frame(frame: Any, shape: LshShape, removed: np.ndarray) -> Any:
    """One (family, band, text, row) entry per band of every signed row that is not an exact copy."""
    pa, pc, pd = load("pyarrow"), load("pyarrow.compute"), load("pandas")
    per_row = shape.families * shape.bands
    if frame is None:
        frame = pd.DataFrame({"row": np.empty(0, np.int64), "good": np.empty(0, bool), "bands": pd.Series([], dtype="str")})
    part = frame[frame["good"].to_numpy(bool) & ~np.isin(frame["row"].to_numpy(np.int64), removed)]
    texts = pc.split_pattern(pa.array(part["bands"].to_numpy(object), type=pa.string()), " ").flatten()
    slots = np.tile(np.arange(per_row, dtype=np.int16 if per_row < 2**15 else np.int32), len(part))
    return pd.DataFrame({
        "family": slots // shape.bands, "band": slots % shape.bands,
        "text": pd.Series(texts.to_numpy(zero_copy_only=False), dtype="str"),
        "row": np.repeat(part["row"].to_numpy(np.int64), per_row),
    })


def _bucket_inputs(frame: Any, bands: int) -> tuple[np.ndarray, Any, np.ndarray]:
    pa = load("pyarrow")
    slots = frame["family"].to_numpy(np.int64) * bands + frame["band"].to_numpy(np.int64)
    return slots, pa.array(frame["text"].to_numpy(object), type=pa.string()), frame["row"].to_numpy(np.int64)


def pairs_frame(frame: Any, bands: int, cap: int) -> Any:
    pd = load("pandas")
    if frame is None or len(frame) == 0:
        return pd.DataFrame({"a": np.empty(0, np.int64), "b": np.empty(0, np.int64)})
    pairs, _ = candidate_pairs(*_bucket_inputs(frame, bands), cap)
    return pd.DataFrame({"a": pairs[:, 0], "b": pairs[:, 1]})


def cuts_frame(frame: Any, bands: int, cap: int) -> Any:
    pd = load("pandas")
    cuts = Cuts()
    if frame is not None and len(frame):
        cuts = apply_cap(*bucket_members(*_bucket_inputs(frame, bands)), cap)[2]
    return pd.DataFrame({"buckets": [cuts.buckets], "largest": [cuts.largest], "dropped": [cuts.dropped]})


def score_frame(frame: Any, shape: LshShape, floor: float) -> Any:
    pd = load("pandas")
    if frame is None or len(frame) == 0:
        return pd.DataFrame({"a": np.empty(0, np.int64), "b": np.empty(0, np.int64),
                             "hamming": np.empty(0, np.int64), "cosine_estimate": np.empty(0, np.float64)})
    columns = [f"s{f}" for f in range(shape.families)]
    side_a = zip(*(frame[f"a_{c}"].tolist() for c in columns))
    side_b = zip(*(frame[f"b_{c}"].tolist() for c in columns))
    distances, estimates = signing.pair_scores(side_a, side_b, shape.total_bits)
    result = pd.DataFrame({"a": frame["a"].to_numpy(np.int64), "b": frame["b"].to_numpy(np.int64),
                           "hamming": np.array(distances, dtype=np.int64),
                           "cosine_estimate": np.array(estimates, dtype=np.float64)})
    return result[result["cosine_estimate"] >= floor]
