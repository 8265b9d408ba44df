"""The near-duplicate job of examples/demo.py on a user's files, in one
process and on a two-worker Dask cluster, against a plain-dictionary model."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import time
from collections import defaultdict

import numpy as np
import pytest

if sys.platform == "win32":
    pytest.skip("the example keeps its output folder with POSIX file locks (fcntl)", allow_module_level=True)
import fcntl  # noqa: E402

import zarvik_lumetra_native as zln

if os.environ.get("ZLN_SANITIZED") == "1":  # before pyarrow is even imported under the sanitizer runtime
    pytest.skip("the example tests third-party libraries more than the module's build", allow_module_level=True)
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)
import demo  # noqa: E402
from near_dup import buckets, bulk, result_folder, shape, stages  # noqa: E402
from near_dup.result_folder import FILES  # noqa: E402
from near_dup.corpus import make_corpus  # noqa: E402
from near_dup.signing import LshShape, band_key  # noqa: E402

GIVEN = ["--families", "3", "--bits", "256", "--bands", "16"]
NAN_ROW, INF_ROW = 140, 141
OVERFLOW_ROWS, ZERO_NORM_ROWS, ZERO_ROWS = (142, 143), (144, 145), (147, 148)
SKIPPED = [
    f"skipped 2 rows with NaN or values that are not finite as 32-bit floats (ids {NAN_ROW}, {INF_ROW})",
    "skipped 2 rows whose sum of squares overflows 32-bit floats (ids 142, 143)",
    "skipped 2 rows whose sum of squares is zero in 32-bit floats though not all their values are (ids 144, 145)",
]


def make_vectors(seed: int = 7) -> np.ndarray:
    """Unrelated vectors, a tight cluster that fills buckets past a cap of 3,
    near pairs, exact copies, two rows that are not finite, four that can't
    be normalised, one that just can, and two rows of zeros."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((120, 16))
    rows = list(base)
    rows += [base[0] + 1e-3 * rng.standard_normal(16) for _ in range(6)]
    rows += [base[k] + 0.05 * rng.standard_normal(16) for k in range(1, 10)]
    rows += [base[10], base[10], base[11], base[20], base[10]]
    assert len(rows) == NAN_ROW
    rows += [np.full(16, np.nan), np.r_[1e39, np.zeros(15)]]  # 1e39 is infinite as a 32-bit float
    rows += [np.r_[1e20, -1e20, np.zeros(14)],  # squares overflow
             np.full(16, 5e18),  # each square fits, their sum doesn't
             np.r_[1e-23, 2e-23, np.zeros(14)],  # squares underflow to zero
             np.full(16, 1e-50),  # zeros once narrowed, though not in the input
             np.r_[np.full(13, 5e18), np.zeros(3)],  # a sum of squares just under the largest float
             np.zeros(16), np.zeros(16)]
    rows += list(rng.standard_normal((8, 16)))
    return np.array(rows)


def exact_cosine(u, v) -> float:
    """The dot product of two normalised rows, added left to right in binary64."""
    total = 0.0
    for x, y in zip(u, v):
        total += x * y
    return total


def usable(row: np.ndarray) -> bool:
    """Finite in 32 bits, and a sum of squares, added one by one in 32 bits,
    that neither overflows nor vanishes unless the row is all zeros."""
    with np.errstate(over="ignore", under="ignore", invalid="ignore"):
        narrow = row.astype(np.float32)
        total = np.float32(-0.0)
        for x in narrow:
            total = np.float32(total + x * x)
    return bool(np.isfinite(narrow).all() and np.isfinite(total) and (total != 0 or not row.any()))


def model(vectors: np.ndarray, cap: int, threshold: float, F: int = 3, B: int = 256, K: int = 16):
    """The job written plainly: dictionaries of buckets, every pair scored by its exact cosine."""
    finite = [i for i, v in enumerate(vectors) if usable(v)]
    normalised = {i: zln.normalize_vector(vectors[i]) for i in finite}
    first: dict[str, int] = {}
    removed = {}
    for i in finite:
        kept = first.setdefault(zln.compute_embedding_sha256(normalised[i]), i)
        if kept != i:
            removed[i] = kept
    signed = {i: zln.simhash_lsh_multi(normalised[i], F, B, K) for i in finite if i not in removed}
    table = defaultdict(list)
    for i, families in signed.items():
        for fam in families:
            for k, band in enumerate(fam.bands):
                table[(fam.family, k, band)].append(i)
    pairs = set()
    for members in table.values():
        members = members[:cap] if cap else members
        pairs.update((a, b) for x, a in enumerate(members) for b in members[x + 1:])
    found = {}
    for a, b in pairs:
        cosine = exact_cosine(normalised[a], normalised[b])
        if cosine >= threshold:
            d = sum(zln.hamming_distance_hex(x.signature, y.signature) for x, y in zip(signed[a], signed[b]))
            found[(a, b)] = (d, zln.cosine_from_hamming(d, F * max(B, 64)), cosine)
    return found, removed, len(pairs)


