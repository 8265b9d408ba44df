"""Normalise a few vectors with zarvik_lumetra_native and print them."""

import zarvik_lumetra_native as zln

VECTORS = [
    [3.0, 4.0],
    [1.0, 1.0, 1.0, 1.0],
    [0.1, -0.2, 0.3],
    [0.0, 0.0],
]


def main() -> None:
    for vector in VECTORS:
        print(f"{vector!s:>24} -> {zln.normalize_vector(vector)}")


if __name__ == "__main__":
    main()
