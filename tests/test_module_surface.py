"""What the interpreter sees of the module's top level: names, docstrings,
text signatures, re-import and reload behaviour, the exported symbol,
subinterpreters and the internal-failure exception."""

from __future__ import annotations

import ast
import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from support import shapes
import zarvik_lumetra_native as zln
from conftest import panic_class

MODULE_NAME = "zarvik_lumetra_native"

EXPECTED_ALL = [
    "LshFamily",
    "LshConfig",
    "simhash_lsh_multi",
    "normalize_vector",
    "hamming_distance_hex",
    "cosine_from_hamming",
    "compute_embedding_sha256",
]

MODULE_DOC = (
    "Native Python extension module for zarvik-lumetra\n\n"
    "This module is imported as `zarvik_lumetra_native` and provides accelerated\n"
    "implementations of the core LSH functions."
)

FUNCTION_DOCS = {
    "normalize_vector": (
        "L2-normalize a vector\n\nArgs:\n    vector: Input vector (list of floats)\n\n"
        "Returns:\n    L2-normalized vector. If the input has zero magnitude, returns the original."
    ),
    "simhash_lsh_multi": (
        "Generate SimHash LSH signatures for a normalized embedding vector\n\nArgs:\n"
        "    normalized_vector: L2-normalized embedding vector (list of floats)\n"
        "    families: Number of independent hash families (default: 3)\n"
        "    bits: Number of bits per signature (default: 256)\n"
        "    bands: Number of bands to split signature into (default: 16)\n\n"
        "Returns:\n    List of LshFamily objects, one per family"
    ),
    "cosine_from_hamming": (
        "Estimate cosine similarity from Hamming distance\n\n"
        "Uses the formula: cos(\u03c0 \u00d7 distance / total_bits)\n\nArgs:\n"
        "    distance_bits: Hamming distance in bits\n"
        "    total_bits: Total number of bits in the signatures\n\n"
        "Returns:\n    Estimated cosine similarity in [-1, 1]"
    ),
    "hamming_distance_hex": (
        "Compute Hamming distance between two hex-encoded signatures\n\nArgs:\n"
        "    a: First hex signature string\n    b: Second hex signature string\n\n"
        "Returns:\n    Number of differing bits"
    ),
    "compute_embedding_sha256": (
        "Compute canonical SHA-256 hash of a normalized embedding\n\n"
        "The embedding is quantized to 6 decimal places and serialized as JSON\n"
        "with specific formatting (spaces after commas, .0 for whole numbers)\n"
        "to ensure deterministic hashing across implementations.\n\nArgs:\n"
        "    normalized_embedding: L2-normalized embedding vector\n\n"
        "Returns:\n    Hex-encoded SHA-256 hash"
    ),
}

CLASS_DOCS = {
    "LshConfig": (
        "LSH configuration\n\nThis mirrors the Python LshConfig dataclass from zarvik_lumetra.types"
    ),
    "LshFamily": (
        "LSH family result containing signature and bands\n\n"
        "This mirrors the Python LSHFamily dataclass from zarvik_lumetra.lsh"
    ),
}

assert set(FUNCTION_DOCS) | set(CLASS_DOCS) == set(shapes.SHAPES) == set(EXPECTED_ALL)

# Attributes CPython itself gives an extension module object.
CPYTHON_MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def _run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# ---------------------------------------------------------------------------
# Names and documentation
# ---------------------------------------------------------------------------


def test_all_lists_the_seven_names_in_order():
    assert zln.__all__ == EXPECTED_ALL
    assert type(zln.__all__) is list


def test_module_docstring():
    assert zln.__doc__ == MODULE_DOC


def test_module_attributes_are_exactly_the_expected_ones():
    assert set(vars(zln)) == CPYTHON_MODULE_ATTRS | {"__all__"} | set(EXPECTED_ALL)


