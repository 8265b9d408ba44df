"""simhash_lsh_multi: worked examples, floors, band cutting, special values,
size limits, interruption, and differential checks of every kernel path
against each other and against the pure-Python model."""

from __future__ import annotations

import math
import os
import random
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, strategies as st

from support.numeric import (
    CAPACITY_OVERFLOW,
    IN_CI,
    PanicException,
    budget,
    f32_from_bits,
    family_tuples,
    model,
    native,
    path_tuples,
    simhash_paths,
    testing_ext,
)
from support import worked_examples as worked
from support.known_answers import known_answers

simhash = native.simhash_lsh_multi
PATHS = simhash_paths()
NON_AUTO_PATHS = [p for p in PATHS if p != "auto"]

F32_MAX = model.F32_MAX
KA = known_answers()
F32_MIN_SUB = f32_from_bits(1)
F32_MAX_SUB = f32_from_bits(0x007FFFFF)
F32_MIN_NORMAL = f32_from_bits(0x00800000)
INF = math.inf
NAN = math.nan


def via_path(vector, families, bits, bands, path):
    return path_tuples(testing_ext.simhash_with_path(vector, families, bits, bands, path))


def model_records(vector, families, bits, bands):
    return [(f, b, s, list(k)) for (f, b, s, k) in model.simhash_lsh_multi(vector, families, bits, bands)]


