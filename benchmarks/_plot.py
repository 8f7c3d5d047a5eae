"""The two figures of a run: the times of every implementation, and telvaran against its fastest peer.

The first has a panel per operation (two for operations timed on six
element types, three types each), ns per element against the number of
elements, both on log axes. Colour stands for the implementation, the same
in every panel; the marker for the kind of input; the line style for the
element type. One legend for the whole figure explains all three.

The second is a heat map: a row per operation and element type, a column
per size, each cell the ratio telvaran time / fastest peer's time, with
telvaran on that peer's kind of input. Blue is below 1 (telvaran faster),
red above; white is 1.0.
"""

from __future__ import annotations

import math
import os

from _cases import ARRAY, ARROW, CHUNKED, MEMORYVIEW, NUMPY, TYPE_NAMES

COLOURS = {
    "telvaran (array.array)": "#1f77b4",
    "telvaran (numpy)": "#17becf",
    "telvaran (memoryview)": "#9467bd",
    "telvaran (pyarrow)": "#8c564b",
    "telvaran (pyarrow chunked)": "#e377c2",
    "telvaran, direct calls": "#aec7e8",
    "numpy": "#ff7f0e",
    "numpy (stable sort)": "#d62728",
    "bottleneck": "#2ca02c",
    "standard library": "#7f7f7f",
    "pyarrow.compute": "#bcbd22",
    "C floor (same loop)": "#000000",
    "C floor (plain read)": "#000080",
    "C floor (ordered loop)": "#e6ab02",
    "C floor (read + ordered loop)": "#00564a",
}
MARKERS = {ARRAY: "o", NUMPY: "s", MEMORYVIEW: "^", ARROW: "D", CHUNKED: "v"}
STYLES = {"b": (0, (1, 1.5)), "h": (0, (4, 1.5, 1, 1.5, 1, 1.5)), "i": (0, (5, 2)), "l": (0, (6, 1.5, 1, 1.5)),
          "f": (0, (2, 1.2)), "d": "-", "L": (0, (8, 1.5, 2, 1.5))}
TYPES_PER_PANEL = 3
FONT = {"title": 10, "label": 8.5, "tick": 8, "legend": 9, "cell": 8}


def _other_path(path: str) -> str:
    root, ext = os.path.splitext(path)
    return f"{root}-ratio{ext or '.png'}"


