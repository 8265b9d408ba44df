"""Buffers read directly must give exactly what iterating the same object gives.

Every recognised exporter (exact array.array, memoryview, bytes, bytearray,
numpy.ndarray with a one-dimensional C-contiguous buffer of a plain native
number format) is compared with the list of its items; every other case
(subclasses, other shapes, strides, byte orders, formats) must also agree,
through the iterator. Errors must match in class, message and note.
"""

from __future__ import annotations

import array
import struct

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zarvik_lumetra_native as zln
from conftest import same_floats

SPECIAL_FLOATS = [0.0, -0.0, 1.5, -2.25, float("inf"), float("-inf"), float("nan"), 1e39, -1e-45, 3.4028234663852886e38, 2.0**-149]
BIG_INTS = [0, 1, -1, 2**24 + 1, 2**53 + 1, 2**63 - 1, -(2**63)]
BIG_UINTS = [0, 1, 2**24 + 1, 2**53 + 1, 2**63 + 2**11 + 1, 2**64 - 1]


def outcome(fn, arg):
    """The result or the error of one call, in comparable form."""
    try:
        result = fn(arg)
    except BaseException as exc:  # noqa: BLE001 - errors are compared too
        return ("error", type(exc), str(exc), getattr(exc, "__notes__", None))
    if fn is zln.simhash_lsh_multi:
        return ("ok", [(f.family, f.bits, f.signature, f.bands) for f in result])
    if fn is zln.normalize_vector:
        return ("ok", [x.hex() for x in result])
    return ("ok", result)


FUNCTIONS = [zln.normalize_vector, zln.simhash_lsh_multi, zln.compute_embedding_sha256]


def assert_same_as_list(obj) -> None:
    try:
        items = list(obj)
    except Exception as exc:  # iterating fails: the call must fail the same way
        for fn in FUNCTIONS:
            got = outcome(fn, obj)
            assert got[:3] == ("error", type(exc), str(exc)), (fn.__name__, got)
        return
    for fn in FUNCTIONS:
        got, want = outcome(fn, obj), outcome(fn, items)
        if got[0] == "ok" and fn is zln.normalize_vector:
            assert same_floats([float.fromhex(h) for h in got[1]], [float.fromhex(h) for h in want[1]])
        else:
            assert got == want, (fn.__name__, obj)


def int_values_for(code: str) -> list[int]:
    size = struct.calcsize(code)
    if code.isupper() or code == "N":
        top = 2 ** (8 * size) - 1
        return [v for v in BIG_UINTS if v <= top] + [top]
    low, high = -(2 ** (8 * size - 1)), 2 ** (8 * size - 1) - 1
    return [v for v in BIG_INTS if low <= v <= high] + [low, high]


@pytest.mark.parametrize("code", list("bBhHiIlLqQ"))
def test_array_integer_formats(code):
    assert_same_as_list(array.array(code, int_values_for(code)))
    assert_same_as_list(array.array(code))


@pytest.mark.parametrize("code", ["f", "d"])
def test_array_float_formats(code):
    values = [struct.unpack(code, struct.pack(code, v))[0] if code == "f" and abs(v) < 3.5e38 else v for v in SPECIAL_FLOATS]
    assert_same_as_list(array.array(code, values))


@pytest.mark.parametrize("code", list("bBhHiIlLqQnNfd"))
def test_memoryview_formats_including_misaligned(code):
    size = struct.calcsize(code)
    values = int_values_for(code) if code not in "fd" else [1.5, -0.0, float("nan"), float("inf")]
    packed = b"".join(struct.pack(code, v) for v in values)
    assert_same_as_list(memoryview(packed).cast(code))
    assert_same_as_list(memoryview(packed).cast("B").cast("@" + code) if code != "B" else memoryview(packed))
    # One byte in: every item sits at an unaligned address.
    shifted = memoryview(b"\x00" + packed)[1:].cast(code)
    assert shifted.nbytes == len(values) * size
    assert_same_as_list(shifted)


@pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64"])
def test_numpy_dtypes(dtype):
    info = np.iinfo(dtype) if dtype.startswith(("int", "uint")) else None
    if info is not None:
        values = [int(info.min), int(info.max), 0, 1] + [v for v in (2**24 + 1, 2**53 + 1) if v <= info.max]
    else:
        values = SPECIAL_FLOATS
    with np.errstate(over="ignore"):
        arr = np.array(values, dtype=dtype)
    assert_same_as_list(arr)
    assert_same_as_list(np.zeros(0, dtype=dtype))


def test_bytes_and_bytearray():
    assert_same_as_list(bytes(range(256)))
    assert_same_as_list(bytearray(b"\x00\x7f\x80\xff"))
    assert_same_as_list(b"")


@pytest.mark.parametrize(
    "obj",
    [
        np.arange(12, dtype=np.float32)[::2],  # strided
        np.arange(12, dtype=np.float64).reshape(3, 4),  # two-dimensional: items are rows
        np.array([1.0, -2.5], dtype=">f4"),  # byte order given explicitly
        np.array([1.0, -2.5], dtype="<f8"),
        np.array([True, False]),  # '?'
        np.array([1.5, 2.0], dtype=np.float16),  # 'e'
        np.array([1.0, 2.0], dtype=np.longdouble),  # 'g'
        np.array([1, 2.5, None], dtype=object),  # 'O'
        np.array(2.5, dtype=np.float32),  # zero-dimensional
        memoryview(b"ab").cast("c"),  # 'c' yields bytes
        memoryview(b"\x01\x00\x01\x00").cast("?"),
        memoryview(bytes(8)).cast("e") if hasattr(memoryview, "cast") else b"",
        memoryview(struct.pack("<4f", 1, 2, 3, 4)).cast("B").cast("f")[::2],  # strided memoryview
        memoryview(bytes(16)).cast("B", (4, 4)),  # two-dimensional memoryview
    ],
    ids=lambda o: f"{type(o).__name__}",
)
def test_other_shapes_and_formats_take_the_iterator(obj):
    assert_same_as_list(obj)


def test_subclasses_take_the_iterator():
    class Floats(array.array):
        def __iter__(self):
            yield from (x * 2 for x in super().__iter__())

    class Arr(np.ndarray):
        pass

    sub = Floats("f", [1.0, 2.0])
    assert zln.normalize_vector(sub) == zln.normalize_vector([2.0, 4.0])
    view = np.array([1.0, 2.0], dtype=np.float32).view(Arr)
    assert_same_as_list(view)

    class Raw(bytes):
        def __iter__(self):
            return iter([7, 7])

    assert zln.compute_embedding_sha256(Raw(b"\x01\x02")) == zln.compute_embedding_sha256([7, 7])


def test_released_memoryview_fails_like_iteration():
    view = memoryview(b"abc")
    view.release()
    with pytest.raises(ValueError) as err:
        zln.normalize_vector(view)
    assert err.value.__notes__ == ["while processing 'vector'"]


def test_buffers_are_released_on_every_path():
    data = bytearray(struct.pack("<3f", 1.0, 2.0, 3.0))
    for obj in (data, memoryview(data), memoryview(data).cast("f"), memoryview(data).cast("B", (3, 4))):
        for fn in FUNCTIONS:
            try:
                fn(obj)
            except (TypeError, NotImplementedError):
                pass  # two-dimensional: iterating it fails
        if isinstance(obj, memoryview):
            obj.release()
    data.extend(b"\x00")  # a leaked export would make resizing fail
    assert len(data) == 13


@given(st.lists(st.floats(width=32, allow_nan=True, allow_infinity=True), max_size=80))
def test_float32_arrays_match_lists(values):
    arr = np.array(values, dtype=np.float32)
    assert_same_as_list(arr)
    assert_same_as_list(array.array("f", values))


@given(st.lists(st.integers(min_value=-(2**63), max_value=2**63 - 1), max_size=40))
def test_int64_arrays_match_lists(values):
    assert_same_as_list(np.array(values, dtype=np.int64))
    assert_same_as_list(array.array("q", values))