def shown_shape(out: str) -> tuple[int, int, int]:
    families, bits, bands = re.search(r"signatures \((?:chosen|given)\): (\d+) families x (\d+) bits, (\d+) bands", out).groups()
    return int(families), int(bits), int(bands)


def run(capsys, *args: str) -> tuple[int, str, str]:
    try:
        code = demo.main(["--quiet", *args])
    except SystemExit as exc:  # a bad option, reported by argparse
        code = exc.code
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def run_apart(*args: str, cwd=None, prefix=()) -> tuple[int, str, str]:
    """The job in a process of its own: a Dask client leaves threads and
    allocations behind that would disturb later tests' memory figures."""
    done = subprocess.run([*prefix, sys.executable, os.path.join(EXAMPLES, "demo.py"), "--quiet", *args],
                          capture_output=True, text=True, timeout=600, cwd=cwd)
    return done.returncode, done.stdout, done.stderr


ROOT = os.geteuid() == 0
# Root reads and writes whatever the permission bits say; a child without
# capabilities is held to them like any user (CI runs as root).
UNPRIVILEGED = ["setpriv", "--inh-caps=-all", "--bounding-set=-all"] if ROOT else []


def need_unprivileged_children() -> None:
    if ROOT and shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv, so no child can be held to permission bits")


def write_parquet(path, ids, vectors, id_type=None, row_group_size=50) -> None:
    table = pa.table({"key": pa.array(ids, type=id_type), "emb": pa.array([list(v) for v in vectors], type=pa.list_(pa.float64()))})
    pq.write_table(table, path, row_group_size=row_group_size)


def read(directory) -> tuple[list, list]:
    return (pq.read_table(os.path.join(directory, "pairs.parquet")).to_pylist(),
            pq.read_table(os.path.join(directory, "duplicates.parquet")).to_pylist())


SHAPES = [
    # (shape options, cap, threshold): given shapes keep the others' defaults; none given: chosen
    (GIVEN, 0, 0.8),
    (GIVEN, 3, 0.8),
    (["--bits", "100", "--bands", "7"], 0, 0.5),  # digits left over in each signature
    (["--families", "2", "--bits", "1300", "--bands", "65"], 0, 0.0),  # bands across words
    ([], 0, 0.8),
    (["--recall", "0.99", "--candidates-per-vector", "3"], 2, 0.9),
    ([], 0, -1.0),  # every pair wanted: the best recall within the budget, said so
]


@pytest.mark.parametrize("options, cap, threshold", SHAPES)
def test_npy_run_writes_what_the_plain_model_finds(tmp_path, capsys, options, cap, threshold):
    vectors = make_vectors()
    np.save(tmp_path / "v.npy", vectors)
    code, out, err = run(capsys, "--input", str(tmp_path / "v.npy"), "--out", str(tmp_path / "out"),
                         "--threshold", str(threshold), "--max-bucket", str(cap), "--partition-rows", "37", *options)
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "out")
    F, B, K = shown_shape(out)
    assert ("(given)" in out) == ("--bits" in options)
    found, removed, candidates = model(vectors, cap, threshold, F, B, K)
    assert [(p["id_a"], p["id_b"]) for p in pairs] == sorted(found)
    assert all((p["hamming"], p["cosine_estimate"], p["cosine"]) == found[(p["id_a"], p["id_b"])] for p in pairs)
    assert f"candidate pairs: {candidates} ({candidates / (len(vectors) - 6 - len(removed)):.2f} per vector" in out
    assert ("note: no shape reaches" in out) == (threshold == -1.0)
    assert duplicates == [{"id": r, "kept_id": k} for r, k in sorted(removed.items())]
    assert removed == {135: 10, 136: 10, 137: 11, 138: 20, 139: 10, 148: 147}  # rows of zeros stay copies
    assert all(line in out for line in SKIPPED), out
    assert "bucket cap cut" not in out if cap == 0 else ("bucket cap cut" in out or cap == 2)
    assert not [name for name in os.listdir(tmp_path / "out") if name.endswith(".tmp")]


ID_KINDS = {
    "text": (lambda i, n: f"v{(7 * i) % n:03d}", None),
    "uint64": (lambda i, n: 2**64 - 1 - (7 * i) % n if i % 2 else 2**63 + (7 * i) % n, pa.uint64()),  # kept exactly
}


