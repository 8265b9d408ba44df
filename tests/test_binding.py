"""Argument binding, argument conversion and error reporting of every
callable: the five functions and the two class constructors."""

from __future__ import annotations

import itertools
import operator
import sys

import pytest

from support import reference_model as model
from support import shapes
import zarvik_lumetra_native as zln
from support.interpreter_errors import float_error, iter_error, unsigned_error
from conftest import assert_no_note, assert_single_note, panic_class, same_floats

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
CAPACITY_OVERFLOW = "capacity overflow"
STR_TO_VEC = "Can't extract `str` to `Vec`"

# Valid arguments of every callable, in parameter order.
VALID = {
    "normalize_vector": [[1.0, 2.0]],
    "simhash_lsh_multi": [[1.0], 2, 64, 4],
    "cosine_from_hamming": [5, 11],
    "hamming_distance_hex": ["ff", "0f"],
    "compute_embedding_sha256": [[1.0, 0.5]],
    "LshFamily": [1, 64, "abcd", ["ab", "cd"]],
    "LshConfig": [1, 2, 3],
}

# name -> (callable, display name, parameters, required count, valid arguments)
CALLABLES = {
    name: (getattr(zln, name), shapes.display_name(name), shapes.parameters(name), shapes.required_count(name), VALID[name])
    for name in shapes.NAMES
}
NAMES = shapes.NAMES

# Conversion kind of every parameter; a copied text follows the same rules as
# a text view.
VECTOR, U64, TEXT, TEXT_LIST = shapes.VECTOR, shapes.U64, shapes.TEXT, shapes.TEXT_LIST


def kind_of(callable_name: str, param: str) -> str:
    kind = shapes.kind_of(callable_name, param)
    return TEXT if kind == shapes.OWNED_TEXT else kind


ALL_PARAMS = [(name, i) for name in NAMES for i in range(len(CALLABLES[name][2]))]
PARAM_IDS = [f"{name}-{CALLABLES[name][2][i]}" for name, i in ALL_PARAMS]


def comparable(result):
    """A value for comparing results of two calls of the same callable."""
    if isinstance(result, (zln.LshFamily, zln.LshConfig)):
        return repr(result), _fields(result)
    if isinstance(result, list):
        return [comparable(r) for r in result]
    return result


def _fields(obj):
    if isinstance(obj, zln.LshFamily):
        return (obj.family, obj.bits, obj.signature, obj.bands)
    return (obj.families, obj.bits, obj.bands)


def call_with(name, index, value):
    """Calls the named callable with valid arguments except at ``index``."""
    fn, _, _, _, valid = CALLABLES[name]
    args = list(valid)
    args[index] = value
    return fn(*args)


