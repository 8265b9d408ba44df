"""Repeated succeeding and failing calls must not leak: after a warm-up,
many mixed calls of every callable (successes, conversion errors, binding
errors, internal failures) leave the resident set size and the memory traced
by tracemalloc essentially unchanged."""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import tracemalloc

import pytest

import zarvik_lumetra_native as zln
from conftest import SANITIZED, panic_class

if SANITIZED:
    WARMUP, CALLS = 1_000, 10_000
else:
    WARMUP, CALLS = 10_000, 100_000

RSS_LIMIT = 1 << 20  # 1 MiB
TRACED_LIMIT = 100 << 10  # 100 KiB

PANIC = panic_class()


class _Seq:
    def __init__(self, length, items):
        self.length = length
        self.items = items

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class _Idx:
    def __index__(self):
        return 5


class _Boom(Exception):
    pass


class _RaisingFloat:
    def __float__(self):
        raise _Boom("no value")


class _NestedPanic:
    def __float__(self):
        return float(zln.hamming_distance_hex("0g", "00"))


class _SurrogateName:
    pass


_SurrogateName.__qualname__ = "\ud800Name"

VEC = [0.25, -0.5, 0.125, 1.0, 3.0, -2.0, 0.0, 7.5]
FAM = zln.LshFamily(1, 64, "9f171218fc975cb7", ["9f17", "1218", "fc97", "5cb7"])
CFG = zln.LshConfig(2, 128, 8)

# (callable, args, kwargs, expected exception class or None)
CASES = [
    # normalize_vector
    (zln.normalize_vector, (VEC,), {}, None),
    (zln.normalize_vector, (tuple(VEC),), {}, None),
    (zln.normalize_vector, ("0.5",), {}, TypeError),
    (zln.normalize_vector, ([1.0, "2"],), {}, TypeError),
    (zln.normalize_vector, ([1.0, 10**400],), {}, OverflowError),
    (zln.normalize_vector, (_Seq(2**61, []),), {}, PANIC),
    (zln.normalize_vector, (_Seq(0, [1.0, 2.0]),), {}, None),
    (zln.normalize_vector, ([_RaisingFloat()],), {}, _Boom),
    (zln.normalize_vector, ([1.0, _NestedPanic()],), {}, PANIC),
    (zln.normalize_vector, (_SurrogateName(),), {}, TypeError),
    (zln.normalize_vector, (), {"vec": VEC}, TypeError),
    (zln.normalize_vector, (), {"\ud800": VEC}, TypeError),
    (zln.normalize_vector, (VEC, VEC), {}, TypeError),
    (zln.normalize_vector, (), {}, TypeError),
    # simhash_lsh_multi
    (zln.simhash_lsh_multi, (VEC, 2, 64, 4), {}, None),
    (zln.simhash_lsh_multi, (VEC,), {"bands": None}, TypeError),
    (zln.simhash_lsh_multi, (VEC, 2**57), {}, PANIC),
    (zln.simhash_lsh_multi, (VEC, 1, 2**63), {}, PANIC),
    (zln.simhash_lsh_multi, (VEC, 1, 2, 3, 4), {}, TypeError),
    (zln.simhash_lsh_multi, ([], -1), {}, OverflowError),
    # hamming_distance_hex
    (zln.hamming_distance_hex, ("9f171218", "0f171219"), {}, None),
    (zln.hamming_distance_hex, ("0g", "00"), {}, PANIC),
    (zln.hamming_distance_hex, (b"ab", "ab"), {}, TypeError),
    (zln.hamming_distance_hex, ("ab", "a\ud800"), {}, UnicodeEncodeError),
    (zln.hamming_distance_hex, ("ab",), {"a": "ab"}, TypeError),
    # cosine_from_hamming
    (zln.cosine_from_hamming, (5, 11), {}, None),
    (zln.cosine_from_hamming, (_Idx(), 0), {}, None),
    (zln.cosine_from_hamming, (-1, 8), {}, OverflowError),
    (zln.cosine_from_hamming, (1.0, 8), {}, TypeError),
    (zln.cosine_from_hamming, (1,), {}, TypeError),
    # compute_embedding_sha256
    (zln.compute_embedding_sha256, (VEC,), {}, None),
    (zln.compute_embedding_sha256, (None,), {}, TypeError),
    (zln.compute_embedding_sha256, ({1.0},), {}, TypeError),
    # constructors
    (zln.LshConfig, (4, 128), {"bands": 8}, None),
    (zln.LshConfig, (-1,), {}, OverflowError),
    (zln.LshConfig, (1, 2, 3, 4), {}, TypeError),
    (zln.LshConfig, (), {"size": 1}, TypeError),
    (zln.LshFamily, (0, 64, "abcdabcd", ("ab", "cd", "\u00e9\u00e9")), {}, None),
    (zln.LshFamily, (0, 64, "ab", "ab"), {}, TypeError),
    (zln.LshFamily, (0, 64, "ab", ["a", 1]), {}, TypeError),
    (zln.LshFamily, (0, 64, "ab", ["a", "\udfff"]), {}, UnicodeEncodeError),
    (zln.LshFamily, (0, 64, "ab", _Seq(2**62, ["a"])), {}, PANIC),
    (zln.LshFamily, (0, 64, "ab"), {}, TypeError),
    # getters and reprs
    (repr, (FAM,), {}, None),
    (repr, (CFG,), {}, None),
    (getattr, (FAM, "bands"), {}, None),
    (getattr, (FAM, "signature"), {}, None),
    (getattr, (CFG, "bits"), {}, None),
    (setattr, (FAM, "bits", 1), {}, AttributeError),
]


def _run(count):
    cases = CASES
    n = len(cases)
    for i in range(count):
        fn, args, kwargs, _ = cases[i % n]
        try:
            fn(*args, **kwargs)
        except BaseException:  # noqa: BLE001 - every outcome is expected here
            pass


@contextlib.contextmanager
def _quiet_stderr():
    """Internal failures write a diagnostic to fd 2; send it to /dev/null."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("case", range(len(CASES)))
def test_each_case_has_the_expected_outcome(case):
    fn, args, kwargs, expected = CASES[case]
    with _quiet_stderr():
        if expected is None:
            fn(*args, **kwargs)
            return
        with pytest.raises(BaseException) as info:
            fn(*args, **kwargs)
    assert type(info.value) is expected


def test_repeated_calls_do_not_leak_native_memory():
    if SANITIZED:
        pytest.skip("the sanitizer allocator keeps freed memory in quarantine")
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("no /proc/self/statm")
    with _quiet_stderr():
        _run(WARMUP)
        gc.collect()
        rss_before = _rss_bytes()
        _run(CALLS)
        gc.collect()
        rss_after = _rss_bytes()
    rss_growth = rss_after - rss_before
    assert rss_growth < RSS_LIMIT, f"RSS grew by {rss_growth} bytes over {CALLS} calls"


def test_repeated_calls_do_not_leak_python_objects():
    with _quiet_stderr():
        _run(WARMUP)
        gc.collect()
        tracemalloc.start()
        try:
            _run(len(CASES) * 20)  # let tracemalloc's own bookkeeping settle
            gc.collect()
            traced_before, _ = tracemalloc.get_traced_memory()
            _run(CALLS)
            gc.collect()
            traced_after, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
    traced_growth = traced_after - traced_before
    assert traced_growth < TRACED_LIMIT, f"traced memory grew by {traced_growth} bytes over {CALLS} calls"
