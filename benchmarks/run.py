"""Benchmark: telvaran against numpy and the standard library.

Every operation is timed at 8, 1,000 and 1,000,000 elements for int32 and
float64 (and float32 where telvaran runs a separate single-precision loop),
next to its closest peers. The table shows ns per call and, for each peer,
the ratio peer time / telvaran time: above 1 telvaran is faster.

    python benchmarks/run.py                      # the whole run, under 3 minutes
    python benchmarks/run.py --quick              # shorter: smaller sizes and budgets
    python benchmarks/run.py --only sum,sort      # selected operations
    python benchmarks/run.py --csv out.csv --plot out.png

An operation that is not implemented yet (NotImplementedError), or a peer
that cannot run here (numpy missing), is skipped with a note.
"""

from __future__ import annotations

import argparse
import copy
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _cases  # noqa: E402
import _floor  # noqa: E402
import _report  # noqa: E402
import _timing  # noqa: E402
from _report import Row  # noqa: E402

HEADLINE_SIZE = 8
FLOOR_TARGET = 3.0     # telvaran's sum at most this many times the floor
BUILTIN_TARGET = 2.0   # and at least this many times faster than builtins sum


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="short run: sizes 8, 1,000 and 100,000 and smaller time budgets")
    parser.add_argument("--only", action="append", default=[], metavar="NAMES",
                        help="comma-separated operations to run (repeatable); one of: "
                             + ", ".join(_cases.BY_NAME))
    parser.add_argument("--types", default=None, metavar="CODES",
                        help="element typecodes to run, from i, d, f (default: all)")
    parser.add_argument("--csv", metavar="PATH", help="write the figures as CSV")
    parser.add_argument("--plot", metavar="PATH", help="write a PNG plot (needs matplotlib)")
    args = parser.parse_args(argv)
    names = [n.strip() for chunk in args.only for n in chunk.split(",") if n.strip()]
    unknown = [n for n in names if n not in _cases.BY_NAME]
    if unknown:
        parser.error(f"unknown operation {', '.join(unknown)}; choose from {', '.join(_cases.BY_NAME)}")
    args.operations = [_cases.BY_NAME[n] for n in names] if names else list(_cases.OPERATIONS)
    codes = args.types.replace(",", "") if args.types else "idf"
    if not codes or set(codes) - set(_cases.TYPE_NAMES):
        parser.error("--types takes typecodes among i, d, f")
    args.types = codes
    return args


def optional_numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def probe(impl) -> str:
    """Calls the implementation once; returns why it cannot be timed, or ""."""
    first = copy.copy(impl.first) if impl.inplace else impl.first
    try:
        impl.fn(first, *impl.consts)
    except NotImplementedError:
        return "not implemented yet"
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return f"raised {type(error).__name__}: {error}"
    return ""


def measure(op, typecode, size, impls, settings) -> dict[str, Row]:
    rows = {}
    subject = None
    for position, impl in enumerate(impls):
        row = Row(op.name, typecode, size, impl.name, None, subject=position == 0)
        row.note = impl.skip or probe(impl)
        if not row.note:
            fresh = copy.copy if impl.inplace else None
            nbytes = len(impl.first) * impl.first.itemsize
            timing = _timing.measure(impl.fn, impl.first, impl.consts, fresh, nbytes, settings)
            row.ns, row.loops, row.repeats = timing.ns_per_call, timing.loops, timing.repeats
        if row.subject:
            subject = row
        elif subject is not None and subject.ns and row.ns is not None:
            row.ratio = row.ns / subject.ns
        if row.subject and row.ns is not None:
            row.ratio = 1.0
        rows[impl.name] = row
    return rows


def run_operation(op, env, sizes, types, settings, all_rows):
    plan = [(tc, size, op.build(env, tc, size))
            for tc in op.typecodes if tc in types for size in (op.sizes or sizes)]
    if not plan:
        return
    columns = list(dict.fromkeys(impl.name for _, _, impls in plan for impl in impls))
    print(_report.header(op.title, columns), flush=True)
    notes = {}
    for tc, size, impls in plan:
        rows = measure(op, tc, size, impls, settings)
        all_rows.extend(rows.values())
        print(_report.row_line(tc, size, columns, rows), flush=True)
        for row in rows.values():
            if row.note and row.note != _cases.NO_NUMPY:  # said once at the start
                notes.setdefault(f"{row.implementation}: {row.note}", None)
    for extra in op_notes(op, all_rows):
        notes.setdefault(extra, None)
    for note in notes:
        print(f"  note: {note}")