@pytest.mark.parametrize("row_group_size, partition_rows, id_kind",
                         [(50, 10_000, "text"), (50, 20, "text"), (1000, 37, "text"), (50, 20, "uint64")])
def test_parquet_ids_order_each_pair_by_id(tmp_path, capsys, row_group_size, partition_rows, id_kind):
    vectors = make_vectors()
    make_id, id_type = ID_KINDS[id_kind]
    ids = [make_id(i, len(vectors)) for i in range(len(vectors))]  # not in row order
    write_parquet(tmp_path / "v.parquet", ids, vectors, id_type=id_type, row_group_size=row_group_size)
    code, out, err = run(capsys, "--input", str(tmp_path / "v.parquet"), "--id-column", "key", "--vector-column", "emb",
                         "--out", str(tmp_path / "out"), "--threshold", "0.8", "--partition-rows", str(partition_rows), *GIVEN)
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "out")
    found, removed, _ = model(vectors, 1000, 0.8)
    by_id = sorted(tuple(sorted((ids[a], ids[b]))) for a, b in found)
    assert [(p["id_a"], p["id_b"]) for p in pairs] == by_id
    assert sorted((d["id"], d["kept_id"]) for d in duplicates) == sorted((ids[r], ids[k]) for r, k in removed.items())
    assert f"{len(removed)} in " in out and f"(ids {ids[NAN_ROW]}, {ids[INF_ROW]})" in out
    if id_type is not None:
        schemas = [pq.read_schema(tmp_path / "out" / name) for name in ("pairs.parquet", "duplicates.parquet")]
        assert [schema.field(column).type for schema, column in zip(schemas, ("id_a", "id"))] == [id_type] * 2


def _npy(array, **options):
    def make(path):
        with open(path, "wb") as f:  # np.save would add ".npy" to the name
            np.save(f, array, **options)
    return make


def _parquet(vectors, ids=None, vector_type=pa.list_(pa.float64()), id_type=None):
    def make(path):
        n = len(vectors)
        pq.write_table(pa.table({"id": pa.array(ids if ids is not None else list(range(n)), type=id_type),
                                 "vector": pa.array(vectors, type=vector_type)}), path)
    return make


def _text(path):
    with open(path, "w") as f:
        f.write("id,vector\n")


def _unreadable(make):
    def unreadable(path):
        make(path)
        os.chmod(path, 0)
    return unreadable


def _out(make, mode=None, holding=(), parent_mode=None):
    """The input, and an --out folder beside it with the given mode, holding
    these names (a name ending in "/" is a folder); and the mode of the folder
    holding both."""
    def with_out(path):
        make(path)
        out = os.path.join(os.path.dirname(path), "out")
        os.makedirs(out)
        for name in holding:
            os.makedirs(os.path.join(out, name)) if name.endswith("/") else open(os.path.join(out, name), "w").close()
        if mode is not None:
            os.chmod(out, mode)
        if parent_mode is not None:
            os.chmod(os.path.dirname(path), parent_mode)
    return with_out


def _absurd_npy(path):
    header = "{'descr': '<f4', 'fortran_order': False, 'shape': (4611686018427387904, 4611686018427387904), }"
    header = header.ljust(117) + "\n"
    with open(path, "wb") as f:
        f.write(b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header.encode() + bytes(64))


GOOD = _npy(np.random.default_rng(3).standard_normal((40, 8)))


