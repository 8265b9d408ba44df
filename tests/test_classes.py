"""The record classes LshConfig and LshFamily: construction, read-only
attributes, reprs, class properties and constructor failures."""

from __future__ import annotations

import gc
import weakref

import pytest

import zarvik_lumetra_native as zln
from support.interpreter_errors import unsigned_error
from conftest import assert_no_note, assert_single_note, panic_class

LshConfig = zln.LshConfig
LshFamily = zln.LshFamily

U64_MAX = 2**64 - 1
TEXT_LIST_LIMIT = 384307168202282325


def config_fields(c):
    return (c.families, c.bits, c.bands)


def family_fields(f):
    return (f.family, f.bits, f.signature, f.bands)


# ---------------------------------------------------------------------------
# LshConfig values and repr
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, fields, text",
    [
        ((), {}, (3, 256, 16), "LshConfig(families=3, bits=256, bands=16)"),
        ((), {"bands": 0}, (3, 256, 0), "LshConfig(families=3, bits=256, bands=0)"),
        ((0, 1, U64_MAX), {}, (0, 1, U64_MAX), "LshConfig(families=0, bits=1, bands=18446744073709551615)"),
        ((7,), {}, (7, 256, 16), "LshConfig(families=7, bits=256, bands=16)"),
        ((), {"bits": 63}, (3, 63, 16), "LshConfig(families=3, bits=63, bands=16)"),
        ((U64_MAX, U64_MAX, U64_MAX), {}, (U64_MAX,) * 3, "LshConfig(families=18446744073709551615, "
         "bits=18446744073709551615, bands=18446744073709551615)"),
        ((True, 10**3), {"bands": 2**63}, (1, 1000, 2**63), "LshConfig(families=1, bits=1000, bands=9223372036854775808)"),
    ],
)
def test_config_values_and_repr(args, kwargs, fields, text):
    c = LshConfig(*args, **kwargs)
    assert type(c) is LshConfig
    assert config_fields(c) == fields
    assert all(type(v) is int for v in config_fields(c))
    assert repr(c) == text
    assert str(c) == text


# ---------------------------------------------------------------------------
# LshFamily values and repr
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "family, bits, signature, bands, text",
    [
        (0, 64, "9f171218fc975cb7", ["9f17", "1218", "fc97", "5cb7"],
         "LshFamily(family=0, bits=64, signature='9f171218...', bands=4)"),
        (2, 256, "abc", [], "LshFamily(family=2, bits=256, signature='abc...', bands=0)"),
        (1, 8, "", ["x"], "LshFamily(family=1, bits=8, signature='...', bands=1)"),
        (0, 0, "\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc\u00e4", [],
         "LshFamily(family=0, bits=0, signature='\u00e4\u00f6\u00fc\u00e4\u00f6\u00fc\u00e4\u00f6...', bands=0)"),
        # Exactly eight characters: still followed by "...".
        (3, 32, "01234567", ["0123", "4567"], "LshFamily(family=3, bits=32, signature='01234567...', bands=2)"),
        # Code points, not bytes and not grapheme clusters.
        (0, 1, "\U0001f600e\u0301\U0001f600\u20ac\u00e9abcdef", [],
         "LshFamily(family=0, bits=1, signature='\U0001f600e\u0301\U0001f600\u20ac\u00e9ab...', bands=0)"),
        # Quotes and control characters are inserted verbatim.
        (5, 7, "a'b\n\x00\"\\c\td", ["a"] * 3,
         "LshFamily(family=5, bits=7, signature='a'b\n\x00\"\\c...', bands=3)"),
        (U64_MAX, U64_MAX, "z" * 1000, ["q"] * 1000,
         "LshFamily(family=18446744073709551615, bits=18446744073709551615, signature='zzzzzzzz...', bands=1000)"),
    ],
)
def test_family_values_and_repr(family, bits, signature, bands, text):
    f = LshFamily(family, bits, signature, bands)
    assert type(f) is LshFamily
    assert family_fields(f) == (family, bits, signature, bands)
    assert type(f.signature) is str and all(type(b) is str for b in f.bands)
    assert repr(f) == text
    assert str(f) == text


@pytest.mark.parametrize(
    "bands",
    [("a", "b"), ["a", "b"], range(0), (), ["", "\u00e9\U0001f600", "x\x00y"]],
    ids=["tuple", "list", "empty-range", "empty-tuple", "odd-texts"],
)
def test_bands_from_any_sequence_of_str(bands):
    f = LshFamily(0, 64, "ab", bands)
    assert f.bands == list(bands)
    assert type(f.bands) is list


