"""Benchmark: telvaran against numpy, bottleneck, pyarrow and the standard library.

Every operation is timed at 8, 1,000, 100,000, 1,000,000 and 10,000,000
elements (fewer for the callback operations) on each kind of input telvaran
reads (array.array, numpy.ndarray, memoryview, pyarrow Array and
ChunkedArray), next to its closest peers and, for reductions and var, a bare
C loop over the same memory (the floor). A table per operation and element
type shows the time per call and, after each peer, the ratio

    telvaran time / peer time   (below 1: telvaran is faster)

with telvaran on the peer's own kind of input. A memoryview is timed up to
1,000 elements (beyond that it is the array.array's memory and loop), pyarrow
inputs up to 1,000,000; standard-library peers stop where one call would
take seconds.

The floors: "same loop" adds the doubles left to right (sum's per-call
floor); "plain read" adds the memory's 64-bit words into eight independent
sums (the bandwidth floor of any one-pass reduction); var's floor is that
plain read, standing for its mean pass at full bandwidth, plus the ordered
loop s += (x - mean)**2 one element at a time. The callback operations are
compared with the builtins doing the same on the same kind of input and
giving the callable the same Python numbers: on numpy,
np.fromiter(map(f, n.tolist())), which is fairer and faster than iterating
the array's numpy scalars.

    python benchmarks/run.py                      # the whole run, about five minutes on 2 cores
    python benchmarks/run.py --quick              # shorter: sizes up to 100,000, smaller budgets
    python benchmarks/run.py --only sum,sort --types d,int32
    python benchmarks/run.py --check              # only the cases the speed goals need, then the goals
    python benchmarks/run.py --check all          # the whole run, then the goals
    python benchmarks/run.py --csv out.csv --plot out.png
    make snapshot                                 # the whole run and its goals, into docs/speed*
    python benchmarks/run.py --compare old.csv    # this run's ratios beside those of an earlier run
    python benchmarks/run.py --compare old.csv new.csv   # two earlier runs, nothing measured

This machine is shared and noisy: absolute times move from run to run, the
ratios measured within one run are what counts. A peer that cannot run here
(its library is missing) is skipped with a note; a telvaran call that
raises is shown as "error" with its message, and the run goes on.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _cases  # noqa: E402
import _floor  # noqa: E402
import _goals  # noqa: E402
import _report  # noqa: E402
import _timing  # noqa: E402
from _report import Row  # noqa: E402


def parse_args(argv):
    usage, _, rest = __doc__.partition("\n\n")
    parser = argparse.ArgumentParser(
        description=usage, epilog=rest, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="short run: sizes 8, 1,000 and 100,000 and smaller time budgets "
                             "(with --check: the goals' sizes, smaller budgets)")
    parser.add_argument("--only", action="append", default=[], metavar="NAMES",
                        help="comma-separated operations to run (repeatable); one of: "
                             + ", ".join(_cases.BY_NAME))
    parser.add_argument("--types", default=None, metavar="TYPES",
                        help="element types to run, as typecodes or names, comma-separated: "
                             + ", ".join(f"{c} ({n})" for c, n in _cases.TYPE_NAMES.items())
                             + " (default: all that each operation runs)")
    parser.add_argument("--check", nargs="?", const="goals", choices=("goals", "all"),
                        help="judge the speed goals: alone (or 'goals') times only the cases they need; "
                             "'all' runs the whole benchmark first. Exits 0 whether goals are met or not")
    parser.add_argument("--list-goals", action="store_true", help="print the goals and exit")
    parser.add_argument("--csv", metavar="PATH", help="write every figure as CSV")
    parser.add_argument("--plot", metavar="PATH",
                        help="write two PNGs: per operation, telvaran's time per element against its fastest "
                             "peer's (PATH), and the heat map of the ratios to the fastest peer (PATH with "
                             "-ratio before the suffix), both titled with the processor; needs matplotlib")
    parser.add_argument("--compare", nargs="+", metavar="CSV",
                        help="OLD.csv: after this run, print per case in both telvaran's ratio to each peer "
                             "then and now; OLD.csv NEW.csv: compare two earlier runs without measuring. "
                             "Compare ratios, not times: on a shared machine only ratios from one run hold")
    args = parser.parse_args(argv)
    names = [n.strip() for chunk in args.only for n in chunk.split(",") if n.strip()]
    unknown = [n for n in names if n not in _cases.BY_NAME]
    if unknown:
        parser.error(f"unknown operation {', '.join(unknown)}; choose from {', '.join(_cases.BY_NAME)}")
    args.operations = [op for op in _cases.OPERATIONS if op.name in names] if names else list(_cases.OPERATIONS)
    args.selected = set(names) if names else None
    codes = []
    for item in (args.types or "").replace(",", " ").split():
        if item in _cases.TYPE_NAMES:
            codes.append(item)
        elif item in _cases.TYPE_CODES:
            codes.append(_cases.TYPE_CODES[item])
        elif set(item) <= set(_cases.TYPE_NAMES):
            codes.extend(item)  # "id" as in earlier versions
        else:
            parser.error(f"unknown element type {item!r}; choose from "
                         + ", ".join(f"{c} ({n})" for c, n in _cases.TYPE_NAMES.items()))
    args.types = "".join(dict.fromkeys(codes)) or "".join(_cases.TYPE_NAMES)
    if args.compare and len(args.compare) > 2:
        parser.error("--compare takes OLD.csv, or OLD.csv NEW.csv")
    return args


def _optional(name):
    try:
        return __import__(name, fromlist=["_"])
    except ImportError:
        return None


VECTOR_FLAGS = (("avx512f", "AVX-512"), ("avx2", "AVX2"), ("asimd", "NEON"), ("sse2", "SSE2"))


def processor() -> str:
    """The processor the figures come from: its name, family and model, CPU count and widest vectors."""
    info: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                info.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    parts = [info.get("model name") or platform.processor() or platform.machine() or "unknown processor"]
    if "cpu family" in info and "model" in info:
        parts.append(f"family {info['cpu family']} model {info['model']}")
    parts.append(f"{os.cpu_count()} CPUs")
    flags = set(info.get("flags", info.get("Features", "")).split())
    parts += [label for flag, label in VECTOR_FLAGS if flag in flags][:1]
    return ", ".join(parts)


def versions(env) -> dict[str, str]:
    from importlib.metadata import PackageNotFoundError, version

    def of(module, dist):
        if module is None:
            return "not installed"
        try:
            return version(dist)
        except PackageNotFoundError:
            return getattr(module, "__version__", "?")

    return {"Python": platform.python_version(), "telvaran": of(_cases.tv, "telvaran"),
            "numpy": of(env.np, "numpy"), "bottleneck": of(env.bn, "bottleneck"),
            "pyarrow": of(env.pa, "pyarrow")}


def probe(impl) -> str:
    """Calls the implementation once; returns "error: ..." when it raises, or ""."""
    first = impl.fresh(impl.first) if impl.fresh else impl.first
    try:
        impl.fn(first, *impl.consts)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return f"error: {type(error).__name__}: {error}"
    return ""


def nbytes(obj) -> int:
    try:
        return memoryview(obj).nbytes
    except TypeError:
        return getattr(obj, "nbytes", 0)


def measure_case(op, typecode, size, impls, settings) -> list[Row]:
    if op.repeats:
        settings = _timing.Settings(settings.budget_ns * op.repeats // settings.repeats, op.repeats)
    rows, timed = [], []
    for impl in impls:
        row = Row(op.name, typecode, size, impl.name, impl.kind, impl.role, impl.legend, note=impl.skip)
        if not row.note:
            row.note = probe(impl)
        if not row.note:
            timed.append((row, (impl.fn, impl.first, impl.consts, impl.fresh, nbytes(impl.first))))
        rows.append(row)
    for (row, _), timing in zip(timed, _timing.measure_all([item for _, item in timed], settings)):
        row.ns, row.loops, row.repeats = timing.ns_per_call, timing.loops, timing.repeats
    _report.set_ratios(rows)
    return rows


def make_plan(args, goal_list):
    """{(operation, typecode): {size: names or None for all}} in the order of the operations."""
    plan: dict[tuple[str, str], dict[int, set | None]] = {}
    if args.check != "goals":
        sizes = _cases.QUICK_SIZES if args.quick else _cases.SIZES
        for op in args.operations:
            for tc in op.typecodes:
                if tc in args.types:
                    for size in _cases.sizes_of(op, sizes):
                        plan.setdefault((op.name, tc), {})[size] = None
    for goal in goal_list:
        for op, tc, size, name in goal.keys():
            entry = plan.setdefault((op, tc), {})
            if size not in entry:
                entry[size] = {name}
            elif entry[size] is not None:
                entry[size].add(name)
    rank = {op.name: i for i, op in enumerate(_cases.OPERATIONS)}
    types = list(_cases.TYPE_NAMES)
    ordered = sorted(plan, key=lambda k: (rank[k[0]], types.index(k[1])))
    return {k: dict(sorted(plan[k].items())) for k in ordered}


def run(plan, env, settings) -> list[Row]:
    rows: list[Row] = []
    for (name, tc), sizes in plan.items():
        op = _cases.BY_NAME[name]
        block_rows = []
        for size, wanted in sizes.items():
            impls = op.build(env, tc, size)
            if wanted is not None:
                impls = [impl for impl in impls if impl.name in wanted]
            block_rows += measure_case(op, tc, size, impls, settings)
        rows += block_rows
        print("\n".join(_report.block(op.title, tc, list(sizes), block_rows)), flush=True)
    return rows


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    order = [op.name for op in _cases.OPERATIONS]
    if args.list_goals:
        print("\n".join(_goals.describe(_goals.goals())))
        return 0
    if args.compare and len(args.compare) == 2:
        old, new = args.compare
        print("\n".join(_report.compare(_report.read_ratios(old), _report.read_ratios(new), old, new, order)))
        return 0

    started = time.perf_counter()
    settings = _timing.QUICK if args.quick else _timing.DEFAULT
    np, bn, pa = _optional("numpy"), _optional("bottleneck"), _optional("pyarrow")
    pc = _optional("pyarrow.compute") if pa else None
    floor, why = _floor.build()
    env = _cases.Env(np, bn, pa, pc, floor, why or "", pl=_optional("polars"))
    info = versions(env)
    print(", ".join(f"{k} {v}" for k, v in info.items()) + f"; {processor()}")
    for library in ("numpy", "bottleneck", "pyarrow"):
        if info[library] == "not installed":
            print(f"{library} is not installed: its peers and inputs are skipped")
    if floor is None:
        print(f"floor not built: {why}")
    print("Time per call (best of several repeats). After a peer's time, in parentheses: telvaran time / "
          "peer time, with telvaran on the peer's own kind of input; below 1 telvaran is faster.")

    goal_list = []
    if args.check:
        goal_list = _goals.select(_goals.goals(), args.selected, args.types)
    rows = run(make_plan(args, goal_list), env, settings)

    if args.check:
        print("\n".join(_goals.report(goal_list, {r.key: r for r in rows})))
    else:
        print("\n(python benchmarks/run.py --check judges these figures against the project's speed goals)")
    if args.csv:
        _report.write_csv(args.csv, rows)
        print(f"\nCSV written to {args.csv}")
    if args.plot:
        import _plot
        titles = {op.name: op.title for op in _cases.OPERATIONS}
        written, problem = _plot.plot(args.plot, rows, titles, info, processor())
        print(f"plot not written: {problem}" if problem else f"plots written to {', '.join(written)}")
    if args.compare:
        old = args.compare[0]
        print("\n".join(_report.compare(_report.read_ratios(old), _report.current_ratios(rows), old,
                                        "this run", order)))
    print(f"total time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
