"""The error the running interpreter raises for one of its own conversions.

Errors raised by the interpreter inside an argument conversion pass through
the module unchanged. Their wording belongs to the interpreter version (3.15
reworded several), so tests compute the expected text by making the same
C-API call here instead of copying one version's text.
"""

from __future__ import annotations

import operator

from support.numeric import testing_ext  # skips the test where it is absent


def interpreter_error(operation, value) -> tuple[type, str]:
    """Class and text of the exception ``operation(value)`` raises."""
    try:
        operation(value)
    except Exception as exc:  # noqa: BLE001 - any class is the answer
        return type(exc), str(exc)
    raise AssertionError(f"{operation.__name__}({value!r}) was expected to fail")


def float_error(value) -> tuple[type, str]:
    """What PyFloat_AsDouble raises for ``value`` (a vector element)."""
    return interpreter_error(testing_ext.interpreter_as_double, value)


def unsigned_error(value) -> tuple[type, str]:
    """What PyNumber_Index, then PyLong_AsUnsignedLongLong, raise."""
    return interpreter_error(testing_ext.interpreter_as_unsigned, value)


def index_error(value) -> tuple[type, str]:
    """What PyNumber_Index raises (operator.index is that call)."""
    return interpreter_error(operator.index, value)


def iter_error(value) -> tuple[type, str]:
    """What PyObject_GetIter raises (iter() is that call)."""
    return interpreter_error(iter, value)