BAD_INPUTS = [
    # (name, writes the file or None, extra arguments, the message's telling part)
    ("missing", None, [], "no such file: "),
    ("csv", _text, [], "is neither a .npy file nor a Parquet file"),
    ("ints", _npy(np.arange(12).reshape(3, 4)), [], "holds int64 values; expected float32 or float64"),
    ("1d", _npy(np.zeros(4)), [], "has shape (4,); expected 2 dimensions"),
    ("3d", _npy(np.zeros((2, 2, 2))), [], "expected 2 dimensions"),
    ("no rows", _npy(np.zeros((0, 4))), [], "holds no vectors"),
    ("no columns", _npy(np.zeros((3, 0))), [], "holds empty vectors"),
    ("objects", _npy(np.array([[1.0], ["x"]], dtype=object), allow_pickle=True), [], "cannot be memory-mapped"),
    ("npy with column", _npy(np.ones((2, 2))), ["--id-column", "id"], "apply to Parquet input only"),
    ("ragged", _parquet([[1.0, 2.0], [3.0, 4.0], [5.0]]), [], "row 2: vector of length 1, but row 0 has length 2 (ragged lists)"),
    ("empty list", _parquet([[1.0, 2.0], []]), [], "row 1: empty vector"),
    ("empty first", _parquet([[], [1.0]]), [], "row 0: empty vector"),
    ("null vector", _parquet([[1.0], None]), [], "row 1: the vector is missing (null)"),
    ("null element", _parquet([[1.0, 2.0], [1.0, None]]), [], "row 1: the vector has a missing (null) element"),
    ("text vectors", _parquet(["a", "b"], vector_type=pa.string()), [], "column 'vector' holds string; expected a list"),
    ("int vectors", _parquet([[1], [2]], vector_type=pa.list_(pa.int64())), [], "expected a list of float32 or float64"),
    ("no such column", _parquet([[1.0]]), ["--vector-column", "emb"], "has no vector column 'emb' (columns: id, vector)"),
    ("no id column", _parquet([[1.0]]), ["--id-column", "key"], "has no id column 'key'"),
    ("repeated id", _parquet([[1.0], [2.0], [3.0]], ids=[4, 5, 4]), [], "holds 4 more than once"),
    ("missing id", _parquet([[1.0], [2.0]], ids=["a", None]), [], "id column 'id' has no value at row 1"),
    ("float ids", _parquet([[1.0]], ids=[0.5]), [], "id column 'id' holds double; expected integers or strings"),
    ("no rows", _parquet([], vector_type=pa.list_(pa.float32()), id_type=pa.int64()), [], "holds no rows"),
    ("recall text", _npy(np.ones((3, 2))), ["--recall", "high"], "--recall must be a number above 0 and at most 1 (got 'high')"),
    ("recall 0", _npy(np.ones((3, 2))), ["--recall", "0"], "--recall must be a number above 0 and at most 1"),
    ("recall above 1", _npy(np.ones((3, 2))), ["--recall", "1.01"], "--recall must be a number above 0 and at most 1"),
    ("recall nan", _npy(np.ones((3, 2))), ["--recall", "nan"], "--recall must be a number above 0 and at most 1"),
    ("no candidates", _npy(np.ones((3, 2))), ["--candidates-per-vector", "0"], "--candidates-per-vector must be a number above 0 (got '0')"),
    ("negative candidates", _npy(np.ones((3, 2))), ["--candidates-per-vector", "-2"], "--candidates-per-vector must be"),
    ("candidates text", _npy(np.ones((3, 2))), ["--candidates-per-vector", "many"], "--candidates-per-vector must be"),
    # In a process of its own: NumPy's overflow warnings would reach its stderr.
    ("absurd npy shape", _absurd_npy, [], "cannot be memory-mapped as a .npy array (array is too big", "apart"),
    # Options, checked before any work; argparse puts its usage line first.
    ("negative bits", GOOD, ["--bits", "-5"], "--bits must lie between 64 (the shortest signature) and 131072"),
    ("more bands than digits", GOOD, ["--bands", "1000"], "--bands counts bands per family: between 1 and 64"),
    ("bands of a short signature", GOOD, ["--bits", "64", "--bands", "17"], "--bands counts bands per family: between 1 and 16"),
    ("no families", GOOD, ["--families", "0"], "--families must lie between 1 and 1024"),
    ("empty out", GOOD, ["--out", ""], "--out must name a folder"),
    # Permissions, in a child held to them; relative paths, from the input's folder.
    ("unreadable", _unreadable(GOOD), [], "cannot read input.bin (Permission denied)", "unprivileged"),
    ("unwritable out", _out(GOOD, mode=0o555), [], "--out out: cannot write there (Permission denied)", "unprivileged"),
    # A worker in a folder of its own, unable to read what the client can.
    ("worker cannot read", _unreadable(GOOD), [], "Dask worker tcp://", "worker elsewhere"),
    # --out is replaced as a whole: it may hold the job's files only.
    ("folder in out", _out(GOOD, holding=("pairs.parquet/",)), [], "holds a folder named pairs.parquet, where the job's file goes"),
    ("other file in out", _out(GOOD, holding=("pairs.parquet", "notes.txt")), [], "holds more than the job's files (notes.txt)"),
    ("out is here", GOOD, ["--out", "."], "--out . is the current folder or holds it", "apart"),
    ("unwritable out's folder", _out(GOOD, parent_mode=0o555), [], "--out out: cannot write its folder", "unprivileged"),
    # The generated corpus's options, checked before it is made.
    ("small corpus", None, ["--size", "4000"], "--size 4000 is too small: 500 pairs at each of 5 levels", "generated"),
    ("flat corpus", None, ["--dim", "1"], "--size must be at least 1 and --dim at least 2", "generated"),
    ("negative seed", None, ["--seed", "-1"], "--pairs, --copies and --seed must be 0 or more", "generated"),
]
@pytest.mark.parametrize("name, make, extra, message, how", [(*case, "here")[:5] for case in BAD_INPUTS],
                         ids=[case[0] for case in BAD_INPUTS])
