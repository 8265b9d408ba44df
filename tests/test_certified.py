"""The certified simhash path against the exact ones, bit for bit.

The certified path settles most bits from integer estimates with guaranteed
error bounds and sums only the doubtful ones exactly; these tests feed it
the vectors that make estimates doubtful (cancellation, terms lost to
rounding, exact zeros, extreme exponents) and compare every signature with
the plain ordered loop ('scalar_uncached') and the fastest exact kernel
('exact_auto').
"""

from __future__ import annotations

import math
import random
import struct

import pytest
from hypothesis import given, strategies as st

import zarvik_lumetra_native as native
from support.numeric import testing_ext

F32_MAX = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]
F32_TINY = struct.unpack("<f", struct.pack("<I", 1))[0]


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def f32_next_up(x: float) -> float:
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    if x >= 0:
        bits += 1
    else:
        bits -= 1
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def signatures(v, families, bits, path):
    return [r[2] for r in testing_ext.simhash_with_path(v, families, bits, 16, path)]


def assert_same(v, families=2, bits=256):
    exact = signatures(v, families, bits, "scalar_uncached")
    assert signatures(v, families, bits, "certified") == exact
    assert signatures(v, families, bits, "exact_auto") == exact
    assert [r.signature for r in native.simhash_lsh_multi(v, families, bits)] == exact


def test_paths_are_offered():
    paths = testing_ext.simhash_paths()
    assert "certified" in paths and "exact_auto" in paths


@pytest.mark.parametrize("a", [1.0, 3.0, 1e30, 1e-30, 0.7])
@pytest.mark.parametrize("shift", [54, 60, 75])
@pytest.mark.parametrize("m", [10, 300, 2000])
def test_terms_lost_against_a_large_element(a, shift, m):
    # [a, small..., -a]: every small term vanishes against a, so where a and
    # -a cancel the ordered sum is exactly 0 (bit 0) and the exact sum is not.
    a = f32(a)
    tiny = f32(math.ldexp(a, -shift)) or F32_TINY  # below binary32's range: the smallest subnormal
    assert_same([a] + [tiny] * m + [-a])
    mixed = [a] + [(-tiny if i % 3 == 0 else f32(tiny * (1 + i % 5))) for i in range(m)] + [-a]
    assert_same(mixed, 1, 128)


@pytest.mark.parametrize("n", [1, 5, 64, 384, 768, 3000])
def test_pairs_and_near_cancelling_sets(n):
    rng = random.Random(n)
    v = [f32(rng.uniform(-1.0, 1.0)) for _ in range(n)]
    assert_same(v + [-x for x in v])
    pairs = [y for x in v for y in (x, -x)]
    assert_same(pairs)
    one_ulp = [y for x in v for y in (x, -f32_next_up(x))]
    assert_same(one_ulp)
    shuffled = v[:]
    rng.shuffle(shuffled)
    assert_same(v + [-(f32_next_up(x) if i % 5 == 0 else x) for i, x in enumerate(shuffled)])


@pytest.mark.parametrize("n", [1, 2, 63, 64, 65, 768, 1000, 3072])
@pytest.mark.parametrize("c", [0.25, -1.0, 3.0e38, 1e-45, 0.1, 0.0, -0.0])
def test_constant_vectors(n, c):
    assert_same([c] * n)


def test_every_exponent_and_the_largest_magnitudes():
    rng = random.Random(7)
    for n in (3, 50, 768, 2000):
        v = []
        for _ in range(n):
            bits = rng.randrange(0, 0x7F800000) | (rng.randrange(2) << 31)
            v.append(struct.unpack("<f", struct.pack("<I", bits))[0])
        assert_same(v)
        big = [F32_MAX if rng.random() < 0.5 else -F32_MAX for _ in range(n)]
        assert_same(big)
        assert_same([F32_TINY * rng.randrange(-8, 9) for _ in range(n)])
        assert_same([F32_MAX, -F32_MAX] + [F32_TINY] * n)


def test_non_finite_elements():
    v = [0.5] * 300
    v[3] = math.inf
    assert_same(v)
    v[200] = -math.inf
    assert_same(v)
    v[7] = math.nan
    assert_same(v)
    assert_same([1e39, 1.0])  # too large for binary32: infinite after conversion


@pytest.mark.parametrize("n", [10, 768, 4097, 10000])
def test_long_random_vectors(n):
    rng = random.Random(n)
    v = [rng.gauss(0.0, 1.0) for _ in range(n)]
    assert_same(v, 2 if n > 4000 else 3, 128 if n > 4000 else 256)


def test_odd_shapes():
    rng = random.Random(3)
    v = [rng.gauss(0.0, 1.0) for _ in range(700)]
    for families, bits in ((1, 64), (1, 65), (2, 100), (17, 64), (1, 1088)):
        assert_same(v, families, bits)


finite_f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)


@given(st.lists(finite_f32, min_size=1, max_size=200))
def test_arbitrary_vectors(v):
    assert_same(v, 1, 128)


@given(st.lists(finite_f32, min_size=1, max_size=60), st.integers(0, 3))
def test_vector_followed_by_its_negation(v, rot):
    w = v[rot % len(v):] + v[: rot % len(v)]
    assert_same(v + [-x for x in w], 1, 128)


@given(st.floats(min_value=f32(1e-30), max_value=f32(1e30), width=32), st.integers(54, 80), st.integers(1, 400))
def test_lost_terms_property(a, shift, m):
    tiny = f32(math.ldexp(a, -shift))
    if tiny == 0.0:
        return
    assert_same([a] + [tiny] * m + [-a], 1, 128)
