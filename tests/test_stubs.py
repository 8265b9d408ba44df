"""The shipped type stubs accept the examples and reject wrong calls."""

import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytest.importorskip("mypy")
# The stubs are plain text: checking them under the sanitizer build's
# preloaded runtime would only slow mypy down.
pytestmark = pytest.mark.skipif(os.environ.get("ZLN_SANITIZED") == "1", reason="stubs need no sanitizer run")


def mypy(*paths: str, cache: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", cache, *paths],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )


def test_examples_pass_strict_checking(tmp_path):
    result = mypy("examples", cache=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr


def test_wrong_calls_are_rejected(tmp_path):
    result = mypy(os.path.join("tests", "typing", "wrong_calls.py"), cache=str(tmp_path))
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    # Every line after the import is one wrong call.
    assert flagged == set(range(6, 16)), result.stdout
