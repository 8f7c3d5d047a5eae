"""telvaran's kernels on the chunks of a dask array, on a local cluster of two processes."""
import sys

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import telvaran as tv


def aligned(block):
    """block, or a copy of it at an address telvaran accepts.

    Arrays that dask sends between processes can arrive at an address that is
    no multiple of their item size; telvaran refuses those (BufferError).
    """
    return np.require(block, requirements="A")


def chunk_median(block):
    return np.array([tv.median(aligned(block))])


def sorted_chunk(block):
    block = block.copy()  # aligned and writable, as a worker's blocks may not be
    tv.sort(block)
    return block


def main(size=1_000_005, chunks=5):
    data = np.random.default_rng(1).standard_normal(size)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, Client(cluster):
        x = da.from_array(data, chunks=-(-size // chunks))
        medians = aligned(x.map_blocks(chunk_median, chunks=(1,), dtype=np.float64).compute())
        in_order = x.map_blocks(sorted_chunk, dtype=np.float64).compute()
    parts = np.array_split(data, chunks)
    assert tv.median(medians) == np.median([np.median(p) for p in parts])
    assert np.array_equal(in_order, np.concatenate([np.sort(p) for p in parts]))
    print(f"median of {chunks} chunk medians: {tv.median(medians)}")


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
