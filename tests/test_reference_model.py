"""Pins the pure-Python reference model to the documented worked examples
and edge cases, so that it can serve as an oracle for the native module.

Needs only the standard library, pytest and hypothesis (numpy is used for one
optional cross-check when present).
"""

from __future__ import annotations

import hashlib
import math
import os
import struct
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # for tests/support

from support import reference_model as m  # noqa: E402
from support import worked_examples as worked  # noqa: E402

FAST = settings(max_examples=300, deadline=None)


def fhex(values):
    return [float(v).hex() for v in values]


def f32_values():
    return st.floats(width=32, allow_nan=False)


# ---------------------------------------------------------------------------
# binary32 narrowing and arithmetic
# ---------------------------------------------------------------------------


class TestToF32:
    def test_simple_values(self):
        assert m.to_f32(1.0) == 1.0
        assert m.to_f32(0.1) == 0.10000000149011612
        assert m.to_f32(0.6) == 0.6000000238418579
        assert m.to_f32(1e-30) == 1.0000000031710769e-30

    def test_nan_inf_and_zeros(self):
        assert math.isnan(m.to_f32(math.nan))
        assert m.to_f32(math.inf) == math.inf
        assert m.to_f32(-math.inf) == -math.inf
        assert math.copysign(1.0, m.to_f32(-0.0)) == -1.0
        assert math.copysign(1.0, m.to_f32(0.0)) == 1.0

    def test_overflow_to_infinity(self):
        assert m.to_f32(1e39) == math.inf
        assert m.to_f32(-1e39) == -math.inf
        assert m.to_f32(sys.float_info.max) == math.inf

    def test_overflow_boundary_is_exact(self):
        f32max = m.F32_MAX
        assert f32max == 3.4028234663852886e38
        half_ulp = math.ldexp(1.0, 103)
        boundary = f32max + half_ulp  # exact in binary64
        assert Fraction(boundary) == Fraction(f32max) + Fraction(2) ** 103
        # tie between F32_MAX (odd significand) and 2**128 (even): infinity
        assert m.to_f32(boundary) == math.inf
        assert m.to_f32(-boundary) == -math.inf
        below = math.nextafter(boundary, 0.0)
        assert m.to_f32(below) == f32max
        assert m.to_f32(-below) == -f32max

    def test_ties_to_even(self):
        one_plus_half_ulp = 1.0 + math.ldexp(1.0, -24)
        assert m.to_f32(one_plus_half_ulp) == 1.0
        three_half_ulps = 1.0 + 3 * math.ldexp(1.0, -24)
        assert m.to_f32(three_half_ulps) == 1.0 + math.ldexp(1.0, -22)
        assert m.to_f32(math.nextafter(one_plus_half_ulp, 2.0)) == 1.0 + math.ldexp(
            1.0, -23
        )

    def test_subnormals(self):
        tiny = math.ldexp(1.0, -149)
        assert m.to_f32(tiny) == tiny
        assert m.to_f32(math.ldexp(1.0, -150)) == 0.0  # tie -> even (zero)
        assert m.to_f32(math.nextafter(math.ldexp(1.0, -150), 1.0)) == tiny
        assert m.to_f32(3 * math.ldexp(1.0, -150)) == 2 * tiny  # tie -> even
        neg = m.to_f32(-math.ldexp(1.0, -151))
        assert neg == 0.0 and math.copysign(1.0, neg) == -1.0

    @FAST
    @given(st.floats(allow_nan=False))
    def test_matches_struct_roundtrip(self, x):
        try:
            expected = struct.unpack("<f", struct.pack("<f", x))[0]
        except OverflowError:
            expected = math.copysign(math.inf, x)
        got = m.to_f32(x)
        assert got.hex() == expected.hex()

    @FAST
    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_is_nearest_binary32(self, x):
        got = m.to_f32(x)
        if math.isinf(got):
            assert abs(Fraction(x)) >= Fraction(m.F32_MAX) + Fraction(2) ** 103
            return
        # got is a binary32 value and no binary32 value is nearer
        assert struct.unpack("<f", struct.pack("<f", got))[0] == got
        up = struct.unpack("<f", struct.pack("<f", got))[0]
        bits = struct.unpack("<I", struct.pack("<f", up))[0]
        for nb in (bits - 1, bits + 1):
            if 0 <= nb < 0x7F800000 or 0x80000000 <= nb < 0xFF800000:
                other = struct.unpack("<f", struct.pack("<I", nb))[0]
                assert abs(Fraction(x) - Fraction(got)) <= abs(
                    Fraction(x) - Fraction(other)
                )