def test_texts_with_embedded_nul_and_multibyte_round_trip():
    sig = "a\x00b\u00e9\U0010ffff"
    f = LshFamily(0, 0, sig, [sig, "\x00"])
    assert f.signature == sig
    assert f.bands == [sig, "\x00"]


def test_bands_list_is_fresh_on_every_read():
    f = LshFamily(0, 64, "abcd", ["ab", "cd"])
    first = f.bands
    first.append("zz")
    first[0] = "changed"
    second = f.bands
    assert second == ["ab", "cd"]
    assert second is not f.bands
    assert f.signature == "abcd"


def test_source_objects_are_copied():
    bands = ["ab", "cd"]
    f = LshFamily(0, 64, "abcd", bands)
    bands.append("ef")
    bands[0] = "xx"
    assert f.bands == ["ab", "cd"]


# ---------------------------------------------------------------------------
# Read-only, no extra attributes, no weak references
# ---------------------------------------------------------------------------

CONFIG_ATTRS = ["families", "bits", "bands"]
FAMILY_ATTRS = ["family", "bits", "signature", "bands"]


def _instances():
    return [
        ("LshConfig", LshConfig(4, 128, 8), CONFIG_ATTRS, config_fields),
        ("LshFamily", LshFamily(1, 64, "abcd", ["ab", "cd"]), FAMILY_ATTRS, family_fields),
        ("LshFamily", zln.simhash_lsh_multi([1.0], 1, 64, 4)[0], FAMILY_ATTRS, family_fields),
    ]


@pytest.mark.parametrize("case", range(3), ids=["config", "family", "family-computed"])
def test_attributes_are_read_only(case):
    cls_name, obj, attrs, fields = _instances()[case]
    before = fields(obj)
    before_repr = repr(obj)
    for attr in attrs:
        with pytest.raises(AttributeError) as info:
            setattr(obj, attr, 1)
        assert str(info.value) == f"attribute '{attr}' of 'builtins.{cls_name}' objects is not writable"
        with pytest.raises(AttributeError):
            delattr(obj, attr)
    for attr in ["new_attribute", "__dict__", "__weakref__", "signature_"]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    with pytest.raises(AttributeError) as info:
        obj.new_attribute  # noqa: B018
    assert str(info.value) == f"'builtins.{cls_name}' object has no attribute 'new_attribute'"
    with pytest.raises(TypeError):
        vars(obj)
    # __init__ of object does nothing: calling it again changes nothing.
    obj.__init__(9, 9, "zz", ["zz"]) if cls_name == "LshFamily" else obj.__init__(9, 9, 9)
    assert fields(obj) == before
    assert repr(obj) == before_repr


@pytest.mark.parametrize("case", range(3), ids=["config", "family", "family-computed"])
def test_no_weak_references(case):
    cls_name, obj, _, _ = _instances()[case]
    with pytest.raises(TypeError) as info:
        weakref.ref(obj)
    assert str(info.value) == f"cannot create weak reference to 'builtins.{cls_name}' object"


