"""Third-party libraries that only parts of the job need, imported on demand.

pyarrow and pandas ship no type information, and dask's would make every
strict type check of the examples analyse all of dask, so they are handled as
untyped modules here; a missing one becomes a one-line message naming the
requirements file instead of a traceback.
"""

from __future__ import annotations

import importlib
from typing import Any

from .errors import InputError


def load(name: str) -> Any:
    try:
        module = importlib.import_module(name)
    except ImportError as exc:
        raise InputError(f"this needs the Python package {exc.name or name!r} "
                         "(pip install -r requirements-demo.txt)") from None
    if name == "pyarrow" and not _warm:
        # pyarrow imports pandas on its first conversion of Python objects
        # (a third of a second); done here, that one-off cost stays out of
        # the per-vector time of whichever stage converts first.
        module.array([""])
        _warm.append(True)
    return module


_warm: list[bool] = []
