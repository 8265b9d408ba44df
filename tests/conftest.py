"""Shared test configuration: hypothesis profiles and small helpers.

Profiles (every one without a deadline, since timings on a shared machine or
under sanitizers say nothing about correctness):

* ``dev``       - the default, about 200 examples per property;
* ``ci``        - chosen when the environment has ``CI=true``, about 60;
* ``sanitized`` - chosen when ``ZLN_SANITIZED=1`` (sanitizer build), about 25.

Option ``--no-testing-ext``: the module under test is an installed wheel or
sdist, which never ship the test-only extension ``_zarvik_lumetra_testing``.
Tests that need it then skip with a reason instead of failing; without the
option a missing extension is an error, so a broken development build can't
pass as a run with skips.
"""

from __future__ import annotations

import math
import os
import struct
import sys

import pytest
from hypothesis import HealthCheck, settings

# Test helpers are the package tests/support (support.numeric, support.shapes,
# ...), imported from here, from the tests and from benchmarks/.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

IN_CI = os.environ.get("CI", "").strip().lower() == "true"
SANITIZED = os.environ.get("ZLN_SANITIZED", "").strip() == "1"

_COMMON = dict(
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("dev", max_examples=200, **_COMMON)
settings.register_profile("ci", max_examples=60, **_COMMON)
settings.register_profile("sanitized", max_examples=25, **_COMMON)

if SANITIZED:
    settings.load_profile("sanitized")
elif IN_CI:
    settings.load_profile("ci")
else:
    settings.load_profile("dev")


# ---------------------------------------------------------------------------
# Float comparison
# ---------------------------------------------------------------------------


def f64_bits(x: float) -> int:
    """The 64-bit IEEE pattern of a Python float."""
    return struct.unpack("<Q", struct.pack("<d", float(x)))[0]


def same_float(a: float, b: float) -> bool:
    """Bit-for-bit equality, except that any two NaNs count as equal.

    Distinguishes +0.0 from -0.0; a NaN never equals a non-NaN.
    """
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return f64_bits(a) == f64_bits(b)


def same_floats(xs, ys) -> bool:
    xs, ys = list(xs), list(ys)
    return len(xs) == len(ys) and all(same_float(a, b) for a, b in zip(xs, ys))


def describe_floats(xs) -> list:
    """float.hex of each value, for readable assertion messages."""
    return [float(x).hex() for x in xs]


# ---------------------------------------------------------------------------
# Exception helpers
# ---------------------------------------------------------------------------


def assert_single_note(exc: BaseException, parameter: str) -> None:
    """The exception carries exactly one note naming ``parameter``."""
    notes = getattr(exc, "__notes__", None)
    assert notes == [f"while processing '{parameter}'"], notes
    # The parameter name appears only in the note, never in the message.
    assert "while processing" not in str(exc)


def assert_no_note(exc: BaseException) -> None:
    assert getattr(exc, "__notes__", None) is None, exc.__notes__


@pytest.fixture
def single_note():
    """Fixture form of :func:`assert_single_note`."""
    return assert_single_note


def panic_class() -> type:
    """The module's internal-failure exception class (not a module attribute):
    obtained by provoking an internal failure."""
    import zarvik_lumetra_native as native

    try:
        native.hamming_distance_hex("0g", "00")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an invalid hexadecimal digit did not fail")


@pytest.fixture(scope="session")
def PanicException():  # noqa: N802 - named after the class it returns
    return panic_class()


# ---------------------------------------------------------------------------
# Runs against an installed distribution
# ---------------------------------------------------------------------------

NO_TESTING_EXT_REASON = "needs the test-only extension _zarvik_lumetra_testing, which installed distributions do not ship"
# Set from the command line before any test module is imported.
no_testing_ext = False


def pytest_addoption(parser):
    parser.addoption("--no-testing-ext", action="store_true", default=False,
                     help="the module is an installed distribution: tests needing the test-only extension skip")


def pytest_configure(config):
    global no_testing_ext
    no_testing_ext = config.getoption("--no-testing-ext")


# ---------------------------------------------------------------------------
# Leak check: the --leak-check option lives in support/leakcheck.py
# ---------------------------------------------------------------------------

pytest_plugins = ["support.leakcheck"]