def raises_with_note(exc_type, parameter, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert_single_note(info.value, parameter)
    return info.value


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


# ---------------------------------------------------------------------------
# Binding
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (zln.normalize_vector, (), {}, "normalize_vector() missing 1 required positional argument: 'vector'"),
        (zln.hamming_distance_hex, (), {"b": "0"}, "hamming_distance_hex() missing 1 required positional argument: 'a'"),
        (zln.hamming_distance_hex, (), {}, "hamming_distance_hex() missing 2 required positional arguments: 'a' and 'b'"),
        (
            zln.LshFamily,
            (),
            {},
            "LshFamily.__new__() missing 4 required positional arguments: 'family', 'bits', 'signature', and 'bands'",
        ),
        (
            zln.LshFamily,
            (0,),
            {"signature": "x"},
            "LshFamily.__new__() missing 2 required positional arguments: 'bits' and 'bands'",
        ),
        (
            zln.LshFamily,
            (0, 64, "ab"),
            {},
            "LshFamily.__new__() missing 1 required positional argument: 'bands'",
        ),
        (
            zln.LshFamily,
            (),
            {"bits": 1},
            "LshFamily.__new__() missing 3 required positional arguments: 'family', 'signature', and 'bands'",
        ),
        (zln.normalize_vector, ([1.0], [2.0]), {}, "normalize_vector() takes 1 positional arguments but 2 were given"),
        (zln.LshConfig, (1, 2, 3, 4), {}, "LshConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (
            zln.simhash_lsh_multi,
            ([1.0], 1, 2, 3, 4),
            {},
            "simhash_lsh_multi() takes from 1 to 4 positional arguments but 5 were given",
        ),
        (zln.normalize_vector, ([1.0],), {"vector": [2.0]}, "normalize_vector() got multiple values for argument 'vector'"),
        (zln.normalize_vector, (), {"vec": [1.0]}, "normalize_vector() got an unexpected keyword argument 'vec'"),
        (zln.cosine_from_hamming, (1,), {"total": 2}, "cosine_from_hamming() got an unexpected keyword argument 'total'"),
        (zln.hamming_distance_hex, ("0",), {"a": "0"}, "hamming_distance_hex() got multiple values for argument 'a'"),
        # Binding is complete before any conversion.
        (zln.normalize_vector, ("x",), {"extra": 1}, "normalize_vector() got an unexpected keyword argument 'extra'"),
        # Too many positional arguments are reported before any keyword.
        (zln.normalize_vector, (1, 2), {"bogus": 3}, "normalize_vector() takes 1 positional arguments but 2 were given"),
        (zln.LshConfig, (1, 2, 3, 4), {"bogus": 1}, "LshConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        # A missing argument is reported only after the keywords matched.
        (zln.hamming_distance_hex, (), {"c": "0"}, "hamming_distance_hex() got an unexpected keyword argument 'c'"),
    ],
)
def test_binding_messages(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert_no_note(info.value)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("with_keywords", [False, True], ids=["plain", "with-keywords"])
@pytest.mark.parametrize("extra", [1, 3])
def test_too_many_positional(name, with_keywords, extra):
    fn, display, params, required, valid = CALLABLES[name]
    n = len(params)
    given = n + extra
    if required == n:
        expected = f"{display} takes {n} positional arguments but {given} were given"
    else:
        expected = f"{display} takes from {required} to {n} positional arguments but {given} were given"
    kwargs = {"zz_unknown": 1, params[0]: valid[0]} if with_keywords else {}
    # The surplus values are deliberately invalid: nothing is converted.
    with pytest.raises(TypeError) as info:
        fn(*valid, *(["not converted"] * extra), **kwargs)
    assert str(info.value) == expected
    assert_no_note(info.value)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "keyword, shown",
    [
        ("bogus", "bogus"),
        ("VECTOR", "VECTOR"),  # names are compared exactly
        ("\u00e9t\u00e9", "\u00e9t\u00e9"),
        ("\ud800", "\ufffd\ufffd\ufffd"),
        ("a\udcffb\ud83d", "a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd"),
    ],
)
def test_unexpected_keyword(name, keyword, shown):
    fn, display, params, _, valid = CALLABLES[name]
    with pytest.raises(TypeError) as info:
        fn(*valid, **{keyword: 1})
    assert str(info.value) == f"{display} got an unexpected keyword argument '{shown}'"
    assert_no_note(info.value)


class _RenamedKey(str):
    def __str__(self):
        return "shown-name"


class _UnprintableKey(str):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("name", ["normalize_vector", "LshConfig"])
def test_unexpected_keyword_is_rendered_through_str(name, monkeypatch):
    fn, display, _, _, valid = CALLABLES[name]
    with pytest.raises(TypeError) as info:
        fn(*valid, **{_RenamedKey("bogus"): 1})
    assert str(info.value) == f"{display} got an unexpected keyword argument 'shown-name'"

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with pytest.raises(TypeError) as info:
        fn(*valid, **{_UnprintableKey("bogus"): 1})
    assert str(info.value) == f"{display} got an unexpected keyword argument '<unprintable _UnprintableKey object>'"
    assert len(reports) == 1
    assert type(reports[0].exc_value) is ValueError


def test_keyword_of_a_str_subclass_matches_by_its_text():
    # Matching uses the keyword's own text, not its str().
    assert zln.normalize_vector(**{_RenamedKey("vector"): [2.0]}) == [1.0]
    with pytest.raises(TypeError) as info:
        zln.normalize_vector([1.0], **{_RenamedKey("vector"): [2.0]})
    assert str(info.value) == "normalize_vector() got multiple values for argument 'vector'"


