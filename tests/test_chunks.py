"""Chunked Arrow input read chunk by chunk where it lies.

Every read gives, bit for bit, what it gives on the same values as one numpy
array, wherever the chunk boundaries fall (inside and across the float sums'
8192-element blocks and the vector windows of min and max); refusals come
before any element is read; nothing proportional to the input is allocated.
"""

import ctypes
import functools
import re
import struct
import tracemalloc

import pytest

import telvaran as tv
from conftest import NUMPY_DTYPES, sample_array

# Where the chunks end, for n elements.
CHUNKINGS = {
    "one chunk": lambda n: [],
    "inside blocks": lambda n: [100, 5000, 9000],
    "at block ends": lambda n: [8192, 16384],
    "around block ends": lambda n: [8191, 8193, 16385],
    "single elements first": lambda n: list(range(1, 40)),
    "every 997": lambda n: list(range(997, n, 997)),
    "every 7919, empty chunks": lambda n: [0, *range(7919, n, 7919), n],
}
READS = {
    "sum": tv.sum, "mean": tv.mean, "min": tv.min, "max": tv.max, "var": tv.var, "std": tv.std,
    "median": tv.median,
}
PICKS = ("min", "max", "median")  # an element of the input, NaN or not


def bits(value, pick=True):
    """A number's exact bits. Of a NaN that arithmetic made, only that it is
    NaN: which NaN an addition of two gives, compilers may decide."""
    if isinstance(value, float):
        return "nan" if value != value and not pick else struct.pack("<d", value)
    return value


def chunked(pa, values, cuts, arrow_type):
    """The values in chunks ending at `cuts`, each chunk in memory of its own."""
    bounds = [0, *cuts, len(values)]
    return pa.chunked_array([values[a:b].copy() for a, b in zip(bounds, bounds[1:])], arrow_type)


@functools.cache
def sample(typecode, n, shape):
    return sample_array(typecode, n, shape).tobytes()


def as_bits(values):
    return [bits(v) for v in values]


@pytest.mark.parametrize("n", [20_000, 140_000])  # 3 blocks; 18, which take the AVX-512 lanes
@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_reads_are_those_of_one_array(pa, np, typecode, chunking, n):
    shape = "nan" if chunking.startswith("every") else "random"  # NaN and zeros: which one min returns
    values = np.frombuffer(sample(typecode, n, shape), NUMPY_DTYPES[typecode])
    arrow = chunked(pa, values, CHUNKINGS[chunking](n), pa.from_numpy_dtype(values.dtype))
    for name, op in READS.items():
        assert bits(op(arrow), name in PICKS) == bits(op(values), name in PICKS), name
    if typecode != "L":  # pyarrow.array(list) takes Python ints for int64
        assert as_bits(tv.unique(arrow).to_pylist()) == as_bits(tv.unique(values).tolist())
    second = chunked(pa, values[::-1].copy(), CHUNKINGS["every 997"](n), arrow.type)
    for op in (tv.add, tv.multiply):
        assert op(arrow, second).tobytes() == op(values, values[::-1].copy()).tobytes()


@pytest.mark.parametrize("start, length", [(1, 9000), (8190, 8200), (20_000, 1), (3, 49_990)])
def test_slices_read_from_their_offsets(pa, np, float_typecode, start, length):
    values = np.frombuffer(sample(float_typecode, 50_000, "random"), NUMPY_DTYPES[float_typecode])
    sliced = chunked(pa, values, [4096, 8192, 30_000], None).slice(start, length)
    window = values[start:start + length]
    for op in READS.values():
        assert bits(op(sliced)) == bits(op(window))
    assert list(tv.array_iterator(sliced)) == window.tolist()


def recorded(op):
    seen = []

    def fn(*args):
        seen.append(args)
        return args[-1] if op is not tv.filter else True

    return seen, fn