class TestF32Arithmetic:
    @FAST
    @given(f32_values(), f32_values())
    def test_exact_rounding_against_fractions(self, a, b):
        for op, exact in (
            (m.f32_add, lambda: Fraction(a) + Fraction(b)),
            (m.f32_mul, lambda: Fraction(a) * Fraction(b)),
        ):
            if math.isinf(a) or math.isinf(b):
                continue
            got = op(a, b)
            ref = _round_fraction_to_f32(exact())
            assert got == ref or (got == 0.0 and ref == 0.0)
        if b != 0.0 and not (math.isinf(a) or math.isinf(b)):
            got = m.f32_div(a, b)
            ref = _round_fraction_to_f32(Fraction(a) / Fraction(b))
            assert got == ref or (got == 0.0 and ref == 0.0)

    def test_div_by_zero_and_sqrt_edge_values(self):
        assert m.f32_div(1.0, 0.0) == math.inf
        assert m.f32_div(-1.0, 0.0) == -math.inf
        assert m.f32_div(1.0, -0.0) == -math.inf
        assert math.isnan(m.f32_div(0.0, 0.0))
        assert math.isnan(m.f32_sqrt(-1.0))
        assert math.copysign(1.0, m.f32_sqrt(-0.0)) == -1.0
        assert m.f32_sqrt(math.inf) == math.inf
        assert m.f32_sqrt(4.0) == 2.0
        assert m.f32_mul(1e20, 1e20) == math.inf  # operands as given, overflow

    def test_numpy_cross_check(self):
        np = pytest.importorskip("numpy")
        import random

        rng = random.Random(1234)
        for _ in range(2000):
            a = m.to_f32(rng.uniform(-1e3, 1e3) * 10 ** rng.randint(-20, 20))
            b = m.to_f32(rng.uniform(-1e3, 1e3) * 10 ** rng.randint(-20, 20))
            fa, fb = np.float32(a), np.float32(b)
            with np.errstate(all="ignore"):
                assert m.f32_add(a, b) == float(fa + fb)
                assert m.f32_mul(a, b) == float(fa * fb)
                assert m.f32_div(a, b) == float(fa / fb)
                assert m.f32_sqrt(abs(a)) == float(np.sqrt(np.float32(abs(a))))


def _float_or_inf(q: Fraction) -> float:
    try:
        return float(q)
    except OverflowError:
        return math.inf


def _round_fraction_to_f32(q: Fraction) -> float:
    """Exact rational -> nearest binary32 (ties to even), for cross-checks."""
    if q == 0:
        return 0.0
    sign = -1 if q < 0 else 1
    a = abs(q)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    while Fraction(2) ** e > a:
        e -= 1
    while Fraction(2) ** (e + 1) <= a:
        e += 1
    qexp = max(e - 23, -149)
    scaled = a / Fraction(2) ** qexp
    r = scaled.numerator // scaled.denominator
    rem = scaled - r
    if rem > Fraction(1, 2) or (rem == Fraction(1, 2) and r % 2 == 1):
        r += 1
    if r * Fraction(2) ** qexp >= Fraction(2) ** 128:
        return sign * math.inf
    return sign * math.ldexp(r, qexp)


# ---------------------------------------------------------------------------
# Element conversion
# ---------------------------------------------------------------------------


