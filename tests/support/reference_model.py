"""Pure-Python reference model of the zarvik_lumetra_native routines.

This module is an independent, deliberately simple re-statement of the
behaviour of every numeric routine of the native extension.  It is used as
an oracle for differential tests: the native results must match it bit for
bit (floats are compared through ``float.hex`` / ``struct``).

Nothing here imports the native module.  Only the standard library is used.

Model exceptions
----------------
Where the native module ends a call with its internal-failure exception
(``PanicException``), the model raises :class:`ModelPanic` carrying the same
message.  :class:`InvalidDigit` is the particular panic of
``hamming_distance_hex`` for a character that is not a hexadecimal digit.
Conversion errors that the interpreter itself would raise (``TypeError``,
``OverflowError``, ``UnicodeEncodeError``) are raised as those built-in
classes.
"""

from __future__ import annotations

import hashlib
import math
import operator
import struct
from typing import List, Sequence, Tuple

__all__ = [
    "ModelPanic",
    "InvalidDigit",
    "UNWRAP_NONE_MESSAGE",
    "CAPACITY_OVERFLOW_MESSAGE",
    "F32_MAX",
    "to_f32",
    "f32_bits",
    "element_to_f32",
    "float_vector",
    "to_u64",
    "f32_add",
    "f32_mul",
    "f32_div",
    "f32_sqrt",
    "normalize_vector",
    "normalize_f32_vector",
    "hyperplane_sign",
    "splitmix64",
    "sign_mix32",
    "sign_key",
    "simhash_bits",
    "bits_to_hex",
    "split_bands",
    "simhash_lsh_multi",
    "hex_digit_value",
    "hamming_distance_hex",
    "cosine_from_hamming",
    "quantize_to_6_places",
    "shortest_digits",
    "canonical_float_text",
    "canonical_embedding_text",
    "compute_embedding_sha256",
]

UNWRAP_NONE_MESSAGE = "called `Option::unwrap()` on a `None` value"
CAPACITY_OVERFLOW_MESSAGE = "capacity overflow"

MASK64 = (1 << 64) - 1
MASK32 = (1 << 32) - 1


class ModelPanic(Exception):
    """Where the native module raises its internal-failure exception.

    ``str(exc)`` is the message the native exception carries.
    """


class InvalidDigit(ModelPanic):
    """A compared character of ``hamming_distance_hex`` is not a hex digit."""

    def __init__(self, message: str = UNWRAP_NONE_MESSAGE):
        super().__init__(message)


# ---------------------------------------------------------------------------
# binary32 helpers
# ---------------------------------------------------------------------------

# Largest finite binary32 value: (2**24 - 1) * 2**104.
F32_MAX = math.ldexp((1 << 24) - 1, 104)


def to_f32(x: float) -> float:
    """Narrow a binary64 value to binary32, round-to-nearest-even.

    Returns the binary32 result widened back (exactly) to a Python float.

    * NaN stays NaN (sign kept, payload not modelled).
    * +-inf and +-0.0 are returned unchanged.
    * Finite values are rounded to the binary32 grid: 24 significant bits
      for normal results, a fixed quantum of 2**-149 in the subnormal range.
      Ties go to the even neighbour.  A rounded magnitude of 2**128 or more
      becomes an infinity of the same sign; in particular F32_MAX plus half
      an ulp (2**103) is a tie between F32_MAX (odd significand) and 2**128
      (even), so it becomes infinity, while anything strictly below it rounds
      to F32_MAX.

    The rounding is done with exact integer arithmetic, independent of the
    C library's float conversion.
    """
    x = float(x)
    if math.isnan(x):
        return math.copysign(math.nan, x)
    if math.isinf(x) or x == 0.0:
        return x
    m, e = math.frexp(abs(x))  # |x| = m * 2**e, 0.5 <= m < 1
    big_m = int(math.ldexp(m, 53))  # exact: |x| = big_m * 2**(e - 53)
    low_exp = e - 53
    # ulp of a binary32 value in [2**(e-1), 2**e), clamped at the subnormal
    # quantum.
    quantum_exp = max(e - 24, -149)
    shift = quantum_exp - low_exp  # always >= 29
    r = big_m >> shift
    rem = big_m & ((1 << shift) - 1)
    half = 1 << (shift - 1)
    if rem > half or (rem == half and (r & 1)):
        r += 1
    if r == 0:
        return math.copysign(0.0, x)
    # r * 2**quantum_exp; compare against 2**128 exactly using integers.
    if r.bit_length() + quantum_exp > 128:
        return math.copysign(math.inf, x)
    return math.copysign(math.ldexp(r, quantum_exp), x)


