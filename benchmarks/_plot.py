"""The two figures of a run: telvaran against its best peer per operation, and the ratios.

The first has one small panel per operation, on float64 elements: the time
per element (per call for slice) against the number of elements, both on
log axes, of telvaran and of the one peer that is fastest at most sizes,
telvaran on that peer's kind of input. Each implementation family has one
colour, the same in every panel; the band between the two lines is blue
where telvaran is faster and red where it is slower.

The second is a heat map: a row per operation and element type, a column
per size, each cell the ratio telvaran time / fastest peer's time, with
telvaran on that peer's kind of input, and the peer named under it. Blue is
below 1 (telvaran faster), red above; white is 1.0.
"""

from __future__ import annotations

import math
import os
from collections import Counter

from _cases import ARRAY, TYPE_NAMES

# One colour per implementation family, in both figures and every panel.
FAMILIES = {
    "telvaran": "#1f4e9c",
    "numpy": "#f28e2b",
    "bottleneck": "#3a9a3a",
    "stdlib": "#7f7f7f",
    "pyarrow.compute": "#b04fb0",
}
FASTER, SLOWER = "#4a90d9", "#d94a4a"  # the bands: telvaran faster, slower
PANEL_TYPE = "d"
FONT = {"title": 10, "label": 8.5, "tick": 8, "legend": 9, "cell": 8}


def family(row) -> str:
    """The family an implementation's colour and short name come from."""
    if row.role == "telvaran" or row.legend.startswith("telvaran"):
        return "telvaran"
    if row.legend.startswith("numpy"):
        return "numpy"
    return row.legend


def _other_path(path: str) -> str:
    root, ext = os.path.splitext(path)
    return f"{root}-ratio{ext or '.png'}"


def plot(path, rows, titles, versions, processor):
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
    heading = f"measured on {processor}\n" + ", ".join(f"{k} {v}" for k, v in versions.items())
    _times(path, measured, titles, heading)
    second = _other_path(path)
    _ratios(second, rows, titles, heading)
    return [path, second], None


# -- the times -------------------------------------------------------------------

def best_peer(case_rows):
    """(ratio, fastest peer row) for one case, or (None, reason), with telvaran on the peer's kind of input."""
    peers = [r for r in case_rows if r.role == "peer" and r.ns and family(r) != "telvaran"]
    telvaran = {r.kind: r for r in case_rows if r.role == "telvaran"}
    usable = [p for p in peers if getattr(_telvaran_for(telvaran, p), "ns", None)]
    if not usable:
        return None, ("error" if any(r.role == "telvaran" and r.note.startswith("error") for r in case_rows)
                      else "-")
    fastest = min(usable, key=lambda p: p.ns)
    return _telvaran_for(telvaran, fastest).ns / fastest.ns, fastest


def _telvaran_for(telvaran, peer):
    return telvaran.get(peer.kind, telvaran.get(ARRAY))


def _duel(mine):
    """The peer fastest at most sizes (at the largest, on a tie) and, per size, (telvaran ns, peer ns)."""
    sizes = sorted({r.size for r in mine})
    wins = Counter()
    for rank, size in enumerate(sizes):
        ratio, best = best_peer([r for r in mine if r.size == size])
        if ratio is not None:
            wins[best.implementation] += 1 + rank / 100  # a tie goes to the larger sizes
    if not wins:
        return None, {}
    name = wins.most_common(1)[0][0]
    points = {}
    for size in sizes:
        case = [r for r in mine if r.size == size]
        peer = next((r for r in case if r.implementation == name and r.ns), None)
        if peer is not None:
            reference = _telvaran_for({r.kind: r for r in case if r.role == "telvaran"}, peer)
            points[size] = (reference.ns if reference else None, peer.ns)
    return next(r for r in mine if r.implementation == name), points


def _band(panel, sizes, ours, theirs, steps=24):
    """Shades between the two lines, blue where telvaran is lower, red where higher.

    The lines are straight on the log axes, so the band follows them point
    by point on a fine grid in log space, changing colour where they cross.
    """
    xs, low, high = [], [], []
    for k in range(len(sizes) - 1):
        for step in range(steps + (k == len(sizes) - 2)):
            t = step / steps
            xs.append(_between(sizes[k], sizes[k + 1], t))
            low.append(_between(ours[k], ours[k + 1], t))
            high.append(_between(theirs[k], theirs[k + 1], t))
    for colour, where in ((SLOWER, [a > b for a, b in zip(low, high)]), (FASTER, [a <= b for a, b in zip(low, high)])):
        panel.fill_between(xs, low, high, where=where, interpolate=True, color=colour, alpha=0.22, linewidth=0)


def _between(a, b, t):
    """The point a fraction t from a to b on a log axis."""
    return math.exp(math.log(a) + t * (math.log(b) - math.log(a)))


def _short(text, width=30):
    return text if len(text) <= width else text[: width - 1] + "…"


