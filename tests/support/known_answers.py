"""The committed known-answer table (tests/data/known_answers.txt, written by
gen_known_answers.py from the pure-Python model), parsed for the tests."""

from __future__ import annotations

import functools
import os
import struct
from dataclasses import dataclass, field

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PATH = os.path.join(TESTS, "data", "known_answers.txt")


@dataclass
class SimhashCase:
    vector: str
    families: int
    bits: int
    bands: int
    records: list = field(default_factory=list)  # (family, bits, signature, [bands])


@dataclass
class KnownAnswers:
    vectors: dict = field(default_factory=dict)  # id -> list of binary32 values as floats
    normalize: list = field(default_factory=list)  # (input id, result id)
    simhash: list = field(default_factory=list)
    digest: list = field(default_factory=list)  # (vector id, sha256)
    cosine: list = field(default_factory=list)  # (d, t, binary64 bits)
    hamming: list = field(default_factory=list)  # (a, b, int or "panic")

    def simhash_case(self, vector: str, families: int, bits: int, bands: int) -> SimhashCase:
        for c in self.simhash:
            if (c.vector, c.families, c.bits, c.bands) == (vector, families, bits, bands):
                return c
        raise KeyError((vector, families, bits, bands))


def _text(fieldtext: str) -> str:
    assert fieldtext.startswith("x:")
    return bytes.fromhex(fieldtext[2:]).decode("utf-8")


@functools.lru_cache(maxsize=None)
def known_answers() -> KnownAnswers:
    k = KnownAnswers()
    with open(PATH, encoding="ascii") as fh:
        for line in fh:
            f = line.split()
            if not f or f[0].startswith("#"):
                continue
            kind = f[0]
            if kind == "vector":
                values = [struct.unpack("<f", bytes.fromhex(h)[::-1])[0] for h in f[3:]]
                assert len(values) == int(f[2])
                k.vectors[f[1]] = values
            elif kind == "normalize":
                k.normalize.append((f[1], f[2]))
            elif kind == "simhash":
                k.simhash.append(SimhashCase(f[1], int(f[2]), int(f[3]), int(f[4])))
            elif kind == "family":
                bands = f[4].split(",") if len(f) > 4 else []
                k.simhash[-1].records.append((int(f[1]), int(f[2]), f[3], bands))
            elif kind == "digest":
                k.digest.append((f[1], f[2]))
            elif kind == "cosine":
                k.cosine.append((int(f[1]), int(f[2]), int(f[3], 16)))
            elif kind == "hamming":
                k.hamming.append((_text(f[1]), _text(f[2]), f[3] if f[3] == "panic" else int(f[3])))
            else:
                raise ValueError(f"unknown record {kind}")
    return k
