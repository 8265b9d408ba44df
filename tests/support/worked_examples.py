"""The worked examples of every function, in one place.

Each table's first part, the documented examples, is what the pure-Python
model is pinned to (test_reference_model.py, which needs nothing but the
standard library); the per-function tests (test_normalize.py,
test_compare.py, test_digest.py, test_simhash.py) check the module, and the
model beside it, on the documented examples followed by the further edge
cases. A new example goes into one of these tables, not into a test file.
"""

from __future__ import annotations

import math

INF = math.inf
NAN = math.nan
U64_MAX = 2**64 - 1

# ---------------------------------------------------------------------------
# normalize_vector: (vector, result); results compared bit for bit
# ---------------------------------------------------------------------------

NORMALIZE = [
    ([3.0, 4.0], [0.6000000238418579, 0.800000011920929]),
    ([1.0, 1.0], [0.7071067690849304, 0.7071067690849304]),
    ([2.0], [1.0]),
    ([0.1], [1.0]),
    ([0.0, 0.0], [0.0, 0.0]),
    ([-0.0], [-0.0]),
    ([1e-30], [1.0000000031710769e-30]),
    ([1e20], [0.0]),
    ([INF, 1.0], [NAN, 0.0]),
    ([NAN, 1.0], [NAN, NAN]),
    ([], []),
    # Squares that all vanish in 32 bits: the vector is returned as is.
    ([1e-23, 1e-23], [9.999999998199587e-24, 9.999999998199587e-24]),
    ([0.0, 1e-30], [0.0, 1.0000000031710769e-30]),
    # Sum of squares overflowing: zeros of each element's own sign.
    ([-1e20, 1e20], [-0.0, 0.0]),
    ([1e19, 1e19], [0.7071068286895752, 0.7071068286895752]),
]
NORMALIZE_EDGES = [
    ([-0.0, -0.0], [-0.0, -0.0]),
    ([1e20, -3.0, INF], [0.0, -0.0, NAN]),
    # Integers and floats alike; narrowed to 32 bits before anything else.
    ([3, 4], [0.6000000238418579, 0.800000011920929]),
    ([1e39], [NAN]),
    ([-1.0], [-1.0]),
    ([-INF, -INF], [NAN, NAN]),
]

# ---------------------------------------------------------------------------
# hamming_distance_hex: (a, b, distance), the same either way round
# ---------------------------------------------------------------------------

HAMMING = [
    ("ff", "0f", 4),
    ("8", "1", 2),
    ("ABC", "abc", 0),
    ("", "", 0),
    ("ff", "ffff", 8),
    ("", "zz", 8),
    ("g", "", 4),
    ("00", "00é", 8),  # two UTF-8 bytes
    ("00", "00İ", 12),  # lowercases to "i" + U+0307: three bytes
    ("0" * 64, "f" * 64, 256),
]
HAMMING_EDGES = [
    ("AbC", "aBc", 0),
    ("F", "0", 4),
    ("ffff", "ff", 8),
    ("zz", "", 8),
    ("0", "0g", 4),
    ("00é", "00", 8),
    ("00", "00\u212a", 4),  # Kelvin sign (3 bytes) lowercases to "k" (1 byte)
    ("00", "00\u2126", 8),  # Ohm sign (3 bytes) lowercases to omega (2 bytes)
    ("00", "00\u023a", 12),  # U+023A (2 bytes) lowercases to U+2C65 (3 bytes)
    ("0", "0ΣΣ", 16),  # final and non-final sigma are both 2 bytes
    ("0", "0\U0001f600", 16),  # four bytes
    ("0123456789abcdef", "0123456789ABCDEF", 0),
    ("0123456789abcdef", "fedcba9876543210", 64),  # x ^ (15 - x) == 15
    ("f" * 64, "F" * 64, 0),
    ("5" * 64, "a" * 64, 256),
    ("1248", "0000", 4),
    ("7", "8", 4),
    ("e", "1", 4),
]

# ---------------------------------------------------------------------------
# cosine_from_hamming: (distance_bits, total_bits, result); compared bit for bit
# ---------------------------------------------------------------------------