def _find(rows, op, typecode, size, name):
    for r in rows:
        if (r.operation, r.typecode, r.size, r.implementation) == (op, typecode, size, name):
            return r.ns
    return None


def op_notes(op, rows):
    """Figures that the table does not show directly."""
    mine = [r for r in rows if r.operation == op.name]
    if op.name == "iterator":
        for r in mine:
            if r.implementation == "ArrayIterator" and r.ns:
                per_item = r.ns / r.size
                yield f"ArrayIterator costs {per_item:.0f} ns per element ({_cases.TYPE_NAMES[r.typecode]})"
    if op.name == "lazy":
        for r in mine:
            if r.implementation == "LazyArray chain" and r.ns:
                direct = _find(rows, "lazy", r.typecode, r.size, "direct telvaran calls")
                if direct:
                    extra = r.ns - direct
                    sign = "+" if extra >= 0 else "-"
                    yield (f"LazyArray chain minus direct calls, {_cases.TYPE_NAMES[r.typecode]} "
                           f"{r.size:,}: {sign}{_timing.format_ns(abs(extra))}")


def headline(rows, env, settings):
    """The two figures asked of sum on a small array('d')."""
    print(f"\nsum of an {HEADLINE_SIZE}-element array('d'):")
    tv_ns = _find(rows, "sum", "d", HEADLINE_SIZE, "telvaran")
    builtin_ns = _find(rows, "sum", "d", HEADLINE_SIZE, "builtins sum")
    floor_ns = _find(rows, "sum", "d", HEADLINE_SIZE, "floor (bare C)")
    if tv_ns is None:
        # Not part of this run's selection: measure the three on their own.
        a, _ = env.inputs("d", HEADLINE_SIZE)
        import telvaran as tv
        if probe(_cases.Impl("telvaran", tv.sum, a)):
            print("  telvaran.sum is not available")
            return
        tv_ns = _timing.measure(tv.sum, a, settings=settings).ns_per_call
        builtin_ns = _timing.measure(sum, a, settings=settings).ns_per_call
        if env.floor is not None:
            floor_ns = _timing.measure(env.floor.sum, a, settings=settings).ns_per_call
    print(f"  telvaran.sum {_timing.format_ns(tv_ns)}, builtins sum {_timing.format_ns(builtin_ns)}, "
          f"floor {_timing.format_ns(floor_ns)}")
    if floor_ns:
        ratio = tv_ns / floor_ns
        verdict = "met" if ratio <= FLOOR_TARGET else "NOT met"
        print(f"  telvaran / floor        = {ratio:.2f}  (target: at most {FLOOR_TARGET:g}; {verdict})")
    else:
        print("  telvaran / floor        = not measured (no floor)")
    if builtin_ns:
        ratio = builtin_ns / tv_ns
        verdict = "met" if ratio >= BUILTIN_TARGET else "NOT met"
        print(f"  builtins sum / telvaran = {ratio:.2f}  (target: at least {BUILTIN_TARGET:g}; {verdict})")


def main(argv=None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    settings = _timing.QUICK if args.quick else _timing.DEFAULT
    sizes = _cases.QUICK_SIZES if args.quick else _cases.SIZES
    started = time.perf_counter()

    np = optional_numpy()
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__ if np else 'not installed'}")
    if np is None:
        print("numpy is not installed: its peers are skipped")
    floor, why = _floor.build()
    if floor is None:
        print(f"floor not built: {why}")
    print("ns per call (best of several repeats); ×r after a peer = peer time / telvaran time, "
          "above 1 means telvaran is faster")

    env = _cases.Env(np, floor)
    rows: list[Row] = []
    for op in args.operations:
        run_operation(op, env, sizes, args.types, settings, rows)
    headline(rows, env, settings)

    if args.csv:
        _report.write_csv(args.csv, rows)
        print(f"\nCSV written to {args.csv}")
    if args.plot:
        titles = {op.name: op.title for op in args.operations}
        problem = _report.plot(args.plot, rows, titles)
        print(f"plot not written: {problem}" if problem else f"plot written to {args.plot}")
    print(f"total time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