def f32_bits(x: float) -> int:
    """The 32-bit pattern of a value that is already a binary32 value."""
    y = to_f32(x)
    if math.isnan(y):
        return 0x7FC00000 | (0x80000000 if math.copysign(1.0, y) < 0 else 0)
    if math.isinf(y):
        return 0x7F800000 | (0x80000000 if y < 0 else 0)
    return struct.unpack("<I", struct.pack("<f", y))[0]


# Why binary64-then-narrow is exact for binary32 operands
# ------------------------------------------------------
# Let a and b be binary32 values (24-bit significands).  For each of
# a + b, a - b, a * b, a / b and sqrt(a) we first compute the correctly
# rounded binary64 result (Python floats are binary64 with
# round-to-nearest-even; math.sqrt is the correctly rounded IEEE sqrt) and
# then round that to binary32 with to_f32.  Rounding twice can in general
# differ from rounding once, but not here: for a target precision p and an
# intermediate precision q >= 2p + 2, double rounding of +, -, *, / and sqrt
# is innocuous (Figueroa, "When is double rounding innocuous?", 1995).  With
# p = 24 and q = 53 >= 50 the condition holds.  For multiplication the first
# step is even exact (24 + 24 = 48 <= 53 bits), and the binary64 exponent
# range (down to 2**-1074, up to 2**1024) comfortably contains every product,
# quotient, sum or root of binary32 values (magnitudes between 2**-298 and
# 2**256), so the binary64 step never overflows, underflows to a subnormal
# or loses bits to gradual underflow before the binary32 rounding.  When the
# binary32 result is subnormal its effective precision is below 24 bits, so
# the condition holds a fortiori.  Overflow of the binary32 result is
# handled by to_f32 (rounded magnitude >= 2**128 -> infinity).


def f32_add(a: float, b: float) -> float:
    """binary32 addition (operands are binary32 values)."""
    return to_f32(a + b)


def f32_mul(a: float, b: float) -> float:
    """binary32 multiplication (operands are binary32 values)."""
    return to_f32(a * b)