COSINE = [
    (0, 256, 1.0),
    (256, 256, -1.0),
    (128, 256, 6.123233995736766e-17),
    (64, 256, 0.7071067811865476),
    (7, 0, 0.0),
    (0, 0, 0.0),
    (512, 256, 1.0),
    (1, 3, 0.5000000000000001),
    (5, 11, 0.14231483827328534),
]
COSINE_EDGES = [
    (U64_MAX, 0, 0.0),
    (300, 256, -0.8577286100002721),
    (0, 1, 1.0),
    (1, 1, -1.0),
    (U64_MAX, U64_MAX, -1.0),
    (2**53 + 1, 2**53, -1.0),  # the distance rounds to 2**53 first
]

# ---------------------------------------------------------------------------
# compute_embedding_sha256: canonical texts (vector, text) and given digests
# ---------------------------------------------------------------------------

CANONICAL_TEXT = [
    ([1.0, 0.5, -0.25], "[1.0, 0.5, -0.25]"),
    ([2.0, -3.0], "[2.0, -3.0]"),
    ([1, 2], "[1.0, 2.0]"),
    ([0.6, 0.8], "[0.6, 0.8]"),
    ([0.1234567], "[0.123457]"),
    ([0.12345649], "[0.123456]"),
    ([0.0078125], "[0.007813]"),
    ([-0.0078125], "[-0.007813]"),
    ([0.9999995], "[1.0]"),
    ([0.0], "[0.0]"),
    ([-0.0], "[-0.0]"),
    ([1e-7], "[0.0]"),
    ([-1e-7], "[-0.0]"),
    ([5e-7], "[0.0]"),
    ([1.5e-6], "[0.000002]"),
    ([1e-6], "[0.000001]"),
    ([0.00005], "[0.00005]"),
    ([123.4567891], "[123.456787]"),
    ([1e10], "[10000000000.0]"),
    ([3.4028234663852886e38], "[340282346638528860000000000000000000000.0]"),
    ([1e39], "[inf]"),
    ([NAN, INF, -INF], "[NaN, inf, -inf]"),
    ([], "[]"),
]
CANONICAL_TEXT_EDGES = [
    ([-3.4028234663852886e38], "[-340282346638528860000000000000000000000.0]"),
    ([-1e39], "[-inf]"),
    ([-NAN], "[NaN]"),
    # further placements of the shortest digits
    ([2.0**33], "[8589934592.0]"),
    ([-(2.0**33)], "[-8589934592.0]"),
    ([2.0**40], "[1099511627776.0]"),
    ([1e20], "[100000002004087730000.0]"),
    ([0.5, 0.25, 0.125], "[0.5, 0.25, 0.125]"),
    ([True, False], "[1.0, 0.0]"),
    ([1e-45, -1e-45], "[0.0, -0.0]"),  # binary32 subnormals
]

DIGESTS = [
    ([1.0, 0.5], "1bbf1969e7ff438f3c0c0faa563dc4c360d83b5026c93d429fbdeba7a097c5ff"),
    ([], "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"),
]

# ---------------------------------------------------------------------------
# simhash_lsh_multi: ((vector, families, bits, bands), records)
# ---------------------------------------------------------------------------

SIMHASH = [
    (
        ([1.0], 2, 64, 4),
        [
            (0, 64, "9f171218fc975cb7", ["9f17", "1218", "fc97", "5cb7"]),
            (1, 64, "1399e0dfab0234f2", ["1399", "e0df", "ab02", "34f2"]),
        ],
    ),
    (
        ([0.5, -0.25, 0.125, 1.0, -0.75], 2, 66, 3),
        [
            (0, 66, "ad960a0c7cbd4cac0", ["ad960", "a0c7c", "bd4ca"]),
            (1, 66, "53b052fbe9063166c", ["53b05", "2fbe9", "06316"]),
        ],
    ),
]
SIMHASH_IDS = ["one-element", "five-elements-66-bits"]
# Family 0 of [1.0] at the defaults (256 bits).
SIGNATURE_ONE_DEFAULTS = "9f171218fc975cb7934c4e828dc9c82657094590abf729c344b97538729bde28"