class TestElementConversion:
    def test_exact_float_and_ints(self):
        assert m.element_to_f32(0.5) == 0.5
        assert m.element_to_f32(3) == 3.0
        assert m.element_to_f32(True) == 1.0
        assert m.float_vector(b"\x01\x02") == [1.0, 2.0]
        assert m.float_vector(range(3)) == [0.0, 1.0, 2.0]
        assert m.float_vector((1, True, 2.5)) == [1.0, 1.0, 2.5]

    def test_narrowing(self):
        assert m.float_vector([1e39, -1e39]) == [math.inf, -math.inf]
        assert m.float_vector([0.1]) == [0.10000000149011612]
        assert math.isnan(m.float_vector([math.nan])[0])
        assert m.element_to_f32(2**24 + 1) == 2.0**24  # tie to even

    def test_refusals(self):
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
            m.float_vector("0.5")

        class S(str):
            pass

        with pytest.raises(TypeError):
            m.float_vector(S("1"))
        with pytest.raises(TypeError):
            m.float_vector([1.0, "2"])  # strings are never parsed
        with pytest.raises(OverflowError):
            m.float_vector([10**400])

    def test_dunder_protocols(self):
        class Idx:
            def __index__(self):
                return 5

        class Flt:
            def __float__(self):
                return 0.1

        class FSub(float):
            def __float__(self):  # must not be consulted
                return 99.0

        assert m.element_to_f32(Idx()) == 5.0
        assert m.element_to_f32(Flt()) == m.to_f32(0.1)
        assert m.element_to_f32(FSub(0.25)) == 0.25

    def test_u64(self):
        assert m.to_u64(True) == 1
        assert m.to_u64(2**64 - 1) == 2**64 - 1
        with pytest.raises(OverflowError):
            m.to_u64(2**64)
        with pytest.raises(OverflowError):
            m.to_u64(-1)
        with pytest.raises(TypeError):
            m.to_u64(1.0)
        with pytest.raises(TypeError):
            m.to_u64(None)


# ---------------------------------------------------------------------------
# SimHash signatures and bands
# ---------------------------------------------------------------------------


def _signs(f, b):
    return " ".join("+" if m.hyperplane_sign(f, b, j) > 0 else "-" for j in range(16))


class TestHyperplaneSign:
    def test_key_zero(self):
        assert m.splitmix64(0) == 0xE220A8397B1DCDAF
        assert m.sign_mix32(0) == 0xBF5C9DDF
        assert m.hyperplane_sign(0, 0, 0) == 1

    def test_check_sequences(self):
        assert _signs(0, 0) == "+ + - + - - - + - - - + + + - +"
        assert _signs(0, 1) == "- - - + + + - + + - - + - - - +"
        assert _signs(1, 0) == "- + - - - + - - + + + + + + - -"

    @FAST
    @given(st.integers(0, 2**64 - 1))
    def test_bit0_equals_splitmix64_bit0(self, key):
        assert (m.sign_mix32(key) & 1) == (m.splitmix64(key) & 1)

    def test_key_layout_xor_and_wrap(self):
        assert m.sign_key(1, 0, 0) == 1 << 48
        assert m.sign_key(0, 1, 0) == 1 << 24
        assert m.sign_key(0, 1, 1 << 24) == 0  # XOR, fields overlap
        assert m.sign_key(1 << 16, 0, 0) == 0  # shifted past bit 63
        assert m.sign_key(3, 5, 7) == (3 << 48) ^ (5 << 24) ^ 7
        assert m.hyperplane_sign(65536 + 3, 9, 2) == m.hyperplane_sign(3, 9, 2)