def test_bad_input_is_one_line_and_a_failed_exit(tmp_path, capsys, request, name, make, extra, message, how):
    path = tmp_path / "input.bin"
    if make is not None:
        make(str(path))
    held = sorted(os.listdir(tmp_path / "out")) if (tmp_path / "out").is_dir() else None
    if how in ("here", "generated"):
        source = ["--input", str(path)] if how == "here" else []
        code, out, err = run(capsys, *source, "--out", str(tmp_path / "out"), *extra)
    elif how in ("apart", "unprivileged"):
        if how == "unprivileged":
            need_unprivileged_children()
        code, out, err = run_apart("--input", "input.bin", "--out", "out", *extra, cwd=tmp_path,
                                   prefix=UNPRIVILEGED if how == "unprivileged" else ())
    else:
        address, worker = request.getfixturevalue("worker_elsewhere")
        (tmp_path / "scratch").mkdir()
        code, out, err = run_apart("--input", "input.bin", "--dask", address, "--scratch", "scratch", "--out", "out",
                                   *extra, cwd=tmp_path)
        message = f"Dask worker {worker} cannot read {path} (Permission denied)"  # the path resolved
    assert code == 2
    lines = err.splitlines()
    if lines[0].startswith("usage: "):  # an option: argparse's usage, then its error line
        assert f": error: {message}" in lines[-1], err
    else:
        assert err.startswith("error: ") and len(lines) == 1, err
    assert message in lines[-1] and "Traceback" not in err and (out == "" or how == "worker elsewhere"), (out, err)
    assert (sorted(os.listdir(tmp_path / "out")) if held is not None else None) == held  # --out untouched
    assert not [name for name in os.listdir(tmp_path) if ".near-dup-" in name]


