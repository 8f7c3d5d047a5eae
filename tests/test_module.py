"""The extension module itself: its names, functions, shared object and
life cycle within one process."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import telvaran
import telvaran as tv
from telvaran import _telvaran

NAMES = [
    "sum", "scale", "mean", "min", "max", "map", "map_inplace", "filter", "reduce",
    "var", "std", "median", "add", "multiply", "clip", "normalize", "reverse", "sort",
    "unique", "slice", "ArrayIterator", "array_iterator", "LazyArray", "lazy_array",
]
CLASSES = {"ArrayIterator", "LazyArray"}
FUNCTIONS = [n for n in NAMES if n not in CLASSES]

ON_ARRAYS = " for array.array, numpy.ndarray, or memoryview"
SIGNATURES = {
    "sum": ("(array)", "Sum operation" + ON_ARRAYS),
    "scale": ("(array, factor)", "Scale operation (in-place)" + ON_ARRAYS),
    "mean": ("(array)", "Mean operation" + ON_ARRAYS),
    "min": ("(array)", "Min operation" + ON_ARRAYS),
    "max": ("(array)", "Max operation" + ON_ARRAYS),
    "map": ("(array, fn)", "Map operation" + ON_ARRAYS),
    "map_inplace": ("(array, fn)", "Map in-place operation" + ON_ARRAYS),
    "filter": ("(array, predicate)", "Filter operation" + ON_ARRAYS),
    "reduce": ("(array, fn, *, initial=None)", "Reduce operation" + ON_ARRAYS),
    "var": ("(array)", "Variance operation" + ON_ARRAYS),
    "std": ("(array)", "Standard deviation operation" + ON_ARRAYS),
    "median": ("(array)", "Median operation" + ON_ARRAYS),
    "add": ("(arr1, arr2)", None),
    "multiply": ("(arr1, arr2)", None),
    "clip": ("(array, min_val, max_val)", "Clip operation (in-place)" + ON_ARRAYS),
    "normalize": ("(array)", "Normalize operation (in-place)" + ON_ARRAYS),
    "reverse": ("(array)", "Reverse operation (in-place)" + ON_ARRAYS),
    "sort": ("(array)", "Sort operation (in-place)" + ON_ARRAYS),
    "unique": ("(array)", "Unique operation" + ON_ARRAYS),
    "slice": ("(array, start, end)",
              "Slice operation - returns a zero-copy memoryview of a portion of the array"),
    "array_iterator": ("(array)", "Helper function to create an ArrayIterator"),
    "lazy_array": ("(array)", "Helper function to create a LazyArray wrapper"),
}


def run_python(code, tmp_path):
    """Runs code in a fresh interpreter outside the source tree."""
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )


def test_all_lists_the_registered_names_in_order():
    assert type(_telvaran.__all__) is list
    assert _telvaran.__all__ == NAMES
    assert telvaran.__all__ == NAMES
    assert set(NAMES) <= set(dir(_telvaran))
    for name in NAMES:
        assert getattr(telvaran, name) is getattr(_telvaran, name)


def test_module_identity():
    assert _telvaran.__name__ == "telvaran._telvaran"
    assert isinstance(_telvaran.__doc__, str) and _telvaran.__doc__.strip()


def test_importing_again_gives_the_same_module():
    first = sys.modules["telvaran._telvaran"]
    assert importlib.import_module("telvaran._telvaran") is first
    del sys.modules["telvaran._telvaran"]
    try:
        again = importlib.import_module("telvaran._telvaran")
        assert again is first
        # Registration ran once: __all__ was not extended a second time.
        assert again.__all__ == NAMES
    finally:
        sys.modules["telvaran._telvaran"] = first


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature_and_docstring(name):
    function = getattr(_telvaran, name)
    signature, text = SIGNATURES[name]
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ == text
    assert function.__self__ is _telvaran
    assert function.__module__ == "telvaran._telvaran"
    assert str(inspect.signature(function)) == signature


def test_reduce_initial_is_keyword_only_with_default_none():
    params = inspect.signature(tv.reduce).parameters
    assert params["initial"].kind is inspect.Parameter.KEYWORD_ONLY
    assert params["initial"].default is None


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_classes_are_registered_types(name):
    cls = getattr(_telvaran, name)
    assert isinstance(cls, type)
    if cls is object:
        pytest.skip(f"{name} is not built yet")
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(source)"


def test_shared_object_name_is_abi3():
    assert os.path.basename(_telvaran.__file__) == "_telvaran.abi3.so"


def defined_dynamic_symbols(path):
    if shutil.which("nm"):
        out = subprocess.run(["nm", "-D", "--defined-only", path],
                             capture_output=True, text=True, check=True).stdout
        return sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    if shutil.which("readelf"):
        out = subprocess.run(["readelf", "--dyn-syms", "-W", path],
                             capture_output=True, text=True, check=True).stdout
        symbols = []
        for line in out.splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name
            if len(fields) >= 8 and fields[0].endswith(":") and fields[6] != "UND":
                if fields[3] not in ("SECTION", "FILE") and fields[7]:
                    symbols.append(fields[7].split("@")[0])
        return sorted(symbols)
    pytest.skip("neither nm nor readelf is installed")


def test_only_the_entry_point_is_exported():
    assert defined_dynamic_symbols(_telvaran.__file__) == ["PyInit__telvaran"]


def test_sub_interpreter_is_refused(tmp_path):
    result = run_python("""
        import sys
        import telvaran._telvaran
        try:
            import _interpreters
            # A legacy interpreter lets single-phase modules load at all, so
            # the refusal seen is the module's own.
            interp = _interpreters.create(_interpreters.new_config("legacy"))
        except (ImportError, AttributeError, ValueError, TypeError):
            print("unavailable")
            sys.exit(0)
        try:
            for _ in range(2):
                failure = _interpreters.run_string(interp, "import telvaran._telvaran")
                print(failure.type.__name__ if failure else "imported")
        finally:
            _interpreters.destroy(interp)
        import array, telvaran
        print(telvaran.sum(array.array("i", [1, 2])))
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("no sub-interpreter API")
    assert result.stdout.split() == ["ImportError", "ImportError", "3"]