def f32_div(a: float, b: float) -> float:
    """binary32 division with IEEE semantics for a zero divisor."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        sign = math.copysign(1.0, a) * math.copysign(1.0, b)
        return math.copysign(math.inf, sign)
    return to_f32(a / b)


def f32_sqrt(a: float) -> float:
    """binary32 square root: sqrt(-0.0) = -0.0, negative or NaN -> NaN."""
    if math.isnan(a):
        return a
    if a == 0.0:
        return a  # keeps the sign of zero
    if a < 0.0:
        return math.nan
    if math.isinf(a):
        return a
    return to_f32(math.sqrt(a))


# ---------------------------------------------------------------------------
# Argument conversions
# ---------------------------------------------------------------------------


def _as_double(item) -> float:
    """The 64-bit value the interpreter's float-reading routine gives.

    * an instance of float or of a float subclass: its stored value, read
      without calling any user ``__float__``;
    * otherwise the type's ``__float__`` (which must return a float);
    * otherwise the type's ``__index__``, then the int converted to float
      (OverflowError when too large);
    * otherwise TypeError.
    Unlike ``float(item)``, strings are never parsed.
    """
    if isinstance(item, float):
        return float.__float__(item)
    tp = type(item)
    if hasattr(tp, "__float__"):
        res = tp.__float__(item)
        if not isinstance(res, float):
            raise TypeError(
                f"{tp.__name__}.__float__ returned non-float "
                f"(type {type(res).__name__})"
            )
        return float.__float__(res)
    if hasattr(tp, "__index__"):
        return float(operator.index(item))
    raise TypeError(f"must be real number, not {tp.__name__}")


def element_to_f32(item) -> float:
    """Convert one sequence item to a binary32 value (returned widened).

    An exact ``float`` is read directly; anything else goes through the
    interpreter's float-reading semantics (``__float__``, else ``__index__``).
    The binary64 value is then narrowed round-to-nearest-even.
    """
    if type(item) is float:
        v = item
    else:
        v = _as_double(item)
    return to_f32(v)


def float_vector(values) -> List[float]:
    """Convert a Python sequence of numbers to a list of binary32 values.

    ``str`` (and subclasses) is refused with the native message.  The
    sequence-protocol check of the native conversion is not modelled: any
    iterable other than a string is accepted here.
    """
    if isinstance(values, str):
        raise TypeError("Can't extract `str` to `Vec`")
    return [element_to_f32(item) for item in values]


def to_u64(value) -> int:
    """Unsigned 64-bit integer conversion (int, bool or ``__index__``)."""
    if not isinstance(value, int):
        value = operator.index(value)
    value = int(value)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value > MASK64:
        raise OverflowError("int too big to convert")
    return value


# ---------------------------------------------------------------------------
# Vector normalisation
# ---------------------------------------------------------------------------


def normalize_f32_vector(v32: Sequence[float]) -> List[float]:
    """Scale binary32 values to unit L2 length, all in binary32 arithmetic.

    Sum of squares strictly sequential from -0.0 (product rounded, then sum
    rounded, per element); if the sum compares equal to zero the input is
    returned unchanged; else each element is divided by the rounded square
    root of the sum.
    """
    if not v32:
        return []
    s = -0.0
    for x in v32:
        s = f32_add(s, f32_mul(x, x))
    if s == 0.0:
        return list(v32)
    m = f32_sqrt(s)
    return [f32_div(x, m) for x in v32]


def normalize_vector(values) -> List[float]:
    """Python-level ``normalize_vector``: convert, then normalise."""
    return normalize_f32_vector(float_vector(values))


# ---------------------------------------------------------------------------
# SimHash signatures and bands
# ---------------------------------------------------------------------------


def splitmix64(state: int) -> int:
    """Standard SplitMix64 output for a given 64-bit state."""
    z = (state + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def sign_key(f: int, b: int, j: int) -> int:
    return ((f << 48) ^ (b << 24) ^ j) & MASK64


def sign_mix32(key: int) -> int:
    """The 32-bit mixed value e of a sign key; its bit 0 gives the sign."""
    z = (key + 0x9E3779B97F4A7C15) & MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    e = (z ^ (z >> 27)) & MASK32
    e = (e * 0x133111EB) & MASK32
    e ^= e >> 31
    return e


def hyperplane_sign(f: int, b: int, j: int) -> int:
    """+1 or -1: the sign of element j in hyperplane (family f, bit b).

    The key is (f << 48) XOR (b << 24) XOR j modulo 2**64, fields unmasked.
    """
    return 1 if (sign_mix32(sign_key(f, b, j)) & 1) else -1


def simhash_bits(v32: Sequence[float], f: int, B: int) -> List[int]:
    """The B signature bits of family f for binary32 values v32.

    Each bit is 1 when the ordered binary64 sum (starting at -0.0) of
    +-element over the elements is strictly greater than +0.0.
    """
    n = len(v32)
    if n == 0:
        return [0] * B
    vals = [float(x) for x in v32]
    bits = []
    for b in range(B):
        acc = -0.0
        for j in range(n):
            t = vals[j]
            if hyperplane_sign(f, b, j) > 0:
                acc = acc + t
            else:
                acc = acc + (-t)
        bits.append(1 if acc > 0.0 else 0)
    return bits


_HEX = "0123456789abcdef"


def bits_to_hex(bits: Sequence[int]) -> str:
    """Pack bits four per lowercase hex digit, first bit most significant;
    a short last group is padded with zero low bits."""
    out = []
    for i in range(0, len(bits), 4):
        group = list(bits[i : i + 4])
        group += [0] * (4 - len(group))
        value = 8 * group[0] + 4 * group[1] + 2 * group[2] + group[3]
        out.append(_HEX[value])
    return "".join(out)


def split_bands(sig: str, K: int) -> List[str]:
    """Cut a signature into min(K, H) bands of H // K characters (at least 1)."""
    H = len(sig)
    chunk = H // K if K else H  # K is always >= 1 after the floor
    if chunk == 0:
        chunk = 1
    count = min(K, H)
    return [sig[i * chunk : i * chunk + chunk] for i in range(count)]


def simhash_lsh_multi(
    values, families: int = 3, bits: int = 256, bands: int = 16
) -> List[Tuple[int, int, str, List[str]]]:
    """Model of ``simhash_lsh_multi``.

    Returns one tuple (family, effective bits, signature, bands) per family,
    family 0 first.  ``values`` goes through the float vector conversion and
    the three counts through the unsigned 64-bit conversion, in that order.
    Counts that can't be reserved raise ModelPanic("capacity overflow").
    """
    v32 = float_vector(values)
    families = to_u64(families)
    bits = to_u64(bits)
    bands = to_u64(bands)
    F = max(families, 1)
    B = max(bits, 64)
    K = max(bands, 1)
    if F >= 1 << 57 or B >= 1 << 63:
        raise ModelPanic(CAPACITY_OVERFLOW_MESSAGE)
    result = []
    for f in range(F):
        sig = bits_to_hex(simhash_bits(v32, f, B))
        result.append((f, B, sig, split_bands(sig, K)))
    return result


# ---------------------------------------------------------------------------
# Signature comparison
# ---------------------------------------------------------------------------


def hex_digit_value(ch: str):
    """0..15 for 0-9, a-f, A-F; None for every other character."""
    if "0" <= ch <= "9":
        return ord(ch) - ord("0")
    if "a" <= ch <= "f":
        return ord(ch) - ord("a") + 10
    if "A" <= ch <= "F":
        return ord(ch) - ord("A") + 10
    return None