@pytest.mark.parametrize("name, index", ALL_PARAMS, ids=PARAM_IDS)
def test_multiple_values(name, index):
    fn, display, params, _, valid = CALLABLES[name]
    with pytest.raises(TypeError) as info:
        fn(*valid[: index + 1], **{params[index]: valid[index]})
    assert str(info.value) == f"{display} got multiple values for argument '{params[index]}'"
    assert_no_note(info.value)


def _missing_cases():
    for name in NAMES:
        _, _, params, required, _ = CALLABLES[name]
        for positional in range(required):
            # Every choice of the remaining required names given by keyword.
            rest = params[positional:required]
            for r in range(len(rest)):
                for given in itertools.combinations(rest, r):
                    yield name, positional, given


@pytest.mark.parametrize("name, positional, by_keyword", list(_missing_cases()))
def test_missing_arguments(name, positional, by_keyword):
    fn, display, params, required, valid = CALLABLES[name]
    kwargs = {p: valid[params.index(p)] for p in by_keyword}
    missing = [p for p in params[positional:required] if p not in by_keyword]
    count = len(missing)
    noun = "argument" if count == 1 else "arguments"
    with pytest.raises(TypeError) as info:
        fn(*valid[:positional], **kwargs)
    assert str(info.value) == f"{display} missing {count} required positional {noun}: {name_list(missing)}"
    assert_no_note(info.value)


@pytest.mark.parametrize("name", NAMES)
def test_every_parameter_by_keyword(name):
    fn, _, params, _, valid = CALLABLES[name]
    expected = comparable(fn(*valid))
    assert comparable(fn(**dict(zip(params, valid)))) == expected
    # Keyword order does not matter, nor mixing positional and keyword.
    assert comparable(fn(**dict(reversed(list(zip(params, valid)))))) == expected
    for split in range(len(params)):
        assert comparable(fn(*valid[:split], **dict(zip(params[split:], valid[split:])))) == expected


def test_omitted_optional_arguments_take_their_defaults():
    v = [0.5, -0.25]
    families, bits, bands = shapes.defaults("simhash_lsh_multi")
    assert comparable(zln.simhash_lsh_multi(v)) == comparable(zln.simhash_lsh_multi(v, families, bits, bands))
    assert comparable(zln.simhash_lsh_multi(v, bits=128)) == comparable(zln.simhash_lsh_multi(v, families, 128, bands))
    families, bits, _ = shapes.defaults("LshConfig")
    assert _fields(zln.LshConfig(bands=5)) == (families, bits, 5)


def _none_expectation(kind):
    if kind in (VECTOR, TEXT_LIST):
        return TypeError, "'None' is not an instance of 'Sequence'"
    if kind == TEXT:
        return TypeError, "'None' is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        operator.index(None)
    return TypeError, str(info.value)


