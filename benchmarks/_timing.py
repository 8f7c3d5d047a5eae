"""Timing of one call: adaptive loop counts, min of several repeats.

A measurement times a plain Python loop that calls the function once per
item of a prepared list of inputs, several times; the fastest repeat counts.
For operations that do not change their input the list repeats one object;
for in-place operations it holds fresh copies made before the clock starts,
so no copy is ever timed. The cost of the bare loop (iterating the list
without calling) is measured the same way and subtracted, which leaves the
cost of the call expression itself.
"""

from __future__ import annotations

import gc
from dataclasses import dataclass
from time import perf_counter_ns

# Fresh copies for in-place operations are capped so a measurement never
# holds more than this many bytes of copies, nor more than this many objects.
POOL_BYTES = 64 * 1024 * 1024
POOL_ITEMS = 20_000
# A loop of this many calls or fewer is timed call by call instead, in up
# to MOST_REPEATS repeats.
FEW_CALLS = 4
MOST_REPEATS = 15
# Calibration grows the loop until one pass takes this long.
CALIBRATION_NS = 2_000_000
# No list of inputs grows beyond this many entries (16 MB of references).
MAX_LOOPS = 2_000_000


@dataclass(frozen=True)
class Settings:
    budget_ns: int  # timed work aimed at per measurement
    repeats: int    # repeats of the timed loop; the fastest one counts


DEFAULT = Settings(budget_ns=60_000_000, repeats=5)
QUICK = Settings(budget_ns=15_000_000, repeats=3)
# A call slower than the budget is timed once more (the first call may pay
# for first-touch page faults the others do not), unless it takes longer
# than this on its own.
SECOND_CALL_LIMIT_NS = 1_500_000_000


@dataclass(frozen=True)
class Timing:
    ns_per_call: float
    loops: int    # calls per repeat
    repeats: int


_runners: dict[int, object] = {}


def _runner(arity: int):
    """A loop calling fn(x, c0, ..., c{arity-1}) for each x, compiled once per arity."""
    if arity not in _runners:
        consts = "".join(f", c{i}" for i in range(arity))
        source = (
            f"def run(fn, inputs{consts}):\n"
            "    t0 = clock()\n"
            "    for x in inputs:\n"
            f"        fn(x{consts})\n"
            "    return clock() - t0\n"
        )
        namespace = {"clock": perf_counter_ns}
        exec(source, namespace)
        _runners[arity] = namespace["run"]
    return _runners[arity]


def _bare_loop(inputs) -> int:
    t0 = perf_counter_ns()
    for x in inputs:
        pass
    return perf_counter_ns() - t0


class _Subject:
    """One implementation being timed: its inputs, its loop count and its repeats so far."""

    def __init__(self, fn, first, consts, fresh, nbytes):
        self.fn, self.first, self.consts, self.fresh = fn, first, consts, fresh
        self.run = _runner(len(consts))
        self.cap = MAX_LOOPS if fresh is None else min(POOL_ITEMS, max(1, POOL_BYTES // max(nbytes, 1)))
        self.loops = 1
        self.repeats = 0
        self.totals: list[int] = []
        self.bares: list[int] = []

    def timed(self, count):
        xs = [self.first] * count if self.fresh is None else [self.fresh(self.first) for _ in range(count)]
        return self.run(self.fn, xs, *self.consts), _bare_loop(xs)

    def calibrate(self, settings):
        """Grows the loop until one pass takes CALIBRATION_NS, then sets loops and repeats."""
        count = 1
        while True:
            elapsed, bare = self.timed(count)
            if count == 1 and elapsed >= settings.budget_ns:
                # Slower than the whole budget: this call is the first repeat,
                # and one more follows unless a single call takes very long.
                self.totals, self.bares = [elapsed], [bare]
                self.repeats = 1 if elapsed > SECOND_CALL_LIMIT_NS else 2
                return
            if elapsed >= CALIBRATION_NS or count >= self.cap:
                break
            count = min(count * 10, self.cap)
        per_call = max(elapsed - bare, 1) / count
        self.loops = min(self.cap, max(1, int(settings.budget_ns / settings.repeats / per_call)))
        self.repeats = settings.repeats
        if self.loops <= FEW_CALLS:
            # Calls of milliseconds (memory-bound passes over large arrays,
            # whose speed varies most with what the machine's other cores
            # do): the same budget as single calls, so that the fastest of
            # more samples counts.
            self.loops = 1
            self.repeats = max(2, min(MOST_REPEATS, int(settings.budget_ns / per_call)))

    def timing(self) -> Timing:
        # The fastest loop and the fastest bare loop are each the least
        # disturbed by the scheduler; subtracting per repeat instead would
        # let one preempted bare loop make a call look free.
        per_call = max(min(self.totals) - min(self.bares), 0) / self.loops
        return Timing(per_call, self.loops, len(self.totals))


def measure_all(items, settings=DEFAULT) -> list[Timing]:
    """Best time of one call of each item (fn, first, consts, fresh, nbytes), in ns.

    fresh, when given, makes a new copy of first for every call (in-place
    operations); nbytes is the size of one copy, used to cap the pool.
    The implementations are timed in interleaved rounds (each one's loop
    once per round), so that a slow spell of the machine falls on all of
    them alike and the ratios between them hold better than their times.
    """
    subjects = [_Subject(*item) for item in items]
    enabled = gc.isenabled()
    gc.disable()
    try:
        for subject in subjects:
            subject.calibrate(settings)
        for round_ in range(max((s.repeats for s in subjects), default=0)):
            for subject in subjects:
                if len(subject.totals) < subject.repeats:
                    total, bare = subject.timed(subject.loops)
                    subject.totals.append(total)
                    subject.bares.append(bare)
        return [s.timing() for s in subjects]
    finally:
        if enabled:
            gc.enable()


def measure(fn, first, consts=(), fresh=None, nbytes=0, settings=DEFAULT) -> Timing:
    """Best time of one call fn(first, *consts), in ns (see measure_all)."""
    return measure_all([(fn, first, consts, fresh, nbytes)], settings)[0]


def format_ns(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns < 1_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1_000_000_000:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"
