"""The bulk module against the per-call functions, row by row.

Every matrix layout the bulk functions read in place (C and Fortran order,
strided, reversed, float64, big-endian, read-only, memory-mapped), every
thread count from 1 to 4, rows that stress the signing paths (zeros, NaN,
infinities, cancelling values), and the bad-input table."""

from __future__ import annotations

import math
import signal
import threading

import pytest

np = pytest.importorskip("numpy")
import zarvik_lumetra_bulk as bulk  # noqa: E402

import zarvik_lumetra_native as native  # noqa: E402
from conftest import SANITIZED  # noqa: E402

F32_INFO = np.finfo(np.float32)


def special_rows(d: int) -> list:
    """Rows whose per-call results come from the rarer paths."""
    if d == 0:
        return []
    rows = [np.zeros(d), -np.zeros(d), np.full(d, np.nan), np.full(d, 1e-30), np.full(d, 1e20)]
    inf = np.zeros(d)
    inf[0] = np.inf
    rows.append(inf)
    cancel = np.full(d, 1e-7)
    cancel[0], cancel[-1] = 0.5, -0.5  # [a, tiny..., -a]: the certified stages doubt most bits
    rows.append(cancel)
    ones = np.ones(d)
    ones[d // 2] = -1.0
    rows.append(ones)
    return rows


def make_matrix(n: int, d: int, seed: int) -> np.ndarray:
    """float32 rows: Gaussian, normalised Gaussian, a few special ones."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, d)).astype(np.float32)
    x[1::3] /= np.maximum(np.linalg.norm(x[1::3], axis=1, keepdims=True), 1).astype(np.float32)
    special = special_rows(d)
    if special and n >= len(special):
        x[: len(special)] = np.array(special, dtype=np.float32)
    return x


def _memmap(x, tmp_path):
    m = np.memmap(tmp_path / "x.bin", dtype=x.dtype, mode="w+", shape=x.shape)
    m[:] = x
    m.flush()
    return np.memmap(tmp_path / "x.bin", dtype=x.dtype, mode="r", shape=x.shape)


def _strided(x):
    wide = np.zeros((x.shape[0] * 2, x.shape[1] * 3), dtype=x.dtype)
    wide[::2, ::3] = x
    return wide[::2, ::3]


def _read_only(x):
    y = x.copy()
    y.setflags(write=False)
    return y


# name -> how a float32 matrix is laid out for the call; every one holds the
# same values once narrowed to float32.
LAYOUTS = {
    "float32": lambda x, tmp: x,
    "float64": lambda x, tmp: x.astype(np.float64),
    "fortran": lambda x, tmp: np.asfortranarray(x),
    "fortran-float64": lambda x, tmp: np.asfortranarray(x.astype(np.float64)),
    "strided": lambda x, tmp: _strided(x),
    "reversed": lambda x, tmp: x[::-1][::-1, ::-1][:, ::-1],
    "big-endian": lambda x, tmp: x.astype(">f4"),
    "big-endian-float64": lambda x, tmp: x.astype(">f8"),
    "read-only": lambda x, tmp: _read_only(x),
    "memory-mapped": lambda x, tmp: _memmap(x, tmp),
}

SIGNING = [(3, 256, 16), (2, 66, 3), (1, 64, 1), (17, 64, 4), (1, 1088, 16)]
SHAPES = [(24, 0), (24, 1), (24, 5), (40, 100), (40, 384)]


def _words(sig: str) -> list:
    return [int(sig[k : k + 16], 16) for k in range(0, len(sig), 16)]


def _f32_bits(values) -> list:
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


def model_dot(a, b) -> float:
    """Element order, binary64 products of the binary32 values, from +0.0."""
    acc = 0.0
    for p, q in zip(np.asarray(a, np.float32).tolist(), np.asarray(b, np.float32).tolist()):
        acc += p * q
    return acc


@pytest.fixture(scope="module")
def expected():
    """Per-call results for each matrix of SHAPES, computed once."""
    cache = {}

    def get(n, d):
        if (n, d) not in cache:
            x = make_matrix(n, d, seed=n * 1000 + d)
            cache[(n, d)] = (
                x,
                [_f32_bits(native.normalize_vector(r)) for r in x],
                [native.compute_embedding_sha256(r) for r in x],
                {p: [[f.signature for f in native.simhash_lsh_multi(r, *p)] for r in x] for p in SIGNING},
            )
        return cache[(n, d)]

    return get


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("n,d", SHAPES)
def test_rows_equal_the_per_call_results(expected, layout, n, d, tmp_path):
    x32, normalized, digests, signatures = expected(n, d)
    x = LAYOUTS[layout](x32, tmp_path)
    for threads in (1, 2, 3, 4):
        assert [_f32_bits(r) for r in bulk.normalize_rows(x, threads=threads)] == normalized
        assert [r.tobytes().hex() for r in bulk.digest_rows(x, threads=threads)] == digests
        for params in SIGNING:
            words = bulk.sign_rows(x, *params, threads=threads)
            assert words.tolist() == [[_words(s) for s in row] for row in signatures[params]], params


@pytest.mark.parametrize("threads", [1, 2, 3, 4])
def test_many_rows_any_thread_count(threads):
    # Enough rows that the calling thread hands most of them to workers.
    x = make_matrix(3000 if not SANITIZED else 600, 384, seed=7)
    words = bulk.sign_rows(x, threads=threads)
    digests = bulk.digest_rows(x, threads=threads)
    normalized = bulk.normalize_rows(x, threads=threads)
    for i in range(0, len(x), 1 if not SANITIZED else 7):
        assert words[i].tolist() == [_words(f.signature) for f in native.simhash_lsh_multi(x[i])], i
        assert digests[i].tobytes().hex() == native.compute_embedding_sha256(x[i]), i
        assert _f32_bits(normalized[i]) == _f32_bits(native.normalize_vector(x[i])), i


def test_normalize_rows_into_out_and_in_place():
    x = make_matrix(30, 64, seed=3)
    want = bulk.normalize_rows(x)
    out = np.empty_like(x)
    assert bulk.normalize_rows(x.astype(">f8"), out=out) is out
    assert out.view(np.uint32).tolist() == want.view(np.uint32).tolist()
    assert bulk.normalize_rows(x, out=x) is x
    assert x.view(np.uint32).tolist() == want.view(np.uint32).tolist()


@pytest.mark.parametrize("params", SIGNING + [(3, 256, 64), (2, 100, 7), (1, 64, 100)])
def test_band_keys_texts_and_distances(params):
    families, bits, bands = params
    x = make_matrix(20, 50, seed=bits)
    words = bulk.sign_rows(x, families, bits, bands)
    texts = bulk.signature_texts(words, bits)
    chunked = [[f.bands for f in native.simhash_lsh_multi(r, families, bits, bands)] for r in x]
    assert texts.tolist() == [[f.signature for f in native.simhash_lsh_multi(r, *params)] for r in x]
    if max(len(b) for b in chunked[0][0]) <= 16:
        assert bulk.band_keys(words, bits, bands).tolist() == [[[int(b, 16) for b in f] for f in r] for r in chunked]
    other = words[::-1].copy()
    assert bulk.hamming_rows(words, other).tolist() == [
        [native.hamming_distance_hex(a, b) for a, b in zip(ra, rb)] for ra, rb in zip(texts.tolist(), texts[::-1].tolist())
    ]
    swapped = words.astype(">u8")
    assert bulk.signature_texts(swapped, bits).tolist() == texts.tolist()


@pytest.mark.parametrize("layout", ["float32", "float64", "strided", "big-endian"])
def test_pair_cosines_follow_the_ordered_sum(layout, tmp_path):
    x32 = make_matrix(40, 97, seed=5)
    x = LAYOUTS[layout](x32, tmp_path)
    rng = np.random.default_rng(9)
    # Row 1 is all -0.0: its products are -0.0 or +0.0, and the sum +0.0.
    i = np.concatenate([[1, 1, 2], rng.integers(0, 40, 300)])
    j = np.concatenate([[1, 2, 1], rng.integers(0, 40, 300)])
    want = [model_dot(x32[a], x32[b]) for a, b in zip(i, j)]
    for threads in (1, 2, 4):
        got = bulk.pair_cosines(x, i.astype(np.int32), j.astype(">i8"), threads=threads)
        assert np.array_equal(got.view(np.uint64), np.array(want).view(np.uint64))


def test_empty_inputs():
    x = np.zeros((0, 7), np.float32)
    assert bulk.normalize_rows(x).shape == (0, 7)
    assert bulk.digest_rows(x).shape == (0, 32)
    assert bulk.sign_rows(x, 2, 100).shape == (0, 2, 2)
    assert bulk.band_keys(bulk.sign_rows(x), 256, 16).shape == (0, 3, 16)
    assert bulk.signature_texts(bulk.sign_rows(x), 256).shape == (0, 3)
    assert bulk.pair_cosines(x, np.zeros(0, int), np.zeros(0, int)).shape == (0,)
    empty_rows = bulk.pair_cosines(np.zeros((2, 0), np.float32), np.array([0]), np.array([1]))
    assert math.copysign(1, empty_rows[0]) == 1.0 and empty_rows[0] == 0  # +0.0, the empty sum


X = np.zeros((2, 3), np.float32)


def _overlap():
    m = np.zeros((3, 3), np.float32)
    bulk.normalize_rows(m[:2], out=m[1:])  # row 0 of out is row 1 of x


SIG = np.zeros((2, 3, 4), np.uint64)

# call -> (exception class, text the message contains)
BAD_INPUT = {
    "list": (lambda: bulk.sign_rows([[1.0, 2.0]]), TypeError, "x must be a 2-dimensional float32 or float64 array"),
    "1-d": (lambda: bulk.normalize_rows(np.zeros(3, np.float32)), ValueError, "2-dimensional, not 1"),
    "3-d": (lambda: bulk.digest_rows(np.zeros((1, 2, 3), np.float32)), ValueError, "2-dimensional, not 3"),
    "float16": (lambda: bulk.sign_rows(X.astype(np.float16)), TypeError, "float32 or float64"),
    "int": (lambda: bulk.normalize_rows(X.astype(np.int32)), TypeError, "float32 or float64"),
    "threads-0": (lambda: bulk.sign_rows(X, threads=0), ValueError, "threads must be at least 1, not 0"),
    "threads-negative": (lambda: bulk.digest_rows(X, threads=-3), ValueError, "at least 1"),
    "threads-float": (lambda: bulk.digest_rows(X, threads=1.5), TypeError, "integer"),
    "threads-positional": (lambda: bulk.digest_rows(X, 2), TypeError, "positional"),
    "families-negative": (lambda: bulk.sign_rows(X, -1), OverflowError, ""),
    "bits-none": (lambda: bulk.sign_rows(X, bits=None), TypeError, ""),
    "capacity": (lambda: bulk.sign_rows(X, 2**57), BaseException, "capacity overflow"),
    "out-wrong-dtype": (lambda: bulk.normalize_rows(X, out=np.zeros((2, 3))), ValueError, "float32 array of shape (2, 3)"),
    "out-wrong-shape": (lambda: bulk.normalize_rows(X, out=np.zeros((3, 2), np.float32)), ValueError, "shape (2, 3)"),
    "out-read-only": (lambda: bulk.normalize_rows(X, out=_read_only(X)), ValueError, "writable"),
    "out-fortran": (lambda: bulk.normalize_rows(X, out=np.zeros((2, 3), np.float32, order="F")), ValueError, "C-contiguous"),
    "out-overlaps": (_overlap, ValueError, "shares memory with x without being x"),
    "signatures-float": (lambda: bulk.band_keys(SIG.astype(float), 256, 16), TypeError, "uint64"),
    "signatures-2-d": (lambda: bulk.signature_texts(SIG[0], 256), ValueError, "3-dimensional"),
    "words-mismatch": (lambda: bulk.band_keys(SIG, 100, 16), ValueError, "100 bits take 2"),
    "wide-bands": (lambda: bulk.band_keys(SIG, 256, 3), ValueError, "do not fit 64-bit keys"),
    "shapes-differ": (lambda: bulk.hamming_rows(SIG, SIG[:1]), ValueError, "same shape"),
    "index-range": (lambda: bulk.pair_cosines(X, np.array([0, 2]), np.array([0, 1])), IndexError, "i[1] is out of range for 2 rows"),
    "index-negative": (lambda: bulk.pair_cosines(X, np.array([0]), np.array([-1])), IndexError, "j[0]"),
    "index-float": (lambda: bulk.pair_cosines(X, np.zeros(1), np.zeros(1)), TypeError, "integers"),
    "index-lengths": (lambda: bulk.pair_cosines(X, np.zeros(2, int), np.zeros(1, int)), ValueError, "same length"),
    "index-list": (lambda: bulk.pair_cosines(X, [0], [1]), TypeError, "i must be a 1-dimensional integer array"),
    "missing": (lambda: bulk.sign_rows(), TypeError, "x"),
}


@pytest.mark.parametrize("call, error, text", BAD_INPUT.values(), ids=BAD_INPUT.keys())
def test_bad_input(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_conversion_errors_carry_the_per_call_note():
    with pytest.raises(OverflowError) as bulk_error:
        bulk.sign_rows(X, -1)
    with pytest.raises(OverflowError) as call_error:
        native.simhash_lsh_multi([0.0], -1)
    assert str(bulk_error.value) == str(call_error.value)
    assert bulk_error.value.__notes__ == call_error.value.__notes__ == ["while processing 'families'"]


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals reach the main thread")
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_interrupts_a_long_call(threads):
    # A huge matrix without memory: one row seen 10^8 times (row stride 0).
    x = np.broadcast_to(make_matrix(1, 384, seed=1), (10**8, 384))
    # A process started in the background by a non-interactive shell ignores
    # SIGINT from birth; Python's handler makes it a KeyboardInterrupt.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, signal.raise_signal, (signal.SIGINT,))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            bulk.sign_rows(x, 1, 64, threads=threads)
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