@pytest.mark.parametrize("name, index", ALL_PARAMS, ids=PARAM_IDS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_none_is_converted_and_fails(name, index, by_keyword):
    fn, _, params, _, valid = CALLABLES[name]
    exc_type, message = _none_expectation(kind_of(name, params[index]))
    if by_keyword:
        kwargs = dict(zip(params, valid))
        kwargs[params[index]] = None
        exc = raises_with_note(exc_type, params[index], fn, **kwargs)
    else:
        exc = raises_with_note(exc_type, params[index], call_with, name, index, None)
    assert str(exc) == message
    assert exc.args == (message,)


# ---------------------------------------------------------------------------
# Float vector conversion
# ---------------------------------------------------------------------------

VECTOR_PARAMS = [(name, i) for name, i in ALL_PARAMS if kind_of(name, CALLABLES[name][2][i]) == VECTOR]
VECTOR_IDS = [f"{name}-{CALLABLES[name][2][i]}" for name, i in VECTOR_PARAMS]


class _StrSub(str):
    pass


def _gen():
    yield 1.0


@pytest.mark.parametrize("name, index", VECTOR_PARAMS, ids=VECTOR_IDS)
@pytest.mark.parametrize(
    "value, message",
    [
        ("0.5", STR_TO_VEC),
        ("", STR_TO_VEC),
        (_StrSub("1"), STR_TO_VEC),
        (3, "'int' object is not an instance of 'Sequence'"),
        (2.5, "'float' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
        ({1.0}, "'set' object is not an instance of 'Sequence'"),
        (_gen(), "'generator' object is not an instance of 'Sequence'"),
        (iter([1.0]), "'list_iterator' object is not an instance of 'Sequence'"),
        (_StrSub, "'type' object is not an instance of 'Sequence'"),
    ],
    ids=["str", "empty-str", "str-subclass", "int", "float", "None", "dict", "set", "generator", "iterator", "type"],
)
def test_vector_refusals(name, index, value, message):
    exc = raises_with_note(TypeError, CALLABLES[name][2][index], call_with, name, index, value)
    assert str(exc) == message


class _Local:
    class Inner:
        pass


def test_type_mismatch_uses_the_qualified_name():
    with pytest.raises(TypeError) as info:
        zln.normalize_vector(_Local.Inner())
    assert str(info.value) == "'_Local.Inner' object is not an instance of 'Sequence'"


def test_type_name_with_lone_surrogate_is_repaired():
    cls = type("X", (), {})
    try:
        cls.__qualname__ = "\ud800X"
    except (TypeError, ValueError, UnicodeError):  # pragma: no cover
        pytest.skip("this Python refuses such a qualified name")
    with pytest.raises(TypeError) as info:
        zln.normalize_vector(cls())
    assert str(info.value) == "'\ufffd\ufffd\ufffdX' object is not an instance of 'Sequence'"
    exc = raises_with_note(TypeError, "b", zln.hamming_distance_hex, "a", cls())
    assert str(exc) == "'\ufffd\ufffd\ufffdX' object is not an instance of 'str'"


class _Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class _Flt:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class _FloatSub(float):
    def __float__(self):  # never consulted for a float subclass
        return 99.0


@pytest.mark.parametrize("name, index", VECTOR_PARAMS, ids=VECTOR_IDS)
@pytest.mark.parametrize(
    "value, elements",
    [
        (b"\x01\x02", [1.0, 2.0]),
        (bytearray(b"\x03"), [3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ((1, True, 2.5), [1.0, 1.0, 2.5]),
        ([], []),
        ((), []),
        ([_Idx(4), _Flt(0.1), _FloatSub(0.5), False], [4.0, model.to_f32(0.1), 0.5, 0.0]),
        ([1e39, -1e39, 0.1, float("nan")], [float("inf"), float("-inf"), model.to_f32(0.1), float("nan")]),
        ([-1.0, -1], [-1.0, -1.0]),
    ],
    ids=["bytes", "bytearray", "range", "tuple", "empty-list", "empty-tuple", "number-protocols", "narrowing", "minus-one"],
)
def test_vector_accepted(name, index, value, elements):
    fn, _, _, _, valid = CALLABLES[name]
    got = comparable(call_with(name, index, value))
    want = comparable(call_with(name, index, list(elements)))
    if isinstance(got, list) and got and isinstance(got[0], float):
        assert same_floats(got, want)
    else:
        assert got == want


@pytest.mark.parametrize("name, index", VECTOR_PARAMS, ids=VECTOR_IDS)
@pytest.mark.parametrize(
    "item, exc_type",
    [
        ("2", TypeError),
        (None, TypeError),
        (10**400, OverflowError),
        (_Flt("x"), TypeError),
        (_Idx(10**400), OverflowError),
    ],
    ids=["str-item", "None-item", "huge-int", "bad-__float__", "huge-__index__"],
)
def test_vector_element_errors(name, index, item, exc_type):
    # The interpreter's float reading raises these: the text is its own.
    assert float_error(item)[0] is exc_type
    exc = raises_with_note(exc_type, CALLABLES[name][2][index], call_with, name, index, [1.0, item, 2.0])
    assert str(exc) == float_error(item)[1]


class _Boom(Exception):
    pass


class _Raising:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise _Boom("from __float__") from e


def test_error_from_user_code_passes_through_unchanged():
    with pytest.raises(_Boom) as info:
        zln.compute_embedding_sha256([_Raising()])
    exc = info.value
    assert exc.args == ("from __float__",)
    assert isinstance(exc.__cause__, KeyError)
    # The traceback still reaches into the user's __float__.
    frames = []
    tb = exc.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert frames[-1] == "__float__", frames
    assert_single_note(exc, "normalized_embedding")


class _NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("refusing notes")


class _RaisesNoNotes:
    def __float__(self):
        raise _NoNotes("kept")


def test_failed_add_note_leaves_the_error_as_it_was():
    with pytest.raises(_NoNotes) as info:
        zln.normalize_vector([_RaisesNoNotes()])
    assert info.value.args == ("kept",)
    assert getattr(info.value, "__notes__", None) is None
    assert info.value.__context__ is None


class _NestedError:
    def __float__(self):
        return zln.normalize_vector("inner")[0]


def test_nested_ordinary_error_gets_a_second_note():
    with pytest.raises(TypeError) as info:
        zln.compute_embedding_sha256([_NestedError()])
    assert str(info.value) == STR_TO_VEC
    assert info.value.__notes__ == ["while processing 'vector'", "while processing 'normalized_embedding'"]


# ---------------------------------------------------------------------------
# Sequences that misreport their length
# ---------------------------------------------------------------------------


class _Seq:
    """A sequence reporting ``length`` (or raising) and yielding ``items``."""

    def __init__(self, length, items):
        self.length = length
        self.items = list(items)
        self.reads = 0

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        self.reads += 1
        return self.items[i]


@pytest.mark.parametrize("name, index", VECTOR_PARAMS, ids=VECTOR_IDS)
@pytest.mark.parametrize(
    "length",
    [0, 1, 3, 2**61 - 1, -1, 2**64, ValueError("no length"), OverflowError("no length")],
    ids=["zero", "one", "exact", "limit-minus-one", "negative", "beyond-ssize_t", "raises", "raises-overflow"],
)
def test_reported_length_only_sizes_the_reservation(name, index, length):
    seq = _Seq(length, [3.0, 4.0, 12.0])
    got = comparable(call_with(name, index, seq))
    assert seq.reads == 4  # three items and the IndexError that ends iteration
    assert got == comparable(call_with(name, index, [3.0, 4.0, 12.0]))


@pytest.mark.parametrize("name, index", VECTOR_PARAMS, ids=VECTOR_IDS)
@pytest.mark.parametrize("length", [2**61, 2**62, sys.maxsize])
def test_impossible_reported_length_is_capacity_overflow(name, index, length):
    seq = _Seq(length, [1.0])
    with pytest.raises(BaseException) as info:
        call_with(name, index, seq)
    assert type(info.value) is panic_class()
    assert info.value.args == (CAPACITY_OVERFLOW,)
    assert_no_note(info.value)
    assert seq.reads == 0


class _Iterable:
    """A sequence (has __getitem__) whose __iter__ decides what is yielded."""

    def __init__(self, iterator_factory):
        self.factory = iterator_factory

    def __len__(self):
        return 1

    def __getitem__(self, i):  # pragma: no cover - iteration uses __iter__
        raise AssertionError("indexed")

    def __iter__(self):
        return self.factory()


def test_iteration_errors_pass_through_with_the_note():
    def failing():
        yield 1.0
        raise LookupError("stop here")

    exc = raises_with_note(LookupError, "vector", zln.normalize_vector, _Iterable(failing))
    assert exc.args == ("stop here",)

    def bad_iter():
        return 5

    exc = raises_with_note(TypeError, "vector", zln.normalize_vector, _Iterable(bad_iter))
    assert str(exc) == iter_error(_Iterable(bad_iter))[1]


# ---------------------------------------------------------------------------
# Items that change the list being converted
# ---------------------------------------------------------------------------


class _Mutator:
    def __init__(self, action, value=0.5):
        self.action = action
        self.value = value
        self.target = None

    def __float__(self):
        if self.target is not None:
            self.action(self.target)
        return self.value


def _mutating_lists(list_type):
    """Pairs of fresh identical lists whose items mutate their own list."""

    def build(action_name):
        actions = {
            "clear": lambda lst: lst.clear(),
            "pop-next": lambda lst: lst.pop() if len(lst) > 2 else None,
            "append": lambda lst: lst.append(2.0) if len(lst) < 8 else None,
            "insert-front": lambda lst: lst.insert(0, 7.0) if len(lst) < 8 else None,
            "replace-rest": lambda lst: lst.__setitem__(slice(2, None), [5.0, _Idx(6), 7.0]),
            "delete-self": lambda lst: lst.__delitem__(1) if len(lst) > 1 else None,
        }
        m = _Mutator(actions[action_name])
        lst = list_type([1.0, m, 3.0, 4.0, 8.0])
        m.target = lst
        return lst

    return build


@pytest.mark.parametrize("list_type", [list, type("ListSub", (list,), {})], ids=["list", "list-subclass"])
@pytest.mark.parametrize("action", ["clear", "pop-next", "append", "insert-front", "replace-rest", "delete-self"])
def test_items_mutating_the_list(list_type, action):
    build = _mutating_lists(list_type)
    expected = model.normalize_vector(build(action))  # iterates the same way
    got = zln.normalize_vector(build(action))
    assert same_floats(got, expected), (got, expected)


# ---------------------------------------------------------------------------
# Nested internal failures
# ---------------------------------------------------------------------------


class _PanicFloat:
    def __float__(self):
        return float(zln.hamming_distance_hex("0g", "00"))


class _PanicIndex:
    def __index__(self):
        return zln.hamming_distance_hex("zz", "00")


class _PanicCapacity:
    def __float__(self):
        return zln.normalize_vector(_Seq(2**61, []))[0]


class _PanicLen:
    """A sequence whose length query runs a failing nested call."""

    def __len__(self):
        return zln.hamming_distance_hex("0g", "00")

    def __getitem__(self, i):
        raise IndexError(i)


def _panic_iter():
    yield "ab"
    zln.hamming_distance_hex("0g", "00")


class _RaisesPanic:
    """Raises the module's own PanicException with a chosen message."""

    def __init__(self, message):
        self.message = message

    def __float__(self):
        raise panic_class()(self.message)


class _PanicInAddNote(Exception):
    def add_note(self, note):
        zln.hamming_distance_hex("0g", "00")


class _RaisesPanicInAddNote:
    def __float__(self):
        raise _PanicInAddNote("x")


class _PanicInStrKey(str):
    def __str__(self):
        zln.hamming_distance_hex("0g", "00")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: zln.normalize_vector([1.0, _PanicFloat()]), UNWRAP_NONE),
        (lambda: zln.compute_embedding_sha256((_PanicFloat(),)), UNWRAP_NONE),
        (lambda: zln.simhash_lsh_multi(_Seq(2, [_PanicFloat()])), UNWRAP_NONE),
        (lambda: zln.cosine_from_hamming(1, _PanicIndex()), UNWRAP_NONE),
        (lambda: zln.LshConfig(bands=_PanicIndex()), UNWRAP_NONE),
        (lambda: zln.LshFamily(0, 0, "", _Iterable(_panic_iter)), UNWRAP_NONE),
        (lambda: zln.normalize_vector([_Flt(0.0), _PanicCapacity()]), CAPACITY_OVERFLOW),
        # A failed length query is otherwise ignored, but not when it is a panic.
        (lambda: zln.normalize_vector(_PanicLen()), UNWRAP_NONE),
        (lambda: zln.LshFamily(0, 0, "", _PanicLen()), UNWRAP_NONE),
        # Nor when the note can't be added, or when a keyword is rendered.
        (lambda: zln.normalize_vector([_RaisesPanicInAddNote()]), UNWRAP_NONE),
        (lambda: zln.LshConfig(**{_PanicInStrKey("bogus"): 1}), UNWRAP_NONE),
        # The message is the whole str() of the panic, rendered like any text.
        (lambda: zln.normalize_vector([_RaisesPanic("a\x00b")]), "a\x00b"),
        (lambda: zln.normalize_vector([_RaisesPanic("x\ud800y\udfff")]), "x\ufffd\ufffd\ufffdy\ufffd\ufffd\ufffd"),
        (lambda: zln.normalize_vector([_RaisesPanic("")]), ""),
    ],
    ids=[
        "float", "float-tuple", "float-iterated", "index", "index-ctor", "text-list-iter", "capacity", "len",
        "len-ctor", "add_note", "keyword-str", "nul", "lone-surrogates", "empty",
    ],
)
def test_nested_panic_is_reraised_as_panic(call, message, capsys):
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc) is panic_class()
    assert exc.args == (message,)
    assert_no_note(exc)
    if message.isascii() and message.isprintable():
        assert message in capsys.readouterr().err


