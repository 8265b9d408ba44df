"""The signature shape, and band keys read out of the signature words.

`sign_rows` stores each family's hex signature as 64-bit words of 16 digits
(the last word holding the digits left over, as their value). A band is a
run of consecutive digits, so its key is one or two shifts of at most two
words: integer work, equal to `int(band_text, 16)` of the per-call bands.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class LshShape:
    families: int
    bits: int
    bands: int

    @property
    def signature_bits(self) -> int:
        return max(self.bits, 64)  # the module raises smaller requests to 64 bits

    @property
    def total_bits(self) -> int:
        return self.families * self.signature_bits

    @property
    def digits(self) -> int:
        return -(-self.signature_bits // 4)

    @property
    def words(self) -> int:
        return -(-self.digits // 16)

    @property
    def band_digits(self) -> int:
        return max(self.digits // max(self.bands, 1), 1)

    @property
    def bands_per_family(self) -> int:
        return min(max(self.bands, 1), self.digits)

    @property
    def band_bits(self) -> int:
        return 4 * self.band_digits

    @property
    def slots(self) -> int:
        """Bands of all families together: the number of bucket tables."""
        return self.families * self.bands_per_family

    def describe(self) -> str:
        return (f"{self.families} families x {self.signature_bits} bits, {self.bands_per_family} bands of "
                f"{self.band_bits} bits each ({self.total_bits} signature bits, {self.slots} bands in all)")


def band_key(signatures: np.ndarray, shape: LshShape, slot: int) -> np.ndarray:
    """uint64 key of band `slot` (family * bands + band index) of every row."""
    family, band = divmod(slot, shape.bands_per_family)
    first, count = band * shape.band_digits, shape.band_digits
    key = np.zeros(len(signatures), dtype=np.uint64)
    for word in range(first // 16, (first + count - 1) // 16 + 1):
        held = min(16, shape.digits - 16 * word)  # digits in this word
        low, high = max(first, 16 * word), min(first + count, 16 * word + held)  # digit range taken from it
        part = signatures[:, family, word] >> np.uint64(4 * (16 * word + held - high))
        if high - low < 16:
            part = part & np.uint64((1 << (4 * (high - low))) - 1)
        key = (key << np.uint64(4 * (high - low))) | part if high - low < 16 else part
    return key


def hamming(signatures: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Bits differing between the signatures of rows a and b, all families together."""
    counts: np.ndarray = np.bitwise_count(signatures[a] ^ signatures[b]).sum(axis=(1, 2), dtype=np.int64)
    return counts

