"""telvaran on the chunks of a large array, in worker processes.

Each call holds the interpreter lock, so threads run one call at a time:
the chunks go to processes instead. The array lives in shared memory, which
each worker maps once, so no chunk is copied to or from a worker, and
tv.sort sorts each chunk in place.
"""
import sys
from concurrent.futures import ProcessPoolExecutor
from itertools import repeat
from multiprocessing import shared_memory

import numpy as np

import telvaran as tv

shared = {}  # in each worker: the shared block and the float64 array over it


def attach(name, size):
    block = shared_memory.SharedMemory(name=name, track=False)
    shared.update(block=block, values=np.ndarray(size, np.float64, block.buf))


def on_chunk(operation, start, stop):
    """operation(values[start:stop]) on the shared array: tv.sort, tv.median, ..."""
    return operation(shared["values"][start:stop])


def in_chunks(pool, operation, size, chunks):
    """operation on each of chunks equal parts of the shared array, in the pool's processes."""
    bounds = [size * k // chunks for k in range(chunks + 1)]
    return list(pool.map(on_chunk, repeat(operation), bounds[:-1], bounds[1:]))


def main(size=1_000_005, chunks=5, workers=2):
    data = np.random.default_rng(1).standard_normal(size)
    block = shared_memory.SharedMemory(create=True, size=data.nbytes)
    try:
        values = np.ndarray(size, np.float64, block.buf)
        values[:] = data
        with ProcessPoolExecutor(workers, initializer=attach, initargs=(block.name, size)) as pool:
            medians = in_chunks(pool, tv.median, size, chunks)
            in_chunks(pool, tv.sort, size, chunks)  # each chunk sorted in place
        parts = np.array_split(data, chunks)
        assert tv.median(np.array(medians)) == np.median([np.median(p) for p in parts])
        assert np.array_equal(values, np.concatenate([np.sort(p) for p in parts]))
        del values  # no view of the block may outlive it
    finally:
        block.close()
        block.unlink()
    print(f"median of {chunks} chunk medians: {tv.median(np.array(medians))}")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