class TestBitsToHexAndBands:
    def test_bits_to_hex(self):
        assert m.bits_to_hex([1, 0, 0, 1, 1, 1, 1, 1]) == "9f"
        assert m.bits_to_hex([1]) == "8"
        assert m.bits_to_hex([0]) == "0"
        assert m.bits_to_hex([1, 1]) == "c"
        assert m.bits_to_hex([0, 1, 1]) == "6"
        assert m.bits_to_hex([1, 1, 1, 1] * 2 + [1]) == "ff8"
        assert m.bits_to_hex([]) == ""

    @pytest.mark.parametrize(
        "bits,bands,H,chunk,count,uncovered",
        [
            (256, 16, 64, 4, 16, 0),
            (256, 3, 64, 21, 3, 1),
            (256, 1, 64, 64, 1, 0),
            (256, 0, 64, 64, 1, 0),
            (256, 100, 64, 1, 64, 0),
            (0, 16, 16, 1, 16, 0),
            (1, 16, 16, 1, 16, 0),
            (33, 16, 16, 1, 16, 0),
            (64, 16, 16, 1, 16, 0),
            (64, 0, 16, 16, 1, 0),
            (65, 16, 17, 1, 16, 1),
            (66, 3, 17, 5, 3, 2),
            (100, 16, 25, 1, 16, 9),
            (128, 5, 32, 6, 5, 2),
        ],
    )
    def test_band_table(self, bits, bands, H, chunk, count, uncovered):
        (rec,) = m.simhash_lsh_multi([1.0], families=1, bits=bits, bands=bands)
        fam, B, sig, bl = rec
        assert fam == 0 and B == max(bits, 64)
        assert len(sig) == H
        assert len(bl) == count
        assert all(len(x) == chunk for x in bl)
        assert "".join(bl) == sig[: count * chunk]
        assert H - count * chunk == uncovered

    def test_split_bands_direct(self):
        sig = "0123456789abcdef"
        assert m.split_bands(sig, 4) == ["0123", "4567", "89ab", "cdef"]
        assert m.split_bands(sig, 1) == [sig]
        assert m.split_bands(sig, 100) == list(sig)
        assert m.split_bands(sig, 3) == ["01234", "56789", "abcde"]


