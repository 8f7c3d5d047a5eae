"""Speed-up of the README's two parallel recipes over one process.

Times, on float64 arrays of 40,000,000 standard normal values in four
chunks: sorting every chunk in place, and the median of the chunk medians;
first in this process, chunk after chunk, then with the recipes:

  docs/recipes/process_pool.py  two worker processes on a shared-memory
                                array (the pool started, and the array mapped
                                by each worker, beforehand);
  docs/recipes/dask_cluster.py  a dask LocalCluster of two worker
                                processes, the array drawn and held by the
                                workers (persisted), the sorted chunks kept
                                there too.

Each time is the best of --repeats rounds, each round running every way
in turn; before each sort the array is restored from a copy, outside the
clock. Prints the times and speed-ups
(one process's time / the recipe's time: above 1, the recipe is faster).

    python benchmarks/parallel.py [--size N] [--chunks K] [--repeats R]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import shared_memory

import numpy as np

import telvaran as tv

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "recipes"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import process_pool  # noqa: E402
from run import processor  # noqa: E402


class Timer:
    """The least time of each named piece of work over the rounds it is run in."""

    def __init__(self):
        self.best = {}

    def time(self, key, work, prepare=None):
        if prepare:
            prepare()
        start = time.perf_counter()
        work()
        elapsed = time.perf_counter() - start
        self.best[key] = min(elapsed, self.best.get(key, elapsed))


def one_process(data, chunks, stack):
    """(sort, median) work in this process, chunk after chunk."""
    values = data.copy()
    edges = [len(data) * k // chunks for k in range(chunks + 1)]
    parts = list(zip(edges[:-1], edges[1:]))
    restore = lambda: values.__setitem__(slice(None), data)  # noqa: E731
    return ((lambda: [tv.sort(values[a:b]) for a, b in parts], restore),
            (lambda: tv.median(np.array([tv.median(values[a:b]) for a, b in parts])), restore))


def with_pool(data, chunks, stack):
    size = len(data)
    block = shared_memory.SharedMemory(create=True, size=data.nbytes)
    stack.callback(block.unlink)
    stack.callback(block.close)
    held = [np.ndarray(size, np.float64, block.buf)]
    stack.callback(held.clear)  # the view goes before the block closes
    held[0][:] = data
    pool = stack.enter_context(ProcessPoolExecutor(2, initializer=process_pool.attach,
                                                   initargs=(block.name, size)))
    process_pool.in_chunks(pool, tv.max, size, 2)  # both workers started, the block mapped
    restore = lambda: held[0].__setitem__(slice(None), data)  # noqa: E731
    return ((lambda: process_pool.in_chunks(pool, tv.sort, size, chunks), restore),
            (lambda: tv.median(np.array(process_pool.in_chunks(pool, tv.median, size, chunks))), restore))


def with_dask(data, chunks, stack):
    import dask.array as da
    from dask.distributed import Client, LocalCluster, wait

    import dask_cluster

    cluster = stack.enter_context(LocalCluster(n_workers=2, threads_per_worker=1, processes=True))
    stack.enter_context(Client(cluster))
    # Drawn by the workers, as data that a cluster holds is: the same
    # distribution, and no 320 MB graph to send.
    x = da.random.default_rng(1).standard_normal(len(data), chunks=-(-len(data) // chunks)).persist()
    wait(x)
    runs = iter(range(1_000_000))

    def sort():
        # A name of its own each time, or dask would hand back the last result.
        wait(x.map_blocks(dask_cluster.sorted_chunk, dtype=np.float64, name=f"sorted-{next(runs)}").persist())

    def median():
        blocks = x.map_blocks(dask_cluster.chunk_median, chunks=(1,), dtype=np.float64)
        return tv.median(dask_cluster.aligned(blocks.compute()))

    sort()  # the workers have the functions
    return (sort, None), (median, None)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--size", type=int, default=40_000_000)
    parser.add_argument("--chunks", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--skip-dask", action="store_true")
    args = parser.parse_args(argv)
    data = np.random.default_rng(1).standard_normal(args.size)
    print(f"{args.size:,} float64 in {args.chunks} chunks, best of {args.repeats}; {processor()}; "
          f"load average before: {os.getloadavg()[0]:.2f}")
    ways = [("one process", one_process), ("ProcessPoolExecutor, 2 processes", with_pool)]
    if not args.skip_dask:
        ways.append(("dask LocalCluster, 2 processes", with_dask))
    timer = Timer()
    with contextlib.ExitStack() as stack:
        work = {name: setup(data, args.chunks, stack) for name, setup in ways}
        # Round after round, each way in turn: what else runs on the machine
        # weighs on all of them alike.
        for _ in range(args.repeats):
            for name, pieces in work.items():
                for task, (run, prepare) in zip(("sort", "median"), pieces):
                    timer.time((name, task), run, prepare)
    base = timer.best["one process", "sort"], timer.best["one process", "median"]
    print(f"{'':34}{'sort every chunk':>20}{'median of medians':>20}")
    for name, _ in ways:
        sort, median = timer.best[name, "sort"], timer.best[name, "median"]
        print(f"{name:34}{sort:>19.3f}s{median:>19.3f}s")
        if name != "one process":
            print(f"{'  speed-up over one process':34}{base[0] / sort:>19.2f}x{base[1] / median:>19.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