def test_nested_panic_whose_str_fails_is_unwrapped(capsys):
    cls = type("UnprintablePanic", (panic_class(),), {"__str__": lambda self: 1 / 0})

    class Raises:
        def __float__(self):
            raise cls("hidden")

    with pytest.raises(BaseException) as info:
        zln.normalize_vector([Raises()])
    assert type(info.value) is panic_class()
    assert info.value.args == ("Unwrapped panic from Python code",)


# ---------------------------------------------------------------------------
# Unsigned integer conversion
# ---------------------------------------------------------------------------

U64_PARAMS = [(name, i) for name, i in ALL_PARAMS if kind_of(name, CALLABLES[name][2][i]) == U64]
U64_IDS = [f"{name}-{CALLABLES[name][2][i]}" for name, i in U64_PARAMS]


class _IntSub(int):
    def __index__(self):  # never consulted for an int subclass
        return 7


class _BadIndex:
    def __index__(self):
        return "5"


@pytest.mark.parametrize("name, index", U64_PARAMS, ids=U64_IDS)
@pytest.mark.parametrize(
    "value, exc_type",
    [
        (-1, OverflowError),
        (-(2**70), OverflowError),
        (2**64, OverflowError),
        (_Idx(2**64), OverflowError),
        (_Idx(-3), OverflowError),
        (1.0, TypeError),
        (1.5, TypeError),
        ("3", TypeError),
        (b"3", TypeError),
        (_BadIndex(), TypeError),
    ],
    ids=["minus-one", "very-negative", "2**64", "index-2**64", "index-negative", "float", "fraction", "str", "bytes", "bad-index"],
)
def test_unsigned_refusals(name, index, value, exc_type):
    # The interpreter's integer reading raises these: the text is its own.
    assert unsigned_error(value)[0] is exc_type
    exc = raises_with_note(exc_type, CALLABLES[name][2][index], call_with, name, index, value)
    assert str(exc) == unsigned_error(value)[1]


