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

Each time is the best of --repeats; before each sort the array is
restored from a copy, outside the clock. Prints the times and speed-ups
(one process's time / the recipe's time: above 1, the recipe is faster).

    python benchmarks/parallel.py [--size N] [--chunks K] [--repeats R]
"""

from __future__ import annotations

import argparse
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


def best(repeats, prepare, work):
    """The least time of work() over repeats, prepare() run before each, off the clock."""
    times = []
    for _ in range(repeats):
        prepare()
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def bounds(size, chunks):
    edges = [size * k // chunks for k in range(chunks + 1)]
    return list(zip(edges[:-1], edges[1:]))


def one_process(data, chunks, repeats):
    values = data.copy()
    parts = bounds(len(data), chunks)
    sort = best(repeats, lambda: values.__setitem__(slice(None), data),
                lambda: [tv.sort(values[a:b]) for a, b in parts])
    median = best(repeats, lambda: None,
                  lambda: tv.median(np.array([tv.median(data[a:b]) for a, b in parts])))
    return sort, median


def with_pool(data, chunks, repeats):
    size = len(data)
    block = shared_memory.SharedMemory(create=True, size=data.nbytes)
    try:
        values = np.ndarray(size, np.float64, block.buf)
        values[:] = data
        with ProcessPoolExecutor(2, initializer=process_pool.attach, initargs=(block.name, size)) as pool:
            process_pool.in_chunks(pool, tv.max, size, 2)  # both workers started, the block mapped
            sort = best(repeats, lambda: values.__setitem__(slice(None), data),
                        lambda: process_pool.in_chunks(pool, tv.sort, size, chunks))
            median = best(repeats, lambda: values.__setitem__(slice(None), data),
                          lambda: tv.median(np.array(process_pool.in_chunks(pool, tv.median, size, chunks))))
        del values
    finally:
        block.close()
        block.unlink()
    return sort, median


def with_dask(data, chunks, repeats):
    import dask.array as da
    from dask.distributed import Client, LocalCluster, wait

    import dask_cluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, Client(cluster):
        # Drawn by the workers, as data that a cluster holds is: the same
        # distribution, and no 320 MB graph to send.
        rng = da.random.default_rng(1)
        x = rng.standard_normal(len(data), chunks=-(-len(data) // chunks)).persist()
        wait(x)
        runs = iter(range(1_000_000))

        def sort():
            # A name of its own each time, or dask would hand back the last result.
            sorted_x = x.map_blocks(dask_cluster.sorted_chunk, dtype=np.float64, name=f"sorted-{next(runs)}")
            wait(sorted_x.persist())

        def median():
            blocks = x.map_blocks(dask_cluster.chunk_median, chunks=(1,), dtype=np.float64)
            return tv.median(dask_cluster.aligned(blocks.compute()))

        sort()  # the workers have the functions and the data
        return best(repeats, lambda: None, sort), best(repeats, lambda: None, median)


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
    base = one_process(data, args.chunks, args.repeats)
    runs = [("ProcessPoolExecutor, 2 processes", with_pool(data, args.chunks, args.repeats))]
    if not args.skip_dask:
        runs.append(("dask LocalCluster, 2 processes", with_dask(data, args.chunks, args.repeats)))
    print(f"{'':34}{'sort every chunk':>20}{'median of medians':>20}")
    print(f"{'one process':34}{base[0]:>19.3f}s{base[1]:>19.3f}s")
    for name, (sort, median) in runs:
        print(f"{name:34}{sort:>19.3f}s{median:>19.3f}s")
        print(f"{'  speed-up over one process':34}{base[0] / sort:>19.2f}x{base[1] / median:>19.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