def _times(path, measured, titles, heading):
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    panels = []
    for op in titles:
        mine = [r for r in measured if r.operation == op]
        types = [t for t in TYPE_NAMES if any(r.typecode == t for r in mine)]
        if types:
            tc = PANEL_TYPE if PANEL_TYPE in types else types[0]
            peer, points = _duel([r for r in mine if r.typecode == tc])
            if peer is not None and len(points) > 1:  # a line needs two sizes
                panels.append((op, tc, peer, points))
    columns = min(6, len(panels))
    lines = -(-len(panels) // columns)
    width, height = 2.75 * columns + 0.4, 2.35 * lines + 1.5
    figure, axes = plt.subplots(lines, columns, figsize=(width, height), squeeze=False)
    for panel, (op, tc, peer, points) in zip(axes.flat, panels):
        per_call = op == "slice"
        sizes = sorted(points)
        scale = (lambda size: 1) if per_call else (lambda size: size)
        mine = [(s, points[s][0] / scale(s)) for s in sizes if points[s][0]]
        theirs = [(s, points[s][1] / scale(s)) for s in sizes]
        both = [s for s in sizes if points[s][0]]
        if len(both) > 1:
            _band(panel, both, [points[s][0] / scale(s) for s in both], [points[s][1] / scale(s) for s in both])
        panel.plot(*zip(*theirs), color=FAMILIES.get(family(peer), "#000000"), marker="s", markersize=3.5,
                   linewidth=1.6)
        if mine:
            panel.plot(*zip(*mine), color=FAMILIES["telvaran"], marker="o", markersize=3.5, linewidth=1.8)
        panel.set_xscale("log")
        panel.set_yscale("log")
        _readable_axes(panel, sizes)
        panel.set_title(f"{op} · {TYPE_NAMES[tc]}\nvs {_short(peer.implementation)}", fontsize=FONT["title"] - 1)
        if per_call or panel in axes[:, 0]:
            panel.set_ylabel("ns per call" if per_call else "ns per element", fontsize=FONT["label"] - 1)
        panel.tick_params(labelsize=FONT["tick"] - 0.5)
        panel.grid(True, which="major", linewidth=0.4, alpha=0.5)
    for panel in list(axes.flat)[len(panels):]:
        panel.set_visible(False)
    for panel in axes[-1]:
        panel.set_xlabel("elements", fontsize=FONT["label"] - 1)

    used = {"telvaran"} | {family(peer) for _, _, peer, _ in panels}
    handles = [Line2D([], [], color=c, linewidth=3, label=name) for name, c in FAMILIES.items() if name in used]
    handles += [Patch(color=FASTER, alpha=0.35, label="telvaran faster"),
                Patch(color=SLOWER, alpha=0.35, label="telvaran slower")]
    top = 1 - 0.8 / height
    figure.legend(handles=handles, loc="upper center", ncol=len(handles), fontsize=FONT["legend"],
                  frameon=False, bbox_to_anchor=(0.5, top))
    figure.suptitle("telvaran against its fastest peer, per operation: time per element (per call for slice), "
                    "lower is faster; telvaran on the peer's kind of input\n" + heading,
                    fontsize=FONT["title"] + 1, y=1 - 0.08 / height)
    # Laid out in inches: the titles and legend above, each panel's own
    # two-line title and the axis labels around it.
    figure.subplots_adjust(left=0.55 / width, right=1 - 0.15 / width, bottom=0.5 / height,
                           top=1 - 1.75 / height, wspace=0.3, hspace=0.58)
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

def cell_name(peer) -> str:
    """The peer under a ratio: its family, and which sort for numpy's stable one."""
    return "numpy stable" if peer.legend == "numpy (stable sort)" else family(peer)


def _ratios(path, rows, titles, heading):
    import matplotlib.pyplot as plt
    import numpy
    from matplotlib.colors import TwoSlopeNorm

    # Only rows and columns with a ratio somewhere: cases that time telvaran
    # against itself (crafted sort orders, one-element chunks) have no peer.
    cases = {}
    for r in rows:
        cases.setdefault((r.operation, r.typecode, r.size), []).append(r)
    with_ratio = {key for key, case in cases.items() if best_peer(case)[0] is not None}
    sizes = sorted({size for _, _, size in with_ratio})
    keys = [(op, tc) for op in titles for tc in TYPE_NAMES
            if any((op, tc, size) in with_ratio for size in sizes)]
    if not keys:
        return
    halves = [keys[: -(-len(keys) // 2)], keys[-(-len(keys) // 2):]] if len(keys) > 24 else [keys]
    # Laid out in inches: a label margin and a grid per half, the colour bar
    # on the right, the title above; never narrower than the title.
    label_in, cell_w, cell_h, top_in, bottom_in, bar_in = 1.8, 1.2, 0.34, 1.75, 0.45, 1.5
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
                case = cases.get((op, tc, size), [])
                ratio, best = best_peer(case) if case else (None, "")
                if ratio is None:
                    line.append(math.nan)
                    line_texts.append(best)
                else:
                    line.append(max(-1.5, min(1.5, math.log10(ratio))))
                    line_texts.append(f"{ratio:.0f}\n{cell_name(best)}" if ratio >= 100
                                      else f"{ratio:.2g}\n{cell_name(best)}")
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
    figure.suptitle("telvaran time / fastest peer's time: below 1 (blue) telvaran is faster, above 1 (red) "
                    "slower, grey: no ratio\ntelvaran on the peer's own kind of input; under each ratio the "
                    "peer (stdlib = Python's standard library)\n" + heading, fontsize=FONT["title"] + 1)
    figure.savefig(path, dpi=100)
    plt.close(figure)