@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (True, 1), (False, 0), (_Idx(5), 5), (_IntSub(3), 3), (2**64 - 1, 2**64 - 1), (2**63, 2**63)],
    ids=["zero", "True", "False", "__index__", "int-subclass", "max", "2**63"],
)
@pytest.mark.parametrize("index", range(3))
def test_unsigned_values_accepted(value, expected, index):
    args = [1, 2, 3]
    args[index] = value
    cfg = zln.LshConfig(*args)
    got = [cfg.families, cfg.bits, cfg.bands]
    assert got[index] == expected and type(got[index]) is int
    fam = zln.LshFamily(value, value, "", [])
    assert fam.family == expected and fam.bits == expected


def test_unsigned_values_reach_the_computation():
    assert zln.cosine_from_hamming(True, 3) == zln.cosine_from_hamming(1, 3)
    assert zln.cosine_from_hamming(_Idx(5), _Idx(11)) == zln.cosine_from_hamming(5, 11)
    assert zln.cosine_from_hamming(2**64 - 1, 2**64 - 1) == -1.0


@pytest.mark.parametrize(
    "call, parameter, exc_type",
    [
        (lambda: zln.cosine_from_hamming(-1, "x"), "distance_bits", OverflowError),
        (lambda: zln.cosine_from_hamming(1, "x"), "total_bits", TypeError),
        (lambda: zln.simhash_lsh_multi("x", -1, None, 1.0), "normalized_vector", TypeError),
        (lambda: zln.simhash_lsh_multi([1.0], bands=-1, bits=None), "bits", TypeError),
        (lambda: zln.simhash_lsh_multi([1.0], bands=None, families=2**64), "families", OverflowError),
        (lambda: zln.LshFamily(-1, None, 5, "x"), "family", OverflowError),
        (lambda: zln.LshFamily(0, 0, 5, "x"), "signature", TypeError),
        (lambda: zln.LshFamily(bands="x", signature=b"s", bits=1, family=0), "signature", TypeError),
        (lambda: zln.LshConfig(bands=-1, families=None), "families", TypeError),
        (lambda: zln.hamming_distance_hex(None, 5), "a", TypeError),
    ],
)
def test_first_failing_argument_in_declaration_order_wins(call, parameter, exc_type):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert_single_note(info.value, parameter)


