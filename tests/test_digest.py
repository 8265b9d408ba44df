"""compute_embedding_sha256: canonical element texts, half-away rounding,
signed zeros, the given digests, the fast element path against the general
one on millions of values, and differential checks against the model."""

from __future__ import annotations

import ast
import hashlib
import math
import os
import random
import struct
import subprocess
import sys
from decimal import ROUND_HALF_UP, Decimal

import numpy as np
import pytest
from hypothesis import given, strategies as st

from support import worked_examples as worked
from support.numeric import IN_CI, budget, f32_from_bits, model, native, testing_ext

digest = native.compute_embedding_sha256
F32_MAX = model.F32_MAX
NAN = math.nan
INF = math.inf


def text_fast(v):
    return testing_ext.canonical_embedding_text(v, True)


def text_general(v):
    return testing_ext.canonical_embedding_text(v, False)


def sha(text: str) -> str:
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


# ---------------------------------------------------------------------------
# Documented texts and digests
# ---------------------------------------------------------------------------

CANONICAL_ROWS = worked.CANONICAL_TEXT + worked.CANONICAL_TEXT_EDGES


@pytest.mark.parametrize("vector,text", CANONICAL_ROWS, ids=[r[1][:40] for r in CANONICAL_ROWS])
def test_canonical_texts(vector, text):
    assert text_fast(vector) == text
    assert text_general(vector) == text
    assert model.canonical_embedding_text(vector) == text


# Through the shipped function alone, so that it also runs against an
# installed distribution.
@pytest.mark.parametrize("vector,text", CANONICAL_ROWS, ids=[r[1][:40] for r in CANONICAL_ROWS])
def test_digests_of_the_canonical_texts(vector, text):
    got = digest(vector)
    assert got == sha(text)
    assert got == digest(normalized_embedding=vector)


def test_given_digests():
    for vector, expected in worked.DIGESTS:
        assert digest(vector) == expected
    assert digest(()) == digest([])


def test_digest_shape():
    for v in ([], [1.0], [NAN] * 3, [F32_MAX, -F32_MAX], [0.1] * 1000):
        d = digest(v)
        assert type(d) is str and len(d) == 64
        assert set(d) <= set("0123456789abcdef")


def test_signed_zero_results_differ():
    assert text_fast([-1e-7]) == "[-0.0]" and text_fast([1e-7]) == "[0.0]"
    assert digest([-1e-7]) == digest([-0.0]) != digest([0.0]) == digest([1e-7])
    assert digest([-4e-7]) == digest([-0.0])
    assert digest([-5e-7]) == digest([-0.0])  # 4.99999998...e-07 in binary32


def test_normalized_vectors_pass_through():
    assert text_fast(native.normalize_vector([3.0, 4.0])) == "[0.6, 0.8]"
    assert text_fast(native.normalize_vector([1.0, 1.0])) == "[0.707107, 0.707107]"
    assert digest(native.normalize_vector([3.0, 4.0])) == sha("[0.6, 0.8]")


def test_input_is_used_unchanged():
    v = [3.0, 4.0]
    assert text_fast(v) == "[3.0, 4.0]"
    assert v == [3.0, 4.0]


# ---------------------------------------------------------------------------
# Quantisation
# ---------------------------------------------------------------------------


def half_up_quantum(x: float) -> Decimal:
    """Exact decimal value of x rounded to 6 places, halves away from zero."""
    return Decimal(x).quantize(Decimal("0.000001"), rounding=ROUND_HALF_UP)


@pytest.mark.parametrize("j", list(range(0, 200)) + [2**16, 2**20, 2**23 - 1])
def test_exact_halfway_products_round_away_from_zero(j):
    # (2j+1) / 128 times 10**6 is (2j+1) * 7812.5: always a tie.
    x = (2 * j + 1) / 128.0
    assert f32(x) == x
    assert x * 1e6 == (2 * j + 1) * 7812.5
    for value in (x, -x):
        q = testing_ext.quantize_to_6_places(value)
        assert q == float(half_up_quantum(value))
        assert q.hex() == model.quantize_to_6_places(value).hex()
        assert abs(q) > abs(value)  # away from zero, never to even
        assert text_fast([value]) == text_general([value]) == model.canonical_embedding_text([value])


@pytest.mark.parametrize(
    "x", [0.0, -0.0, 1e-7, -1e-7, -4.999999987376214e-07, 5.000000000000001e-07, 0.5, -0.5, 1e-6, -1e-6]
)
def test_quantize_keeps_sign_of_zero(x):
    x = f32(x)
    q = testing_ext.quantize_to_6_places(x)
    assert q.hex() == model.quantize_to_6_places(x).hex()
    if q == 0.0:
        assert math.copysign(1.0, q) == math.copysign(1.0, x)


