import math
import random
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import telvaran as tv
from conftest import NAN_BITS as SAMPLE_NAN_BITS
from conftest import NUMPY_DTYPES, TYPECODES, bits_of, sample_array, stable_order, stable_sorted_bits
from conftest import type_limits as limits

NAN = float("nan")
INF = float("inf")
MUTABLE_SLICE = "Failed to get mutable buffer slice"
READ_SLICE = "Failed to get buffer slice"
# Raw NaN patterns of both signs, quiet and signalling, several payloads.
NAN_BITS = {
    "f": [0x7FC00000, 0xFFC00000, 0x7F800001, 0xFF800123, 0x7FFFFFFF],
    "d": [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000ABC, 0x7FFFFFFFFFFFFFFF],
}
UNSIGNED_OF = {"f": "I", "d": "Q"}


def elements(tc):
    if tc in "fd":
        special = st.sampled_from([0.0, -0.0, 1.0, -1.0, INF, -INF, 5e-324 if tc == "d" else 1e-45])
        return special | st.floats(allow_nan=False, width=32 if tc == "f" else 64)
    lo, hi = limits(tc)
    # Few distinct values too, so ties and constant radix digits are common.
    return st.integers(lo, hi) | st.integers(lo, lo + 3) | st.integers(hi - 3, hi)


def arrays(tc, min_size=0):
    return st.lists(elements(tc), min_size=min_size, max_size=300).map(lambda xs: array(tc, xs))


def bit_patterns(a):
    """The elements as unsigned integers of their width, for exact comparison."""
    code = UNSIGNED_OF.get(a.typecode, a.typecode.upper())
    return list(memoryview(a.tobytes()).cast(code))


def nan_of(tc, pattern):
    return array(tc, array(UNSIGNED_OF[tc], [pattern]).tobytes())[0]


def with_nans(tc, values, nan_positions):
    """array(tc, values) with raw NaN patterns written at the given positions."""
    a = array(tc, values)
    raw = array(UNSIGNED_OF[tc], a.tobytes())
    for k, pattern in nan_positions:
        raw[k % len(raw)] = pattern
    return array(tc, raw.tobytes())


def distinct_in_order(values):
    """Drop each value that == the last one kept (NaN equals nothing)."""
    kept = []
    for x in values:
        if not kept or not x == kept[-1]:
            kept.append(x)
    return kept


# --- sort -----------------------------------------------------------------


@pytest.mark.parametrize("tc", TYPECODES)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_sort_is_stable_by_value(tc, data):
    a = data.draw(arrays(tc))
    # Python's sort is stable and treats -0.0 == 0.0; bytes keep the zero signs.
    expected = array(tc, sorted(a.tolist()))
    assert tv.sort(a) is None
    assert a.tobytes() == expected.tobytes()


@pytest.mark.parametrize("tc", "fd")
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_sort_with_nan_leaves_a_permutation(tc, data):
    values = data.draw(st.lists(elements(tc), min_size=1, max_size=300))
    positions = data.draw(st.lists(st.tuples(st.integers(0, 1000), st.sampled_from(NAN_BITS[tc])), min_size=1))
    a = with_nans(tc, values, positions)
    before = bit_patterns(a)
    tv.sort(a)
    assert sorted(bit_patterns(a)) == sorted(before)
    # NaNs gather at the end; the numbers before them are in stable order.
    numbers = [x for x in array(tc, a.tobytes()) if not math.isnan(x)]
    assert all(not math.isnan(x) for x in a[: len(numbers)])
    assert array(tc, a[: len(numbers)]).tobytes() == array(tc, sorted(numbers)).tobytes()


@pytest.mark.parametrize("n", [2, 63, 64, 65, 1000])
def test_signed_zeros_keep_input_order(n):
    signs = [(k * 7919) % 3 == 0 for k in range(n)]
    zeros = [-0.0 if s else 0.0 for s in signs]
    a = array("d", [1.0, -1.0] * n + zeros)
    tv.sort(a)
    run = a[n : 2 * n]
    assert [math.copysign(1, z) < 0 for z in run] == signs


