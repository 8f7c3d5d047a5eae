"""Output of the benchmark: the tables on the terminal, the CSV file, the comparison of two runs."""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass

from _cases import TYPE_CODES, TYPE_NAMES
from _timing import format_ns

CELL = 17


@dataclass
class Row:
    operation: str
    typecode: str
    size: int
    implementation: str
    kind: str
    role: str                   # "telvaran", "peer" or "floor"
    legend: str
    ns: float | None = None
    ratio: float | None = None  # telvaran's time / this implementation's time
    reference: str = ""         # the telvaran row the ratio is taken against
    loops: int = 0
    repeats: int = 0
    note: str = ""              # why it has no time: "error: ...", or the reason it was skipped

    @property
    def key(self):
        return (self.operation, self.typecode, self.size, self.implementation)


def set_ratios(rows: list[Row]) -> None:
    """Each peer's and floor's ratio: telvaran on the same kind of input / it.

    Where telvaran was not run on that kind at this size, telvaran on the
    array.array stands in; where it was run and failed, there is no ratio.
    """
    telvaran = {r.kind: r for r in rows if r.role == "telvaran"}
    for r in rows:
        if r.role == "telvaran" or not r.ns:
            continue
        reference = telvaran.get(r.kind, telvaran.get("array.array"))
        if reference is not None and reference.ns:
            r.ratio, r.reference = reference.ns / r.ns, reference.implementation


def format_ratio(ratio: float) -> str:
    if ratio >= 100:
        return f"{ratio:.0f}"
    if ratio >= 10:
        return f"{ratio:.1f}"
    if ratio >= 0.1:
        return f"{ratio:.2f}"
    return f"{ratio:.3f}"


def _cell(row: Row | None) -> str:
    if row is None:
        return ""
    if row.ns is None:
        return "error" if row.note.startswith("error") else "skipped"
    text = format_ns(row.ns)
    if row.ratio is not None:
        text += f" ({format_ratio(row.ratio)})"
    return text


def block(title: str, typecode: str, sizes: list[int], rows: list[Row]) -> list[str]:
    """The table of one operation and element type: a line per implementation, a column per size."""
    names = list(dict.fromkeys(r.implementation for r in rows))
    width = max([len(n) for n in names] + [24]) + 2
    head = f"{title} · {TYPE_NAMES[typecode]}"
    lines = ["", f"{head:<{width}}" + "".join(f"{size:>{CELL},}" for size in sizes)]
    lines.append("-" * len(lines[-1]))
    by_key = {(r.implementation, r.size): r for r in rows}
    for name in names:
        lines.append(f"{name:<{width}}" + "".join(f"{_cell(by_key.get((name, s))):>{CELL}}" for s in sizes))
    notes = {}
    for r in rows:
        if r.ns is None and r.note:
            notes.setdefault(f"{r.implementation}: {r.note}", None)
    lines += [f"  note: {n}" for n in notes]
    return lines


def _ensure_parent(path: str) -> None:
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)


FIELDS = ["operation", "type", "size", "implementation", "kind", "role", "legend", "ns_per_call", "ns_per_element",
          "telvaran_ratio", "reference", "loops", "repeats", "note"]


def write_csv(path: str, rows: list[Row]) -> None:
    _ensure_parent(path)
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(FIELDS)
        for r in rows:
            writer.writerow([
                r.operation, TYPE_NAMES[r.typecode], r.size, r.implementation, r.kind, r.role, r.legend,
                "" if r.ns is None else f"{r.ns:.1f}",
                "" if r.ns is None else f"{r.ns / r.size:.4g}",
                "" if r.ratio is None else f"{r.ratio:.4g}",
                r.reference, r.loops, r.repeats, r.note,
            ])


def read_ratios(path: str) -> dict[tuple, float]:
    """(operation, type name, size, peer) -> telvaran / peer, from a CSV of this benchmark.

    Also reads the earlier layout, whose ratio_to_telvaran column held the
    inverse (peer / telvaran) and whose subject row was named "telvaran".
    """
    ratios = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f):
            if r.get("telvaran_ratio"):
                ratio = float(r["telvaran_ratio"])
            elif r.get("ratio_to_telvaran") and r["implementation"] != "telvaran":
                ratio = 1 / float(r["ratio_to_telvaran"]) if float(r["ratio_to_telvaran"]) else None
            else:
                continue
            if ratio:
                ratios[(r["operation"], r["type"], int(r["size"]), r["implementation"])] = ratio
    return ratios


def current_ratios(rows: list[Row]) -> dict[tuple, float]:
    return {(r.operation, TYPE_NAMES[r.typecode], r.size, r.implementation): r.ratio
            for r in rows if r.ratio is not None}


def compare(old: dict, new: dict, old_name: str, new_name: str, order: list[str]) -> list[str]:
    """Per case present in both runs: telvaran / peer then and now."""
    common = [k for k in new if k in old]
    if not common:
        return ["", f"--compare: no case with a ratio is in both {old_name} and {new_name}"]
    rank = {name: i for i, name in enumerate(order)}
    types = list(TYPE_CODES)
    common.sort(key=lambda k: (rank.get(k[0], len(rank)), types.index(k[1]) if k[1] in types else 99, k[2], k[3]))
    width = max(len(k[3]) for k in common) + 2
    lines = ["", f"Compared with {old_name}: telvaran time / peer time then and now, each from its own run "
                 "(below 1 telvaran is faster); change = now / then, above 1 means telvaran lost ground "
                 "against that peer.",
             f"{'operation':<12}{'type':<9}{'size':>12}  {'peer':<{width}}{'then':>9}{'now':>9}{'change':>9}"]
    worse, better = [], []
    for k in common:
        change = new[k] / old[k]
        mark = ""
        if change > 1.1:
            worse.append(k)
            mark = "  worse"
        elif change < 1 / 1.1:
            better.append(k)
            mark = "  better"
        lines.append(f"{k[0]:<12}{k[1]:<9}{k[2]:>12,}  {k[3]:<{width}}{format_ratio(old[k]):>9}"
                     f"{format_ratio(new[k]):>9}{change:>9.2f}{mark}")
    lines.append(f"{len(common)} cases in both runs: {len(worse)} more than 10% worse, "
                 f"{len(better)} more than 10% better, the rest within 10%")
    return lines