def test_optional_libraries_are_never_imported(tmp_path):
    result = run_python("""
        import array, sys
        import telvaran as tv
        assert "numpy" not in sys.modules and "pyarrow" not in sys.modules
        tv.sum(array.array("i", [1, 2]))
        tv.mean(memoryview(b"ab"))
        tv.max(array.array("l", [1]))
        for bad in ([1], b"x", None):
            try:
                tv.sum(bad)
            except TypeError as exc:
                print(exc)
        print("numpy" in sys.modules, "pyarrow" in sys.modules)
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"] * 3
    assert lines[3] == "False False"


def test_works_when_optional_libraries_are_blocked(tmp_path):
    result = run_python("""
        import array, sys
        sys.modules["numpy"] = None
        sys.modules["pyarrow"] = None
        import telvaran as tv
        print(tv.sum(array.array("d", [1.5, 2.5])), tv.min(memoryview(b"\\x05\\x02")))
        try:
            tv.sum([1])
        except TypeError as exc:
            print(exc)
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "4.0 2", "Expected array.array, numpy.ndarray, memoryview, or Arrow buffer/array"]


def test_optional_library_loaded_later_is_recognised(tmp_path, np, pa):
    result = run_python("""
        import array
        import telvaran as tv
        tv.sum(array.array("i", [1]))
        try:
            tv.sum([1])
        except TypeError:
            pass
        import numpy, pyarrow
        print(tv.sum(numpy.arange(4.0)), tv.sum(pyarrow.array([], pyarrow.float32())))
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["6.0", "0.0"]
