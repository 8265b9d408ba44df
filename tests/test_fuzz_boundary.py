"""Generated calls of every function and constructor with hostile arguments.

Each example builds arguments of every shape the interpreter can hand over
(numbers of every kind, objects with ``__float__``/``__index__`` that
return odd things or raise, sequences whose ``__len__`` lies or raises,
texts with lone surrogates, ``None``, wrong types) and binds them by position
or by keyword. The expected outcome is worked out independently, one
parameter at a time in declaration order, with the pure-Python reference
model: either the model's result, compared field by field and bit for bit,
or the class (and, for internal failures, the message) of the first
conversion failure together with its single note. Bindings that can't
succeed are generated too and must fail with a TypeError and no note.

The hooks of the generated objects are stateless, so the model and the
module see the same values.
"""

from __future__ import annotations

import functools
import math
import os
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import reference_model as model
from support import shapes
import zarvik_lumetra_native as zln
from conftest import panic_class

CAPACITY = model.CAPACITY_OVERFLOW_MESSAGE


class UserError(Exception):
    """Raised by generated hooks; must pass through unchanged."""


# ---------------------------------------------------------------------------
# Hostile objects (stateless: every call of a hook gives the same answer)
# ---------------------------------------------------------------------------


class FloatHook:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"FloatHook({self.result!r})"


class IndexHook:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"IndexHook({self.result!r})"


class FloatSub(float):
    def __float__(self):  # never consulted: the stored value is read
        raise AssertionError("float subclass __float__ called")


class IntSub(int):
    pass


class StrSub(str):
    pass