@pytest.mark.parametrize("op", [tv.map, tv.filter, tv.reduce])
def test_callbacks_run_in_element_order_across_chunks(pa, op):
    seen, fn = recorded(op)
    op(pa.chunked_array([[1, 2], [], [3], [4, 5, 6]], pa.int16()), fn)
    assert [args[-1] for args in seen] == ([2, 3, 4, 5, 6] if op is tv.reduce else [1, 2, 3, 4, 5, 6])


@pytest.mark.parametrize("chunked_kw, exc, message", [
    ({"faulty_chunk": 1, "null_count": 2}, ValueError,
     "Arrow input has 2 null values; use fill_null() or drop_null() first"),
    ({"fail_at": 2}, BufferError, "Arrow stream failed (error 5): the producer failed"),
    ({"faulty_chunk": (1, 2, 3), "length": 2**60}, BufferError,
     "Arrow export is malformed: chunks beyond the address space"),
])
@pytest.mark.parametrize("op", [tv.map, tv.filter, tv.reduce, lambda a, fn: tv.sum(a), lambda a, fn: tv.add(a, a)])
def test_refusals_come_before_any_element_is_read(fake, op, chunked_kw, exc, message):
    seen, fn = recorded(op)
    with pytest.raises(exc, match=f"^{re.escape(message)}$"):
        op(fake.ChunkedArray("i", [[1, 2], [3], [4], [5]], **chunked_kw), fn)
    assert seen == []


@pytest.mark.parametrize("op", [tv.sum, tv.median, tv.unique, lambda a: tv.multiply(a, a),
                                lambda a: tv.map(a, abs), lambda a: list(tv.array_iterator(a))])
def test_every_chunk_is_released_once(fake, op):
    op(fake.ChunkedArray("h", [[1, 2], [], [3], [4, 5, 6], []]))
    assert fake.ledger.made["array"] >= 5  # and the fixture finds each released once


@pytest.fixture(scope="module")
def big_chunked():
    pa, np = pytest.importorskip("pyarrow"), pytest.importorskip("numpy")
    return pa.chunked_array([np.full(62_500, float(k)) for k in range(64)])  # 32 MB in 64 chunks


def memory_kb(field):
    with open("/proc/self/status") as status:
        return int(re.search(field + r":\s+(\d+)", status.read()).group(1))


def peak_rss_growth(run):
    """kB by which run() raises the process's peak resident memory."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "malloc_trim"):
        libc.malloc_trim(0)  # memory freed earlier goes back, so that taking it again shows
    with open("/proc/self/clear_refs", "w") as clear:  # the peak becomes the current size
        clear.write("5")
    before = memory_kb("VmRSS")
    run()
    return memory_kb("VmHWM") - before


@pytest.mark.parametrize("op", [tv.sum, tv.mean, tv.min, tv.max, tv.var])
def test_reductions_allocate_nothing_like_the_input(big_chunked, op):
    op(big_chunked)
    tracemalloc.start()
    try:
        op(big_chunked)
        assert tracemalloc.get_traced_memory()[1] < 10_000
    finally:
        tracemalloc.stop()
    try:
        assert peak_rss_growth(lambda: op(big_chunked)) < 4_000  # the data is 32,000 kB
    except OSError:
        pytest.skip("the peak resident memory cannot be reset here")


@pytest.mark.parametrize("chunks", [[[float(k)] for k in range(3000)] + [[], [1.5, 2.5]], [[], [7, 8], [], [9]]])
def test_iterating_many_chunks(pa, chunks):
    arrow = pa.chunked_array(chunks, pa.float64())
    it = tv.ArrayIterator(arrow)
    assert list(it) == arrow.to_pylist() and next(it, None) is None


def test_iterating_a_stream_of_chunks(fake):
    chunks = fake.ChunkedArray("L", [[2**64 - 1], [], [0, 2**63]])
    assert list(tv.array_iterator(chunks)) == chunks.to_pylist()