class TestSimhashWorkedExamples:
    @pytest.mark.parametrize("args,expected", worked.SIMHASH, ids=worked.SIMHASH_IDS)
    def test_worked_example(self, args, expected):
        assert m.simhash_lsh_multi(*args) == expected

    def test_defaults(self):
        res = m.simhash_lsh_multi([1.0])
        assert [r[0] for r in res] == [0, 1, 2]
        assert all(r[1] == 256 for r in res)
        assert all(len(r[2]) == 64 and len(r[3]) == 16 for r in res)
        assert all(all(len(b) == 4 for b in r[3]) for r in res)
        assert res[0][2] == worked.SIGNATURE_ONE_DEFAULTS
        assert res[0][3][0] == "9f17"

    def test_single_positive_element_is_sign_generator(self):
        for f in range(2):
            bits = m.simhash_bits([0.75], f, 64)
            assert bits == [1 if m.hyperplane_sign(f, b, 0) > 0 else 0 for b in range(64)]

    def test_floors(self):
        assert [r[0] for r in m.simhash_lsh_multi([1.0], families=0, bits=64)] == [0]
        for bits in (0, 1, 64):
            (r,) = m.simhash_lsh_multi([1.0], families=1, bits=bits)
            assert r[1] == 64 and len(r[2]) == 16
        (r,) = m.simhash_lsh_multi([1.0], families=1, bits=64, bands=0)
        assert r[3] == [r[2]]

    def test_65_bits(self):
        for v in ([1.0], [-1.0], [0.3, -0.2]):
            (r,) = m.simhash_lsh_multi(v, families=1, bits=65)
            assert len(r[2]) == 17 and r[2][-1] in "08"
            assert len(r[3]) == 16 and "".join(r[3]) == r[2][:16]

    def test_256_bits_3_bands(self):
        (r,) = m.simhash_lsh_multi([1.0], families=1, bits=256, bands=3)
        assert [len(b) for b in r[3]] == [21, 21, 21]
        assert "".join(r[3]) == r[2][:63]

    def test_zero_and_empty_vectors(self):
        for v in ([], [0.0], [-0.0, 0.0, -0.0]):
            for r in m.simhash_lsh_multi(v, families=2, bits=70, bands=5):
                assert set(r[2]) == {"0"} and all(set(b) == {"0"} for b in r[3])

    def test_nan_gives_zero_bits(self):
        for r in m.simhash_lsh_multi([1.0, math.nan, 2.0], families=2, bits=64):
            assert r[2] == "0" * 16

    def test_infinities(self):
        bits = m.simhash_bits(m.float_vector([math.inf, 1.0, -3.0]), 0, 64)
        assert bits == [1 if m.hyperplane_sign(0, b, 0) > 0 else 0 for b in range(64)]
        assert m.simhash_lsh_multi([1e39], families=2, bits=64) == m.simhash_lsh_multi(
            [math.inf], families=2, bits=64
        )
        # +inf and -inf: NaN where the signs agree on opposite values
        bits = m.simhash_bits([math.inf, -math.inf], 0, 64)
        for b in range(64):
            s0, s1 = m.hyperplane_sign(0, b, 0), m.hyperplane_sign(0, b, 1)
            expected = 1 if (s0 > 0 and s1 < 0) else 0
            assert bits[b] == expected

    def test_narrowing_before_summing(self):
        a = m.simhash_lsh_multi([1.0, -0.9999999990686774], families=1, bits=64)
        b = m.simhash_lsh_multi([1.0, -1.0], families=1, bits=64)
        assert a == b
        assert a[0][2] == "1016120878124811"
        for bit in range(64):
            expected = (
                1
                if m.hyperplane_sign(0, bit, 0) > 0 and m.hyperplane_sign(0, bit, 1) < 0
                else 0
            )
            assert m.simhash_bits([1.0, -1.0], 0, 64)[bit] == expected
        # unnarrowed values would give a different signature
        raw = m.bits_to_hex(m.simhash_bits([1.0, -0.9999999990686774], 0, 64))
        assert raw != "1016120878124811"

    def test_summation_starts_at_negative_zero(self):
        # an element of -0.0 with sign + leaves the sum at -0.0 (bit 0), and
        # +0.0 with sign - gives -0.0 as well
        assert m.simhash_bits([-0.0], 0, 64) == [0] * 64

    def test_order_matters(self):
        a = m.simhash_lsh_multi([1.0, 2.0], families=1, bits=64)
        b = m.simhash_lsh_multi([2.0, 1.0], families=1, bits=64)
        assert a != b

    def test_independence_of_F_B_K(self):
        v = [0.3, -0.1, 0.7]
        three = m.simhash_lsh_multi(v, families=3, bits=128)
        one = m.simhash_lsh_multi(v, families=1, bits=128)
        assert three[0] == one[0]
        short = m.simhash_lsh_multi(v, families=1, bits=64)[0][2]
        assert three[0][2].startswith(short)

    def test_family_wraps_after_65536(self):
        v = [0.25, -0.5, 1.0]
        assert m.simhash_bits(v, 65536, 64) == m.simhash_bits(v, 0, 64)
        assert m.simhash_bits(v, 65537, 64) == m.simhash_bits(v, 1, 64)

    def test_capacity_overflow(self):
        with pytest.raises(m.ModelPanic, match="^capacity overflow$"):
            m.simhash_lsh_multi([1.0], families=2**57)
        with pytest.raises(m.ModelPanic, match="^capacity overflow$"):
            m.simhash_lsh_multi([1.0], bits=2**63)

    def test_conversion_errors(self):
        with pytest.raises(TypeError):
            m.simhash_lsh_multi([1.0], bands=None)
        with pytest.raises(TypeError):
            m.simhash_lsh_multi("1.0")
        with pytest.raises(OverflowError):
            m.simhash_lsh_multi([1.0], families=-1)


# ---------------------------------------------------------------------------
# Vector normalisation
# ---------------------------------------------------------------------------

NAN = math.nan
INF = math.inf