class LyingSeq:
    """A sequence whose ``__len__`` reports ``length`` (or raises it)."""

    def __init__(self, items, length):
        self.items = list(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"LyingSeq({self.items!r}, {self.length!r})"


class FailingIterSeq:
    """A sequence whose iterator yields ``items`` and then raises."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):  # pragma: no cover - iteration uses __iter__
        raise AssertionError("indexed")

    def __iter__(self):
        yield from self.items
        raise UserError("iteration failed")

    def __repr__(self):
        return f"FailingIterSeq({self.items!r})"


class NotASequence:
    """Marks a value the vector conversions refuse before reading it."""


def _user_error():
    return st.builds(UserError, st.just("from a hook"))


finite_or_not = st.floats(allow_nan=True, allow_infinity=True)

elements = st.one_of(
    finite_or_not,
    st.floats(-2.0, 2.0),
    st.integers(-(2**70), 2**70),
    st.booleans(),
    st.builds(FloatSub, finite_or_not),
    st.builds(IntSub, st.integers(-1000, 1000)),
    st.builds(FloatHook, finite_or_not),
    st.builds(FloatHook, st.one_of(_user_error(), st.integers(0, 3), st.none())),
    st.builds(IndexHook, st.one_of(st.integers(-(2**60), 2**60), _user_error())),
    st.sampled_from([None, "1.0", b"x", 10**400, -(10**400)]),
)
small_vectors = st.lists(elements, max_size=6)


def _vector_values():
    return st.one_of(
        small_vectors,
        small_vectors.map(tuple),
        st.binary(max_size=6),
        st.integers(0, 6).map(range),
        st.builds(
            LyingSeq,
            st.lists(st.floats(-4, 4), max_size=5),
            st.one_of(
                st.sampled_from([0, 1, 10**15, 2**61 - 1, 2**61, 2**62, 2**63 - 1]),
                st.builds(UserError, st.just("len")),
            ),
        ),
        st.builds(FailingIterSeq, st.lists(st.floats(-4, 4), max_size=3)),
        st.sampled_from(["0.5", StrSub("1"), None, 3, 2.5, {1: 2.0}, {1.0}, NotASequence()]),
    )


def _u64_values(small: bool):
    plain = st.integers(0, 300) if small else st.integers(0, 2**64 - 1)
    giant = st.integers(2**57, 2**64 - 1)
    return st.one_of(
        plain,
        plain.map(IntSub),
        plain.map(IndexHook),
        giant,
        st.booleans(),
        st.sampled_from([-1, 2**64, -(2**70), 2**100, None, 1.0, "3", b"3"]),
        st.builds(IndexHook, st.one_of(_user_error(), st.sampled_from([-1, 2**64, "5", 1.5, None]))),
    )


texts = st.one_of(
    st.text(alphabet="0123456789abcdefABCDEF", max_size=40),
    st.text(max_size=12),  # any code point, lone surrogates included
    st.text(alphabet="0123456789abcdef\ud800\udfffgé ", max_size=10),
)


def _text_values():
    return st.one_of(texts, texts.map(StrSub), st.sampled_from([None, b"ab", 5, ["a"]]))


def _text_list_values():
    items = st.one_of(texts, texts.map(StrSub), st.sampled_from([None, 1, b"a"]))
    return st.one_of(
        st.lists(items, max_size=5),
        st.lists(texts, max_size=5).map(tuple),
        st.builds(LyingSeq, st.lists(texts, max_size=3), st.sampled_from([0, 2**61, 10**15])),
        st.sampled_from(["ab", None, 3]),
    )


# ---------------------------------------------------------------------------
# Expected outcome: the parameters converted in order with the model
# ---------------------------------------------------------------------------


class Expected(Exception):
    """The failure the module must raise: class, parameter (None for an
    internal failure), and the message for internal failures."""

    def __init__(self, exc_type, parameter, message=None):
        super().__init__(exc_type, parameter, message)
        self.exc_type, self.parameter, self.message = exc_type, parameter, message


def _is_sequence(value) -> bool:
    if isinstance(value, (dict, set, NotASequence, int, float)) or value is None:
        return False
    return hasattr(type(value), "__getitem__")


def _reported_length_overflows(value) -> bool:
    if not isinstance(value, LyingSeq) or isinstance(value.length, BaseException):
        return False
    return value.length >= 2**61


def _convert(kind, value, parameter):
    try:
        if kind == "vector":
            if isinstance(value, str):
                raise TypeError("Can't extract `str` to `Vec`")
            if not _is_sequence(value):
                raise TypeError("not a Sequence")
            if _reported_length_overflows(value):
                raise Expected(BaseException, None, CAPACITY)
            return model.float_vector(value)
        if kind == "u64":
            return model.to_u64(value)
        if kind == "text":
            if not isinstance(value, str):
                raise TypeError("not a str")
            value.encode("utf-8")  # UnicodeEncodeError for lone surrogates
            return str(value)
        if kind == "text_list":
            if isinstance(value, str):
                raise TypeError("Can't extract `str` to `Vec`")
            if not _is_sequence(value):
                raise TypeError("not a Sequence")
            if _reported_length_overflows(value):
                raise Expected(BaseException, None, CAPACITY)
            return [_convert("text", item, parameter) for item in value]
    except Expected:
        raise
    except Exception as exc:  # noqa: BLE001 - the class is the expectation
        raise Expected(type(exc), parameter) from exc
    raise AssertionError(kind)


@functools.cache
def _physical_memory():
    """Bytes of memory, or None where os.sysconf doesn't tell (Windows)."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


MAY_RUN_OUT_OF_MEMORY = object()


def _model_simhash(v, families, bits, bands):
    if max(families, 1) >= 2**57 or max(bits, 64) >= 2**63:
        raise Expected(BaseException, None, CAPACITY)
    if families > 300 or bits > 300:
        # Too large for the model: check the shape only. A request whose bit
        # buffer and texts alone outgrow the machine ends as MemoryError.
        memory = _physical_memory()
        if memory is None or max(bits, 64) + max(families, 1) * (max(bits, 64) // 4) > memory // 4:
            return MAY_RUN_OUT_OF_MEMORY
        return None
    return [
        (f, b, sig, list(bnds)) for f, b, sig, bnds in model.simhash_lsh_multi(v, families, bits, bands)
    ]


def _model_hamming(a, b):
    try:
        return model.hamming_distance_hex(a, b)
    except model.ModelPanic as exc:
        raise Expected(BaseException, None, str(exc)) from exc


MODELS = {
    "normalize_vector": model.normalize_vector,
    "simhash_lsh_multi": _model_simhash,
    "cosine_from_hamming": model.cosine_from_hamming,
    "hamming_distance_hex": _model_hamming,
    "compute_embedding_sha256": model.compute_embedding_sha256,
    "LshFamily": lambda family, bits, signature, bands: (family, bits, signature, bands),
    "LshConfig": lambda families, bits, bands: (families, bits, bands),
}


def _kind(kind):
    """A copied text follows the same rules as a text view."""
    return "text" if kind == shapes.OWNED_TEXT else kind


# name -> (callable, [(parameter, kind)], required count, model)
CALLABLES = {
    name: (
        getattr(zln, name),
        [(p, _kind(k)) for p, k in zip(shapes.parameters(name), shapes.kinds(name))],
        shapes.required_count(name),
        MODELS[name],
    )
    for name in shapes.NAMES
}
# Padding for omitted optional parameters (None stands for a required one).
DEFAULTS = {
    name: [None] * shapes.required_count(name) + shapes.defaults(name)
    for name in shapes.NAMES
    if shapes.defaults(name)
}


def _value_strategy(name, kind):
    if kind == "vector":
        return _vector_values()
    if kind == "u64":
        return _u64_values(small=name == "simhash_lsh_multi")
    if kind == "text":
        return _text_values()
    return _text_list_values()


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(CALLABLES)))
    fn, params, required, _ = CALLABLES[name]
    count = draw(st.integers(required, len(params)))
    values = [draw(_value_strategy(name, kind)) for _, kind in params[:count]]
    by_keyword = draw(st.lists(st.booleans(), min_size=count, max_size=count))
    # Keywords must follow positionals: once one is by keyword, so are the rest.
    first_kw = next((i for i, k in enumerate(by_keyword) if k), count)
    args = values[:first_kw]
    kwargs = {params[i][0]: values[i] for i in range(first_kw, count)}
    return name, args, kwargs


