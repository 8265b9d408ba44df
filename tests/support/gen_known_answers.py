"""Writes tests/data/known_answers.txt from the pure-Python reference model.

The native module never takes part: every expected value below comes from
reference_model.py, so the table is an independent oracle that the C++
harness (with every kernel of the table) and pytest (through the module)
check on every architecture. Regenerate only when the defined behaviour
changes:

    python3 tests/support/gen_known_answers.py

Format, one record per line, fields separated by single spaces:
    vector ID N BITS...          binary32 bit patterns, 8 hex digits each
    normalize ID RESULT_ID       normalize_vector(ID) is the vector RESULT_ID
    simhash ID F B K             simhash_lsh_multi(ID, F, B, K); F lines follow:
    family FAMILY BITS SIGNATURE BANDS   (bands joined by ",")
    digest ID SHA256             compute_embedding_sha256(ID)
    cosine D T BITS              cosine_from_hamming(D, T), binary64 bits in hex
    hamming A B RESULT           hamming_distance_hex: texts as "x:" + UTF-8 hex,
                                 RESULT a number or "panic"
"""

from __future__ import annotations

import math
import os
import random
import struct
import sys
from concurrent.futures import ProcessPoolExecutor
from fractions import Fraction

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TESTS)
from support import reference_model as model  # noqa: E402

OUT = os.path.join(TESTS, "data", "known_answers.txt")


def f32(x: float) -> float:
    return model.to_f32(x)


def bits_hex(x: float) -> str:
    return "%08x" % struct.unpack("<I", struct.pack("<f", x))[0]


def gaussian(seed: int, n: int, scale: float = 1.0) -> list:
    rng = random.Random(seed)
    return [f32(rng.gauss(0.0, 1.0) * scale) for _ in range(n)]


def wide_range(seed: int, n: int) -> list:
    # Zeros of both signs, subnormals, and magnitudes from 2^-149 to near the
    # binary32 maximum, so digests and sums see every kind of element.
    rng = random.Random(seed)
    out = []
    for i in range(n):
        kind = i % 5
        if kind == 0:
            out.append(0.0 if rng.random() < 0.5 else -0.0)
        elif kind == 1:
            out.append(f32(rng.uniform(-1, 1) * 2.0**-140))
        else:
            out.append(f32(rng.uniform(-1, 1) * 2.0 ** rng.randint(-120, 120)))
    return out


def f32_round_exact(q: Fraction) -> float:
    """An exact rational rounded once to binary32 (nearest, ties to even)."""
    d = float(q)  # correctly rounded to binary64; rounding that again may be off by a tie
    candidates = {model.to_f32(d), model.to_f32(math.nextafter(d, math.inf)), model.to_f32(math.nextafter(d, -math.inf))}
    return min(candidates, key=lambda c: (abs(Fraction(c) - q), struct.unpack("<I", struct.pack("<f", c))[0] & 1))


def contracted_normalize(v: list) -> list:
    """normalize_vector as a build that fuses x * x + s into one rounding
    would compute it: used only to choose inputs on which such a build
    gives a different answer, never as an expected value."""
    s = -0.0
    for x in v:
        s = f32_round_exact(Fraction(s) + Fraction(x) * Fraction(x))
    if s == 0.0:
        return list(v)
    m = model.f32_sqrt(s)
    return [model.f32_div(x, m) for x in v]


def contraction_sensitive(n: int, seed: int) -> list:
    """The first Gaussian vector from `seed` on whose normalisation fused
    multiply-add would change the result (about one in five is)."""
    while True:
        v = gaussian(seed, n)
        if contracted_normalize(v) != model.normalize_f32_vector(v):
            return v
        seed += 1


def cancelling(n: int) -> list:
    # [a, small terms that vanish against a, -a]: the ordered sum is exactly
    # zero wherever a and -a meet, the exact sum is not.
    a = f32(0.7)
    tiny = f32(math.ldexp(a, -60))
    return [a] + [(-tiny if i % 3 == 0 else f32(tiny * (1 + i % 5))) for i in range(n - 2)] + [-a]


VECTORS = {
    "empty": [],
    "one": [1.0],
    "five": [0.5, -0.25, 0.125, 1.0, -0.75],
    "narrowed": [1.0, f32(-0.9999999990686774)],
    "three-four": [3.0, 4.0],
    "zeros": [0.0, -0.0, 0.0],
    "specials": [0.5, math.inf, -3.0],
    "tiny": [f32(1e-30), f32(1e-23), 0.0],
    "huge": [f32(1e19), f32(-3e38), f32(1e38)],
    "g384": gaussian(384, 384),
    "g768": gaussian(768, 768, 0.05),
    "g1536": gaussian(1536, 1536),
    "g600": gaussian(600, 600),
    # Normalisations that a build contracting into fused multiply-add gets wrong.
    "c384": contraction_sensitive(384, 1),
    "c1536": contraction_sensitive(1536, 1),
    "wide300": wide_range(300, 300),
    "cancel1000": cancelling(1000),
    # Longer than the sign caches hold for 16 families x 1024 bits.
    "g8256": gaussian(8256, 8256),
}

