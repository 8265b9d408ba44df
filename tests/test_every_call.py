"""Every public function, constructor and method, succeeding and failing.

One table of calls, each with the exception class it must raise (None: it
must succeed). On its own it is a quick smoke test of every way in and out
of the module; its main use is the leak check (``--leak-check``), which
repeats each call in rounds after a warm-up: on a debug interpreter that
compares ``sys.gettotalrefcount()`` between rounds, so a reference kept or
dropped once too often on any path, result or error, shows as steady growth.
"""

from __future__ import annotations

import array
import sys

import pytest

import zarvik_lumetra_native as zln
from support.numeric import testing_ext
from conftest import panic_class

PANIC = panic_class()
VEC = [0.5, -0.25, 0.125]


class _Float:
    def __float__(self):
        return 0.25


class _Index:
    def __index__(self):
        return 64


class _RaisingFloat:
    def __float__(self):
        raise ValueError("from __float__")


class _Reported:
    """A sequence reporting ``length`` items and holding ``items``."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class _FailingIteration:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i:
            raise LookupError("stop here")
        return 1.0


def _touch(obj):
    """Reads everything a record offers."""
    return [repr(obj), str(obj), obj == obj, hash(obj)] + [getattr(obj, n) for n in dir(obj) if not n.startswith("_")]


def _simhash_results():
    return [_touch(f) for f in zln.simhash_lsh_multi(VEC, 2, 64, 4)]


CASES = {
    # normalize_vector
    "normalize-list": (lambda: zln.normalize_vector([3.0, 4.0]), None),
    "normalize-protocols": (lambda: zln.normalize_vector((1, True, _Float(), _Index())), None),
    "normalize-array": (lambda: zln.normalize_vector(array.array("f", VEC)), None),
    "normalize-memoryview": (lambda: zln.normalize_vector(memoryview(array.array("d", VEC))), None),
    "normalize-bytes": (lambda: zln.normalize_vector(b"\x01\x02"), None),
    "normalize-zero": (lambda: zln.normalize_vector([0.0, 0.0]), None),
    "normalize-keyword": (lambda: zln.normalize_vector(vector=range(3)), None),
    "normalize-str": (lambda: zln.normalize_vector("1.0"), TypeError),
    "normalize-not-a-sequence": (lambda: zln.normalize_vector({1.0}), TypeError),
    "normalize-str-item": (lambda: zln.normalize_vector([1.0, "2"]), TypeError),
    "normalize-raising-item": (lambda: zln.normalize_vector([1.0, _RaisingFloat()]), ValueError),
    "normalize-failing-iteration": (lambda: zln.normalize_vector(_FailingIteration()), LookupError),
    "normalize-capacity": (lambda: zln.normalize_vector(_Reported(2**61, [])), PANIC),
    "normalize-missing": (lambda: zln.normalize_vector(), TypeError),
    "normalize-unknown-keyword": (lambda: zln.normalize_vector([1.0], scale=2), TypeError),
    "normalize-twice": (lambda: zln.normalize_vector([1.0], vector=[1.0]), TypeError),
    # simhash_lsh_multi and the records it returns
    "simhash-defaults": (lambda: zln.simhash_lsh_multi(VEC), None),
    "simhash-records": (_simhash_results, None),
    "simhash-keywords": (lambda: zln.simhash_lsh_multi(bands=_Index(), bits=64, normalized_vector=VEC), None),
    "simhash-empty": (lambda: zln.simhash_lsh_multi([], 1, 8, 2), None),
    "simhash-negative-families": (lambda: zln.simhash_lsh_multi(VEC, -1), OverflowError),
    "simhash-bits-none": (lambda: zln.simhash_lsh_multi(VEC, bits=None), TypeError),
    "simhash-huge-item": (lambda: zln.simhash_lsh_multi([10**400]), OverflowError),
    "simhash-too-many": (lambda: zln.simhash_lsh_multi(VEC, 1, 2, 3, 4), TypeError),
    # cosine_from_hamming
    "cosine": (lambda: zln.cosine_from_hamming(5, 11), None),
    "cosine-zero-total": (lambda: zln.cosine_from_hamming(1, 0), None),
    "cosine-index": (lambda: zln.cosine_from_hamming(_Index(), total_bits=256), None),
    "cosine-negative": (lambda: zln.cosine_from_hamming(-1, 3), OverflowError),
    "cosine-too-big": (lambda: zln.cosine_from_hamming(1, 2**64), OverflowError),
    "cosine-str": (lambda: zln.cosine_from_hamming(1, "x"), TypeError),
    # hamming_distance_hex
    "hamming": (lambda: zln.hamming_distance_hex("ff", "0F"), None),
    "hamming-lengths-differ": (lambda: zln.hamming_distance_hex("ff", "0f0f0f"), None),
    "hamming-invalid-digit": (lambda: zln.hamming_distance_hex("0g", "00"), PANIC),
    "hamming-bytes": (lambda: zln.hamming_distance_hex(b"ff", "0f"), TypeError),
    "hamming-lone-surrogate": (lambda: zln.hamming_distance_hex("\ud800", "00"), UnicodeEncodeError),
    # compute_embedding_sha256
    "sha256": (lambda: zln.compute_embedding_sha256(VEC), None),
    "sha256-empty": (lambda: zln.compute_embedding_sha256(()), None),
    "sha256-buffer": (lambda: zln.compute_embedding_sha256(array.array("f", VEC)), None),
    "sha256-huge-item": (lambda: zln.compute_embedding_sha256([1.0, 10**400]), OverflowError),
    "sha256-none": (lambda: zln.compute_embedding_sha256(None), TypeError),
    # LshConfig
    "config-defaults": (lambda: _touch(zln.LshConfig()), None),
    "config-values": (lambda: _touch(zln.LshConfig(1, bits=_Index(), bands=2**64 - 1)), None),
    "config-negative": (lambda: zln.LshConfig(-1), OverflowError),
    "config-float": (lambda: zln.LshConfig(bands=1.5), TypeError),
    "config-unknown-keyword": (lambda: zln.LshConfig(size=3), TypeError),
    "config-read-only": (lambda: setattr(zln.LshConfig(), "bits", 3), AttributeError),
    # LshFamily
    "family": (lambda: _touch(zln.LshFamily(1, 64, "abcd", ["ab", "cd"])), None),
    "family-tuple-bands": (lambda: _touch(zln.LshFamily(0, 0, "", ("x",) * 3)), None),
    "family-str-bands": (lambda: zln.LshFamily(0, 64, "ab", "ab"), TypeError),
    "family-int-band": (lambda: zln.LshFamily(0, 64, "ab", ["a", 1]), TypeError),
    "family-surrogate-band": (lambda: zln.LshFamily(0, 64, "ab", ["a", "\udfff"]), UnicodeEncodeError),
    "family-capacity": (lambda: zln.LshFamily(0, 64, "ab", _Reported(2**62, [])), PANIC),
    "family-missing": (lambda: zln.LshFamily(0, 64, "ab"), TypeError),
    "family-read-only": (lambda: setattr(zln.LshFamily(0, 0, "", []), "bands", []), AttributeError),
}


try:
    import numpy as np

    import zarvik_lumetra_bulk as bulk
except ImportError:  # an installed distribution without NumPy
    bulk = None

# The bulk module's calls: (function, positional arguments, keyword
# arguments, exception). The arguments are made once, so the test below can
# count the references each call leaves on them.
BULK_CASES = {}
if bulk is not None:
    M = np.arange(12, dtype=np.float32).reshape(4, 3) - 5
    SIG = bulk.sign_rows(M)
    IDX = np.array([0, 3, 1])
    BULK_CASES = {
        "bulk-normalize": (bulk.normalize_rows, (M.astype(">f8"),), {"threads": 2}, None),
        "bulk-normalize-out": (bulk.normalize_rows, (M,), {"out": np.empty_like(M)}, None),
        "bulk-normalize-bad-out": (bulk.normalize_rows, (M,), {"out": M.T}, ValueError),
        "bulk-digest": (bulk.digest_rows, (M[:, ::2],), {}, None),
        "bulk-digest-3-d": (bulk.digest_rows, (M[None],), {}, ValueError),
        "bulk-sign": (bulk.sign_rows, (np.asfortranarray(M), 2, 66, 3), {"threads": 3}, None),
        "bulk-sign-negative": (bulk.sign_rows, (M, -1), {}, OverflowError),
        "bulk-sign-capacity": (bulk.sign_rows, (M, 2**57), {}, BaseException),
        "bulk-sign-list": (bulk.sign_rows, ([[1.0]],), {}, TypeError),
        "bulk-sign-threads": (bulk.sign_rows, (M,), {"threads": 0}, ValueError),
        "bulk-band-keys": (bulk.band_keys, (SIG, 256, 16), {}, None),
        "bulk-band-keys-wide": (bulk.band_keys, (SIG, 256, 2), {}, ValueError),
        "bulk-texts": (bulk.signature_texts, (SIG, 256), {}, None),
        "bulk-texts-mismatch": (bulk.signature_texts, (SIG, 64), {}, ValueError),
        "bulk-hamming": (bulk.hamming_rows, (SIG, SIG[::-1]), {}, None),
        "bulk-hamming-dtype": (bulk.hamming_rows, (SIG, SIG.astype(np.int64)), {}, TypeError),
        "bulk-cosines": (bulk.pair_cosines, (M, IDX, IDX[::-1].astype(np.uint8)), {}, None),
        "bulk-cosines-range": (bulk.pair_cosines, (M, IDX, IDX + 2), {}, IndexError),
    }


def _bulk_call(case):
    function, args, kwargs, _ = case
    return lambda: function(*args, **kwargs)


# NumPy's own reference operations may not count in a debug interpreter's
# reference total (a NumPy built for release interpreters): the leak check
# then judges these cases by memory alone, and the test after test_call
# counts their references object by object.
PARAMS = [pytest.param(call, raises, id=name) for name, (call, raises) in CASES.items()] + [
    pytest.param(_bulk_call(case), case[3], id=name, marks=pytest.mark.numpy_objects)
    for name, case in BULK_CASES.items()
]


@pytest.mark.parametrize("call, raises", PARAMS)
def test_call(call, raises):
    if raises is None:
        call()
    else:
        with pytest.raises(raises):
            call()


@pytest.mark.numpy_objects
@pytest.mark.parametrize("name", BULK_CASES)
def test_bulk_call_leaves_every_reference_as_it_found_it(name):
    function, args, kwargs, raises = BULK_CASES[name]
    held = [*args, *kwargs.values(), function]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(3):
        try:
            result = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - the table names the class
            assert raises is not None and isinstance(error, raises)
            continue
        assert raises is None
        if result is not kwargs.get("out"):
            fresh = np.empty(1)
            assert sys.getrefcount(result) == sys.getrefcount(fresh)
        del result
    assert [sys.getrefcount(obj) for obj in held] == before


def test_build_matches_the_interpreter_kind():
    # Built for a release interpreter, a debug interpreter's reference total
    # drifts by one for each reference the module drops: the check above
    # would then report leaks that are not there.
    assert testing_ext.built_for_debug_interpreter() == hasattr(sys, "gettotalrefcount")
