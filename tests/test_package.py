"""The package around the module: the tour, the re-exports and the type stubs."""

import ast
import csv
import doctest
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import telvaran as tv
from telvaran import _telvaran

STUB = Path(tv.__file__).with_name("_telvaran.pyi")
ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"

# Runs the tour as if numpy and pyarrow were not installed: an import of a
# module whose sys.modules entry is None raises ImportError.
WITHOUT_OPTIONAL = (
    "import sys, runpy; sys.modules['numpy'] = None; sys.modules['pyarrow'] = None; "
    "runpy.run_module('telvaran', run_name='__main__', alter_sys=True)"
)


@pytest.mark.parametrize("command", [["-m", "telvaran"], ["-c", WITHOUT_OPTIONAL]],
                         ids=["as installed", "without numpy and pyarrow"])
def test_tour_runs_and_calls_every_name(command, tmp_path):
    # -P and a neutral directory: the installed package, not the source tree.
    done = subprocess.run([sys.executable, "-P", *command], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    missing = [name for name in tv.__all__ if f"{name}(" not in done.stdout]
    assert not missing, f"the tour never calls {missing}"
    assert "Speed on this machine" in done.stdout


def test_readme_examples_hold(np, pa):
    # The README shows numpy, pyarrow, polars and pandas examples, so all are needed.
    pytest.importorskip("polars")
    pytest.importorskip("pandas")
    result = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS,
                              verbose=False)
    assert result.attempted > 0
    assert result.failed == 0