NORMALISED = ["three-four", "one", "zeros", "tiny", "huge", "g384", "g768", "g1536", "g600", "wide300", "c384", "c1536"]

# (vector, families, bits, bands)
SIMHASH = [
    ("empty", 2, 100, 7),
    ("one", 3, 256, 16),
    ("one", 2, 64, 4),
    ("five", 2, 66, 3),
    ("narrowed", 1, 64, 16),
    ("zeros", 2, 100, 7),
    ("specials", 2, 64, 16),
    ("huge", 1, 65, 0),
    ("g384", 3, 256, 16),
    ("g384.n", 3, 256, 16),
    ("g768.n", 2, 127, 5),
    ("g1536", 2, 256, 16),
    ("g1536.n", 2, 256, 16),
    ("g600", 17, 64, 4),
    ("g600.n", 1, 1088, 16),
    ("wide300", 2, 300, 7),
    ("wide300.n", 2, 192, 8),
    ("cancel1000", 2, 256, 16),
    ("c384.n", 2, 256, 16),
    ("c1536.n", 1, 128, 8),
    ("g8256", 16, 1024, 16),
]

DIGESTS = ["empty", "one", "five", "zeros", "specials", "tiny", "huge", "g384", "g384.n", "g1536", "g1536.n",
           "wide300", "wide300.n", "g768.n", "c384", "c384.n", "c1536", "c1536.n"]

COSINES = [(0, 0), (0, 256), (64, 256), (128, 256), (255, 256), (256, 256), (300, 256), (1, 3), (5, 11),
           (1, 1 << 60), ((1 << 53) + 1, (1 << 54) + 3), ((1 << 64) - 1, (1 << 64) - 1), (7, 1 << 63)]

HAMMING = [("", ""), ("0123456789abcdef", "0123456789ABCDEF"), ("0123456789abcdef", "fedcba9876543210"),
           ("9f171218", "0f171219"), ("ff", "ffff"), ("abc", ""), ("F" * 40, "0" * 33), ("a\u00e9", "a"),
           ("a", "a\u0130\u00e9"), ("0g", "00"), ("00", "0g"), ("g", ""), ("\u00e9", "0"), ("abcdefABCDEF" * 3, "1" * 36)]


def simhash_case(args):
    vid, families, bits, bands, values = args
    return args[:4], model.simhash_lsh_multi(values, families, bits, bands)


def text_field(s: str) -> str:
    return "x:" + s.encode("utf-8").hex()


def main() -> None:
    vectors = dict(VECTORS)
    for vid in NORMALISED:
        vectors[vid + ".n"] = model.normalize_vector(vectors[vid])
    lines = ["# Known answers from tests/support/reference_model.py (tests/support/gen_known_answers.py); do not edit."]
    for vid, values in vectors.items():
        lines.append(" ".join(["vector", vid, str(len(values))] + [bits_hex(x) for x in values]))
    for vid in NORMALISED:
        lines.append(f"normalize {vid} {vid}.n")
    jobs = [(vid, f, b, k, vectors[vid]) for vid, f, b, k in SIMHASH]
    # The long case dominates (about 10^8 signs in pure Python): two processes.
    with ProcessPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(simhash_case, sorted(jobs, key=lambda j: -len(j[4]) * j[1] * j[2])))
    order = {tuple(j[:4]): i for i, j in enumerate(jobs)}
    for (vid, f, b, k), records in sorted(results, key=lambda r: order[r[0]]):
        lines.append(f"simhash {vid} {f} {b} {k}")
        for family, eff_bits, sig, bands in records:
            lines.append(f"family {family} {eff_bits} {sig} {','.join(bands)}")
    for vid in DIGESTS:
        lines.append(f"digest {vid} {model.compute_embedding_sha256(vectors[vid])}")
    for d, t in COSINES:
        lines.append("cosine %d %d %016x" % (d, t, struct.unpack("<Q", struct.pack("<d", model.cosine_from_hamming(d, t)))[0]))
    for a, b in HAMMING:
        try:
            result = str(model.hamming_distance_hex(a, b))
        except model.InvalidDigit:
            result = "panic"
        lines.append(f"hamming {text_field(a)} {text_field(b)} {result}")
    with open(OUT, "w", encoding="ascii") as fh:
        fh.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