@pytest.fixture(scope="module")
def worker_elsewhere(tmp_path_factory):
    """A Dask scheduler and one worker started in a folder of their own, the
    worker without privileges; yields the scheduler's and worker's addresses."""
    pytest.importorskip("distributed")
    need_unprivileged_children()
    if not ROOT:
        pytest.skip("only root can make a file the client reads and the worker cannot")
    folder = tmp_path_factory.mktemp("elsewhere")
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    info = folder / "scheduler.json"
    scheduler = subprocess.Popen([*dask, "--port", "0", "--no-dashboard", "--scheduler-file", str(info)], cwd=folder,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    worker = subprocess.Popen([*UNPRIVILEGED, sys.executable, "-m", "distributed.cli.dask_worker", "--nthreads", "1",
                               "--no-nanny", "--no-dashboard", "--scheduler-file", str(info)],
                              cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        distributed = pytest.importorskip("distributed")
        deadline = time.monotonic() + 60
        while not info.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        address = json.loads(info.read_text())["address"]
        with distributed.Client(address, timeout="30s") as client:
            client.wait_for_workers(1, timeout=60)
            (worker_address,) = client.scheduler_info()["workers"]
        yield address, worker_address
    finally:
        for process in (worker, scheduler):
            process.kill()
            process.wait()


# The child kills itself with SIGKILL at a chosen point of writing --out.
KILLER = """
import os, signal, sys
sys.path.insert(0, {examples!r})
import pyarrow.parquet as pq
from near_dup import result_folder
point, die = sys.argv[1], lambda: os.kill(os.getpid(), signal.SIGKILL)
if point.startswith("file "):
    real_write, written = pq.write_table, []
    def write_table(table, where, **options):
        if len(written) == int(point[5:]):
            where.write(b"PAR1 half")
            where.flush()
            die()
        written.append(where)
        real_write(table, where, **options)
    pq.write_table = write_table
elif point in ("swap", "after swap"):
    real_exchange = result_folder._exchange
    def exchange(a, b):
        if point == "after swap":
            real_exchange(a, b)
        die()
    result_folder._exchange = exchange
elif point in ("between renames", "not killed, no exchange"):  # the fallback without an exchange
    result_folder._exchange = lambda a, b: False
    real_rename, renamed = os.rename, []
    def rename(a, b):
        if renamed and point == "between renames":
            die()
        renamed.append(a)
        real_rename(a, b)
    os.rename = rename
import demo
sys.exit(demo.main(sys.argv[2:]))
"""
KILL_POINTS = [
    # (where the run is killed, what --out holds then: the earlier run's files, the new run's, or no folder)
    ("file 0", "earlier"),  # halfway through the first result file
    ("file 1", "earlier"),  # between the two result files
    ("swap", "earlier"),  # both written, not yet swapped in
    ("after swap", "new"),  # swapped in, the earlier files not yet removed
    ("between renames", None),  # no exchange: the earlier folder set aside, the new one not yet in place
    ("not killed, no exchange", "new"),
]


def run_ids(folder) -> set[bytes]:
    return {pq.read_schema(os.path.join(folder, name)).metadata[b"near_dup.run_id"] for name in FILES}


@pytest.mark.parametrize("point, holds", KILL_POINTS)
def test_a_run_killed_while_writing_leaves_one_runs_two_files(tmp_path, capsys, point, holds):
    np.save(tmp_path / "v.npy", make_vectors())
    out, common = tmp_path / "out", ["--quiet", "--input", str(tmp_path / "v.npy"), *GIVEN, "--out", str(tmp_path / "out")]
    assert run(capsys, *common[1:], "--threshold", "0.5")[0] == 0
    earlier, (earlier_id,) = read(out), run_ids(out)
    killed = subprocess.run([sys.executable, "-c", KILLER.format(examples=EXAMPLES), point, *common, "--threshold", "0.9"],
                            capture_output=True, text=True, timeout=600)
    finished = point.startswith("not killed")
    assert killed.returncode == (0 if finished else -9), killed.stderr
    assert bool([name for name in os.listdir(tmp_path) if ".near-dup-" in name]) != finished, "a killed run's sibling"
    if holds is None:
        assert not out.exists()
        folder = result_folder.ResultFolder(str(out))  # what the next run does first: the earlier folder back
        folder.close()
    assert sorted(os.listdir(out)) == sorted(FILES) and len(run_ids(out)) == 1
    left = read(out), run_ids(out)
    assert (left == (earlier, {earlier_id})) == (holds != "new")
    live = tmp_path / ".out.near-dup-live"  # a sibling some other run is still writing
    live.mkdir()
    held = os.open(live, os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    code, report, err = run(capsys, *common[1:], "--threshold", "0.9")  # the killed run again, to its end
    assert code == 0 and live.is_dir(), err
    os.close(held)
    live.rmdir()
    assert sorted(os.listdir(out)) == sorted(FILES) and len(run_ids(out)) == 1 and run_ids(out) != {earlier_id}
    assert (left == (read(out), run_ids(out))) == (holds == "new")  # the same results, the same id
    assert sorted(os.listdir(tmp_path)) == ["out", "v.npy"]  # the stale sibling removed at start
    assert f"(run id {next(iter(run_ids(out))).decode()})" in report


BUCKET_CASES = [
    # (vectors, slots, distinct keys, cap, key bits): keys wider than 64 bits less the row bits take the other sort
    (0, 4, 3, 0, 8),
    (1, 4, 3, 0, 8),
    (60, 6, 5, 0, 8),  # crowded buckets
    (60, 6, 5, 7, 8),  # ... cut by the cap
    (300, 48, 200, 2, 20),
    (300, 48, 5000, 0, 64),  # mostly single members
    (300, 3, 4, 5, 64),
]


@pytest.mark.parametrize("vectors, slots, keys, cap, key_bits", BUCKET_CASES)
def test_candidate_pairs_match_dictionary_buckets(monkeypatch, vectors, slots, keys, cap, key_bits):
    monkeypatch.setattr(buckets, "MERGE_AT", 50)  # merges along the way too
    rng = np.random.default_rng(vectors + cap)
    spread = rng.integers(0, 2**63, keys, dtype=np.uint64) >> np.uint64(64 - key_bits) if key_bits < 64 else \
        rng.integers(0, 2**64 - 1, keys, dtype=np.uint64, endpoint=True)
    table = spread[rng.integers(0, keys, (slots, vectors))]  # one key per (slot, row)
    expected, cut = set(), []
    for slot in range(slots):
        members_of = defaultdict(list)
        for row, key in enumerate(table[slot].tolist()):
            members_of[key].append(row)
        for members in members_of.values():
            if cap and len(members) > cap:
                cut.append(len(members))
                members = members[:cap]
            expected.update((a, b) for x, a in enumerate(members) for b in members[x + 1:])
    found, cuts = buckets.PairSet(), buckets.Cuts()
    for slot in range(slots):
        codes, slot_cuts = buckets.slot_pairs(table[slot], cap)
        found.add(codes)
        cuts += slot_cuts
    a, b = buckets.decode(found.codes(), vectors)
    assert list(zip(a.tolist(), b.tolist())) == sorted(expected)
    assert (cuts.buckets, cuts.largest, cuts.dropped) == (len(cut), max(cut, default=0), sum(c - cap for c in cut))


@pytest.mark.parametrize("F, B, K", [(3, 256, 16), (2, 100, 16), (1, 66, 3), (1, 1300, 65), (2, 128, 5), (1, 64, 1),
                                     (1, 20, 0), (1, 256, 100)])
def test_band_keys_and_distances_are_the_per_call_bands(F, B, K):
    rng = np.random.default_rng(B + K)
    vectors = rng.standard_normal((6, 24)).astype(np.float32)
    signatures = bulk.sign_rows(vectors, F, B, K, 2)
    shape_ = LshShape(F, B, K)
    records = [zln.simhash_lsh_multi(v, F, B, K) for v in vectors]
    for family in range(F):
        for band in range(len(records[0][family].bands)):
            keys = band_key(signatures, shape_, family * shape_.bands_per_family + band)
            assert keys.tolist() == [int(r[family].bands[band], 16) for r in records]
    assert shape_.slots == F * len(records[0][0].bands)
    if shape_.band_bits <= 64:  # the companion's own band keys agree
        keys = bulk.module().band_keys(signatures, B, K)
        assert all((keys[:, f, k] == band_key(signatures, shape_, f * shape_.bands_per_family + k)).all()
                   for f in range(F) for k in range(shape_.bands_per_family))
    a, b = np.array([0, 1, 2, 5]), np.array([3, 4, 5, 5])
    expected = [sum(zln.hamming_distance_hex(x.signature, y.signature) for x, y in zip(records[i], records[j]))
                for i, j in zip(a, b)]
    assert stages.hamming(signatures, a, b).tolist() == expected


def test_pair_cosines_add_in_element_order():
    rng = np.random.default_rng(3)
    x = (rng.standard_normal((6, 300)) * np.logspace(-8, 8, 300)).astype(np.float32)  # order matters here
    x[5] = -0.0
    i, j = np.array([0, 1, 2, 4, 3, 5, 5]), np.array([1, 2, 3, 4, 0, 0, 5])
    expected = [exact_cosine(x[p].tolist(), x[q].tolist()) for p, q in zip(i, j)]
    got = bulk.pair_cosines(x, i, j, 1)
    assert got.tolist() == expected and np.signbit(got).tolist() == np.signbit(expected).tolist()
    assert expected != [float(np.dot(x[p].astype(np.float64)[::-1], x[q].astype(np.float64)[::-1])) for p, q in zip(i, j)]


CHOICES = [
    # (corpus size, background: mean and spread of the cosines, threshold, recall, budget, whether both can hold)
    (10**6, 0.1, 0.1, 0.9, 0.95, 20, True),
    (10**6, 0.0, 0.05, 0.9, 0.95, 20, True),
    (10**8, 0.1, 0.1, 0.95, 0.97, 5, True),
    (1000, 0.1, 0.1, 0.9, 0.95, 20, True),
    (10**6, 0.1, 0.1, 0.5, 0.95, 20, False),
    (10**6, 0.1, 0.1, -1.0, 0.95, 20, False),
]


@pytest.mark.parametrize("n, mean, spread, threshold, recall, budget, met", CHOICES)
def test_shape_choice_takes_the_fewest_bits_meeting_both(n, mean, spread, threshold, recall, budget, met):
    background = np.clip(np.random.default_rng(n).normal(mean, spread, 20_000), -1, 1)
    choice = shape.choose(background, n, threshold, recall, budget)
    assert choice.chosen and choice.met == met
    assert (choice.recall, choice.per_vector) == pytest.approx(shape.predict(choice.shape, background, n, threshold))
    assert choice.per_vector <= budget
    assert choice.shape.total_bits == choice.shape.band_bits * choice.shape.slots
    if met:
        assert choice.recall >= recall
        # No shape of fewer bits meets both: one family fewer at this width, or any narrower or wider band.
        for digits in range(1, 17):  # at each width, the most bands in fewer bits (fewer bands recall less)
            fewer = [s for s in (shape.layout(digits, slots) for slots in range(1, 257))
                     if s is not None and s.total_bits < choice.shape.total_bits]
            if fewer:
                got, per_vector = shape.predict(max(fewer, key=lambda s: s.slots), background, n, threshold)
                assert got < recall or per_vector > budget


@pytest.mark.parametrize("seed", [1, 2])
def test_exact_copies_are_found_by_whole_digests(seed):
    rng = np.random.default_rng(seed)
    digests = rng.integers(0, 256, (400, 32), dtype=np.uint8)
    digests[rng.integers(0, 400, 120)] = digests[rng.integers(0, 400, 120)]  # groups of copies, in any order
    digests[rng.integers(0, 400, 30), :8] = digests[0, :8]  # same first 64 bits, different digests
    good = rng.random(400) > 0.1
    first, expected = {}, {}
    for row in np.flatnonzero(good).tolist():
        kept = first.setdefault(digests[row].tobytes(), row)
        if kept != row:
            expected[row] = kept
    removed, kept = stages.copies(good, digests)
    assert dict(zip(removed.tolist(), kept.tolist())) == expected and removed.tolist() == sorted(expected)


def test_generated_corpus_is_embedding_like_with_its_truth():
    corpus = make_corpus(4000, 96, 20, 30, 5)
    x = corpus.vectors.astype(np.float64)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    planted = np.einsum("ij,ij->i", x[corpus.pair_a], x[corpus.pair_b])
    assert np.abs(planted - corpus.pair_level).max() < 1e-6
    assert corpus.levels() == [0.91, 0.93, 0.95, 0.97, 0.99] and len(corpus.pair_a) == 100
    assert (corpus.vectors[corpus.copy_of] == corpus.vectors[corpus.copy_row]).all()
    rng = np.random.default_rng(0)
    a, b = rng.integers(0, 4000, (2, 5000))
    background = np.einsum("ij,ij->i", x[a[a != b]], x[b[a != b]])
    assert 0.07 < background.mean() < 0.13 and background.std() > 0.05
    assert len(set(corpus.pair_a) | set(corpus.pair_b) | set(corpus.copy_of) | set(corpus.copy_row)) == 260


def test_generated_files_and_the_recall_check(tmp_path, capsys):
    import check_recall
    import make_corpus as generator
    assert generator.main(["--size", "3000", "--dim", "32", "--pairs", "20", "--copies", "10", "--out", str(tmp_path)]) == 0
    assert np.load(tmp_path / "vectors.npy").shape == (3000, 32)
    code, out, err = run(capsys, "--input", str(tmp_path / "vectors.npy"), "--out", str(tmp_path / "out"))
    assert code == 0, err
    assert check_recall.main(["--corpus", str(tmp_path), "--out", str(tmp_path / "out")]) == 0
    report = capsys.readouterr().out
    assert "exact copies found: 10 of 10; copies reported: 10" in report and "below the threshold: 0" in report
    assert re.search(r"\| all \| 100 \| (9[5-9]|100) \|", report) and "of them planted: " in report


def test_dask_two_workers_write_the_single_process_files(tmp_path, capsys):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    vectors = make_vectors()
    ids = [f"v{(7 * i) % len(vectors):03d}" for i in range(len(vectors))]
    write_parquet(tmp_path / "v.parquet", ids, vectors)
    common = ["--input", str(tmp_path / "v.parquet"), "--id-column", "key", "--vector-column", "emb",
              "--threshold", "0.8", "--max-bucket", "3", "--partition-rows", "40", *GIVEN]  # groups of 50: in ranges
    code, alone, err = run(capsys, *common, "--out", str(tmp_path / "one"))
    assert code == 0, err
    code, spread, err = run_apart(*common, "--out", str(tmp_path / "dask"), "--dask", "local:2")
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "one")
    assert pairs and duplicates and "bucket cap cut" in alone
    assert read(tmp_path / "dask") == (pairs, duplicates)
    assert all((tmp_path / "one" / name).read_bytes() == (tmp_path / "dask" / name).read_bytes() for name in FILES)
    assert spread.startswith("dask: 2 workers") and "dashboard http" in spread
    report = [line for line in alone.splitlines() if not line.startswith(("|", "wrote"))]
    assert "dask: nothing spilled to disk" in spread.splitlines()
    assert [line for line in spread.splitlines() if not line.startswith(("|", "wrote", "dask:"))] == report


def test_dask_reports_a_bad_row_found_by_a_worker_in_one_line(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    vectors = [[1.0, float(i)] for i in range(29)] + [[1.0]]  # ragged in the last row group only
    pq.write_table(pa.table({"id": list(range(30)), "vector": vectors}), tmp_path / "v.parquet", row_group_size=10)
    code, _, err = run_apart("--input", str(tmp_path / "v.parquet"), "--partition-rows", "10", "--dask", "local:2")
    assert code == 2 and "Traceback" not in err
    assert err.rstrip("\n").splitlines()[-1] == "error: row 29: vector of length 1, but row 0 has length 2 (ragged lists)"