@budget(2000, 300)
@given(pattern=st.integers(0, 2**32 - 1))
def test_quantize_matches_model_for_every_binary32_pattern(pattern):
    x = f32_from_bits(pattern)
    q = testing_ext.quantize_to_6_places(x)
    want = model.quantize_to_6_places(x)
    if math.isnan(want):
        assert math.isnan(q)
    else:
        assert q.hex() == want.hex()
        if abs(x) < 2**33:
            # n is exact below 2**53, so q is the correctly rounded n / 10**6
            assert q == float(half_up_quantum(x))


# ---------------------------------------------------------------------------
# Element texts: fast and general paths against the model
# ---------------------------------------------------------------------------


@budget(2000, 300)
@given(q=st.floats(allow_nan=True, allow_infinity=True))
def test_general_element_text_matches_model_for_any_double(q):
    assert testing_ext.canonical_float_text(q, False) == model.canonical_float_text(q)


@budget(3000, 400)
@given(
    n=st.one_of(
        st.integers(-(10**6), 10**6),
        st.integers(-(2**33) * 10**6, 2**33 * 10**6),
        st.integers(-(2**60), 2**60),
    )
)
def test_fast_element_text_matches_model_for_quantised_values(n):
    q = n / 1000000.0
    fast = testing_ext.canonical_float_text(q, True)
    want = model.canonical_float_text(q)
    assert testing_ext.canonical_float_text(q, False) == want
    if fast is not None:
        assert fast == want
    if abs(q) < 2**32:
        assert fast is not None  # the fast path covers every embedding-sized value
    if abs(n) < 2**33 * 10**6:
        # plain decimal of n / 10**6 with trailing zeros dropped
        exact = Decimal(n).scaleb(-6)
        body = format(exact.normalize(), "f") if n else "0"
        if "." not in body:
            body += ".0"
        assert want.lstrip("-") == body.lstrip("-")


def f32_vectors(max_size=40):
    return st.lists(st.integers(0, 2**32 - 1).map(f32_from_bits), max_size=max_size)


@budget(600, 120)
@given(v=f32_vectors())
def test_texts_and_digest_match_model_across_the_binary32_range(v):
    want = model.canonical_embedding_text(v)
    assert text_fast(v) == want
    assert text_general(v) == want
    assert digest(v) == sha(want) == model.compute_embedding_sha256(v)


@budget(300, 60)
@given(v=st.lists(st.one_of(st.floats(), st.floats(-1.0, 1.0), st.integers(-(2**70), 2**70)), max_size=30))
def test_python_numbers_are_narrowed_before_quantising(v):
    # doubles and big ints narrow to binary32 (overflowing to infinity)
    try:
        want = model.canonical_embedding_text(v)
    except OverflowError:
        with pytest.raises(OverflowError):
            digest(v)
        return
    # (the digest alone decides: it is the SHA-256 of the module's text)
    assert digest(v) == sha(want)


# ---------------------------------------------------------------------------
# Fast element path against the general path on millions of values
# ---------------------------------------------------------------------------


