"""The known-answer table through the module: the shipped functions, and
every forced simhash path of the test-only extension."""

from __future__ import annotations

import struct

import pytest

from _helpers_numeric import PanicException, native, simhash_paths, testing_ext
from known_answers import known_answers

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


@pytest.mark.parametrize("d,t,bits", KA.cosine)
def test_cosines(d, t, bits):
    assert struct.unpack("<Q", struct.pack("<d", native.cosine_from_hamming(d, t)))[0] == bits


@pytest.mark.parametrize("a,b,result", KA.hamming)
def test_hamming_distances(a, b, result):
    if result == "panic":
        with pytest.raises(PanicException):
            native.hamming_distance_hex(a, b)
    else:
        assert native.hamming_distance_hex(a, b) == result
