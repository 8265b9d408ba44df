"""Shared helpers for the numeric differential suites (simhash, compare,
digest): access to the reference model and the test-only extension, float
bit-pattern utilities and example budgets that shrink under CI=true."""

from __future__ import annotations

import math
import os
import struct

import pytest
from hypothesis import HealthCheck, settings

import zarvik_lumetra_native as native

import conftest  # tests/ is on the path (conftest.py puts it there)
from support import reference_model as model  # noqa: F401


class _AbsentTestingExtension:
    """Stands in for the test-only extension in a run against an installed
    distribution: a test that touches it, directly or through a helper, skips."""

    def __getattr__(self, name: str):
        # Collection probes objects for special names; those must stay absent.
        if name.startswith("_"):
            raise AttributeError(name)
        pytest.skip(conftest.NO_TESTING_EXT_REASON)


try:
    import _zarvik_lumetra_testing as testing_ext  # noqa: F401
except ImportError:
    if not conftest.no_testing_ext:
        raise
    testing_ext = _AbsentTestingExtension()

IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")


def budget(normal: int, ci: int | None = None) -> settings:
    """Hypothesis settings with ``normal`` examples locally, fewer in CI."""
    if ci is None:
        ci = max(10, normal // 5)
    return settings(
        max_examples=ci if IN_CI else normal,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


def _find_panic_class() -> type:
    """The module's internal-failure exception class, obtained by provoking it
    (the class is not exported as a module attribute)."""
    try:
        native.hamming_distance_hex("x", "0")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an invalid digit did not fail")


PanicException = _find_panic_class()

UNWRAP_NONE = model.UNWRAP_NONE_MESSAGE
CAPACITY_OVERFLOW = model.CAPACITY_OVERFLOW_MESSAGE


def f32_from_bits(pattern: int) -> float:
    """The binary32 value with the given 32-bit pattern, widened to a float."""
    return struct.unpack("<f", struct.pack("<I", pattern & 0xFFFFFFFF))[0]


def f32_bits(x: float) -> int:
    return struct.unpack("<I", struct.pack("<f", x))[0]


def fhex(x: float) -> str:
    """Bit-exact, sign-of-zero-aware textual form of a float (NaN unified)."""
    if math.isnan(x):
        return "nan"
    return float(x).hex()


def family_tuples(records) -> list:
    """LshFamily instances as comparable (family, bits, signature, bands)."""
    return [(r.family, r.bits, r.signature, list(r.bands)) for r in records]


def path_tuples(records) -> list:
    """Test-extension records as comparable tuples (bands as list)."""
    return [(f, b, s, list(bands)) for (f, b, s, bands) in records]


def simhash_paths() -> list:
    if isinstance(testing_ext, _AbsentTestingExtension):
        # One skipped case stands for every kernel path.
        return [pytest.param("kernel-paths", marks=pytest.mark.skip(reason=conftest.NO_TESTING_EXT_REASON))]
    return list(testing_ext.simhash_paths())
