"""The near-duplicate job of examples/demo.py on a user's files, in one
process and on a two-worker Dask cluster, against a plain-dictionary model."""

from __future__ import annotations

import os
import subprocess
import sys
from collections import defaultdict

import numpy as np
import pytest

import zarvik_lumetra_native as zln

if os.environ.get("ZLN_SANITIZED") == "1":  # before pyarrow is even imported under the sanitizer runtime
    pytest.skip("the example tests third-party libraries more than the module's build", allow_module_level=True)
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
sys.path.insert(0, EXAMPLES)
import demo  # noqa: E402
from near_dup import buckets, output  # noqa: E402

F, B, K = 3, 256, 16
NAN_ROW, INF_ROW = 140, 141


def make_vectors(seed: int = 7) -> np.ndarray:
    """Unrelated vectors, a tight cluster that fills buckets past a cap of 3,
    near pairs, exact copies, and two rows that are not finite."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal((120, 16))
    rows = list(base)
    rows += [base[0] + 1e-3 * rng.standard_normal(16) for _ in range(6)]
    rows += [base[k] + 0.05 * rng.standard_normal(16) for k in range(1, 10)]
    rows += [base[10], base[10], base[11], base[20], base[10]]
    assert len(rows) == NAN_ROW
    rows += [np.full(16, np.nan), np.r_[1e39, np.zeros(15)]]  # 1e39 is infinite as a 32-bit float
    rows += list(rng.standard_normal((8, 16)))
    return np.array(rows)


def model(vectors: np.ndarray, cap: int, threshold: float):
    """The job written plainly: dictionaries of buckets, every pair scored."""
    with np.errstate(over="ignore"):
        finite = [i for i, v in enumerate(vectors) if np.isfinite(v.astype(np.float32)).all()]
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
        d = sum(zln.hamming_distance_hex(x.signature, y.signature) for x, y in zip(signed[a], signed[b]))
        estimate = zln.cosine_from_hamming(d, F * B)
        if estimate >= threshold:
            found[(a, b)] = (d, estimate)
    return found, removed


def run(capsys, *args: str) -> tuple[int, str, str]:
    code = demo.main(["--quiet", *args])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def run_apart(*args: str) -> tuple[int, str, str]:
    """The job in a process of its own: a Dask client leaves threads and
    allocations behind that would disturb later tests' memory figures."""
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "demo.py"), "--quiet", *args],
                          capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout, done.stderr


def write_parquet(path, ids, vectors, id_type=None) -> None:
    table = pa.table({"key": pa.array(ids, type=id_type), "emb": pa.array([list(v) for v in vectors], type=pa.list_(pa.float64()))})
    pq.write_table(table, path, row_group_size=50)


def read(directory) -> tuple[list, list]:
    return (pq.read_table(os.path.join(directory, "pairs.parquet")).to_pylist(),
            pq.read_table(os.path.join(directory, "duplicates.parquet")).to_pylist())


@pytest.mark.parametrize("cap", [0, 3])
def test_npy_run_writes_what_the_plain_model_finds(tmp_path, capsys, cap):
    vectors = make_vectors()
    np.save(tmp_path / "v.npy", vectors)
    code, out, err = run(capsys, "--input", str(tmp_path / "v.npy"), "--out", str(tmp_path / "out"),
                         "--threshold", "0.8", "--max-bucket", str(cap), "--partition-rows", "37")
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "out")
    found, removed = model(vectors, cap, 0.8)
    assert [(p["id_a"], p["id_b"]) for p in pairs] == sorted(found)
    assert all((p["hamming"], p["cosine_estimate"]) == found[(p["id_a"], p["id_b"])] for p in pairs)
    assert duplicates == [{"id": r, "kept_id": k} for r, k in sorted(removed.items())]
    assert removed == {135: 10, 136: 10, 137: 11, 138: 20, 139: 10}
    assert f"skipped 2 rows with NaN or values that are not finite as 32-bit floats (ids {NAN_ROW}, {INF_ROW})" in out
    assert ("bucket cap cut" in out) == (cap == 3)
    assert not [name for name in os.listdir(tmp_path / "out") if name.endswith(".tmp")]


def test_parquet_text_ids_order_each_pair_by_id(tmp_path, capsys):
    vectors = make_vectors()
    ids = [f"v{(7 * i) % len(vectors):03d}" for i in range(len(vectors))]  # not in row order
    write_parquet(tmp_path / "v.parquet", ids, vectors)
    code, out, err = run(capsys, "--input", str(tmp_path / "v.parquet"), "--id-column", "key", "--vector-column", "emb",
                         "--out", str(tmp_path / "out"), "--threshold", "0.8")
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "out")
    found, removed = model(vectors, 1000, 0.8)
    by_id = sorted(tuple(sorted((ids[a], ids[b]))) for a, b in found)
    assert [(p["id_a"], p["id_b"]) for p in pairs] == by_id
    assert sorted((d["id"], d["kept_id"]) for d in duplicates) == sorted((ids[r], ids[k]) for r, k in removed.items())
    assert f"{len(removed)} in " in out and f"(ids {ids[NAN_ROW]}, {ids[INF_ROW]})" in out


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
]


