"""The known-answer table through the module: the shipped functions, and
every forced simhash path of the test-only extension."""

from __future__ import annotations

import platform
import struct
import sys

import pytest

from support.numeric import PanicException, native, simhash_paths, testing_ext
from support.known_answers import known_answers

KA = known_answers()


def f32_bits(values) -> list:
    return [struct.unpack("<I", struct.pack("<f", x))[0] for x in values]


@pytest.mark.parametrize("vid,result", KA.normalize, ids=[n for n, _ in KA.normalize])
def test_normalize_vector(vid, result):
    assert f32_bits(native.normalize_vector(KA.vectors[vid])) == f32_bits(KA.vectors[result])


def case_id(c) -> str:
    return f"{c.vector}-F{c.families}-B{c.bits}-K{c.bands}"


@pytest.mark.parametrize("case", KA.simhash, ids=[case_id(c) for c in KA.simhash])
def test_signatures_shipped(case):
    v = KA.vectors[case.vector]
    want = [tuple(r) for r in case.records]
    got = native.simhash_lsh_multi(v, case.families, case.bits, case.bands)
    assert [(r.family, r.bits, r.signature, r.bands) for r in got] == want


# Apart from the shipped function, which also runs against an installed
# distribution; the forced paths need the test-only extension.
@pytest.mark.parametrize("case", KA.simhash, ids=[case_id(c) for c in KA.simhash])
def test_signatures_on_every_forced_path(case):
    v = KA.vectors[case.vector]
    want = [tuple(r) for r in case.records]
    long_case = len(v) * case.families * case.bits > 10**7
    for path in simhash_paths():
        if long_case and path == "scalar_uncached":
            continue  # no kernel of the table involved, and slow
        records = testing_ext.simhash_with_path(v, case.families, case.bits, case.bands, path)
        assert [(f, b, s, list(bands)) for f, b, s, bands in records] == want, path


@pytest.mark.parametrize("vid,digest", KA.digest, ids=[v for v, _ in KA.digest])
def test_digests(vid, digest):
    assert native.compute_embedding_sha256(KA.vectors[vid]) == digest


# The cosine is the C library's cos: the recorded values are glibc's, so
# with glibc they match bit for bit and elsewhere within one unit in the
# last place. A MinGW-built module (its runtime's cos is x87 fcos, far
# outside that near pi/2) is not supported for cosines.
COSINE_ULPS = 0 if platform.libc_ver()[0] == "glibc" else 1


def ordered(bits: int) -> int:
    """Binary64 bits as an integer in the order of the values (+0 and -0 one point)."""
    return -(bits & (2**63 - 1)) if bits >> 63 else bits


@pytest.mark.skipif(sys.platform == "win32" and "GCC" in sys.version, reason="MinGW build: its cos is x87 fcos")
@pytest.mark.parametrize("d,t,bits", KA.cosine)
def test_cosines(d, t, bits):
    got = struct.unpack("<Q", struct.pack("<d", native.cosine_from_hamming(d, t)))[0]
    assert abs(ordered(got) - ordered(bits)) <= COSINE_ULPS


@pytest.mark.parametrize("a,b,result", KA.hamming)
def test_hamming_distances(a, b, result):
    if result == "panic":
        with pytest.raises(PanicException):
            native.hamming_distance_hex(a, b)
    else:
        assert native.hamming_distance_hex(a, b) == result


# ---------------------------------------------------------------------------
# The same table through the bulk module, one row at a time and all the
# table's vectors of one length stacked into one matrix.
# ---------------------------------------------------------------------------

try:  # the per-call tests above need neither
    import numpy as np

    import zarvik_lumetra_bulk as bulk
except ImportError:
    np = bulk = None
needs_bulk = pytest.mark.skipif(bulk is None, reason="needs NumPy and zarvik_lumetra_bulk")


def _matrix(*vids):
    return np.array([KA.vectors[v] for v in vids], dtype=np.float32).reshape(len(vids), -1)


def _words(signature: str) -> list:
    return [int(signature[k : k + 16], 16) for k in range(0, len(signature), 16)]


@needs_bulk
@pytest.mark.parametrize("vid,result", KA.normalize, ids=[n for n, _ in KA.normalize])
def test_normalize_rows(vid, result):
    got = bulk.normalize_rows(_matrix(vid))
    assert f32_bits(got[0].tolist()) == f32_bits(KA.vectors[result])


@needs_bulk
@pytest.mark.parametrize("case", KA.simhash, ids=[case_id(c) for c in KA.simhash])
def test_sign_rows_band_keys_and_texts(case):
    x = _matrix(case.vector)
    words = bulk.sign_rows(x, case.families, case.bits, case.bands, threads=1)
    assert words[0].tolist() == [_words(sig) for _, _, sig, _ in case.records]
    assert bulk.signature_texts(words, case.bits)[0].tolist() == [sig for _, _, sig, _ in case.records]
    if all(len(b) <= 16 for _, _, _, bands in case.records for b in bands):
        keys = bulk.band_keys(words, case.bits, case.bands)[0].tolist()
        assert keys == [[int(b, 16) for b in bands] for _, _, _, bands in case.records]


@needs_bulk
def test_digest_rows_of_every_length_at_once():
    by_length = {}
    for vid, digest in KA.digest:
        by_length.setdefault(len(KA.vectors[vid]), []).append((vid, digest))
    for cases in by_length.values():
        got = bulk.digest_rows(_matrix(*[v for v, _ in cases]), threads=2)
        assert [row.tobytes().hex() for row in got] == [d for _, d in cases]
