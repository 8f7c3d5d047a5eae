"""The speed goals telvaran is judged by, and the check that reports them.

Every goal is a ratio of two times measured in the same run:

    ratio = telvaran's time / the peer's time      (below 1: telvaran is faster)

judged over a list of cases. The goal's ratio is the worst (highest) over
its cases, and it is met when that ratio is at most its threshold (below
it, for a goal that asks telvaran to be strictly faster). A goal can name
several times in its denominator; they are added (a floor made of two
passes over the memory).

Goals are information for the people working on telvaran: they may be
missed, and the check says so without failing.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from _cases import (ALL, ARRAY, ARROW, POLARS, CHUNKS64, CRAFTED, CRAFTED_SIZES, CRAFTED_TYPES, MEMORYVIEW, NUMPY,
                    ONE_CHUNK, SEEDS_SIZE, SHUFFLED, SINGLES, TYPE_NAMES, _kind_applies, seed_labels)

Key = tuple  # (operation, typecode, size, implementation)

SMALL = 8
LARGE = (1_000, 100_000, 1_000_000, 10_000_000)
BANDWIDTH = (100_000, 1_000_000, 10_000_000)
EVERY = (8, *LARGE)


def tv(kind):
    return f"telvaran ({kind})"


@dataclass
class Case:
    num: Key
    den: tuple  # of Key, whose times are added

    def where(self):
        op, tc, size, _ = self.num
        return f"{op} {TYPE_NAMES[tc]} {size:,}"

    def label(self):
        op, tc, size, name = self.num
        below = " + ".join(k[3] if k[0] == op else f"{k[0]} {k[3]}" for k in self.den) or "its budget"
        return f"{op} {TYPE_NAMES[tc]} {size:,}: {name} / {below}"


@dataclass
class Goal:
    name: str
    text: str
    threshold: float
    cases: list = field(default_factory=list)
    strict: bool = False  # "faster than": the ratio must stay below the threshold
    # A time budget in ns: cases without a denominator are judged by their
    # time over it.
    budget_ns: float | None = None

    def keys(self):
        for case in self.cases:
            yield case.num
            yield from case.den


def _pairs(ops, types, sizes, num, den):
    """Cases num(op)/den(op) for every op, type and size; num/den give the implementation names."""
    cases = []
    for op in ops:
        for tc in types:
            for size in sizes:
                cases.append(Case((op, tc, size, num(op)), ((op, tc, size, den(op)),)))
    return cases


def _same(op_names):
    return lambda op: op_names[op]


def goals() -> list[Goal]:
    g = []
    bottleneck = {"sum": "nansum", "mean": "nanmean", "min": "nanmin", "max": "nanmax", "median": "median",
                  "var": "nanvar", "std": "nanstd"}
    g.append(Goal(
        "numpy8-vs-bottleneck",
        "8-element calls on exact numpy float64 arrays: sum, mean, min, max, median no slower than "
        "bottleneck's nansum, nanmean, nanmin, nanmax, median on the same array", 1.0,
        _pairs(("sum", "mean", "min", "max", "median"), "d", (SMALL,), lambda op: tv(NUMPY),
               lambda op: f"bottleneck.{bottleneck[op]}")))
    g.append(Goal(
        "numpy8-var-std-vs-bottleneck",
        "8-element var/std on an exact numpy float64 array within 1.5x of bottleneck's nanvar/nanstd", 1.5,
        _pairs(("var", "std"), "d", (SMALL,), lambda op: tv(NUMPY), lambda op: f"bottleneck.{bottleneck[op]}")))
    numpy_peer = {"add": "numpy.add", "multiply": "numpy.multiply", "sort": "ndarray.sort()",
                  "reverse": "x[...] = x[::-1]"}
    g.append(Goal(
        "numpy8-vs-numpy",
        "8-element add, multiply, sort, reverse on exact numpy float64 arrays no slower than np.add, "
        "np.multiply, ndarray.sort(), x[...] = x[::-1]", 1.0,
        _pairs(numpy_peer, "d", (SMALL,), lambda op: tv(NUMPY), _same(numpy_peer))))
    per_call = ("sum", "mean", "min", "max", "var", "std", "median", "sort", "reverse", "add", "multiply",
                "unique", "scale", "clip", "map", "filter", "reduce", "map_inplace")
    g.append(Goal(
        "memoryview8-vs-array",
        "8-element calls on a memoryview within 1.5x of the same call on the array.array it views", 1.5,
        _pairs(per_call, "id", (SMALL,), lambda op: tv(MEMORYVIEW), lambda op: tv(ARRAY))))
    g.append(Goal(
        "slice8-vs-memoryview",
        "8-element slice within 2x of memoryview(x)[i:j] on the same array.array or numpy array", 2.0,
        _pairs(("slice",), "id", (SMALL,), lambda op: tv(ARRAY), lambda op: "memoryview(a)[i:j]")
        + _pairs(("slice",), "id", (SMALL,), lambda op: tv(NUMPY), lambda op: "memoryview(n)[i:j]")))
    g.append(Goal(
        "median-vs-numpy-bottleneck",
        "median at 1,000 to 10,000,000 elements at least 1.5x faster than both np.median and bn.median, "
        "for every type", 1 / 1.5,
        _pairs(("median",), ALL, LARGE, lambda op: tv(NUMPY), lambda op: "numpy.median")
        + _pairs(("median",), ALL, LARGE, lambda op: tv(NUMPY), lambda op: "bottleneck.median")))
    seeds = [tv(label) for label in seed_labels()]
    g.append(Goal(
        "median-seeds-spread",
        f"median of {SEEDS_SIZE:,} float64 over {len(seeds)} random inputs (normal, uniform, few distinct, "
        "sorted, with NaN): the slowest within 1.5x of the fastest", 1.5,
        [Case(("median_seeds", "d", SEEDS_SIZE, slow), (("median_seeds", "d", SEEDS_SIZE, fast),))
         for slow in seeds for fast in seeds if slow != fast]))
    g.append(Goal(
        "median-seeds-vs-numpy",
        f"median of {SEEDS_SIZE:,} float64 on each of those inputs at most 0.5x np.median on it", 0.5,
        [Case(("median_seeds", "d", SEEDS_SIZE, tv(label)),
              (("median_seeds", "d", SEEDS_SIZE, f"numpy.median ({label})"),)) for label in seed_labels()]))
    g.append(Goal(
        "median-bytes-vs-pyarrow",
        "median of 1,000,000 int8/uint8 no slower than pyarrow.compute.quantile (lower middle) on the same "
        "pyarrow array", 1.0,
        _pairs(("median",), "bB", (1_000_000,), lambda op: tv(ARROW), lambda op: "pyarrow.compute.quantile")))
    g.append(Goal(
        "median-bytes-vs-int32",
        "median of 1,000,000 int8/uint8 at most 0.5x median of 1,000,000 int32", 0.5,
        [Case(("median", tc, 1_000_000, tv(NUMPY)), (("median", "i", 1_000_000, tv(NUMPY)),)) for tc in "bB"]))
    g.append(Goal(
        "sort-vs-numpy-default-narrow",
        "sort at 1,000 to 10,000,000 elements of 8/16/32-bit types no slower than numpy's default "
        "ndarray.sort()", 1.0,
        _pairs(("sort",), "bhif", LARGE, lambda op: tv(NUMPY), lambda op: "ndarray.sort()")))
    g.append(Goal(
        "sort-vs-numpy-default-64bit",
        "sort at 1,000 to 10,000,000 elements of 64-bit types within 1.2x of numpy's default ndarray.sort()",
        1.2, _pairs(("sort",), "lLd", LARGE, lambda op: tv(NUMPY), lambda op: "ndarray.sort()")))
    g.append(Goal(
        "sort-crafted-vs-random",
        "sort of keys arranged against the vector sort's pivot samples, 16,384 to 1,000,000 elements, "
        "within 3x of the same keys in random order", 3.0,
        _pairs(("sort_crafted",), CRAFTED_TYPES, CRAFTED_SIZES, lambda op: CRAFTED, lambda op: SHUFFLED)))
    g.append(Goal(
        "sort-vs-numpy-stable",
        "sort at 1,000 to 10,000,000 elements faster than numpy's stable sort, every type", 1.0,
        _pairs(("sort",), ALL, LARGE, lambda op: tv(NUMPY), lambda op: "ndarray.sort(kind='stable')"),
        strict=True))
    reductions = [("sum", "fd"), ("mean", "fd"), ("min", ALL), ("max", ALL)]
    g.append(Goal(
        "reductions-vs-numpy",
        "float sum/mean and every min/max at 100,000 to 10,000,000 elements no slower than numpy", 1.0,
        [c for op, types in reductions
         for c in _pairs((op,), types, BANDWIDTH, lambda op: tv(NUMPY), lambda op: f"numpy.{op}")]))
    g.append(Goal(
        "reductions-vs-read-floor",
        "float sum/mean and every min/max at 10,000,000 elements within 1.1x of a plain read of the "
        "same memory (C floor: 64-bit words into eight independent sums)", 1.1,
        [c for op, types in reductions
         for c in _pairs((op,), types, (10_000_000,), lambda op: tv(ARRAY), lambda op: "C floor (plain read)")]))
    g.append(Goal(
        "sum-int8-vs-read-floor",
        "sum of 10,000,000 int8 at least 0.8 of the speed of a plain read of the same memory (time at most "
        "1.25x the C floor's)", 1.25,
        _pairs(("sum",), "b", (10_000_000,), lambda op: tv(ARRAY), lambda op: "C floor (plain read)")))
    g.append(Goal(
        "unique-floats-vs-numpy",
        "unique of float32/float64 no slower than np.unique at every size", 1.0,
        _pairs(("unique",), "fd", EVERY, lambda op: tv(NUMPY), lambda op: "numpy.unique")))
    g.append(Goal(
        "unique-floats-large",
        "unique of float32/float64 at 1,000,000 elements and up at least 2x faster than np.unique", 0.5,
        _pairs(("unique",), "fd", (1_000_000, 10_000_000), lambda op: tv(NUMPY), lambda op: "numpy.unique")))
    g.append(Goal(
        "reverse-vs-numpy",
        "reverse in place no slower than numpy's x[...] = x[::-1] at every size", 1.0,
        _pairs(("reverse",), ALL, EVERY, lambda op: tv(NUMPY), lambda op: "x[...] = x[::-1]")))
    g.append(Goal(
        "add-multiply-array-inputs",
        "add/multiply of 1,000,000-element array.array inputs within 1.2x of np.add/np.multiply on numpy "
        "inputs of the same data", 1.2,
        _pairs(("add", "multiply"), "ifd", (1_000_000,), lambda op: tv(ARRAY), lambda op: f"numpy.{op}")))
    g.append(Goal(
        "var-vs-floor",
        "var at 1,000,000 and 10,000,000 elements within 1.1x of its floor: a plain read of the memory "
        "(the mean pass at full bandwidth) plus the ordered squared-deviation loop in C", 1.1,
        _pairs(("var",), "id", (1_000_000, 10_000_000), lambda op: tv(ARRAY),
               lambda op: "C floor (plain read + ordered squared deviations)")))
    g.append(Goal(
        "var-uint64-vs-int64",
        "var/std of 10,000,000 uint64 (half of them 2^63 and above) within 1.3x of the same on int64", 1.3,
        [Case((op, "L", 10_000_000, tv(NUMPY)), ((op, "l", 10_000_000, tv(NUMPY)),)) for op in ("var", "std")]))
    g.append(Goal(
        "var8-vs-mean8",
        "an 8-element var call at most 1.3x the 8-element mean call on the same input", 1.3,
        [Case(("var", tc, SMALL, tv(kind)), (("mean", tc, SMALL, tv(kind)),))
         for kind in (ARRAY, NUMPY) for tc in "id"]))
    g.append(Goal(
        "callbacks-vs-builtins",
        "map, filter, reduce, map_inplace no slower than the builtins doing the same on the same kind of "
        "input, at 8 elements and up", 1.0, _callback_cases()))
    arrow_reads = ("sum", "min", "max", "mean")
    g.append(Goal(
        "arrow-vs-numpy",
        "sum, min, max, mean over a 1,000,000-element pyarrow int32/float64 array within 1.2x of the same "
        "call on a numpy array of the same data", 1.2,
        _pairs(arrow_reads, "id", (1_000_000,), lambda op: tv(ARROW), lambda op: tv(NUMPY))))
    g.append(Goal(
        "arrow-vs-pyarrow-compute",
        "sum, min, max, mean over a 1,000,000-element pyarrow int32/float64 array faster than "
        "pyarrow.compute on the same array", 1.0,
        _pairs(arrow_reads, "id", (1_000_000,), lambda op: tv(ARROW), lambda op: f"pyarrow.compute.{op}"),
        strict=True))
    g.append(Goal(
        "arrow-chunks-vs-one-array",
        "sum, min, max, mean over a 1,000,000-element pyarrow ChunkedArray of 64 chunks (int32/float64) within "
        "1.1x of the same call on one pyarrow array of the same data", 1.1,
        _pairs(arrow_reads, "id", (1_000_000,), lambda op: tv(CHUNKS64), lambda op: tv(ARROW))))
    g.append(Goal(
        "arrow-chunks-vs-pyarrow-compute",
        "sum, min, max, mean over a 1,000,000-element pyarrow ChunkedArray of 64 chunks (int32/float64) faster "
        "than pyarrow.compute on the same chunked array", 1.0,
        _pairs(arrow_reads, "id", (1_000_000,), lambda op: tv(CHUNKS64),
               lambda op: f"pyarrow.compute.{op} ({CHUNKS64})"), strict=True))
    g.append(Goal(
        "iterate-one-element-chunks",
        "iterating a pyarrow ChunkedArray of 4,000 one-element chunks within 5x of iterating one of a single "
        "chunk of 4,000 elements", 5.0,
        [Case(("iterator", tc, 4_000, f"ArrayIterator ({SINGLES})"),
              (("iterator", tc, 4_000, f"ArrayIterator ({ONE_CHUNK})"),)) for tc in "id"]))
    g.append(Goal(
        "arrow-var8-vs-sum8",
        "an 8-element var call on a pyarrow array at most 1.3x the 8-element sum call on the same array", 1.3,
        [Case(("var", tc, SMALL, tv(ARROW)), (("sum", tc, SMALL, tv(ARROW)),)) for tc in "id"]))
    g.append(Goal(
        "arrow8-vs-numpy8",
        "an 8-element call on a pyarrow array within 3x of the same call on an 8-element numpy array", 3.0,
        _pairs(("sum", "mean", "min", "max", "var", "median", "unique"), "id", (SMALL,),
               lambda op: tv(ARROW), lambda op: tv(NUMPY))))
    g.append(Goal(
        "arrow8-results-budget",
        "unique, filter and map of an 8-element pyarrow array in under 5 us (the result made without "
        "pyarrow's type inference)", 1.0,
        [Case((op, tc, SMALL, tv(ARROW)), ()) for op in ("unique", "filter", "map") for tc in "id"],
        budget_ns=5000.0))
    g.append(Goal(
        "polars-vs-numpy",
        "sum and median of a 1,000,000-element polars Series of float64 within 1.2x of the same call on "
        "series.to_numpy()", 1.2,
        _pairs(("sum", "median"), "d", (1_000_000,), lambda op: tv(POLARS), lambda op: tv(NUMPY))))
    g.append(Goal(
        "arrow-unique-filter-vs-numpy",
        "unique and filter of a 1,000,000-element pyarrow array within 1.5x of the same on numpy", 1.5,
        _pairs(("unique", "filter"), "id", (1_000_000,), lambda op: tv(ARROW), lambda op: tv(NUMPY))))
    g.append(Goal(
        "sum8-vs-floor",
        "8-element sum of an array('d') at most 3x the bare C loop (buffer, sum, release)", 3.0,
        _pairs(("sum",), "d", (SMALL,), lambda op: tv(ARRAY), lambda op: "C floor (same loop)")))
    g.append(Goal(
        "sum8-vs-builtins",
        "8-element sum of an array('d') at least 2x faster than builtins sum", 0.5,
        _pairs(("sum",), "d", (SMALL,), lambda op: tv(ARRAY), lambda op: "builtins sum")))
    return g


CALLBACK_BUILTINS = {
    "map": {ARRAY: "array(tc, map(f, a))", NUMPY: "np.fromiter(map(f, n.tolist()))",
            MEMORYVIEW: "array(tc, map(f, m))", ARROW: "pa.array(list(map(f, p.to_pylist())))"},
    "filter": {ARRAY: "array(tc, filter(p, a))", NUMPY: "np.fromiter(filter(p, n.tolist()))",
               MEMORYVIEW: "array(tc, filter(p, m))", ARROW: "pa.array(list(filter(p, p.to_pylist())))"},
    "reduce": {ARRAY: "functools.reduce(f, a)", NUMPY: "functools.reduce(f, n.tolist())",
               MEMORYVIEW: "functools.reduce(f, m)", ARROW: "functools.reduce(f, p.to_pylist())"},
    "map_inplace": {ARRAY: "for i: a[i] = f(a[i])", NUMPY: "n[:] = np.fromiter(map(f, n.tolist()))",
                    MEMORYVIEW: "for i: m[i] = f(m[i])"},
}
CALLBACK_SIZES = (8, 1_000, 100_000, 1_000_000)


def _callback_cases():
    cases = []
    for op, peers in CALLBACK_BUILTINS.items():
        for kind, peer in peers.items():
            for tc in "id":
                for size in CALLBACK_SIZES:
                    if _kind_applies(kind, size):
                        cases.append(Case((op, tc, size, tv(kind)), ((op, tc, size, peer),)))
    return cases


def select(all_goals, operations=None, typecodes=None):
    """The goals restricted to cases of the chosen operations and types; goals left empty are dropped."""
    chosen = []
    for goal in all_goals:
        cases = [c for c in goal.cases
                 if (operations is None or c.num[0] in operations) and (typecodes is None or c.num[1] in typecodes)]
        if cases:
            chosen.append(Goal(goal.name, goal.text, goal.threshold, cases, goal.strict, goal.budget_ns))
    return chosen


@dataclass
class Verdict:
    goal: Goal
    ratio: float | None = None
    worst: str = ""
    status: str = ""           # MET, MISSED, INCOMPLETE or NOT MEASURED
    errors: list = field(default_factory=list)      # (case label, message): telvaran raised
    unmeasured: list = field(default_factory=list)  # (case label, reason): a time is missing


def judge(goal: Goal, rows: dict) -> Verdict:
    """rows maps a Key to its Row; the goal's worst ratio and its status.

    A case where telvaran raised counts against the goal; a case that could
    not be timed for another reason (a peer's library missing) leaves the
    goal incomplete.
    """
    verdict = Verdict(goal)
    for case in goal.cases:
        keys = (case.num, *case.den)
        missing = [(k, rows.get(k)) for k in keys if rows.get(k) is None or not rows[k].ns]
        if missing:
            key, row = missing[0]
            reason = row.note if row is not None and row.note else "not measured in this run"
            if row is not None and row.role == "telvaran" and row.note.startswith("error"):
                verdict.errors.append((case.where(), f"{key[3]}: {reason}"))
            else:
                verdict.unmeasured.append((case.where(), f"{key[3]}: {reason}"))
            continue
        ratio = rows[case.num].ns / (sum(rows[k].ns for k in case.den) if case.den else goal.budget_ns)
        if verdict.ratio is None or ratio > verdict.ratio:
            verdict.ratio, verdict.worst = ratio, case.label()
    over = verdict.ratio is not None and (
        verdict.ratio >= goal.threshold if goal.strict else verdict.ratio > goal.threshold)
    if over or verdict.errors:
        verdict.status = "MISSED"
    elif verdict.ratio is None:
        verdict.status = "NOT MEASURED"
    elif verdict.unmeasured:
        verdict.status = "INCOMPLETE"
    else:
        verdict.status = "MET"
    return verdict


def _shorten(text, limit=150):
    return text if len(text) <= limit else text[:limit - 3] + "..."


def report(all_goals, rows) -> list[str]:
    """A line per goal (name, worst ratio, threshold, status, worst case), a note line where cases are
    missing, and the counts."""
    verdicts = [judge(goal, rows) for goal in all_goals]
    width = max(len(g.name) for g in all_goals)
    lines = ["", "Goals: ratio = telvaran time / peer time, below 1 means telvaran is faster; "
                 "each goal's ratio is the worst over its cases.",
             f"{'goal':<{width}}  {'ratio':>7}  {'threshold':>9}  {'status':<12}  worst case"]
    for v in verdicts:
        ratio = "-" if v.ratio is None else f"{v.ratio:.3g}"
        sign = "<" if v.goal.strict else "<="
        lines.append(f"{v.goal.name:<{width}}  {ratio:>7}  {sign:>3} {v.goal.threshold:<5.3g}  "
                     f"{v.status:<12}  {v.worst or '-'}")
        for what, cases in (("raised an error", v.errors), ("not measured", v.unmeasured)):
            if cases:
                label, reason = cases[0]
                lines.append(f"{'':<{width}}  {len(cases)} of {len(v.goal.cases)} cases {what}, first: "
                             + _shorten(f"{label}: {reason}"))
    counts = {s: sum(v.status == s for v in verdicts) for s in ("MET", "MISSED", "INCOMPLETE", "NOT MEASURED")}
    lines.append(f"{counts['MET']} of {len(verdicts)} goals met, {counts['MISSED']} missed"
                 + "".join(f", {n} {s.lower()}" for s, n in counts.items()
                           if n and s in ("INCOMPLETE", "NOT MEASURED")))
    return lines


def describe(all_goals) -> list[str]:
    lines = []
    for goal in all_goals:
        sign = "<" if goal.strict else "<="
        lines.append(f"{goal.name}: ratio {sign} {goal.threshold:.3g} over {len(goal.cases)} cases")
        lines.append(f"    {goal.text}")
    return lines