# ---------------------------------------------------------------------------
# Text conversions
# ---------------------------------------------------------------------------

TEXT_PARAMS = [(name, i) for name, i in ALL_PARAMS if kind_of(name, CALLABLES[name][2][i]) == TEXT]
TEXT_IDS = [f"{name}-{CALLABLES[name][2][i]}" for name, i in TEXT_PARAMS]


@pytest.mark.parametrize("name, index", TEXT_PARAMS, ids=TEXT_IDS)
@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (b"ab", TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (12, TypeError, "'int' object is not an instance of 'str'"),
        (["ab"], TypeError, "'list' object is not an instance of 'str'"),
        ("a\ud800", UnicodeEncodeError, None),
        ("\udfff", UnicodeEncodeError, None),
    ],
    ids=["bytes", "None", "int", "list", "lone-high", "lone-low"],
)
def test_text_refusals(name, index, value, exc_type, message):
    exc = raises_with_note(exc_type, CALLABLES[name][2][index], call_with, name, index, value)
    if message is None:
        with pytest.raises(UnicodeEncodeError) as ref:
            value.encode("utf-8")
        message = str(ref.value)
        assert exc.reason == ref.value.reason and exc.start == ref.value.start
    assert str(exc) == message


def test_text_accepts_str_subclasses():
    assert zln.hamming_distance_hex(_StrSub("ff"), _StrSub("0f")) == 4
    fam = zln.LshFamily(0, 0, _StrSub("sig"), (_StrSub("a"), "b"))
    assert fam.signature == "sig" and type(fam.signature) is str
    assert fam.bands == ["a", "b"] and all(type(b) is str for b in fam.bands)


