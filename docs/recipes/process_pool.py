"""telvaran on the chunks of a large array, in worker processes.

Each call holds the interpreter lock, so threads run one call at a time:
the chunks go to processes instead. The array lives in shared memory, so
no chunk is copied to or from a worker, and tv.sort sorts it in place.
"""
import sys
from concurrent.futures import ProcessPoolExecutor
from itertools import repeat
from multiprocessing import shared_memory

import numpy as np

import telvaran as tv


def on_chunk(operation, name, size, start, stop):
    """operation(values[start:stop]) on the float64 array in the shared block name."""
    block = shared_memory.SharedMemory(name=name, track=False)
    chunk = np.ndarray(size, np.float64, block.buf)[start:stop]
    result = operation(chunk)
    del chunk  # no view of the block may outlive it
    block.close()
    return result


def in_chunks(pool, operation, block, size, chunks):
    """operation on each of chunks equal parts of the shared array, in the pool's processes."""
    bounds = [size * k // chunks for k in range(chunks + 1)]
    return list(pool.map(on_chunk, repeat(operation), repeat(block.name), repeat(size),
                         bounds[:-1], bounds[1:]))


def main(size=1_000_005, chunks=5, workers=2):
    data = np.random.default_rng(1).standard_normal(size)
    block = shared_memory.SharedMemory(create=True, size=data.nbytes)
    try:
        shared = np.ndarray(size, np.float64, block.buf)
        shared[:] = data
        with ProcessPoolExecutor(max_workers=workers) as pool:
            medians = in_chunks(pool, tv.median, block, size, chunks)
            in_chunks(pool, tv.sort, block, size, chunks)  # each chunk sorted in place
        parts = np.array_split(data, chunks)
        assert tv.median(np.array(medians)) == np.median([np.median(p) for p in parts])
        assert np.array_equal(shared, np.concatenate([np.sort(p) for p in parts]))
        del shared
    finally:
        block.close()
        block.unlink()
    print(f"median of {chunks} chunk medians: {tv.median(np.array(medians))}")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