class TestNormalize:
    @pytest.mark.parametrize("inp,out", worked.NORMALIZE)
    def test_worked_values(self, inp, out):
        got = m.normalize_vector(inp)
        assert fhex(got) == fhex(out)

    def test_input_not_modified_and_new_list(self):
        v = [0.0, 0.0]
        out = m.normalize_vector(v)
        assert out == v and out is not v

    def test_ints_accepted(self):
        assert fhex(m.normalize_vector([3, 4])) == fhex(m.normalize_vector([3.0, 4.0]))

    def test_tiny_squares_unchanged(self):
        x = math.ldexp(1.0, -75)
        assert m.normalize_vector([x, -x]) == [x, -x]
        y = math.ldexp(1.0, -74)
        assert m.normalize_vector([y]) == [1.0]

    def test_sequential_f32_sum(self):
        # 2**24 + 1 + 1 in binary32 stays 2**24 when summed in order
        v = [4096.0, 1.0, 1.0]  # squares: 2**24, 1, 1
        s = m.f32_add(m.f32_add(m.f32_add(-0.0, 2.0**24), 1.0), 1.0)
        assert s == 2.0**24
        assert m.normalize_vector(v) == [1.0, 1.0 / 4096, 1.0 / 4096]

    @FAST
    @given(st.lists(f32_values(), max_size=6))
    def test_matches_exact_rational_steps(self, v):
        if any(math.isinf(x) for x in v):
            return
        sf = -0.0
        for x in v:
            sq = _round_fraction_to_f32(Fraction(x) * Fraction(x))
            if math.isinf(sq) or math.isinf(sf):
                sf = math.inf
            else:
                sf = _round_fraction_to_f32(Fraction(sf) + Fraction(sq))
        got = m.normalize_vector(v)
        if not v:
            assert got == []
            return
        if sf == 0.0:
            assert fhex(got) == fhex(v)
            return
        if math.isinf(sf):
            assert fhex(got) == fhex([math.copysign(0.0, x) for x in v])
            return
        mag = m.f32_sqrt(sf)
        # mag is the binary32 value nearest to the exact square root of sf
        bits = struct.unpack("<I", struct.pack("<f", mag))[0]
        lo = struct.unpack("<f", struct.pack("<I", bits - 1))[0]
        hi = struct.unpack("<f", struct.pack("<I", bits + 1))[0]
        lo_mid = (Fraction(lo) + Fraction(mag)) / 2
        hi_mid = (Fraction(hi) + Fraction(mag)) / 2
        assert lo_mid**2 <= Fraction(sf) <= hi_mid**2
        for x, g in zip(v, got):
            ref = _round_fraction_to_f32(Fraction(x) / Fraction(mag))
            assert g == ref


# ---------------------------------------------------------------------------
# Signature comparison
# ---------------------------------------------------------------------------


class TestHamming:
    @pytest.mark.parametrize("a,b,d", worked.HAMMING)
    def test_cases(self, a, b, d):
        assert m.hamming_distance_hex(a, b) == d
        assert m.hamming_distance_hex(b, a) == d

    @pytest.mark.parametrize(
        "a,b", [("0g", "00"), ("0", "x"), ("0x1f", "0x1f"), (" f", "ff"), ("İ", "0")]
    )
    def test_invalid_digits_panic(self, a, b):
        with pytest.raises(m.InvalidDigit) as ei:
            m.hamming_distance_hex(a, b)
        assert str(ei.value) == "called `Option::unwrap()` on a `None` value"
        assert isinstance(ei.value, m.ModelPanic)

    def test_full_lowercase_mapping(self):
        assert "İ".lower() == "i\u0307"
        assert len("İ".lower().encode("utf-8")) == 3
        # final sigma is context dependent; both forms are two bytes
        assert m.hamming_distance_hex("0", "0ΑΣ") == 16

    def test_type_errors(self):
        with pytest.raises(TypeError, match="'bytes' object is not an instance of 'str'"):
            m.hamming_distance_hex(b"ab", "ab")
        with pytest.raises(TypeError, match="'None' is not an instance of 'str'"):
            m.hamming_distance_hex("ab", None)
        with pytest.raises(UnicodeEncodeError):
            m.hamming_distance_hex("\ud800", "0")

    def test_uppercase_digits(self):
        assert m.hamming_distance_hex("FF", "00") == 8
        assert m.hamming_distance_hex("aB", "Ab") == 0

    @FAST
    @given(st.text(alphabet="0123456789abcdefABCDEF", max_size=20),
           st.text(alphabet="0123456789abcdefABCDEF", max_size=20))
    def test_against_integer_xor(self, a, b):
        n = min(len(a), len(b))
        common = bin(int(a[:n] or "0", 16) ^ int(b[:n] or "0", 16)).count("1")
        assert m.hamming_distance_hex(a, b) == common + 4 * abs(len(a) - len(b))


