"""hamming_distance_hex and cosine_from_hamming: documented values, Unicode
lowercasing and byte-length tails, invalid-digit failures, and differential
checks against the pure-Python model."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, strategies as st

from support import worked_examples as worked
from support.numeric import UNWRAP_NONE, PanicException, budget, model, native

hamming = native.hamming_distance_hex
cosine = native.cosine_from_hamming

U64_MAX = 2**64 - 1


def native_outcome(fn, *args):
    """('value', result), ('panic', message) or ('unencodable',) for a lone surrogate."""
    try:
        return ("value", fn(*args))
    except PanicException as exc:
        return ("panic", str(exc))
    except UnicodeEncodeError:
        return ("unencodable",)


def model_outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except model.ModelPanic as exc:
        return ("panic", str(exc))
    except UnicodeEncodeError:
        return ("unencodable",)


# ---------------------------------------------------------------------------
# hamming_distance_hex
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("a,b,expected", worked.HAMMING + worked.HAMMING_EDGES)
def test_hamming_values(a, b, expected):
    assert hamming(a, b) == expected
    assert hamming(b=b, a=a) == expected
    assert model.hamming_distance_hex(a, b) == expected


@pytest.mark.parametrize(
    "a,b",
    [
        ("0g", "00"),
        ("00", "0g"),
        ("0", "x"),
        ("x", "0"),
        ("0x1f", "0x1f"),
        (" f", "ff"),
        ("ff", "f "),
        ("-1", "01"),
        ("+1", "01"),
        ("1\n", "11"),
        ("gg", "gg"),
        ("é", "0"),
        ("0", "é"),
        ("İ", "00"),  # the expansion itself is compared: "i" is no digit
        ("\uff21", "0"),  # fullwidth A is not a digit, nor is its lowercase
        ("\u0660", "0"),  # Arabic-Indic zero
        ("ffffffffg", "0000000000000000"),
    ],
)
def test_invalid_digit_in_compared_range_panics(a, b):
    with pytest.raises(PanicException) as info:
        hamming(a, b)
    assert str(info.value) == UNWRAP_NONE
    with pytest.raises(model.InvalidDigit):
        model.hamming_distance_hex(a, b)


def test_panic_is_not_an_ordinary_exception():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(PanicException):
        try:
            hamming("zz", "00")
        except Exception:  # must not catch it
            pytest.fail("internal failure caught as Exception")


def test_panic_writes_a_diagnostic_to_stderr(capfd):
    capfd.readouterr()
    with pytest.raises(PanicException):
        hamming("0", "q")
    err = capfd.readouterr().err
    assert err.strip()


def test_invalid_digit_anywhere_in_compared_range_panics_before_later_positions():
    # An invalid character fails the call wherever it stands in the common
    # range, even when every later compared character of both is valid.
    base = "0123456789abcdef"
    for i in range(len(base)):
        bad = base[:i] + "g" + base[i + 1 :]
        for a, b in ((bad, base), (base, bad), (bad, base + "ff"), (base + "zz", bad)):
            with pytest.raises(PanicException):
                hamming(a, b)
        # beyond the common range the same character is only counted
        assert hamming(base[:i], bad) == 4 * (len(base) - i)


def test_uppercase_and_lowercase_digits_are_equal():
    for ch in "abcdef":
        for other in "0123456789abcdefABCDEF":
            assert hamming(ch.upper(), other) == hamming(ch, other.lower())


def test_results_are_ints_for_huge_length_differences():
    long = "f" * 1_000_000
    assert hamming(long, "") == 4_000_000
    assert hamming(long, long.upper()) == 0
    assert type(hamming("", "")) is int


HEX_CHARS = "0123456789abcdefABCDEF"


@budget(800, 150)
@given(a=st.text(HEX_CHARS, max_size=80), b=st.text(HEX_CHARS, max_size=80))
def test_hamming_matches_model_on_hex_texts(a, b):
    assert hamming(a, b) == model.hamming_distance_hex(a, b)


@budget(200, 50)
@given(a=st.text(HEX_CHARS, max_size=40), tail=st.text(max_size=10))
def test_tail_characters_count_their_lowercase_utf8_bytes(a, tail):
    b = a + tail
    expected = 4 * (len(b.lower().encode("utf-8")) - len(a))
    assert hamming(a, b) == expected
    assert hamming(b, a) == expected


def _mostly_hex_text():
    return st.text(
        st.one_of(
            st.sampled_from(HEX_CHARS),
            st.sampled_from("gxzGX -+\u0130\u212a\u2126\u023a\u03a3\u00e9\uff21\U0001f600"),
            st.characters(),
        ),
        max_size=30,
    )


@budget(800, 150)
@given(a=st.one_of(st.text(), _mostly_hex_text()), b=st.one_of(st.text(), _mostly_hex_text()))
def test_hamming_agrees_with_model_on_arbitrary_text(a, b):
    assert native_outcome(hamming, a, b) == model_outcome(model.hamming_distance_hex, a, b)


@budget(300, 60)
@given(a=st.text(HEX_CHARS, max_size=30), b=st.text(HEX_CHARS, max_size=30), c=st.text(HEX_CHARS, max_size=30))
def test_hamming_is_a_metric_on_equal_length_lowercase_signatures(a, b, c):
    n = min(len(a), len(b), len(c))
    a, b, c = a[:n], b[:n], c[:n]
    assert hamming(a, b) == hamming(b, a)
    assert hamming(a, a.swapcase()) == 0
    assert hamming(a, c) <= hamming(a, b) + hamming(b, c)


def test_signatures_from_simhash_compare_as_their_bits():
    v = [0.25, -0.5, 1.0, 0.125, -0.75]
    s = native.simhash_lsh_multi(v, 3, 257)
    for x in s:
        for y in s:
            bx = int(x.signature, 16)
            by = int(y.signature, 16)
            assert hamming(x.signature, y.signature) == (bx ^ by).bit_count()


# ---------------------------------------------------------------------------
# cosine_from_hamming
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("d,t,expected", worked.COSINE + worked.COSINE_EDGES)
def test_cosine_values(d, t, expected):
    got = cosine(d, t)
    assert type(got) is float
    assert got.hex() == expected.hex()
    assert cosine(total_bits=t, distance_bits=d).hex() == expected.hex()
    assert model.cosine_from_hamming(d, t).hex() == expected.hex()


def test_cosine_zero_total_is_positive_zero():
    for d in (0, 1, 2**63, U64_MAX):
        assert math.copysign(1.0, cosine(d, 0)) == 1.0


def test_cosine_divides_before_scaling_by_pi():
    assert cosine(5, 11) != math.cos((math.pi * 5) / 11)
    assert cosine(5, 11) == math.cos((5 / 11) * math.pi)


@pytest.mark.parametrize("bad,exc", [(-1, OverflowError), (1.5, TypeError), (2**64, OverflowError), (None, TypeError)])
def test_cosine_distance_conversion_failures_name_the_parameter(bad, exc):
    with pytest.raises(exc) as info:
        cosine(bad, 256)
    assert "while processing 'distance_bits'" in getattr(info.value, "__notes__", [])
    with pytest.raises(exc) as info:
        cosine(1, bad)
    assert "while processing 'total_bits'" in getattr(info.value, "__notes__", [])


def _u64_near_boundaries():
    return st.one_of(
        st.integers(0, 1024),
        st.integers(0, U64_MAX),
        st.integers(2**53 - 4, 2**53 + 4),
        st.integers(0, 64).map(lambda k: min(2**k, U64_MAX)),
        st.integers(0, 64).flatmap(lambda k: st.integers(max(0, 2**k - 3), min(2**k + 3, U64_MAX))),
        # exact float ties above 2**53: odd multiples of half an ulp
        st.integers(54, 63).flatmap(
            lambda k: st.integers(0, 2**10).map(lambda m: 2**k + (2 * m + 1) * 2 ** (k - 53 - 1))
        ),
    )


@budget(1500, 300)
@given(d=_u64_near_boundaries(), t=_u64_near_boundaries())
def test_cosine_matches_model(d, t):
    got = cosine(d, t)
    want = model.cosine_from_hamming(d, t)
    assert got.hex() == want.hex()
    assert -1.0 <= got <= 1.0


@budget(500, 100)
@given(t=st.integers(1, 4096), data=st.data())
def test_cosine_matches_model_for_signature_sized_totals(t, data):
    d = data.draw(st.integers(0, 2 * t))
    assert cosine(d, t).hex() == model.cosine_from_hamming(d, t).hex()
