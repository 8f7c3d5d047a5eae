"""Smoke test of an installed telvaran: every function and both classes on
array.array and memoryview inputs, a few refusals, then the tour.

Run with the interpreter whose installation is to be checked, from outside
the source tree (the checks import the installed package):

    python scripts/smoke.py          # wherever telvaran is installed
    python scripts/smoke.py --bare   # also require that numpy and pyarrow are absent

It needs only the standard library. Exit status 0 when every check holds.
"""

from __future__ import annotations

import argparse
import functools
import importlib.util
import math
import operator
import subprocess
import sys
import tempfile
from array import array
from collections.abc import Callable
from pathlib import Path
from typing import Any

DATA = [3, -1, 2, 0, 2]
KINDS = ("array", "memoryview")
TYPECODES = ("i", "d")


def make(kind: str, typecode: str, values: list[int] = DATA) -> Any:
    source = array(typecode, values)
    return source if kind == "array" else memoryview(source)


def twice(v: Any) -> Any:
    return v * 2


def positive(v: Any) -> bool:
    return bool(v > 0)


class Checks:
    def __init__(self) -> None:
        self.count = 0
        self.failures: list[str] = []

    def run(self, label: str, thunk: Callable[[], Any], expect: Callable[[Any], bool] | Any) -> None:
        """Calls thunk; the result must equal expect, or satisfy it when it is a check function."""
        self.count += 1
        try:
            outcome = thunk()
        except Exception as error:  # noqa: BLE001 - any exception is a finding here
            outcome = error
        passed = expect(outcome) if callable(expect) else outcome == expect
        if not passed:
            self.failures.append(f"{label}: got {outcome!r}")


def new_array(typecode: str, values: list[float]) -> Callable[[Any], bool]:
    """A new array.array of the typecode holding values (memoryview inputs give array.array too)."""
    return lambda r: isinstance(r, array) and r.typecode == typecode and r.tolist() == values


def raises(kind: type[BaseException], text: str) -> Callable[[Any], bool]:
    return lambda r: isinstance(r, kind) and text in str(r)


def close_to(value: float) -> Callable[[Any], bool]:
    return lambda r: isinstance(r, float) and math.isclose(r, value, rel_tol=1e-12)


def check_reading(checks: Checks, tv: Any, kind: str, typecode: str) -> None:
    x = make(kind, typecode)
    number = float if typecode == "d" else int
    tag = f"[{kind} {typecode!r}]"

    def same(values: list[int]) -> Callable[[Any], bool]:
        return new_array(typecode, [number(v) for v in values])

    checks.run(f"sum {tag}", lambda: tv.sum(x), lambda r: type(r) is number and r == 6)
    checks.run(f"mean {tag}", lambda: tv.mean(x), close_to(1.2))
    checks.run(f"min {tag}", lambda: tv.min(x), lambda r: type(r) is number and r == -1)
    checks.run(f"max {tag}", lambda: tv.max(x), lambda r: type(r) is number and r == 3)
    checks.run(f"var {tag}", lambda: tv.var(x), close_to(2.16))
    checks.run(f"std {tag}", lambda: tv.std(x), close_to(math.sqrt(2.16)))
    checks.run(f"median {tag}", lambda: tv.median(x), lambda r: type(r) is number and r == 2)
    checks.run(f"add {tag}", lambda: tv.add(x, x), same([6, -2, 4, 0, 4]))
    checks.run(f"multiply {tag}", lambda: tv.multiply(x, x), same([9, 1, 4, 0, 4]))
    checks.run(f"unique {tag}", lambda: tv.unique(x), same([-1, 0, 2, 3]))
    checks.run(f"slice {tag}", lambda: tv.slice(x, 1, 3),
               lambda r: isinstance(r, memoryview) and r.tolist() == [-1, 2])
    checks.run(f"map {tag}", lambda: tv.map(x, twice), same([6, -2, 4, 0, 4]))
    checks.run(f"filter {tag}", lambda: tv.filter(x, positive), same([3, 2, 2]))
    checks.run(f"reduce {tag}", lambda: tv.reduce(x, operator.add), 6)
    checks.run(f"reduce initial {tag}", lambda: tv.reduce(x, operator.add, initial=10), 16)
    checks.run(f"ArrayIterator {tag}", lambda: list(tv.ArrayIterator(x)), DATA)
    checks.run(f"array_iterator {tag}", lambda: list(tv.array_iterator(x)), DATA)
    checks.run(f"LazyArray {tag}", lambda: tv.LazyArray(x).map(twice).filter(positive).collect(),
               same([6, 4, 4]))
    checks.run(f"lazy_array {tag}", lambda: (tv.lazy_array(x).map(twice).len(), tv.lazy_array(x).source() is x),
               (1, True))


