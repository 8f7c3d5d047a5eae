"""Output of the benchmark: the table on the terminal, the CSV file, the plot."""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass

from _cases import TYPE_NAMES
from _timing import format_ns, format_ratio

TYPE_WIDTH, SIZE_WIDTH = 8, 10


@dataclass
class Row:
    operation: str
    typecode: str
    size: int
    implementation: str
    ns: float | None
    subject: bool = False
    ratio: float | None = None  # this implementation's time / the subject's time
    loops: int = 0
    repeats: int = 0
    note: str = ""


def _width(name: str) -> int:
    return max(len(name), 16) + 2


def header(title: str, columns: list[str]) -> str:
    line = f"{'type':<{TYPE_WIDTH}}{'size':>{SIZE_WIDTH}}  " + "".join(
        f"{name:>{_width(name)}}" for name in columns)
    return f"\n{title}\n{line}\n{'-' * len(line)}"


def row_line(typecode: str, size: int, columns: list[str], rows: dict[str, Row]) -> str:
    cells = []
    for name in columns:
        row = rows.get(name)
        if row is None:
            text = ""
        elif row.ns is None:
            text = "skipped"
        elif row.subject:
            text = format_ns(row.ns)
        else:
            text = f"{format_ns(row.ns)} {format_ratio(row.ratio)}".rstrip()
        cells.append(f"{text:>{_width(name)}}")
    return f"{TYPE_NAMES[typecode]:<{TYPE_WIDTH}}{size:>{SIZE_WIDTH},}  " + "".join(cells)


def _ensure_parent(path: str) -> None:
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, exist_ok=True)


def write_csv(path: str, rows: list[Row]) -> None:
    _ensure_parent(path)
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["operation", "type", "size", "implementation", "ns_per_call",
                         "ratio_to_telvaran", "loops", "repeats", "note"])
        for r in rows:
            writer.writerow([
                r.operation, TYPE_NAMES[r.typecode], r.size, r.implementation,
                "" if r.ns is None else f"{r.ns:.1f}",
                "" if r.ratio is None else f"{r.ratio:.4g}",
                r.loops, r.repeats, r.note,
            ])


def plot(path: str, rows: list[Row], titles: dict[str, str]) -> str | None:
    """Writes a PNG of ns per call against size, one panel per operation.

    Returns None on success, otherwise why no plot was made.
    """
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed (pip install matplotlib)"
    operations = [op for op in titles if any(r.operation == op and r.ns for r in rows)]
    if not operations:
        return "nothing was measured"
    columns = min(4, len(operations))
    lines = -(-len(operations) // columns)
    figure, axes = plt.subplots(lines, columns, figsize=(4.2 * columns, 3.3 * lines), squeeze=False)
    for panel, op in zip(axes.flat, operations):
        measured = [r for r in rows if r.operation == op and r.ns]
        if len({r.size for r in measured}) > 1:
            _lines(panel, measured)
        else:
            _bars(panel, measured)
        panel.set_title(titles[op], fontsize=8)
        panel.set_ylabel("ns per call", fontsize=7)
        panel.tick_params(labelsize=6)
    for panel in list(axes.flat)[len(operations):]:
        panel.set_visible(False)
    figure.suptitle("telvaran and its peers: ns per call (solid float64, dashed int32, dotted float32)",
                    fontsize=9)
    figure.tight_layout(rect=(0, 0, 1, 1 - 0.35 / (3.3 * lines)))
    _ensure_parent(path)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return None


STYLES = {"d": "-", "i": "--", "f": ":"}


def _colours(measured):
    names = list(dict.fromkeys(r.implementation for r in measured))
    return {name: f"C{k % 10}" for k, name in enumerate(names)}


def _lines(panel, measured):
    """ns per call against size: one colour per implementation, one line style per type."""
    colours = _colours(measured)
    for name, colour in colours.items():
        for typecode, style in STYLES.items():
            points = sorted((r.size, r.ns) for r in measured
                            if r.implementation == name and r.typecode == typecode)
            if points:
                label = name if typecode == next(
                    t for t in STYLES if any(r.implementation == name and r.typecode == t for r in measured)
                ) else None
                panel.plot(*zip(*points), style, color=colour, marker="o", markersize=3, label=label)
    panel.set_xscale("log")
    panel.set_yscale("log")
    panel.set_xlabel("elements", fontsize=7)
    panel.legend(fontsize=5)


def _bars(panel, measured):
    """One size only: a bar per implementation and type."""
    colours = _colours(measured)
    typecodes = [t for t in STYLES if any(r.typecode == t for r in measured)]
    width = 0.8 / max(len(typecodes), 1)
    for k, typecode in enumerate(typecodes):
        for x, name in enumerate(colours):
            for r in measured:
                if r.implementation == name and r.typecode == typecode:
                    panel.bar(x + k * width, r.ns, width, color=colours[name],
                              hatch="" if typecode == "d" else "//", edgecolor="white")
    panel.set_xticks([x + width * (len(typecodes) - 1) / 2 for x in range(len(colours))])
    panel.set_xticklabels(list(colours), fontsize=6)
    size = measured[0].size if measured else 0
    types = ", ".join(f"{TYPE_NAMES[t]}{' (hatched)' if t != 'd' else ''}" for t in typecodes)
    panel.set_xlabel(f"{size:,} elements: {types}", fontsize=7)
