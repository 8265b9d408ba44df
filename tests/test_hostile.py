"""Hostile argument objects and oversized requests.

Complements the argument tests: sequences whose reported length is far off
in either direction, numbers whose hooks return odd values or call back
into the module, huge ``__index__`` results, and requests too large to
serve, which must fail promptly (or stop on a signal) rather than abort,
hang or exhaust the machine.
"""

from __future__ import annotations

import signal
import time
import warnings

import pytest

from support import reference_model as model
import zarvik_lumetra_native as zln
from conftest import SANITIZED, assert_no_note, assert_single_note, panic_class, same_floats

CAPACITY = model.CAPACITY_OVERFLOW_MESSAGE
TEXT_LIST_LIMIT = 384307168202282325
VEC = [3.0, 4.0, 12.0]

VECTOR_CALLS = {
    "normalize_vector": (lambda v: zln.normalize_vector(v), "vector"),
    "simhash_lsh_multi": (lambda v: [r.signature for r in zln.simhash_lsh_multi(v, 2, 64, 4)], "normalized_vector"),
    "compute_embedding_sha256": (lambda v: zln.compute_embedding_sha256(v), "normalized_embedding"),
    "LshFamily.bands": (lambda v: zln.LshFamily(0, 64, "", [str(x) for x in v] if isinstance(v, list) else v).bands, "bands"),
}


class Reported:
    """A sequence reporting ``length`` items and yielding ``items``."""

    def __init__(self, length, items):
        self.length, self.items, self.reads = length, list(items), 0

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        self.reads += 1
        return self.items[i]


def _call(name, value):
    return VECTOR_CALLS[name][0](value)


def _plain(name):
    items = [str(x) for x in VEC] if name == "LshFamily.bands" else VEC
    return _call(name, list(items)), items


@pytest.mark.parametrize("name", sorted(VECTOR_CALLS))
@pytest.mark.parametrize("length", [10**15, 2**61 - 1, 0, 1], ids=["1e15", "2^61-1", "low-0", "low-1"])
def test_reported_length_is_not_trusted(name, length):
    if name == "LshFamily.bands":
        # A text list can't even be sized beyond this many items.
        length = min(length, TEXT_LIST_LIMIT)
    want, items = _plain(name)
    seq = Reported(length, items)
    got = _call(name, seq)
    assert got == want or same_floats(got, want)
    assert seq.reads == len(items) + 1


@pytest.mark.parametrize("name", sorted(VECTOR_CALLS))
def test_many_more_items_than_reported(name):
    items = [float(i % 7) for i in range(5000)]
    if name == "LshFamily.bands":
        items = [str(x) for x in items]
    got = _call(name, Reported(1, items))
    want = _call(name, list(items))
    assert got == want or same_floats(got, want)


@pytest.mark.parametrize("name", sorted(VECTOR_CALLS))
@pytest.mark.parametrize("length", [2**61, 2**62])
def test_unrepresentable_reported_length_fails_before_reading(name, length):
    seq = Reported(length, [] if name == "LshFamily.bands" else [1.0])
    with pytest.raises(BaseException) as info:
        _call(name, seq)
    assert type(info.value) is panic_class()
    assert info.value.args == (CAPACITY,)
    assert seq.reads == 0


class LenRaises(Reported):
    def __len__(self):
        raise MemoryError("len")


@pytest.mark.parametrize("name", sorted(VECTOR_CALLS))
def test_length_that_raises_even_memoryerror_is_ignored(name):
    want, items = _plain(name)
    assert _call(name, LenRaises(0, items)) in (want,) or same_floats(_call(name, LenRaises(0, items)), want)


# ---------------------------------------------------------------------------
# Number hooks
# ---------------------------------------------------------------------------


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSub(float):
    pass


def test_float_hook_returning_non_float_is_a_type_error():
    for bad in (1, "1.0", None, [1.0]):
        with pytest.raises(TypeError) as info:
            zln.normalize_vector([1.0, FloatReturns(bad)])
        assert_single_note(info.value, "vector")


def test_float_hook_returning_a_float_subclass_is_accepted():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        got = zln.normalize_vector([FloatReturns(FloatSub(3.0)), 4.0])
    assert same_floats(got, model.normalize_vector([3.0, 4.0]))


def test_float_hook_returning_float_subclass_under_error_warnings_fails_cleanly():
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            zln.normalize_vector([FloatReturns(FloatSub(3.0))])
    assert_single_note(info.value, "vector")


class Reenter:
    """An item whose conversion calls every function of the module."""

    def __float__(self):
        sigs = zln.simhash_lsh_multi([1.0, Reenter2()], 2, 64, 4)
        assert zln.hamming_distance_hex(sigs[0].signature, sigs[0].signature) == 0
        assert zln.compute_embedding_sha256([]) == model.compute_embedding_sha256([])
        zln.LshFamily(0, 64, sigs[0].signature, sigs[0].bands)
        return zln.normalize_vector([3.0, 4.0])[0]  # 0.6 as binary32