@pytest.mark.parametrize("name, make, extra, message", BAD_INPUTS, ids=[case[0] for case in BAD_INPUTS])
def test_bad_input_is_one_line_and_a_failed_exit(tmp_path, capsys, name, make, extra, message):
    path = tmp_path / "input.bin"
    if make is not None:
        make(str(path))
    code, out, err = run(capsys, "--input", str(path), "--out", str(tmp_path / "out"), *extra)
    assert code == 2
    assert err.startswith("error: ") and err.count("\n") == 1 and message in err, err
    assert not os.path.exists(tmp_path / "out" / "pairs.parquet")


def test_an_interrupted_write_leaves_the_previous_file(tmp_path, monkeypatch):
    target = tmp_path / "pairs.parquet"
    target.write_bytes(b"previous")

    def interrupted(table, where):
        where.write(b"PAR1 half")
        raise KeyboardInterrupt

    monkeypatch.setattr(pq, "write_table", interrupted)
    with pytest.raises(KeyboardInterrupt):
        output.write_atomically(pa.table({"x": [1]}), str(target))
    assert os.listdir(tmp_path) == ["pairs.parquet"] and target.read_bytes() == b"previous"


BUCKET_CASES = [
    # (vectors, slots, distinct texts, cap)
    (0, 4, 3, 0),
    (1, 4, 3, 0),
    (60, 6, 5, 0),  # crowded buckets
    (60, 6, 5, 7),  # ... cut by the cap
    (300, 48, 200, 2),
    (300, 48, 5000, 0),  # mostly single members
]


@pytest.mark.parametrize("vectors, slots, texts, cap", BUCKET_CASES)
def test_candidate_pairs_match_dictionary_buckets(vectors, slots, texts, cap):
    rng = np.random.default_rng(vectors + cap)
    rows = np.sort(rng.choice(10**6, size=vectors, replace=False))  # gaps between rows, as after removals
    entries = [(s, f"{t:x}", int(r)) for r in rows for s, t in zip(range(slots), rng.integers(0, texts, slots))]
    table = defaultdict(list)
    for s, t, r in entries:
        table[(s, t)].append(r)
    expected, cut = set(), []
    for members in table.values():
        if cap and len(members) > cap:
            cut.append(len(members))
            members = members[:cap]
        expected.update((a, b) for x, a in enumerate(members) for b in members[x + 1:])
    shuffled = [entries[i] for i in rng.permutation(len(entries))]  # any arrival order
    pairs, cuts = buckets.candidate_pairs(np.array([e[0] for e in shuffled], dtype=np.int64),
                                          pa.array([e[1] for e in shuffled], type=pa.string()),
                                          np.array([e[2] for e in shuffled], dtype=np.int64), cap)
    assert [tuple(p) for p in pairs.tolist()] == sorted(expected)
    assert (cuts.buckets, cuts.largest, cuts.dropped) == (len(cut), max(cut, default=0), sum(c - cap for c in cut))


def test_dask_two_workers_write_the_single_process_files(tmp_path, capsys):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    vectors = make_vectors()
    ids = [f"v{(7 * i) % len(vectors):03d}" for i in range(len(vectors))]
    write_parquet(tmp_path / "v.parquet", ids, vectors)
    common = ["--input", str(tmp_path / "v.parquet"), "--id-column", "key", "--vector-column", "emb",
              "--threshold", "0.8", "--max-bucket", "3", "--partition-rows", "40"]
    code, alone, err = run(capsys, *common, "--out", str(tmp_path / "one"))
    assert code == 0, err
    code, spread, err = run_apart(*common, "--out", str(tmp_path / "dask"), "--dask", "local:2")
    assert code == 0, err
    pairs, duplicates = read(tmp_path / "one")
    assert pairs and duplicates and "bucket cap cut" in alone
    assert read(tmp_path / "dask") == (pairs, duplicates)
    assert spread.startswith("dask: 2 workers") and "dashboard http" in spread
    report = [line for line in alone.splitlines() if not line.startswith(("|", "wrote"))]
    assert [line for line in spread.splitlines()[1:] if not line.startswith(("|", "wrote"))] == report


def test_dask_reports_a_bad_row_found_by_a_worker_in_one_line(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    vectors = [[1.0, float(i)] for i in range(29)] + [[1.0]]  # ragged in the last row group only
    pq.write_table(pa.table({"id": list(range(30)), "vector": vectors}), tmp_path / "v.parquet", row_group_size=10)
    code, _, err = run_apart("--input", str(tmp_path / "v.parquet"), "--partition-rows", "10", "--dask", "local:2")
    assert code == 2 and "Traceback" not in err
    assert err.rstrip("\n").splitlines()[-1] == "error: row 29: vector of length 1, but row 0 has length 2 (ragged lists)"