def plot(path, rows, titles, versions, cpu):
    """Writes PATH (times) and PATH-ratio (ratios). Returns (paths written, None) or ([], why not)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # noqa: F401 - checks the backend loads
    except ImportError as error:
        return [], f"matplotlib could not be imported ({error}); pip install matplotlib"
    measured = [r for r in rows if r.ns]
    if not measured:
        return [], "nothing was measured"
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    heading = (f"CPU: {cpu}   ·   " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    _times(path, measured, titles, heading)
    second = _other_path(path)
    _ratios(second, rows, titles, heading)
    return [path, second], None


# -- the times -------------------------------------------------------------------

def _panels(measured, titles):
    """(title, rows, per_call) per panel, in the order of the operations."""
    panels = []
    for op in titles:
        mine = [r for r in measured if r.operation == op]
        types = [t for t in TYPE_NAMES if any(r.typecode == t for r in mine)]
        groups = [types] if len(types) <= TYPES_PER_PANEL + 1 else [
            types[k:k + TYPES_PER_PANEL] for k in range(0, len(types), TYPES_PER_PANEL)]
        for group in groups:
            if not group:
                continue
            names = ", ".join(TYPE_NAMES[t] for t in group)
            panels.append((f"{titles[op]}\n({names})", [r for r in mine if r.typecode in group], op == "slice"))
    return panels


def _colour_of(legend, extra):
    if legend not in COLOURS and legend not in extra:
        extra[legend] = f"C{(len(extra) + 4) % 10}"
    return COLOURS.get(legend) or extra[legend]


def _times(path, measured, titles, heading):
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    panels = _panels(measured, titles)
    columns = 5  # also for fewer panels: the legends need the width
    lines = -(-len(panels) // columns)
    width, height = 3.7 * columns, 2.9 * lines + 2.0
    figure, axes = plt.subplots(lines, columns, figsize=(width, height), squeeze=False)
    extra = {}
    used_legends, used_kinds, used_types = {}, set(), set()
    for panel, (title, mine, per_call) in zip(axes.flat, panels):
        for (legend, name, kind, tc) in dict.fromkeys((r.legend, r.implementation, r.kind, r.typecode) for r in mine):
            points = sorted((r.size, r.ns if per_call else r.ns / r.size) for r in mine
                            if r.implementation == name and r.typecode == tc)
            colour = _colour_of(legend, extra)
            used_legends[legend] = colour
            used_kinds.add(kind)
            used_types.add(tc)
            panel.plot(*zip(*points), linestyle=STYLES[tc], color=colour, marker=MARKERS.get(kind, "o"),
                       markersize=4, linewidth=1.3, markerfacecolor=colour, markeredgewidth=0.5)
        panel.set_xscale("log")
        panel.set_yscale("log")
        _readable_axes(panel, sorted({r.size for r in mine}))
        panel.set_title(title, fontsize=FONT["title"])
        panel.set_ylabel("ns per call" if per_call else "ns per element", fontsize=FONT["label"])
        panel.set_xlabel("elements", fontsize=FONT["label"])
        panel.tick_params(labelsize=FONT["tick"])
        panel.grid(True, which="major", linewidth=0.4, alpha=0.5)
    for panel in list(axes.flat)[len(panels):]:
        panel.set_visible(False)

    implementation = [Line2D([], [], color=c, linewidth=3, label=name) for name, c in used_legends.items()]
    kinds = [Line2D([], [], color="black", linestyle="none", marker=MARKERS[k], markersize=6, label=k)
             for k in MARKERS if k in used_kinds]
    types = [Line2D([], [], color="black", linestyle=STYLES[t], linewidth=1.5, label=TYPE_NAMES[t])
             for t in TYPE_NAMES if t in used_types]
    top = 1 - 0.75 / height
    for x, (title, handles, ncol) in zip((0.02, 0.62, 0.77), (
            ("implementation (colour)", implementation, 3),
            ("kind of input (marker)", kinds, 1),
            ("element type (line style)", types, 2))):
        figure.legend(handles=handles, title=title, loc="upper left", ncol=ncol, fontsize=FONT["legend"],
                      title_fontsize=FONT["legend"] + 1, frameon=True, bbox_to_anchor=(x, top))
    figure.suptitle("telvaran and its peers: time per element (per call for slice), lower is faster\n"
                    + heading, fontsize=FONT["title"] + 2, y=1 - 0.05 / height)
    figure.tight_layout(rect=(0, 0, 1, 1 - 1.65 / height), h_pad=1.2, w_pad=0.8)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _size_label(size):
    for unit, name in ((1_000_000, "M"), (1_000, "k")):
        if size >= unit and size % unit == 0:
            return f"{size // unit}{name}"
    return str(size)


def _readable_axes(panel, sizes):
    """Sizes as 8, 1k, 1M on x; plain numbers on y, minor ones labelled only on a short axis."""
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter, NullLocator

    panel.xaxis.set_major_locator(FixedLocator(sizes))
    panel.xaxis.set_major_formatter(FuncFormatter(lambda v, _: _size_label(int(round(v)))))
    panel.xaxis.set_minor_locator(NullLocator())
    panel.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    low, high = panel.get_ylim()
    if high / low < 30:  # a short axis: label ticks between the powers of ten too
        digits = "23456789" if high / low < 4 else "25"
        panel.yaxis.set_minor_formatter(FuncFormatter(
            lambda v, _: f"{v:g}" if f"{v:.0e}"[0] in digits else ""))
    else:
        panel.yaxis.set_minor_formatter(NullFormatter())


# -- the ratios ---------------------------------------------------------------------

SHORT = {"numpy": "numpy", "numpy (stable sort)": "numpy", "bottleneck": "bn", "standard library": "std",
         "pyarrow.compute": "pa.c"}


def best_ratio(case_rows):
    """(ratio, fastest peer row) for one case, or (None, reason)."""
    peers = [r for r in case_rows if r.role == "peer" and r.ns and not r.legend.startswith("telvaran")]
    telvaran = {r.kind: r for r in case_rows if r.role == "telvaran"}
    usable = [p for p in peers if telvaran.get(p.kind, telvaran.get(ARRAY)) is not None
              and telvaran.get(p.kind, telvaran.get(ARRAY)).ns]
    if not usable:
        return None, ("error" if any(r.role == "telvaran" and r.note.startswith("error") for r in case_rows)
                      else "-")
    fastest = min(usable, key=lambda p: p.ns)
    reference = telvaran.get(fastest.kind, telvaran.get(ARRAY))
    return reference.ns / fastest.ns, fastest


def _ratios(path, rows, titles, heading):
    import matplotlib.pyplot as plt
    import numpy
    from matplotlib.colors import TwoSlopeNorm

    sizes = sorted({r.size for r in rows})
    keys = []
    for op in titles:
        for tc in TYPE_NAMES:
            if any(r.operation == op and r.typecode == tc for r in rows):
                keys.append((op, tc))
    if not keys:
        return
    halves = [keys[: -(-len(keys) // 2)], keys[-(-len(keys) // 2):]] if len(keys) > 24 else [keys]
    # Laid out in inches: a label margin and a grid per half, the colour bar
    # on the right, the title above; never narrower than the title.
    label_in, cell_w, cell_h, top_in, bottom_in, bar_in = 1.8, 1.08, 0.34, 1.75, 0.45, 1.5
    grid_w = cell_w * len(sizes)
    used = len(halves) * (label_in + grid_w) + bar_in
    width = max(used, 14.0)
    grid_h = cell_h * max(len(h) for h in halves)
    bar_h = max(min(grid_h, 6.0), 2.5)
    height = max(grid_h, bar_h) + top_in + bottom_in
    figure = plt.figure(figsize=(width, height))
    left = (width - used) / 2
    axes = []
    for half in halves:
        left += label_in
        h = cell_h * len(half)
        axes.append(figure.add_axes((left / width, (height - top_in - h) / height, grid_w / width, h / height)))
        left += grid_w
    norm = TwoSlopeNorm(vmin=-1.5, vcenter=0.0, vmax=1.5)
    cmap = plt.get_cmap("RdBu_r")
    image = None
    for panel, half in zip(axes, halves):
        grid, texts = [], []
        for op, tc in half:
            line, line_texts = [], []
            for size in sizes:
                case = [r for r in rows if (r.operation, r.typecode, r.size) == (op, tc, size)]
                ratio, best = best_ratio(case) if case else (None, "")
                if ratio is None:
                    line.append(math.nan)
                    line_texts.append(best)
                else:
                    line.append(max(-1.5, min(1.5, math.log10(ratio))))
                    line_texts.append(f"{ratio:.2g}\n{SHORT.get(best.legend, best.legend)}")
            grid.append(line)
            texts.append(line_texts)
        masked = numpy.ma.masked_invalid(grid)
        cmap.set_bad("#dddddd")
        image = panel.imshow(masked, cmap=cmap, norm=norm, aspect="auto")
        for y, line_texts in enumerate(texts):
            for x, text in enumerate(line_texts):
                value = grid[y][x]
                dark = not math.isnan(value) and abs(value) > 0.9
                panel.text(x, y, text, ha="center", va="center", fontsize=FONT["cell"],
                           color="white" if dark else "black", linespacing=0.95)
        panel.set_xticks(range(len(sizes)))
        panel.set_xticklabels([f"{s:,}" for s in sizes], fontsize=FONT["tick"] + 0.5)
        panel.xaxis.tick_top()
        panel.set_yticks(range(len(half)))
        panel.set_yticklabels([f"{op} · {TYPE_NAMES[tc]}" for op, tc in half], fontsize=FONT["tick"] + 0.5)
        panel.set_xlabel("elements", fontsize=FONT["label"])
        panel.tick_params(length=0)
    ticks = [0.03, 0.1, 0.3, 1, 3, 10, 30]
    bar_box = ((left + 0.3) / width, (height - top_in - bar_h) / height, 0.15 / width, bar_h / height)
    bar = figure.colorbar(image, cax=figure.add_axes(bar_box),
                          ticks=[math.log10(t) for t in ticks])
    bar.ax.set_yticklabels([f"{t:g}" for t in ticks], fontsize=FONT["tick"])
    bar.ax.axhline(0.0, color="black", linewidth=2.5)
    bar.set_label("telvaran time / fastest peer's time", fontsize=FONT["label"])
    figure.suptitle("telvaran against its fastest peer: ratio of times, below 1 (blue) telvaran is faster, "
                    "above 1 (red) slower\ntelvaran on the peer's own kind of input; under each ratio the "
                    "peer: numpy, bn = bottleneck, std = standard library, pa.c = pyarrow.compute; "
                    "grey: no ratio\n" + heading, fontsize=FONT["title"] + 1)
    figure.savefig(path, dpi=100)
    plt.close(figure)