def check_in_place(checks: Checks, tv: Any, kind: str, typecode: str) -> None:
    tag = f"[{kind} {typecode!r}]"
    cases: list[tuple[str, Callable[[Any], Any], list[float] | Callable[[Any], bool]]] = [
        ("scale", lambda t: tv.scale(t, 2), [6, -2, 4, 0, 4]),
        ("clip", lambda t: tv.clip(t, 0, 2), [2, 0, 2, 0, 2]),
        ("normalize", tv.normalize, [1.0, 0.0, 0.75, 0.25, 0.75] if typecode == "d"
         else raises(ValueError, "normalize() requires float arrays")),
        ("sort", tv.sort, [-1, 0, 2, 2, 3]),
        ("reverse", tv.reverse, [2, 0, 2, -1, 3]),
        ("map_inplace", lambda t: tv.map_inplace(t, twice), [6, -2, 4, 0, 4]),
    ]
    for name, operation, expect in cases:
        target = make(kind, typecode)

        def outcome(target: Any = target, operation: Callable[[Any], Any] = operation) -> Any:
            result = operation(target)
            return ("returned", result) if result is not None else target.tolist()

        checks.run(f"{name} {tag}", outcome, expect)


def check_refusals(checks: Checks, tv: Any) -> None:
    checks.run("bytes refused", lambda: tv.sum(b"\x01\x02"),
               raises(TypeError, "Expected array.array, numpy.ndarray, memoryview"))
    checks.run("read-only memoryview refused in place", lambda: tv.sort(memoryview(b"\x02\x01")),
               raises(ValueError, "memoryview is read-only"))
    checks.run("empty mean refused", lambda: tv.mean(array("d")), raises(ValueError, "mean() of empty array"))


def check_module(checks: Checks, tv: Any) -> None:
    names = list(tv.__all__)
    functions = [n for n in names if not isinstance(getattr(tv, n), type)]
    classes = [n for n in names if isinstance(getattr(tv, n), type)]
    checks.run("22 functions and 2 classes", lambda: (len(functions), sorted(classes)),
               (22, ["ArrayIterator", "LazyArray"]))
    checks.run("abi3 shared object", lambda: Path(tv._telvaran.__file__).name, "_telvaran.abi3.so")
    stub = Path(tv.__file__).with_name("_telvaran.pyi")
    checks.run("stubs and py.typed installed", lambda: (stub.is_file(), stub.with_name("py.typed").is_file()),
               (True, True))


def check_tour(checks: Checks, tv: Any, bare: bool) -> None:
    with tempfile.TemporaryDirectory() as neutral:
        done = subprocess.run([sys.executable, "-P", "-m", "telvaran", "--size", "1000"], cwd=neutral,
                              capture_output=True, text=True, timeout=300)
    out = done.stdout
    checks.run("tour exits 0", lambda: (done.returncode, done.stderr), (0, ""))
    checks.run("tour calls every name", lambda: [n for n in tv.__all__ if f"{n}(" not in out], [])
    checks.run("tour times size 1,000", lambda: "Speed on this machine" in out and "1,000 " in out, True)
    if bare:
        checks.run("tour without numpy", lambda: "numpy: not installed; pyarrow: not installed" in out, True)


def main() -> int:
    parser = argparse.ArgumentParser(
        description="Smoke test of an installed telvaran: every function and both classes on "
                    "array.array and memoryview inputs, a few refusals, then the tour.")
    parser.add_argument("--bare", action="store_true",
                        help="require an environment without numpy and pyarrow")
    options = parser.parse_args()

    sources = Path(__file__).resolve().parent.parent / "python"
    import telvaran as tv

    checks = Checks()
    checks.run("imported from the installation, not the source tree",
               lambda: sources in Path(tv.__file__).resolve().parents, False)
    if options.bare:
        for name in ("numpy", "pyarrow"):
            checks.run(f"{name} absent", functools.partial(importlib.util.find_spec, name), None)
    check_module(checks, tv)
    for kind in KINDS:
        for typecode in TYPECODES:
            check_reading(checks, tv, kind, typecode)
            check_in_place(checks, tv, kind, typecode)
    check_refusals(checks, tv)
    check_tour(checks, tv, options.bare)

    print(f"telvaran {tv.__version__} from {Path(tv.__file__).parent}")
    for failure in checks.failures:
        print(f"FAILED {failure}")
    print(f"smoke: {checks.count - len(checks.failures)} passed, {len(checks.failures)} failed")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