@pytest.mark.parametrize(
    "bands, exc_type, message",
    [
        ("ab", TypeError, STR_TO_VEC),
        (_StrSub("ab"), TypeError, STR_TO_VEC),
        (["a", 1], TypeError, "'int' object is not an instance of 'str'"),
        (["a", None], TypeError, "'None' is not an instance of 'str'"),
        ([b"a"], TypeError, "'bytes' object is not an instance of 'str'"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ({"a"}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ((x for x in ["a"]), TypeError, "'generator' object is not an instance of 'Sequence'"),
    ],
    ids=["str", "str-subclass", "int-item", "None-item", "bytes-item", "int", "set", "generator"],
)
def test_text_list_refusals(bands, exc_type, message):
    exc = raises_with_note(exc_type, "bands", zln.LshFamily, 0, 64, "ab", bands)
    assert str(exc) == message


def test_text_list_lone_surrogate_item():
    exc = raises_with_note(UnicodeEncodeError, "bands", zln.LshFamily, 0, 64, "ab", ["ok", "x\ud800"])
    assert exc.start == 1


def test_error_message_is_bare_and_note_is_single_on_every_conversion_failure():
    # One failing conversion per conversion kind and exception class.
    failures = [
        (lambda: zln.normalize_vector("x"), "vector"),
        (lambda: zln.normalize_vector([object()]), "vector"),
        (lambda: zln.simhash_lsh_multi([1.0], 1, 2, -5), "bands"),
        (lambda: zln.hamming_distance_hex("ab", "\ud800"), "b"),
        (lambda: zln.LshFamily(0, 0, "", [1]), "bands"),
        (lambda: zln.compute_embedding_sha256([10**400]), "normalized_embedding"),
    ]
    for call, parameter in failures:
        with pytest.raises(Exception) as info:
            call()
        assert "while processing" not in str(info.value)
        assert_single_note(info.value, parameter)
        # The same failure again carries a single note too (no shared instance).
        with pytest.raises(Exception) as again:
            call()
        assert again.value is not info.value
        assert_single_note(again.value, parameter)