class TestCosine:
    @pytest.mark.parametrize("d,t,expected", worked.COSINE)
    def test_values(self, d, t, expected):
        got = m.cosine_from_hamming(d, t)
        assert got.hex() == expected.hex()

    def test_300_of_256(self):
        assert math.isclose(
            m.cosine_from_hamming(300, 256), -0.8577286100002721, rel_tol=0, abs_tol=2e-16
        )

    def test_quotient_then_pi(self):
        assert (5.0 / 11.0) * math.pi == 1.427996660722633
        assert (math.pi * 5.0) / 11.0 == 1.4279966607226333
        assert math.cos((math.pi * 5.0) / 11.0) == 0.14231483827328512

    def test_zero_total_is_positive_zero(self):
        assert math.copysign(1.0, m.cosine_from_hamming(7, 0)) == 1.0

    def test_large_ints_round_to_nearest_even(self):
        d = 2**53 + 1  # rounds to 2**53
        assert m.cosine_from_hamming(d, 2**54) == math.cos((2.0**53 / 2.0**54) * math.pi)
        assert m.cosine_from_hamming(2**64 - 1, 2**64 - 1) == math.cos(math.pi)

    def test_conversion_errors(self):
        with pytest.raises(OverflowError):
            m.cosine_from_hamming(-1, 256)
        with pytest.raises(TypeError):
            m.cosine_from_hamming(1.5, 256)
        assert m.cosine_from_hamming(True, 1) == -1.0


# ---------------------------------------------------------------------------
# Canonical embedding digest
# ---------------------------------------------------------------------------