@pytest.mark.parametrize("name", sorted(FUNCTION_DOCS))
def test_function_signature_and_docstring(name):
    fn = getattr(zln, name)
    doc = FUNCTION_DOCS[name]
    signature = shapes.text_signature(name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__self__ is zln
    assert fn.__module__ == zln.__name__ == MODULE_NAME
    # inspect reads the text signature.
    assert str(inspect.signature(fn)) == signature


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_class_signature_and_docstring(name):
    cls = getattr(zln, name)
    doc = CLASS_DOCS[name]
    signature = shapes.text_signature(name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert str(inspect.signature(cls)) == signature


STUB = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "stubs", "zarvik_lumetra_native-stubs", "__init__.pyi"
)
# How the stubs spell the accepted type of each conversion kind.
STUB_TYPES = {
    shapes.VECTOR: "_Vector",
    shapes.U64: "SupportsIndex",
    shapes.TEXT: "str",
    shapes.OWNED_TEXT: "str",
    shapes.TEXT_LIST: "Sequence[str]",
}


def _stub_definitions():
    """name -> the stub's def node (a class's __new__ for a class)."""
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            found[node.name] = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    return found


@pytest.mark.parametrize("name", shapes.NAMES)
def test_stubs_match_the_shapes(name):
    node = _stub_definitions()[name]
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    params = args.args[1:] if shapes.is_class(name) else args.args  # without cls
    assert [a.arg for a in params] == shapes.parameters(name)
    assert [ast.unparse(a.annotation) for a in params] == [STUB_TYPES[k] for k in shapes.kinds(name)]
    assert [ast.literal_eval(d) for d in args.defaults] == shapes.defaults(name)
    assert ast.unparse(node.returns) == shapes.SHAPES[name][2]


def test_stubs_declare_exactly_the_public_names():
    assert set(_stub_definitions()) == set(shapes.SHAPES)


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(zln, "PanicException")
    assert "PanicException" not in zln.__all__


# ---------------------------------------------------------------------------
# Re-import and reload
# ---------------------------------------------------------------------------


def test_reimport_shares_classes_and_makes_new_functions():
    old = sys.modules[MODULE_NAME]
    try:
        del sys.modules[MODULE_NAME]
        new = importlib.import_module(MODULE_NAME)
        assert new is not old
        assert new.LshConfig is old.LshConfig
        assert new.LshFamily is old.LshFamily
        for name in EXPECTED_ALL[2:]:
            new_fn, old_fn = getattr(new, name), getattr(old, name)
            assert new_fn is not old_fn
            assert new_fn.__self__ is new
            assert old_fn.__self__ is old
        assert new.__all__ == EXPECTED_ALL
        # Results of the new module's functions are instances of the shared class.
        assert type(new.simhash_lsh_multi([1.0])[0]) is old.LshFamily
        # The old module keeps working.
        assert old.normalize_vector([3.0, 4.0]) == new.normalize_vector([3.0, 4.0])
    finally:
        sys.modules[MODULE_NAME] = old


_EXEC_AGAIN = """
    import ctypes
    api = ctypes.pythonapi
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int

    def exec_again(module):
        # Runs the module's execution step once more on the same object.
        return api.PyModule_ExecDef(module, api.PyModule_GetDef(module))
"""


def test_reload_keeps_a_working_module():
    # CPython marks an executed extension module as initialised, so reload
    # hands back the same module object, which keeps working.
    code = """
        import importlib, zarvik_lumetra_native as m
        cls = m.LshConfig
        r = importlib.reload(m)
        assert r is m
        assert m.LshConfig is cls
        assert m.__all__[:7] == %r, m.__all__
        assert len(m.__all__) %% 7 == 0
        assert m.normalize_vector([2.0]) == [1.0]
        print("ok")
    """ % (EXPECTED_ALL,)
    proc = _run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_running_the_execution_step_again_appends_the_names_again():
    code = _EXEC_AGAIN + """
    import zarvik_lumetra_native as m
    names = %r
    all_list = m.__all__
    first = m.normalize_vector
    cls = m.LshConfig
    assert exec_again(m) == 0
    assert m.__all__ is all_list            # extended in place
    assert m.__all__ == names * 2, m.__all__
    assert m.normalize_vector is not first  # rebound to a new function
    assert m.normalize_vector.__self__ is m
    assert m.LshConfig is cls
    exec_again(m)
    assert m.__all__ == names * 3, m.__all__
    print("ok")
    """ % (EXPECTED_ALL,)
    proc = _run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("m.__all__ = ('x',)", "TypeError: 'tuple' object is not an instance of 'list'"),
        ("m.__all__ = None", "TypeError: 'None' is not an instance of 'list'"),
        ("del m.__all__", "ok " + repr(EXPECTED_ALL)),
        ("m.__all__ = ['x']", "ok " + repr(["x"] + EXPECTED_ALL)),
    ],
)
def test_execution_step_with_a_replaced_all(setup, expected):
    code = _EXEC_AGAIN + """
    import zarvik_lumetra_native as m
    %s
    try:
        exec_again(m)
    except Exception as e:
        print(type(e).__name__ + ": " + str(e))
    else:
        print("ok", m.__all__)
    """ % setup
    proc = _run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected


# ---------------------------------------------------------------------------
# The shared object
# ---------------------------------------------------------------------------


def _bulk_module_file():
    bulk = pytest.importorskip("zarvik_lumetra_bulk")
    return bulk.__file__


@pytest.mark.parametrize("path, init", [
    (lambda: zln.__file__, "PyInit_zarvik_lumetra_native"),
    (_bulk_module_file, "PyInit_zarvik_lumetra_bulk"),
], ids=["per-call", "bulk"])
def test_shared_object_exports_only_the_init_function(path, init):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    proc = subprocess.run([nm, "-D", "--defined-only", path()], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"nm failed: {proc.stderr.strip()}")
    names = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    # Only global symbols of text/data kinds are exports; version-definition
    # entries (kind 'A') are not code.
    exported = [
        line.split()[-1]
        for line in proc.stdout.splitlines()
        if len(line.split()) == 3 and line.split()[1] not in ("A",)
    ]
    assert exported == [init], names


def test_import_in_a_subinterpreter_fails_with_import_error():
    code = """
        import sys
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("SKIP")
                raise SystemExit(0)
        import zarvik_lumetra_native  # the main interpreter is fine
        interp = interpreters.create()
        try:
            script = (
                "try:\\n"
                "    import zarvik_lumetra_native\\n"
                "except ImportError:\\n"
                "    pass\\n"
                "else:\\n"
                "    raise AssertionError('imported in a subinterpreter')\\n"
            )
            res = interpreters.run_string(interp, script)
            if res is not None:  # 3.13 returns the failure instead of raising
                print("FAILED", res)
                raise SystemExit(1)
        finally:
            interpreters.destroy(interp)
        # Still usable in the main interpreter afterwards.
        assert zarvik_lumetra_native.normalize_vector([2.0]) == [1.0]
        print("ok")
    """
    proc = _run_python(code)
    if proc.stdout.strip() == "SKIP":
        pytest.skip("no subinterpreter API in this Python")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip() == "ok"


# ---------------------------------------------------------------------------
# PanicException
# ---------------------------------------------------------------------------

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


def test_panic_exception_class_shape():
    cls = panic_class()
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__name__ == "PanicException"


def test_panic_passes_through_except_exception():
    cls = panic_class()
    caught_by_exception = False
    with pytest.raises(BaseException) as info:
        try:
            zln.hamming_distance_hex("0g", "00")
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by_exception = True
    assert not caught_by_exception
    exc = info.value
    assert type(exc) is cls
    assert exc.args == (UNWRAP_NONE,)
    assert str(exc) == UNWRAP_NONE
    assert getattr(exc, "__notes__", None) is None
    # The interpreter keeps running and the module keeps working.
    assert zln.hamming_distance_hex("ff", "0f") == 4


def test_panic_writes_a_diagnostic_to_stderr():
    proc = _run_python(
        """
        import zarvik_lumetra_native as m
        try:
            m.hamming_distance_hex('0', 'x')
        except BaseException as e:
            print(type(e).__name__, e.args)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "PanicException ('called `Option::unwrap()` on a `None` value',)"
    assert UNWRAP_NONE in proc.stderr


def test_same_panic_class_every_time():
    assert panic_class() is panic_class()
