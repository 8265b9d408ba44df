"""normalize_vector: worked values, edge cases and a differential property
against the pure-Python model, compared bit for bit."""

from __future__ import annotations

import math
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from support import reference_model as model
from support import worked_examples as worked
import zarvik_lumetra_native as zln
from conftest import describe_floats, same_float, same_floats

INF = math.inf
NAN = math.nan


@pytest.mark.parametrize("vector, expected", worked.NORMALIZE + worked.NORMALIZE_EDGES)
def test_worked_values(vector, expected):
    got = zln.normalize_vector(vector)
    assert type(got) is list and all(type(x) is float for x in got)
    assert same_floats(got, expected), (describe_floats(got), describe_floats(expected))
    assert same_floats(model.normalize_vector(vector), expected)


def test_results_carry_only_32_bit_values():
    (x,) = zln.normalize_vector([0.1])
    assert x == 1.0
    a, b = zln.normalize_vector([3.0, 4.0])
    assert a != 0.6 and struct.unpack("<f", struct.pack("<f", a))[0] == a


@pytest.mark.parametrize(
    "vector",
    [[3.0, 4.0], [0.0, 0.0], [-0.0], [1e-30], [], [NAN], [1e-23, 1e-23]],
)
def test_input_is_not_modified_and_result_is_a_new_list(vector):
    original = list(vector)
    snapshot = [float(x).hex() for x in vector]
    got = zln.normalize_vector(vector)
    assert got is not vector
    assert [float(x).hex() for x in vector] == snapshot
    assert len(vector) == len(original) and all(a is b for a, b in zip(vector, original))
    # A second call gives an equal but distinct list.
    again = zln.normalize_vector(vector)
    assert again is not got and same_floats(again, got)
    got.append(1.0)
    assert same_floats(zln.normalize_vector(vector), again)


def test_sum_is_sequential_in_32_bits():
    # 2**-12 squared is 2**-24, which vanishes next to 1.0 when added after it
    # in 32-bit arithmetic but not when the small terms are summed first.
    small = 2.0**-12
    forward = zln.normalize_vector([1.0] + [small] * 4)
    backward = zln.normalize_vector([small] * 4 + [1.0])
    assert forward[0] == 1.0
    assert backward[-1] < 1.0
    assert same_floats(forward, model.normalize_vector([1.0] + [small] * 4))
    assert same_floats(backward, model.normalize_vector([small] * 4 + [1.0]))


# ---------------------------------------------------------------------------
# Differential property
# ---------------------------------------------------------------------------

F32_MIN_SUBNORMAL = 2.0**-149
F32_MIN_NORMAL = 2.0**-126

special = st.sampled_from(
    [
        0.0,
        -0.0,
        INF,
        -INF,
        NAN,
        -NAN,
        F32_MIN_SUBNORMAL,
        -F32_MIN_SUBNORMAL,
        3 * F32_MIN_SUBNORMAL,
        F32_MIN_NORMAL,
        F32_MIN_NORMAL * (1 - 2.0**-23),  # largest subnormal
        model.F32_MAX,
        -model.F32_MAX,
        1e19,
        1e20,
        -1e20,
        1e38,
        1e39,
        1e300,
        -1e-300,
        5e-324,
        2.6e-23,
        1e-23,
        2.0**-75,
        2.0**64,
    ]
)
f32_values = st.floats(width=32, allow_nan=True, allow_infinity=True)
f64_values = st.floats(allow_nan=True, allow_infinity=True)
subnormal32 = st.integers(min_value=1, max_value=2**23 - 1).map(lambda m: m * F32_MIN_SUBNORMAL) | st.integers(
    min_value=-(2**23) + 1, max_value=-1
).map(lambda m: m * F32_MIN_SUBNORMAL)
moderate = st.floats(min_value=-10.0, max_value=10.0)
ints = st.integers(min_value=-(2**70), max_value=2**70)

element = st.one_of(special, f32_values, f64_values, subnormal32, moderate, ints)


@given(st.lists(element, min_size=0, max_size=300))
@example([])
@example([1e-23] * 300)
@example([1e19] * 3)
@example([F32_MIN_SUBNORMAL] * 300)
@example([-0.0, 0.0, -0.0])
@example([1e18] * 300)
def test_matches_the_model_bit_for_bit(values):
    expected = model.normalize_vector(values)
    got = zln.normalize_vector(values)
    assert len(got) == len(values)
    assert all(type(x) is float for x in got)
    assert same_floats(got, expected), (describe_floats(values), describe_floats(got), describe_floats(expected))


@given(st.lists(st.floats(width=32, allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6), min_size=1, max_size=50))
def test_same_result_for_list_and_tuple_inputs(values):
    a = zln.normalize_vector(values)
    b = zln.normalize_vector(tuple(values))
    assert same_floats(a, b)
    if all(same_float(x, 0.0) for x in values):
        assert same_floats(a, values)