class TestCanonicalText:
    @pytest.mark.parametrize("inp,text", worked.CANONICAL_TEXT)
    def test_table(self, inp, text):
        assert m.canonical_embedding_text(inp) == text

    def test_32_bit_elements_of_table(self):
        assert m.to_f32(0.6) == 0.6000000238418579
        assert m.to_f32(0.8) == 0.800000011920929
        assert m.to_f32(0.1234567) == 0.12345670163631439
        assert m.to_f32(0.12345649) == 0.12345649302005768
        assert m.to_f32(0.9999995) == 0.9999995231628418
        assert m.to_f32(1e-7) == 1.0000000116860974e-07
        assert m.to_f32(5e-7) == 4.999999987376214e-07
        assert m.to_f32(1.5e-6) == 1.500000053056283e-06
        assert m.to_f32(1e-6) == 9.999999974752427e-07
        assert m.to_f32(0.00005) == 4.999999873689376e-05
        assert m.to_f32(123.4567891) == 123.456787109375
        assert 0.0078125 * 1e6 == 7812.5

    def test_quantize_signs_and_non_finite(self):
        q = m.quantize_to_6_places(-1e-7)
        assert q == 0.0 and math.copysign(1.0, q) == -1.0
        assert m.quantize_to_6_places(0.0078125) == 0.007813
        assert m.quantize_to_6_places(-0.0078125) == -0.007813
        assert math.isnan(m.quantize_to_6_places(NAN))
        assert m.quantize_to_6_places(INF) == INF
        assert m.quantize_to_6_places(-INF) == -INF
        nz = m.quantize_to_6_places(-0.0)
        assert nz == 0.0 and math.copysign(1.0, nz) == -1.0

    def test_just_below_half_constant(self):
        assert struct.pack(">d", 0.49999999999999994) == bytes.fromhex("3FDFFFFFFFFFFFFF")

    @FAST
    @given(f32_values())
    def test_quantize_is_round_half_away(self, x):
        if math.isinf(x):
            return
        exact = Fraction(x) * 1000000
        assert Fraction(x * 1000000.0) == exact  # the product is exact
        fl = math.floor(abs(exact))
        n = fl + 1 if abs(exact) - fl >= Fraction(1, 2) else fl
        n = -n if exact < 0 else n
        expected = float(Fraction(n, 1000000))  # correctly rounded division
        got = m.quantize_to_6_places(x)
        assert got == expected
        if n == 0:
            assert math.copysign(1.0, got) == math.copysign(1.0, x)

    @FAST
    @given(st.floats(min_value=-1.0, max_value=1.0, width=32))
    def test_unit_range_text_is_exact_decimal(self, x):
        q = m.quantize_to_6_places(x)
        text = m.canonical_float_text(q)
        n = abs(round(Fraction(q) * 1000000))
        dec = Decimal(n) / Decimal(1000000)
        plain = format(dec, "f")
        if "." in plain:
            plain = plain.rstrip("0").rstrip(".")
        if "." not in plain:
            plain += ".0"
        sign = "-" if math.copysign(1.0, q) < 0 else ""
        assert text == sign + plain
        assert "e" not in text and "E" not in text

    def test_float_text_placement(self):
        assert m.canonical_float_text(0.000001) == "0.000001"
        assert m.canonical_float_text(123.456787) == "123.456787"
        assert m.canonical_float_text(2.0) == "2.0"
        assert m.canonical_float_text(-0.0) == "-0.0"
        assert m.canonical_float_text(0.0) == "0.0"
        assert m.canonical_float_text(1e16) == "10000000000000000.0"
        assert m.canonical_float_text(1.5e300).startswith("15000")
        assert m.canonical_float_text(1.5e300).endswith("000.0")
        assert len(m.canonical_float_text(1.5e300)) == 301 + 2
        assert m.canonical_float_text(1e-300) == "0." + "0" * 299 + "1"
        assert m.canonical_float_text(-math.nan) == "NaN"
        assert m.canonical_float_text(5e-324) == "0." + "0" * 323 + "5"
        assert m.canonical_float_text(0.5) == "0.5"
        assert m.canonical_float_text(12.5) == "12.5"

    @FAST
    @given(st.floats(allow_nan=False, allow_infinity=False).filter(lambda v: v != 0.0))
    def test_shortest_digits_brute_force(self, q):
        digits, e = m.shortest_digits(q)
        assert digits[0] != "0" and digits[-1] != "0"
        a = abs(q)
        exact = Fraction(a)
        adj = Decimal(a).adjusted()  # 10**adj <= a < 10**(adj + 1)
        k_found = None
        for k in range(1, 18):
            scale = Fraction(10) ** (adj - k + 1)
            lo = math.floor(exact / scale)
            cands = {lo * scale, (lo + 1) * scale}
            ok = [c for c in cands if _float_or_inf(c) == a]
            if ok:
                # Two candidates can be equally near (only far beyond the
                # magnitudes the digest is meant for); either is then nearest.
                nearest = min(abs(c - exact) for c in ok)
                best = {c for c in ok if abs(c - exact) == nearest}
                k_found = k
                break
        assert k_found is not None
        assert len(digits) == k_found
        assert Fraction(Decimal("0." + digits).scaleb(e)) in best


class TestDigest:
    def test_given_digests(self):
        for vector, expected in worked.DIGESTS:
            assert m.compute_embedding_sha256(vector) == expected

    def test_digest_is_sha256_of_text(self):
        v = [0.6, -0.8, 1e-7, -1e-7, NAN]
        text = m.canonical_embedding_text(v)
        assert m.compute_embedding_sha256(v) == hashlib.sha256(text.encode()).hexdigest()
        d = m.compute_embedding_sha256(v)
        assert len(d) == 64 and set(d) <= set("0123456789abcdef")

    def test_signed_zero_digests_differ(self):
        assert m.compute_embedding_sha256([1e-7]) != m.compute_embedding_sha256([-1e-7])

    def test_normalize_then_digest(self):
        assert m.canonical_embedding_text(m.normalize_vector([3.0, 4.0])) == "[0.6, 0.8]"
        assert (
            m.canonical_embedding_text(m.normalize_vector([1.0, 1.0]))
            == "[0.707107, 0.707107]"
        )