def _bulk_vectors(seed: int, size: int):
    """Float32 vectors aimed at the places where a fast formatter can slip."""
    rng = np.random.default_rng(seed)
    half = size // 2
    # magnitudes spread evenly in log scale from 1e-7 to 2**33
    mags = 10.0 ** rng.uniform(-7.0, math.log10(2.0**33), half)
    spread = (mags * rng.choice([-1.0, 1.0], half)).astype(np.float32)
    # exact halfway products: (k + 0.5) / 10**6, kept only where binary32 holds
    # that value exactly
    k = rng.integers(0, 2**24, half // 2)
    cand = (k + 0.5) / 1e6
    c32 = cand.astype(np.float32)
    exact = c32.astype(np.float64) == cand
    odd128 = ((2 * rng.integers(0, 2**22, half // 2) + 1) / 128.0).astype(np.float32)
    halfway = np.concatenate([c32[exact], odd128])
    halfway *= rng.choice(np.array([-1.0, 1.0], dtype=np.float32), halfway.size)
    # both sides of 2**33 and the neighbours of power-of-ten boundaries
    edges = []
    for base in [2.0**33, 2.0**32, 1.0, 0.1, 1e-6, 5e-7, 1e3, 1e6, 1e9]:
        b32 = np.float32(base)
        nbrs = [b32]
        lo = hi = b32
        for _ in range(64):
            lo = np.nextafter(lo, np.float32(0))
            hi = np.nextafter(hi, np.float32(np.inf))
            nbrs += [lo, hi]
        edges += nbrs
    edges = np.array(edges, dtype=np.float32)
    edges = np.concatenate([edges, -edges])
    # small negatives that quantise to -0.0, and raw patterns of every kind
    tiny_neg = -rng.uniform(0.0, 5e-7, size // 16).astype(np.float32)
    raw = rng.integers(0, 2**32, size // 8, dtype=np.uint64).astype(np.uint32).view(np.float32)
    allv = np.concatenate([spread, halfway, edges, tiny_neg, raw])
    rng.shuffle(allv)
    return allv


def test_fast_element_path_equals_general_path_on_millions_of_values():
    total = 1_000_000 if IN_CI else 4_000_000
    checked = 0
    seed = 0
    while checked < total:
        arr = _bulk_vectors(seed, 500_000)
        v = arr.tolist()
        fast = text_fast(v)
        general = text_general(v)
        if fast != general:  # find the first differing element for the report
            for x in v:
                a, b = text_fast([x]), text_general([x])
                assert a == b, (x.hex(), a, b)
        assert fast == general
        assert digest(v) == sha(fast)
        # a sample of elements against the model as well
        sample = random.Random(seed).sample(v, 2000)
        assert text_fast(sample) == model.canonical_embedding_text(sample)
        checked += len(v)
        seed += 1
    assert checked >= total


def test_dense_windows_around_the_first_rounding_ties():
    # Every binary32 value within 2000 grid steps of (k + 0.5) / 10**6 for
    # k < 64, of both signs, plus a strided sweep of all magnitudes below
    # 1e-5: the quantised value flips exactly at the tie.
    width = 500 if IN_CI else 2000
    windows = []
    for k in range(64):
        centre = np.array([(k + 0.5) / 1e6], dtype=np.float32).view(np.uint32)[0]
        windows.append(np.arange(int(centre) - width, int(centre) + width, dtype=np.uint32))
    hi = int(np.array([1e-5], dtype=np.float32).view(np.uint32)[0])
    windows.append(np.arange(0, hi, max(1, hi // 200_000), dtype=np.uint32))
    pos = np.concatenate(windows).view(np.float32)
    arr = np.concatenate([pos, -pos])
    v = arr.tolist()
    fast = text_fast(v)
    assert fast == text_general(v)
    # independent expectation: round half away from zero of the exact value
    wide = arr.astype(np.float64)
    scaled = wide * 1e6  # exact for binary32 inputs
    n = np.trunc(scaled + np.copysign(0.5, scaled))
    ties = scaled - np.trunc(scaled) == np.copysign(0.5, scaled)
    n = np.where(ties, n, np.round(scaled))
    texts = fast[1:-1].split(", ")
    assert len(texts) == arr.size
    for x, k, t in zip(v[::97], n[::97], texts[::97]):
        sign = "-" if math.copysign(1.0, x) < 0 else ""
        body = format(Decimal(int(abs(k))).scaleb(-6).normalize(), "f") if k else "0.0"
        assert t == sign + body


# ---------------------------------------------------------------------------
# libcrypto failures
# ---------------------------------------------------------------------------

# An OpenSSL configuration whose only provider is the null provider: no
# digest can be fetched, so the first digest of the process fails.
NULL_PROVIDER_CONF = """
openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
null = null_sect
[null_sect]
activate = 1
"""

# The call that fails, and the library's reason, by how the build obtains
# SHA-256: fetched (OpenSSL 3), or EVP_sha256() (OpenSSL 1.1.1's way, forced
# against OpenSSL 3 by a build option), whose first use fails in the init.
NULL_PROVIDER_FAILURES = {
    "EVP_MD_fetch": "unsupported",
    "EVP_DigestInit_ex": "initialization error",
}

FAILING_DIGEST_SCRIPT = """
import ctypes
import zarvik_lumetra_native as zln
try:
    zln.compute_embedding_sha256([1.0])
    outcome = ("ok",)
except BaseException as exc:
    outcome = (type(exc).__name__, str(exc))
# The libcrypto the module uses is loaded already; ask it about this thread's
# error queue.
path = next(line.split()[-1] for line in open("/proc/self/maps") if "libcrypto" in line)
crypto = ctypes.CDLL(path)
crypto.ERR_peek_error.restype = ctypes.c_ulong
print(repr((outcome, crypto.ERR_peek_error())))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="finds libcrypto through /proc")
def test_libcrypto_failure_names_the_call_and_clears_the_error_queue(tmp_path):
    conf = tmp_path / "null-provider.cnf"
    conf.write_text(NULL_PROVIDER_CONF)
    proc = subprocess.run(
        [sys.executable, "-c", FAILING_DIGEST_SCRIPT],
        env={**os.environ, "OPENSSL_CONF": str(conf)}, capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    outcome, queued = ast.literal_eval(proc.stdout)
    if outcome == ("ok",):
        pytest.skip("this libcrypto ignores the provider configuration")
    assert outcome[0] == "PanicException"
    call = outcome[1].removeprefix("error in OpenSSL function ").partition("(")[0]
    assert call in NULL_PROVIDER_FAILURES, outcome
    assert outcome[1].startswith(f"error in OpenSSL function {call}(): "), outcome
    assert NULL_PROVIDER_FAILURES[call] in outcome[1], outcome
    assert queued == 0