def bit_at(signature: str, b: int) -> int:
    return (int(signature[b // 4], 16) >> (3 - b % 4)) & 1


# ---------------------------------------------------------------------------
# Worked examples and the sign generator
# ---------------------------------------------------------------------------

def known(vector, families, bits, bands):
    """The request and its records as the known-answer table holds them."""
    case = KA.simhash_case(vector, families, bits, bands)
    return (KA.vectors[vector], families, bits, bands), [tuple(r) for r in case.records]


WORKED = worked.SIMHASH
SIG_ONE = worked.SIGNATURE_ONE_DEFAULTS  # family 0 of [1.0], 256 bits


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("args,expected", WORKED, ids=worked.SIMHASH_IDS)
def test_worked_examples_on_every_path(args, expected, path):
    assert via_path(*args, path) == expected


@pytest.mark.parametrize("args,expected", WORKED, ids=worked.SIMHASH_IDS)
def test_worked_examples_shipped(args, expected):
    assert family_tuples(simhash(*args)) == expected


def test_defaults_one_element():
    sig0 = SIG_ONE
    recs = simhash([1.0])
    assert [r.family for r in recs] == [0, 1, 2]
    assert all(r.bits == 256 and len(r.signature) == 64 for r in recs)
    assert all(len(r.bands) == 16 and all(len(b) == 4 for b in r.bands) for r in recs)
    assert recs[0].signature == sig0
    assert recs[0].bands == [sig0[i : i + 4] for i in range(0, 64, 4)]
    assert recs[0].bands[0] == sig0[:4]
    # family 0's signature does not depend on the number of families or bits
    assert simhash([1.0], 1, 64, 1)[0].signature == sig0[:16]


SIGN_SEQUENCES = {
    (0, 0): "++-+---+---+++-+",
    (0, 1): "---+++-++--+---+",
    (1, 0): "-+---+--++++++--",
}


@pytest.mark.parametrize("path", PATHS)
def test_sign_sequences_through_one_hot_vectors(path):
    # With only element j positive, bit b of family f is that element's sign.
    for j in range(16):
        vector = [0.0] * 16
        vector[j] = 1.0
        recs = via_path(vector, 2, 64, 1, path)
        for (f, b), seq in SIGN_SEQUENCES.items():
            assert bit_at(recs[f][2], b) == (seq[j] == "+"), (f, b, j)


def test_narrowing_before_summing():
    # -(1 - 2**-30) narrows to -1.0; unnarrowed sums would differ.
    a = simhash([1.0, -0.9999999990686774], 1, 64)
    b = simhash([1.0, -1.0], 1, 64)
    assert a[0].signature == b[0].signature == known("narrowed", 1, 64, 16)[1][0][2]
    wide = [
        bit
        for bit in range(64)
        if (1.0 * model.hyperplane_sign(0, bit, 0) + -0.9999999990686774 * model.hyperplane_sign(0, bit, 1))
        > 0
    ]
    narrow = [i for i in range(64) if bit_at(a[0].signature, i)]
    assert narrow != wide


def test_element_order_matters():
    v = [0.3, -0.7, 0.2, 0.9]
    w = [v[1], v[0], v[2], v[3]]
    assert simhash(v)[0].signature != simhash(w)[0].signature


# ---------------------------------------------------------------------------
# Floors, signature lengths and band cutting
# ---------------------------------------------------------------------------

VEC5 = [0.5, -0.25, 0.125, 1.0, -0.75]


@pytest.mark.parametrize(
    "bits,bands,eff_bits,hex_len,chunk,count",
    [
        (256, 16, 256, 64, 4, 16),
        (256, 3, 256, 64, 21, 3),
        (256, 1, 256, 64, 64, 1),
        (256, 0, 256, 64, 64, 1),
        (256, 100, 256, 64, 1, 64),
        (0, 16, 64, 16, 1, 16),
        (1, 16, 64, 16, 1, 16),
        (63, 16, 64, 16, 1, 16),
        (64, 16, 64, 16, 1, 16),
        (64, 0, 64, 16, 16, 1),
        (65, 16, 65, 17, 1, 16),
        (66, 3, 66, 17, 5, 3),
        (100, 16, 100, 25, 1, 16),
        (128, 5, 128, 32, 6, 5),
        (255, 16, 255, 64, 4, 16),
        (257, 16, 257, 65, 4, 16),
        (257, 65, 257, 65, 1, 65),
        (257, 66, 257, 65, 1, 65),
        (64, 2**64 - 1, 64, 16, 1, 16),
    ],
)
def test_floors_and_band_shapes(bits, bands, eff_bits, hex_len, chunk, count):
    recs = simhash(VEC5, 2, bits, bands)
    for r in recs:
        assert r.bits == eff_bits
        assert len(r.signature) == hex_len
        assert r.bands == [r.signature[i * chunk : (i + 1) * chunk] for i in range(count)]
    assert family_tuples(recs) == model_records(VEC5, 2, bits, bands)


@pytest.mark.parametrize("bits,allowed", [(65, "08"), (66, "048c"), (67, "02468ace"), (255, "02468ace"), (257, "08")])
def test_padding_of_the_last_digit(bits, allowed):
    seen = set()
    for seed in range(20):
        rng = random.Random(seed)
        v = [rng.uniform(-1, 1) for _ in range(7)]
        for r in simhash(v, 4, bits):
            assert r.signature[-1] in allowed
            seen.add(r.signature[-1])
    assert len(seen) > 1  # the kept high bits are really signature bits


def test_bits_65_last_character_in_no_band():
    r = simhash(VEC5, 1, 65)[0]
    assert r.bands == list(r.signature[:16])
    r3 = simhash(VEC5, 1, 256, 3)[0]
    assert "".join(r3.bands) == r3.signature[:63]


def test_common_leading_bits_agree_across_bit_counts():
    sigs = {b: simhash(VEC5, 2, b) for b in (64, 65, 66, 100, 128, 255, 256, 257, 1100)}
    for b, recs in sigs.items():
        for f in range(2):
            for i in range(64):
                assert bit_at(recs[f].signature, i) == bit_at(sigs[64][f].signature, i)
    for f in range(2):
        assert sigs[1100][f].signature.startswith(sigs[256][f].signature)


@pytest.mark.parametrize("families", [0, 1])
def test_zero_or_one_family_gives_family_zero(families):
    recs = simhash(VEC5, families)
    assert [r.family for r in recs] == [0]
    assert recs[0].signature == simhash(VEC5)[0].signature


def test_family_signature_independent_of_family_count():
    five = simhash(VEC5, 5)
    assert family_tuples(simhash(VEC5, 3)) == family_tuples(five)[:3]


def test_family_field_wraps_at_65536():
    v = [0.25, -0.5, 1.0]
    recs = simhash(v, 65537, 64, 4)
    assert len(recs) == 65537
    assert recs[65536].family == 65536
    assert recs[65536].signature == recs[0].signature
    assert recs[65536].bands == recs[0].bands
    assert recs[1].signature != recs[0].signature


def test_bit_field_overlaps_family_field():
    # Bit position 2**24 + k of family 0 uses the same key as bit k of
    # family 1: (2**24 + k) << 24 == 2**48 ^ (k << 24) for k < 2**24.
    v = [0.5, -0.25, 1.0, 0.125]
    bits = 2**24 + 64
    recs = simhash(v, 2, bits, 1)
    assert recs[0].bits == bits and len(recs[0].signature) == 2**22 + 16
    assert recs[0].signature[2**22 :] == recs[1].signature[:16]
    expected = []
    for b in range(2**24, 2**24 + 64):
        acc = -0.0
        for j, x in enumerate(v):
            acc += x if model.hyperplane_sign(0, b, j) > 0 else -x
        expected.append(1 if acc > 0.0 else 0)
    assert recs[0].signature[2**22 :] == model.bits_to_hex(expected)


# ---------------------------------------------------------------------------
# Special vectors
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize(
    "vector",
    [[], [0.0], [-0.0], [0.0, -0.0, 0.0], [-0.0] * 40, [NAN], [1.0, NAN, -1.0], [NAN] + [1.0] * 30, [1e-46, -1e-46]],
    ids=["empty", "zero", "neg-zero", "mixed-zeros", "many-neg-zeros", "nan", "nan-middle", "nan-first", "underflow"],
)
def test_all_zero_signatures(vector, path):
    for f, b, sig, bands in via_path(vector, 3, 257, 16, path):
        assert set(sig) == {"0"}
        assert all(set(x) == {"0"} for x in bands)


def test_single_infinity_gives_its_sign_pattern():
    for v in ([INF, 1.0, -3.0, 2.5], [1e39, 0.5], [F32_MAX * 2, -0.5]):
        rec = simhash(v, 2, 128)
        for f in range(2):
            expected = [1 if model.hyperplane_sign(f, b, 0) > 0 else 0 for b in range(128)]
            assert rec[f].signature == model.bits_to_hex(expected)


def test_overflowing_python_float_is_an_infinity():
    assert family_tuples(simhash([1e39, 0.25])) == family_tuples(simhash([INF, 0.25]))
    assert family_tuples(simhash([-1e39])) == family_tuples(simhash([-INF]))


def test_opposite_infinities_give_nan_sums():
    v = [INF, -INF]
    recs = simhash(v, 2, 256)
    for f in range(2):
        expected = [
            1 if (model.hyperplane_sign(f, b, 0) > 0 and model.hyperplane_sign(f, b, 1) < 0) else 0
            for b in range(256)
        ]
        assert recs[f].signature == model.bits_to_hex(expected)


def test_lshfamily_attributes_reflect_effective_values():
    recs = simhash(VEC5, 0, 3, 0)
    assert len(recs) == 1
    r = recs[0]
    assert type(r).__name__ == "LshFamily"
    assert (r.family, r.bits, r.signature, r.bands) == (0, 64, r.signature, [r.signature])
    assert isinstance(r.bits, int) and isinstance(r.bands, list)


# ---------------------------------------------------------------------------
# Differential checks: every path against the model and against each other
# ---------------------------------------------------------------------------

SPECIAL_ELEMENTS = [
    0.0,
    -0.0,
    F32_MIN_SUB,
    -F32_MIN_SUB,
    F32_MAX_SUB,
    F32_MIN_NORMAL,
    -F32_MIN_NORMAL,
    1e-46,  # rounds to zero in binary32
    F32_MAX,
    -F32_MAX,
    1e39,  # an infinity after narrowing
    INF,
    -INF,
    NAN,
    1.0,
    -1.0,
    1e30,
    -1e30,
    1e-30,
    0.9999999990686774,
]

element = st.one_of(
    st.floats(width=32),
    st.floats(-2.0, 2.0, allow_nan=False),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(SPECIAL_ELEMENTS),
    st.integers(-(2**30), 2**30),
)
BITS_CHOICES = [0, 1, 3, 17, 63, 64, 65, 66, 67, 100, 127, 128, 129, 191, 255, 256, 257, 320, 513]


@budget(150, 25)
@given(
    vector=st.lists(element, min_size=0, max_size=40),
    families=st.integers(1, 4),
    bits=st.sampled_from(BITS_CHOICES),
    bands=st.integers(0, 70),
)
def test_every_path_matches_model_on_short_vectors(vector, families, bits, bands):
    expected = model_records(vector, families, bits, bands)
    for path in PATHS:
        assert via_path(vector, families, bits, bands, path) == expected, path
    assert family_tuples(simhash(vector, families, bits, bands)) == expected


def random_long_vector(rng: random.Random, n: int) -> list:
    kind = rng.randrange(4)
    if kind == 0:
        v = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    elif kind == 1:  # log-spread magnitudes: cancellation and absorption
        v = [rng.choice((-1.0, 1.0)) * 10.0 ** rng.uniform(-30, 30) for _ in range(n)]
    elif kind == 2:  # few distinct values: many exact ties and zero sums
        pool = [0.5, -0.5, 0.25, -0.25, 1.0, -1.0, 0.0, -0.0]
        v = [rng.choice(pool) for _ in range(n)]
    else:  # gaussian-like embedding, normalised
        v = [rng.gauss(0.0, 1.0) for _ in range(n)]
        norm = math.sqrt(sum(x * x for x in v)) or 1.0
        v = [x / norm for x in v]
    for _ in range(rng.randrange(3)):
        if n:
            v[rng.randrange(n)] = rng.choice(SPECIAL_ELEMENTS)
    return v


@budget(60, 12)
@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.one_of(st.integers(0, 2000), st.sampled_from([1, 7, 8, 15, 16, 17, 31, 32, 33, 511, 512, 513, 1023, 1024, 1025])),
    families=st.one_of(st.integers(1, 4), st.sampled_from([16, 17, 20])),
    bits=st.sampled_from(BITS_CHOICES + [1024, 1025, 1100]),
    bands=st.integers(0, 70),
)
def test_every_path_matches_uncached_scalar_on_long_vectors(seed, n, families, bits, bands):
    vector = random_long_vector(random.Random(seed), n)
    expected = via_path(vector, families, bits, bands, "scalar_uncached")
    for path in NON_AUTO_PATHS + ["auto"]:
        assert via_path(vector, families, bits, bands, path) == expected, path
    assert family_tuples(simhash(vector, families, bits, bands)) == expected


def test_paths_agree_across_changing_request_shapes():
    # Requests of growing and shrinking shape, so any reused sign tables are
    # exercised after being built for a different shape.
    rng = random.Random(7)
    shapes = [(16, 1024, 300), (2, 64, 4000), (17, 1025, 50), (1, 64, 1), (16, 1024, 513), (3, 256, 2000), (4, 128, 10)]
    for families, bits, n in shapes:
        v = random_long_vector(rng, n)
        expected = via_path(v, families, bits, 16, "scalar_uncached")
        for path in PATHS:
            assert via_path(v, families, bits, 16, path) == expected, (path, families, bits, n)


@pytest.mark.skipif(IN_CI, reason="about two seconds of scalar work")
def test_paths_agree_beyond_the_sign_table_size():
    # 16 families x 1024 bits x 8193 elements is just over 2**21 64-bit sign
    # words, so table-backed paths must fall back or refill.
    rng = random.Random(11)
    v = [rng.uniform(-1.0, 1.0) for _ in range(8193)]
    expected = via_path(v, 16, 1024, 16, "scalar_uncached")
    for path in NON_AUTO_PATHS + ["auto"]:
        assert via_path(v, 16, 1024, 16, path) == expected, path


def test_shipped_function_equals_auto_path():
    rng = random.Random(3)
    for n in (0, 1, 5, 384, 768):
        v = random_long_vector(rng, n)
        for families, bits, bands in ((3, 256, 16), (1, 65, 0), (5, 100, 7)):
            assert family_tuples(simhash(v, families, bits, bands)) == via_path(v, families, bits, bands, "auto")


def test_unknown_path_name_is_rejected():
    with pytest.raises(ValueError):
        testing_ext.simhash_with_path([1.0], 1, 64, 1, "no-such-path")


# ---------------------------------------------------------------------------
# Size limits and interruption
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs",
    [dict(families=2**57), dict(bits=2**63), dict(families=2**64 - 1), dict(bits=2**64 - 1), dict(families=2**57, bits=2**63)],
)
def test_capacity_overflow(kwargs):
    with pytest.raises(PanicException) as info:
        simhash([1.0, 2.0], **kwargs)
    assert str(info.value) == CAPACITY_OVERFLOW


@pytest.mark.parametrize(
    "kwargs", [dict(families=2**57 - 1), dict(bits=2**63 - 1), dict(families=10**15), dict(bits=2**62, bands=1)]
)
def test_hopeless_sizes_fail_fast_with_memory_error(kwargs):
    start = time.perf_counter()
    with pytest.raises(MemoryError):
        simhash([1.0, -1.0, 0.5], **kwargs)
    assert time.perf_counter() - start < 1.0


INTERRUPT_VECTOR = [((i * 37) % 101 - 50) / 50.0 for i in range(2000)]


def _long_call(path):
    # Minutes of work if nothing stops it.
    if path is None:
        return simhash(INTERRUPT_VECTOR, 3, 2**26)
    return testing_ext.simhash_with_path(INTERRUPT_VECTOR, 3, 2**26, 16, path)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX interval timers (signal.setitimer)")
@pytest.mark.parametrize("path", [None] + PATHS)
def test_long_request_stops_on_keyboard_interrupt_from_a_timer(path):
    # The computation holds the interpreter lock, so the signal must come
    # from the kernel (an interval timer), not from another Python thread.
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.15)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            _long_call(path)
            time.sleep(5)  # absorbs the signal should the call return first
        elapsed = time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert elapsed < 1.0
    # the module is still usable afterwards
    assert simhash([1.0], 1, 64)[0].signature == SIG_ONE[:16]


@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT from another process with sh and kill (POSIX)")
def test_long_request_stops_on_sigint_from_another_process():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    killer = None
    try:
        start = time.perf_counter()
        killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
        with pytest.raises(KeyboardInterrupt):
            _long_call(None)
            time.sleep(5)
        elapsed = time.perf_counter() - start
    finally:
        if killer is not None:
            killer.wait()
        signal.signal(signal.SIGINT, previous)
    assert elapsed < 1.5


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs POSIX interval timers (signal.setitimer)")
def test_exception_of_any_signal_handler_propagates():
    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop("from handler")

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        start = time.perf_counter()
        with pytest.raises(Stop, match="from handler"):
            _long_call(None)
            time.sleep(5)
        assert time.perf_counter() - start < 1.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