def hamming_distance_hex(a: str, b: str) -> int:
    """Bit distance of two hexadecimal texts.

    Both texts are lowercased with the full default Unicode lowercase
    mapping (``str.lower``).  Characters are compared pairwise over the
    common character length (character of ``a`` checked first; a non-digit
    raises InvalidDigit); then every UTF-8 byte that the longer lowercased
    text has beyond the shorter one counts 4 bits.
    """
    for arg in (a, b):
        if not isinstance(arg, str):
            if arg is None:
                raise TypeError("'None' is not an instance of 'str'")
            raise TypeError(
                f"'{type(arg).__qualname__}' object is not an instance of 'str'"
            )
        arg.encode("utf-8")  # lone surrogates -> UnicodeEncodeError
    la = a.lower()
    lb = b.lower()
    d = 0
    for ca, cb in zip(la, lb):
        va = hex_digit_value(ca)
        if va is None:
            raise InvalidDigit()
        vb = hex_digit_value(cb)
        if vb is None:
            raise InvalidDigit()
        d += bin(va ^ vb).count("1")
    ba = len(la.encode("utf-8"))
    bb = len(lb.encode("utf-8"))
    d += 4 * abs(ba - bb)
    return d & MASK64


def cosine_from_hamming(d: int, t: int) -> float:
    """cos((d / t) * pi) in binary64, quotient first; 0.0 when t == 0.

    ``float(int)`` rounds to nearest, ties to even, above 2**53.
    """
    d = to_u64(d)
    t = to_u64(t)
    if t == 0:
        return 0.0
    r = float(d) / float(t)
    angle = r * math.pi
    return math.cos(angle)


# ---------------------------------------------------------------------------
# Canonical embedding digest
# ---------------------------------------------------------------------------

_JUST_BELOW_HALF = 0.49999999999999994  # bits 0x3FDFFFFFFFFFFFFF


def _trunc_float(v: float) -> float:
    """Truncate towards zero, keeping the sign of a zero result; non-finite
    values are returned unchanged."""
    if math.isnan(v) or math.isinf(v):
        return v
    return math.copysign(float(math.trunc(v)), v)


def quantize_to_6_places(x32: float) -> float:
    """Round x * 10**6 half away from zero, then divide by 10**6 (binary64).

    x32 is a binary32 value; x32 * 1e6 is exact in binary64.
    """
    y = float(x32) * 1000000.0
    if math.isnan(y) or math.isinf(y):
        n = y
    else:
        n = _trunc_float(y + math.copysign(_JUST_BELOW_HALF, y))
    return n / 1000000.0


def shortest_digits(q: float) -> Tuple[str, int]:
    """Shortest round-trip digits of a finite non-zero |q| and exponent e,
    such that |q| reads back from 0.d1...dk * 10**e.

    Taken from ``repr`` (shortest string that round-trips, nearest to the
    value among those of that length) and re-expressed positionally.
    """
    s = repr(abs(q))
    if "e" in s:
        mant, exp_text = s.split("e")
        exp10 = int(exp_text)
    else:
        mant, exp10 = s, 0
    if "." in mant:
        int_part, frac_part = mant.split(".")
    else:
        int_part, frac_part = mant, ""
    digits = int_part + frac_part
    point = len(int_part) + exp10  # value = 0.<digits> * 10**point
    stripped = digits.lstrip("0")
    point -= len(digits) - len(stripped)
    digits = stripped.rstrip("0")
    if not digits:
        raise ValueError("zero has no significant digits")
    return digits, point


def canonical_float_text(q: float) -> str:
    """Plain positional decimal text of a quantised value (never exponent
    notation), with ".0" appended to whole numbers."""
    if math.isnan(q):
        return "NaN"
    if math.isinf(q):
        return "inf" if q > 0 else "-inf"
    sign = "-" if math.copysign(1.0, q) < 0 else ""
    if q == 0.0:
        text = sign + "0"
    else:
        digits, e = shortest_digits(q)
        k = len(digits)
        if e <= 0:
            body = "0." + "0" * (-e) + digits
        elif e < k:
            body = digits[:e] + "." + digits[e:]
        else:
            body = digits + "0" * (e - k)
        text = sign + body
    if (q - _trunc_float(q)) == 0.0 and "." not in text:
        text += ".0"
    return text


def canonical_embedding_text(values) -> str:
    """"[" + element texts joined by ", " + "]" after quantisation."""
    v32 = float_vector(values)
    return (
        "["
        + ", ".join(canonical_float_text(quantize_to_6_places(x)) for x in v32)
        + "]"
    )


def compute_embedding_sha256(values) -> str:
    """Lowercase hex SHA-256 of the canonical embedding text."""
    text = canonical_embedding_text(values)
    return hashlib.sha256(text.encode("ascii")).hexdigest()