@pytest.mark.parametrize(
    "tc, values, expected",
    [
        ("d", [0.0, -0.0], [0.0, -0.0]),
        ("d", [-0.0, 0.0], [-0.0, 0.0]),
        ("b", [-1, 0, -128, 127], [-128, -1, 0, 127]),
        ("L", [2**63, 1], [1, 2**63]),
        ("L", [2**64 - 1, 2**63, 2**63 - 1, 0], [0, 2**63 - 1, 2**63, 2**64 - 1]),
        ("l", [2**63 - 1, -(2**63), -1, 0], [-(2**63), -1, 0, 2**63 - 1]),
        ("f", [INF, -INF, 1e-45, -1e-45, 0.0], [-INF, -1e-45, 0.0, 1e-45, INF]),
    ],
)
def test_sort_examples(tc, values, expected):
    a = array(tc, values)
    tv.sort(a)
    assert a.tobytes() == array(tc, expected).tobytes()


@pytest.mark.parametrize("dtype", NUMPY_DTYPES.values())
@pytest.mark.parametrize("shape", ["random", "narrow", "nonzero"])
@pytest.mark.parametrize("n", [200_003, 2**19 + 3])  # the second splits by the top digits first
def test_sort_matches_numpy_stable_sort_on_large_input(np, dtype, shape, n):
    rng = np.random.default_rng(7)
    if dtype.startswith("float"):
        x = rng.standard_normal(n).astype(dtype)
        if shape == "nonzero":
            x[x == 0] = 1.0
        else:
            x[::5] = 0.0
            x[::7] = -0.0
        if shape == "narrow":
            x = np.round(x * 4).astype(dtype)
    else:
        info = np.iinfo(dtype)
        lo, hi = (info.min, info.max) if shape == "random" else (0, 3)
        x = rng.integers(lo, hi, n, dtype=dtype, endpoint=True)
        if shape == "narrow":
            # Only the upper middle bits vary: the other digits are constant.
            x = (x << (info.bits // 2)).astype(dtype)
    expected = np.sort(x, kind="stable")
    tv.sort(x)
    assert x.tobytes() == expected.tobytes()


# Sizes either side of where the sort changes strategy: insertion sort up to
# 32 items, 8-bit digits below 4,096, MSD passes below 32,768 for keys that
# would need many LSD passes. "narrow" integers take the counting sort,
# "nonzero" floats are sorted as keys, floats with -0.0 or NaN as items.
SORT_SIZES = [32, 33, 4095, 4096, 32767, 32768]
SORT_CASES = [(tc, shape) for tc in TYPECODES
              for shape in (("random", "narrow", "nonzero", "nan") if tc in "fd" else ("random", "narrow"))]


@pytest.mark.parametrize("tc, shape", SORT_CASES)
@pytest.mark.parametrize("n", SORT_SIZES)
def test_sort_matches_stable_reference_around_thresholds(tc, shape, n):
    a = sample_array(tc, n, shape)
    expected = stable_sorted_bits(a)
    tv.sort(a)
    assert bits_of(a) == expected


def test_sort_numpy_and_memoryview_in_place(np):
    x = np.array([3, 1, 2], dtype=np.int16)
    tv.sort(x)
    assert x.tolist() == [1, 2, 3]
    a = array("H", [9, 8, 7, 6])
    tv.sort(memoryview(a)[1:])
    assert a.tolist() == [9, 6, 7, 8]


def test_sort_covers_every_element_of_a_2d_memoryview(np):
    x = np.array([[4.0, 3.0], [2.0, 1.0]])
    tv.sort(memoryview(x))
    assert x.ravel().tolist() == [1.0, 2.0, 3.0, 4.0]


# --- reverse --------------------------------------------------------------


@pytest.mark.parametrize("tc", TYPECODES)
@settings(max_examples=30, deadline=None)
@given(data=st.data())
def test_reverse_reverses_items(tc, data):
    a = data.draw(arrays(tc))
    expected = array(tc, reversed(a))
    assert tv.reverse(a) is None
    assert a.tobytes() == expected.tobytes()


@pytest.mark.parametrize("tc", "fd")
def test_reverse_keeps_nan_payloads_and_zero_signs(tc):
    a = with_nans(tc, [1.0, 0.0, -0.0, 2.0, 0.0], list(enumerate(NAN_BITS[tc][:2])) + [(4, NAN_BITS[tc][2])])
    before = bit_patterns(a)
    tv.reverse(a)
    assert bit_patterns(a) == before[::-1]
    tv.sort(a)
    assert sorted(bit_patterns(a)) == sorted(before)


# --- unique ---------------------------------------------------------------


@pytest.mark.parametrize("tc", TYPECODES)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_unique_keeps_first_of_each_value(tc, data):
    a = data.draw(arrays(tc))
    expected = array(tc, distinct_in_order(sorted(a.tolist())))
    result = tv.unique(a)
    assert type(result) is array and result.typecode == tc
    assert result.tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "tc, values, expected",
    [
        ("d", [0.0, -0.0, 1.0], [0.0, 1.0]),
        ("d", [-0.0, 0.0], [-0.0]),
        ("i", [3, 1, 3, 2], [1, 2, 3]),
        ("B", [255, 0, 255], [0, 255]),
        ("L", [2**64 - 1, 0, 2**64 - 1], [0, 2**64 - 1]),
    ],
)
def test_unique_examples(tc, values, expected):
    assert tv.unique(array(tc, values)).tobytes() == array(tc, expected).tobytes()


@pytest.mark.parametrize("tc", "fd")
def test_unique_keeps_every_nan(tc):
    pattern = NAN_BITS[tc][3]
    result = tv.unique(array(tc, [NAN, 1.0, nan_of(tc, pattern), NAN, 1.0]))
    assert result[0] == 1.0 and len(result) == 4
    assert sorted(bit_patterns(result)[1:]) == sorted(bit_patterns(array(tc, [NAN, NAN, nan_of(tc, pattern)])))


def unique_reference_bits(a):
    """Bits of the first element of each run of == elements in stable order."""
    bits = bits_of(a)
    kept, last = [], None
    for i in stable_order(a):
        if kept and a[i] == last:
            continue
        kept.append(bits[i])
        last = a[i]
    return kept


# Float unique gathers distinct values in a table while they are at most a
# quarter of the items (the table growing past 2^17 slots), else sorts all.
@pytest.mark.parametrize("tc", "fd")
@pytest.mark.parametrize("n, distinct", [(1000, 100), (1000, 1000), (5000, 1250), (5000, 1300), (150_000, 35_000)])
@pytest.mark.parametrize("specials", ["", "zeros", "zeros, nan", "-0.0 first, nan"])
def test_unique_of_floats_matches_stable_reference(tc, n, distinct, specials):
    rng = random.Random(n + distinct)
    pool = [rng.uniform(-1e6, 1e6) for _ in range(distinct)]
    if "zeros" in specials:
        pool[:2] = [-0.0, 0.0]
    a = array(tc, [rng.choice(pool) for _ in range(n)])
    if "-0.0 first" in specials:
        a[0] = -0.0
    if "nan" in specials:
        bits = bits_of(a)
        for i in range(1, n, 97):
            bits[i] = SAMPLE_NAN_BITS[tc][i % 5]
        a = array(tc, array(UNSIGNED_OF[tc], bits).tobytes())
    result = tv.unique(a)
    assert bits_of(result) == unique_reference_bits(a)


def test_unique_of_memoryview_gives_array_array():
    result = tv.unique(memoryview(array("h", [5, -5, 5])))
    assert type(result) is array and result.typecode == "h" and result.tolist() == [-5, 5]


@pytest.mark.parametrize("tc", TYPECODES)
def test_unique_of_numpy_keeps_dtype(np, tc):
    x = np.array([3, 1, 3, 0], dtype=NUMPY_DTYPES[tc])
    x.flags.writeable = False  # read access is enough
    result = tv.unique(x)
    assert type(result) is np.ndarray and result.dtype == x.dtype
    assert result.tolist() == [0, 1, 3]
    assert result.flags.writeable and result.flags.owndata


# --- empty inputs, refusals and released views ------------------------------


@pytest.mark.parametrize("fn", [tv.sort, tv.reverse])
def test_in_place_of_empty_returns_none(np, fn, typecode):
    assert fn(array(typecode)) is None
    frozen = np.array([], dtype=NUMPY_DTYPES[typecode])
    frozen.flags.writeable = False
    assert fn(frozen) is None  # settled by the length before any buffer is asked for


def test_unique_of_empty_keeps_kind(np, pa, typecode):
    result = tv.unique(array(typecode))
    assert type(result) is array and result.typecode == typecode and len(result) == 0
    result = tv.unique(np.array([], dtype=NUMPY_DTYPES[typecode]))
    assert result.dtype == np.dtype(NUMPY_DTYPES[typecode]) and result.size == 0
    assert tv.unique(pa.array([], type=pa.int32())).equals(pa.array([]))


@pytest.mark.parametrize("fn", [tv.sort, tv.reverse])
@pytest.mark.parametrize("values", [[1.0], [2.0, 1.0]])
def test_in_place_refuses_read_only_numpy(np, fn, values):
    x = np.array(values)
    x.flags.writeable = False
    with pytest.raises(TypeError, match=f"^{MUTABLE_SLICE}$"):
        fn(x)
    assert x.tolist() == values
    x.flags.writeable = True
    assert fn(x) is None and sorted(x.tolist()) == sorted(values)


@pytest.mark.parametrize("fn", [tv.sort, tv.reverse])
def test_in_place_refuses_read_only_memoryview_and_arrow(pa, fn):
    with pytest.raises(ValueError, match="memoryview is read-only"):
        fn(memoryview(b"\x02\x01"))
    with pytest.raises(ValueError, match="Arrow buffers/arrays are immutable"):
        fn(pa.array([2, 1], type=pa.int8()))


@pytest.mark.parametrize("fn, message", [(tv.sort, MUTABLE_SLICE), (tv.reverse, MUTABLE_SLICE), (tv.unique, READ_SLICE)])
def test_non_contiguous_view_is_refused_and_released(fn, message):
    a = array("i", [4, 3, 2, 1])
    view = memoryview(a)[::2]
    with pytest.raises(TypeError, match=f"^{message}$"):
        fn(view)
    assert a.tolist() == [4, 3, 2, 1]
    view.release()  # would raise BufferError if an export were still held
    a.append(0)


def test_scratch_kept_between_calls_serves_later_ones(np):
    """Calls of several sizes in a row, each on fresh data, reusing the
    scratch blocks kept from the calls before."""
    rng = np.random.default_rng(3)
    for n, dtype in [(70_000, "int64"), (9_000, "float64"), (200_000, "float64"), (70_000, "int32"),
                     (1_000_000, "float64"), (9_000, "int64"), (200_000, "int64")]:
        x = (rng.standard_normal(n) * 1e6).astype(dtype)
        expected = np.sort(x, kind="stable")
        middle = n // 2 if dtype.startswith("float") else (n - 1) // 2
        assert tv.median(x) == expected[middle]
        assert tv.unique(x).tolist() == np.unique(x).tolist()
        tv.sort(x)
        assert x.tobytes() == expected.tobytes()


@pytest.mark.parametrize("fn", [tv.sort, tv.reverse, tv.unique])
def test_views_released_after_success(fn):
    a = array("d", [2.0, 1.0, 2.0] * 50)
    fn(a)
    a.append(3.0)