class Reenter2:
    def __float__(self):
        return float(zln.cosine_from_hamming(0, 8))  # 1.0


def test_reentrant_calls_from_float_hooks_compute_correct_results():
    got = zln.normalize_vector([Reenter(), 0.8])
    want = model.normalize_vector([model.normalize_vector([3.0, 4.0])[0], 0.8])
    assert same_floats(got, want)
    sigs = zln.simhash_lsh_multi([Reenter(), -1.0], 1, 64, 4)
    assert sigs[0].signature == model.simhash_lsh_multi([0.6000000238418579, -1.0], 1, 64, 4)[0][2]


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("value, exc_type", [(2**64, OverflowError), (10**100, OverflowError), (-(2**70), OverflowError), ("raise", KeyError), (2**64 - 1, None)])
def test_index_hook_raising_or_huge(value, exc_type):
    if value == "raise":
        return _index_hook_raising()
    if exc_type is None:
        assert zln.LshConfig(bands=IndexReturns(value)).bands == value
        assert zln.cosine_from_hamming(IndexReturns(value), IndexReturns(value)) == model.cosine_from_hamming(value, value)
        return
    for call, param in (
        (lambda: zln.cosine_from_hamming(1, IndexReturns(value)), "total_bits"),
        (lambda: zln.simhash_lsh_multi([1.0], bands=IndexReturns(value)), "bands"),
        (lambda: zln.LshFamily(IndexReturns(value), 64, "", []), "family"),
    ):
        with pytest.raises(exc_type) as info:
            call()
        assert_single_note(info.value, param)


def _index_hook_raising():
    for call, param in (
        (lambda: zln.cosine_from_hamming(1, IndexReturns(KeyError("k"))), "total_bits"),
        (lambda: zln.simhash_lsh_multi([1.0], bands=IndexReturns(KeyError("k"))), "bands"),
        (lambda: zln.LshFamily(IndexReturns(KeyError("k")), 64, "", []), "family"),
    ):
        with pytest.raises(KeyError) as info:
            call()
        assert info.value.args == ("k",)
        assert_single_note(info.value, param)


def test_keyword_name_with_lone_surrogate_for_every_callable():
    for fn, display in (
        (zln.normalize_vector, "normalize_vector()"),
        (zln.simhash_lsh_multi, "simhash_lsh_multi()"),
        (zln.hamming_distance_hex, "hamming_distance_hex()"),
        (zln.cosine_from_hamming, "cosine_from_hamming()"),
        (zln.compute_embedding_sha256, "compute_embedding_sha256()"),
        (zln.LshConfig, "LshConfig.__new__()"),
        (zln.LshFamily, "LshFamily.__new__()"),
    ):
        with pytest.raises(TypeError) as info:
            fn(**{"\udcff": 1})
        assert str(info.value) == f"{display} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
        assert_no_note(info.value)


# ---------------------------------------------------------------------------
# Oversized requests
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs",
    [{"families": 2**57}, {"bits": 2**63}, {"families": 2**64 - 1}, {"bits": 2**64 - 1}],
    ids=["families-2^57", "bits-2^63", "families-max", "bits-max"],
)
def test_unrepresentable_sizes_are_capacity_overflow(kwargs):
    with pytest.raises(BaseException) as info:
        zln.simhash_lsh_multi([1.0], **kwargs)
    assert type(info.value) is panic_class()
    assert info.value.args == (CAPACITY,)


@pytest.mark.parametrize(
    "kwargs",
    [{"families": 2**57 - 1}, {"bits": 2**63 - 1}, {"families": 10**15}, {"families": 2**40, "bits": 2**40}],
    ids=["families-2^57-1", "bits-2^63-1", "families-1e15", "both-2^40"],
)
def test_impossible_sizes_raise_memoryerror_promptly(kwargs):
    start = time.monotonic()
    with pytest.raises(MemoryError):
        zln.simhash_lsh_multi([1.0] * 8, **kwargs)
    assert time.monotonic() - start < (5.0 if SANITIZED else 1.0)


class Stop(Exception):
    pass


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_long_request_is_stopped_by_a_signal():
    def handler(signum, frame):
        raise Stop("timer")

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        with pytest.raises(Stop):
            # About 10^11 additions: minutes of work if never stopped.
            zln.simhash_lsh_multi([0.5] * 100_000, families=64, bits=16384)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert time.monotonic() - start < (20.0 if SANITIZED else 5.0)
    # The module keeps working afterwards.
    assert len(zln.simhash_lsh_multi([1.0])) == 3


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_long_conversion_is_stopped_by_a_signal():
    class Endless:
        def __len__(self):
            return 0

        def __getitem__(self, i):
            return 1.0

    def handler(signum, frame):
        raise Stop("timer")

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(Stop) as info:
            zln.normalize_vector(Endless())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert_single_note(info.value, "vector")