@pytest.mark.parametrize("cls", [LshConfig, LshFamily])
def test_class_properties(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__weakrefoffset__ == 0
    assert cls.__dictoffset__ == 0
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == f"type 'builtins.{name}' is not an acceptable base type"
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass


@pytest.mark.parametrize("cls", [LshConfig, LshFamily])
def test_class_object_itself_accepts_attributes(cls):
    cls.extra_marker = 1
    try:
        assert cls.extra_marker == 1
    finally:
        del cls.extra_marker
    assert not hasattr(cls, "extra_marker")


def test_equality_and_hash_by_identity():
    a, b = LshConfig(), LshConfig()
    assert a != b and not (a == b)
    assert a == a and hash(a) == hash(a)
    assert len({a, b}) == 2
    f1, f2 = LshFamily(0, 0, "", []), LshFamily(0, 0, "", [])
    assert f1 != f2 and f1 == f1
    assert {f1: 1}[f1] == 1 and f2 not in {f1: 1}
    r1 = zln.simhash_lsh_multi([1.0], 1)
    r2 = zln.simhash_lsh_multi([1.0], 1)
    assert r1 != r2 and family_fields(r1[0]) == family_fields(r2[0])


def test_instances_are_not_tracked_by_the_cycle_collector():
    assert not gc.is_tracked(LshConfig())
    assert not gc.is_tracked(LshFamily(0, 0, "", ["a"]))


def test_simhash_results_are_instances_of_the_module_class():
    result = zln.simhash_lsh_multi([0.5, -0.25], families=4, bits=65, bands=3)
    assert type(result) is list and len(result) == 4
    for f, fam in enumerate(result):
        assert type(fam) is zln.LshFamily and isinstance(fam, LshFamily)
        assert fam.family == f and fam.bits == 65
        assert repr(fam) == f"LshFamily(family={f}, bits=65, signature='{fam.signature[:8]}...', bands=3)"


def test_new_called_directly():
    c = LshConfig.__new__(LshConfig, 1, bands=2)
    assert config_fields(c) == (1, 256, 2)
    f = LshFamily.__new__(LshFamily, 1, 2, "s", ["b"])
    assert family_fields(f) == (1, 2, "s", ["b"])


# ---------------------------------------------------------------------------
# Constructor failures
# ---------------------------------------------------------------------------


class _Bands:
    """A sequence reporting ``length`` and yielding ``items``."""

    def __init__(self, length, items):
        self.length = length
        self.items = list(items)
        self.reads = 0

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        self.reads += 1
        return self.items[i]


@pytest.mark.parametrize("length", [TEXT_LIST_LIMIT + 1, 2**61, 2**62, 2**63 - 1])
def test_bands_reporting_too_many_items_is_capacity_overflow(length):
    bands = _Bands(length, ["a", "b"])
    with pytest.raises(BaseException) as info:
        LshFamily(0, 64, "ab", bands)
    assert type(info.value) is panic_class()
    assert info.value.args == ("capacity overflow",)
    assert_no_note(info.value)
    assert bands.reads == 0


@pytest.mark.parametrize("length", [TEXT_LIST_LIMIT, 0, 1, 10**15])
def test_bands_reported_length_below_the_limit_is_only_a_hint(length):
    bands = _Bands(length, ["a", "b"])
    f = LshFamily(0, 64, "ab", bands)
    assert f.bands == ["a", "b"]
    assert bands.reads == 3


@pytest.mark.parametrize(
    "call, exc_type, message, parameter",
    [
        (lambda: LshConfig(-1), OverflowError, lambda: unsigned_error(-1)[1], "families"),
        (lambda: LshConfig(None), TypeError, lambda: unsigned_error(None)[1], "families"),
        (lambda: LshConfig(bits=None), TypeError, lambda: unsigned_error(None)[1], "bits"),
        (lambda: LshConfig(1, 2, 2**64), OverflowError, lambda: unsigned_error(2**64)[1], "bands"),
        (lambda: LshConfig(bands=1.5), TypeError, lambda: unsigned_error(1.5)[1], "bands"),
        (lambda: LshFamily(-1, 0, "", []), OverflowError, lambda: unsigned_error(-1)[1], "family"),
        (lambda: LshFamily(0, "64", "", []), TypeError, lambda: unsigned_error("64")[1], "bits"),
        (lambda: LshFamily(0, 64, b"ab", []), TypeError, "'bytes' object is not an instance of 'str'", "signature"),
        (lambda: LshFamily(0, 64, None, []), TypeError, "'None' is not an instance of 'str'", "signature"),
        (lambda: LshFamily(0, 64, "ab", "ab"), TypeError, "Can't extract `str` to `Vec`", "bands"),
        (lambda: LshFamily(0, 64, "ab", ["a", 1]), TypeError, "'int' object is not an instance of 'str'", "bands"),
        (lambda: LshFamily(0, 64, "ab", None), TypeError, "'None' is not an instance of 'Sequence'", "bands"),
        (lambda: LshFamily(0, 64, "ab", 3), TypeError, "'int' object is not an instance of 'Sequence'", "bands"),
    ],
)
def test_constructor_conversion_errors(call, exc_type, message, parameter):
    # An interpreter's own message is computed when the test runs (it needs
    # the test-only extension, so the row skips without it).
    if callable(message):
        message = message()
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert_single_note(info.value, parameter)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: LshConfig(1, 2, 3, 4), "LshConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: LshFamily(0, 64, "ab"), "LshFamily.__new__() missing 1 required positional argument: 'bands'"),
        (lambda: LshFamily(0, 1, "", [], 5), "LshFamily.__new__() takes 4 positional arguments but 5 were given"),
        (lambda: LshConfig(size=3), "LshConfig.__new__() got an unexpected keyword argument 'size'"),
        (lambda: LshConfig(3, families=3), "LshConfig.__new__() got multiple values for argument 'families'"),
    ],
)
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert_no_note(info.value)
