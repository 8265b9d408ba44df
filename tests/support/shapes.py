"""The shape of every callable, written from the contract (never read from
the module): parameters in declaration order with their conversion kind and
default, and the result. Tests that need a callable's parameters read them
here; test_module_surface.py checks the module's text signatures and the
shipped type stubs against this table."""

from __future__ import annotations

# Conversion kinds.
VECTOR = "vector"  # float vector
U64 = "u64"  # unsigned 64-bit integer
TEXT = "text"  # text view
OWNED_TEXT = "owned_text"  # copied text
TEXT_LIST = "text_list"  # list of copied texts

REQUIRED = None  # the default of a parameter that must be supplied

# name -> (is a class, [(parameter, kind, default)], result)
SHAPES = {
    "normalize_vector": (False, [("vector", VECTOR, REQUIRED)], "list[float]"),
    "simhash_lsh_multi": (
        False,
        [("normalized_vector", VECTOR, REQUIRED), ("families", U64, 3), ("bits", U64, 256), ("bands", U64, 16)],
        "list[LshFamily]",
    ),
    "cosine_from_hamming": (False, [("distance_bits", U64, REQUIRED), ("total_bits", U64, REQUIRED)], "float"),
    "hamming_distance_hex": (False, [("a", TEXT, REQUIRED), ("b", TEXT, REQUIRED)], "int"),
    "compute_embedding_sha256": (False, [("normalized_embedding", VECTOR, REQUIRED)], "str"),
    "LshFamily": (
        True,
        [("family", U64, REQUIRED), ("bits", U64, REQUIRED), ("signature", OWNED_TEXT, REQUIRED), ("bands", TEXT_LIST, REQUIRED)],
        "LshFamily",
    ),
    "LshConfig": (True, [("families", U64, 3), ("bits", U64, 256), ("bands", U64, 16)], "LshConfig"),
}
NAMES = sorted(SHAPES)


def is_class(name: str) -> bool:
    return SHAPES[name][0]


def parameters(name: str) -> list[str]:
    return [p for p, _, _ in SHAPES[name][1]]


def kinds(name: str) -> list[str]:
    return [k for _, k, _ in SHAPES[name][1]]


def kind_of(name: str, parameter: str) -> str:
    return dict((p, k) for p, k, _ in SHAPES[name][1])[parameter]


def required_count(name: str) -> int:
    return sum(1 for _, _, d in SHAPES[name][1] if d is REQUIRED)


def defaults(name: str) -> list:
    """The defaults of the optional parameters, in order."""
    return [d for _, _, d in SHAPES[name][1] if d is not REQUIRED]


def display_name(name: str) -> str:
    """How binding messages name the callable."""
    return f"{name}.__new__()" if is_class(name) else f"{name}()"


def text_signature(name: str) -> str:
    """The parenthesised parameter list, as CPython shows it."""
    return "(" + ", ".join(p if d is REQUIRED else f"{p}={d}" for p, _, d in SHAPES[name][1]) + ")"