def _run_benchmark(*options, cwd):
    return subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), *options],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def test_benchmark_runs_and_writes_csv(tmp_path):
    # A smoke run: the script, its peers and its CSV keep working as the
    # operations change. No figure is checked.
    out = tmp_path / "results" / "bench.csv"
    done = _run_benchmark("--quick", "--only", "sum,sort", "--types", "d", "--csv", str(out), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "telvaran time / peer time" in done.stdout
    with out.open(newline="") as f:
        rows = list(csv.DictReader(f))
    subjects = [r for r in rows if r["implementation"] == "telvaran (array.array)"]
    assert len(subjects) == 6  # two operations at three sizes
    assert all(r["ns_per_call"] for r in subjects), "telvaran was not measured"
    # Every row is timed, skipped with its reason, or carries the error it raised.
    assert all(r["ns_per_call"] or r["note"] for r in rows)


def test_benchmark_check_judges_every_selected_goal(tmp_path):
    done = _run_benchmark("--check", "--quick", "--only", "sum", "--types", "d", cwd=tmp_path)
    assert done.returncode == 0, done.stderr  # goals inform; missing one is not a failure
    verdicts = [line.split() for line in done.stdout.splitlines() if line.startswith(("sum8-", "numpy8-"))]
    assert {v[0] for v in verdicts} >= {"sum8-vs-floor", "sum8-vs-builtins", "numpy8-vs-bottleneck"}
    assert all(v[4] in ("MET", "MISSED", "INCOMPLETE", "NOT") for v in verdicts)
    assert " goals met, " in done.stdout


# Two runs of the same case; --compare reads both layouts of the CSV: the
# current one (telvaran / peer) and the earlier one (peer / telvaran).
COMPARE_LAYOUTS = {
    "current": ("operation,type,size,implementation,telvaran_ratio\n"
                "sum,float64,8,numpy.sum,0.5\nsum,float64,8,telvaran (array.array),\n"),
    "earlier": ("operation,type,size,implementation,ratio_to_telvaran\n"
                "sum,float64,8,numpy.sum,2\nsum,float64,8,telvaran,1\n"),
}


@pytest.mark.parametrize("layout", COMPARE_LAYOUTS)
def test_benchmark_compares_two_runs(layout, tmp_path):
    old, new = tmp_path / "old.csv", tmp_path / "new.csv"
    old.write_text(COMPARE_LAYOUTS[layout])
    new.write_text("operation,type,size,implementation,telvaran_ratio\nsum,float64,8,numpy.sum,0.6\n")
    done = _run_benchmark("--compare", str(old), str(new), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    line = next(line for line in done.stdout.splitlines() if line.startswith("sum "))
    assert line.split()[-4:] == ["0.50", "0.60", "1.20", "worse"]
    assert "1 cases in both runs: 1 more than 10% worse" in done.stdout


def test_package_reexports_the_module():
    assert tv.__all__ == _telvaran.__all__
    for name in _telvaran.__all__:
        assert getattr(tv, name) is getattr(_telvaran, name)


def _stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


def _stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


def _stub_definitions(body):
    """name -> list of FunctionDef/ClassDef nodes (several for overloads)."""
    found = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found.setdefault(node.name, []).append(node)
    return found


def test_stub_declares_every_name():
    tree = _stub_tree()
    assert _stub_all(tree) == _telvaran.__all__
    declared = _stub_definitions(tree.body)
    assert [name for name in _telvaran.__all__ if name not in declared] == []


def _parameters(function: ast.FunctionDef):
    """(name, kind) of each parameter, self/cls left out, as inspect names the kinds."""
    args = function.args
    params = [(a.arg, "POSITIONAL_ONLY") for a in args.posonlyargs]
    params += [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.args]
    params += [(a.arg, "KEYWORD_ONLY") for a in args.kwonlyargs]
    return [p for p in params if p[0] not in ("self", "cls")]


def _runtime_parameters(callable_):
    parameters = inspect.signature(callable_).parameters.values()
    return [(p.name, p.kind.name) for p in parameters if p.name not in ("self", "cls")]


def _stub_callables():
    """(qualified name, runtime object, stub overloads) for functions, constructors and methods."""
    declared = _stub_definitions(_stub_tree().body)
    for name in _telvaran.__all__:
        runtime = getattr(_telvaran, name)
        if not isinstance(runtime, type):
            yield name, runtime, declared[name]
            continue
        members = _stub_definitions(declared[name][0].body)
        yield f"{name}()", runtime, members["__new__"]
        for method, nodes in members.items():
            if not method.startswith("__"):
                yield f"{name}.{method}", getattr(runtime, method), nodes


STUB_CALLABLES = list(_stub_callables())


@pytest.mark.parametrize("qualified, runtime, overloads", STUB_CALLABLES,
                         ids=[case[0] for case in STUB_CALLABLES])
def test_stub_signature_matches_module(qualified, runtime, overloads):
    expected = _runtime_parameters(runtime)
    for node in overloads:
        assert _parameters(node) == expected, f"{qualified}, stub line {node.lineno}"


def _readme_signatures():
    """Every `name(parameters)` in the first column of the README's function table."""
    text = README.read_text()
    table = text[text.index("| Function | Result |"):]
    rows = [line for line in table.splitlines()[2:] if line.startswith("|")]
    found = {}
    for row in rows[:len(_telvaran.__all__)]:
        for shown in re.findall(r"`(\w+)(\([^`]*\))`", row.split("|")[1]):
            found[shown[0]] = shown[1]
    return found


@pytest.mark.parametrize("name", _telvaran.__all__)
def test_readme_table_shows_the_module_signature(name):
    # The module's signatures come from its table of operations; the README
    # shows each name once, with the same parameters.
    runtime = getattr(_telvaran, name)
    assert _readme_signatures().get(name) == runtime.__text_signature__.replace("$self, ", "")


# -- what the README names exists ------------------------------------------------

# Paths that builds and runs write, which a checkout does not hold.
GENERATED = ("build/", "dist/", ".venv/", "benchmarks/results/")


def _readme_names():
    text = README.read_text()
    called = set(re.findall(r"\btv\.([A-Za-z_]\w*)", text))
    tabled = set(re.findall(r"^\| `(\w+)\(", text, flags=re.MULTILINE))
    linked = set(re.findall(r"\]\(([^)\s]+)\)", text))
    quoted = {p for p in re.findall(r"`([\w.-]+(?:/[\w.*-]+)+/?)`", text) if not p.startswith(GENERATED)}
    return called | tabled, {p for p in linked | quoted if "://" not in p and not p.startswith("#")}


def test_readme_names_only_what_exists():
    functions, paths = _readme_names()
    assert {"sum", "sort", "median", "ArrayIterator"} <= functions  # the patterns still find them
    assert {"docs/speed-ratio.png", "docs/recipes/process_pool.py"} <= paths
    assert sorted(name for name in functions if not hasattr(tv, name)) == []
    assert sorted(path for path in paths if not list(ROOT.glob(path))) == []


# -- the benchmark's figures -------------------------------------------------------

def _bench_modules(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "benchmarks"))
    import _plot
    import _report
    return _plot, _report


# Per size: telvaran on array.array and on numpy, bottleneck.nansum (on numpy), builtins sum
# (on array.array); then the peer expected and, per size, telvaran's time and the peer's.
DUELS = [
    ({8: (50, 40, 30, 90), 1000: (900, 800, 700, 90_000)}, "bottleneck.nansum",
     {8: (40, 30), 1000: (800, 700)}),
    ({8: (50, 40, 90, 30), 1000: (900, 800, 700, 90_000)}, "bottleneck.nansum",  # one win each: the larger size
     {8: (40, 90), 1000: (800, 700)}),
    ({8: (50, 40, 900, 30), 1000: (900, 800, 2000, 400)}, "builtins sum", {8: (50, 30), 1000: (900, 400)}),
]


@pytest.mark.parametrize("times, peer, points", DUELS)
def test_figure_pits_telvaran_against_the_peer_fastest_at_most_sizes(times, peer, points, monkeypatch):
    _plot, _report = _bench_modules(monkeypatch)
    rows = []
    for size, (on_array, on_numpy, bottleneck, builtins) in times.items():
        rows += [_report.Row("sum", "d", size, "telvaran (array.array)", "array.array", "telvaran",
                             "telvaran (array.array)", on_array),
                 _report.Row("sum", "d", size, "telvaran (numpy)", "numpy", "telvaran", "telvaran (numpy)", on_numpy),
                 _report.Row("sum", "d", size, "bottleneck.nansum", "numpy", "peer", "bottleneck", bottleneck),
                 _report.Row("sum", "d", size, "builtins sum", "array.array", "peer", "stdlib", builtins)]
    chosen, got = _plot._duel(rows)
    assert (chosen.implementation, got) == (peer, points)


def test_benchmark_figures_name_the_processor(tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "speed.png"
    done = _run_benchmark("--quick", "--only", "sum,sort", "--types", "d", "--plot", str(plot), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert plot.stat().st_size > 10_000 and (tmp_path / "speed-ratio.png").stat().st_size > 10_000
    assert "CPUs" in done.stdout.splitlines()[0]  # the processor, as the figures' titles give it