def _fields(obj):
    if isinstance(obj, zln.LshFamily):
        return (obj.family, obj.bits, obj.signature, obj.bands)
    if isinstance(obj, zln.LshConfig):
        return (obj.families, obj.bits, obj.bands)
    return obj


def _bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def _same(got, want):
    if isinstance(want, float):
        return isinstance(got, float) and _bits(got) == _bits(want)
    if isinstance(want, (list, tuple)):
        return len(got) == len(want) and all(_same(g, w) for g, w in zip(got, want))
    return type(got) is type(want) and got == want


def _expected(name, args, kwargs):
    fn, params, required, model_fn = CALLABLES[name]
    supplied = list(args) + [kwargs[p] for p, _ in params[len(args):] if p in kwargs]
    converted = []
    for (param, kind), value in zip(params, supplied):
        converted.append(_convert(kind, value, param))
    if name in DEFAULTS:
        converted += list(DEFAULTS[name][len(converted):])
    return model_fn(*converted)


# Long campaigns (scripts/fuzz.sh) raise the count through the environment.
EXAMPLES = int(os.environ.get("ZLN_BOUNDARY_EXAMPLES", "0")) or (
    100 if os.environ.get("ZLN_SANITIZED") == "1" else 400
)


@settings(max_examples=EXAMPLES)
@given(calls())
def test_generated_calls_match_the_model(call):
    name, args, kwargs = call
    fn = CALLABLES[name][0]
    try:
        want = ("ok", _expected(name, args, kwargs))
    except Expected as exc:
        want = ("err", exc)
    try:
        got = ("ok", fn(*args, **kwargs))
    except BaseException as exc:  # noqa: BLE001 - every outcome is compared
        got = ("err", exc)

    if want[0] == "ok" and want[1] is MAY_RUN_OUT_OF_MEMORY:
        assert got[0] == "ok" or type(got[1]) is MemoryError, repr(got[1])
        return
    if want[0] == "ok":
        assert got[0] == "ok", f"{name}{tuple(args)}{kwargs} raised {got[1]!r}"
        result = got[1]
        if name == "simhash_lsh_multi":
            assert all(type(r) is zln.LshFamily for r in result)
            result = [_fields(r) for r in result]
            if want[1] is None:  # too large for the model: shape only
                return
        elif name in ("LshFamily", "LshConfig"):
            assert type(result) is fn
            result = _fields(result)
        assert _same(result, want[1]), (name, args, kwargs, result, want[1])
        return

    exp = want[1]
    assert got[0] == "err", f"{name}{tuple(args)}{kwargs} returned {got[1]!r}, expected {exp.exc_type}"
    exc = got[1]
    if exp.parameter is None:  # internal failure
        assert type(exc) is panic_class(), repr(exc)
        assert exc.args == (exp.message,)
        return
    assert type(exc) is exp.exc_type, (name, args, kwargs, repr(exc), exp.exc_type)
    assert getattr(exc, "__notes__", None) == [f"while processing '{exp.parameter}'"]


@st.composite
def bad_bindings(draw):
    name = draw(st.sampled_from(sorted(CALLABLES)))
    fn, params, required, _ = CALLABLES[name]
    kind = draw(st.sampled_from(["too-many", "unknown", "duplicate", "missing"]))
    values = [None] * len(params)  # conversion would fail, binding fails first
    if kind == "too-many":
        return name, values + [None] * draw(st.integers(1, 3)), {}, kind
    if kind == "unknown":
        keyword = draw(st.sampled_from(["x", "vec", "\udc80", "é", "familie", "bits_"]))
        return name, values[:required], {keyword: 1}, kind
    if kind == "duplicate":
        i = draw(st.integers(0, len(params) - 1))
        return name, values[: i + 1], {params[i][0]: None}, kind
    if required == 0:
        return name, [None] * (len(params) + 1), {}, "too-many"
    missing = draw(st.integers(0, required - 1))
    kwargs = {p: None for p, _ in params[missing + 1 : required]}
    return name, values[:missing], kwargs, kind


@given(bad_bindings())
def test_impossible_bindings_fail_before_any_conversion(case):
    name, args, kwargs, kind = case
    fn = CALLABLES[name][0]
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    display = shapes.display_name(name)
    assert str(info.value).startswith(display), str(info.value)
    assert getattr(info.value, "__notes__", None) is None
