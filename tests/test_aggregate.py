"""sum, mean, min and max over every element type and input kind."""

import math
import random
from array import array
from itertools import accumulate

import pytest

import telvaran as tv
from conftest import NUMPY_DTYPES

BLOCK = 8192
EMPTY_MESSAGES = {tv.mean: "mean() of empty array", tv.min: "min() of empty array",
                  tv.max: "max() of empty array"}


def f32(x):
    return array("f", [x])[0]


def run_sum(values, code):
    """Left to right from zero, rounding after every addition."""
    if code == "f":
        return list(accumulate(values, lambda s, x: f32(s + x), initial=0.0))[-1]
    return list(accumulate(values, lambda s, x: s + x, initial=0.0))[-1]


def float_sum(values, code, length=None):
    """The float sum: one pass up to 8192 (Python) elements, else 8192-element
    blocks whose sums are added in order to a running total."""
    length = len(values) if length is None else length
    if length <= BLOCK:
        return run_sum(values, code)
    blocks = [run_sum(values[k:k + BLOCK], code) for k in range(0, len(values), BLOCK)]
    return run_sum(blocks, code)


def expected_sum(values, code, wrap):
    return float_sum(values, code) if code in "fd" else wrap(sum(values), code)


def sample(code, limits, n=37, seed=1):
    rng = random.Random(seed)
    if code in "fd":
        return list(array(code, [rng.uniform(-1, 1) * 10 ** rng.randint(-6, 6) for _ in range(n)]))
    low, high = limits(code)
    return [low, high, 0, 1] + [rng.randint(low, high) for _ in range(n - 4)]


def kinds(code, values, np=None):
    a = array(code, values)
    made = {"array": a, "memoryview": memoryview(array(code, values))}
    if np is not None:
        made["numpy"] = np.array(values, dtype=NUMPY_DTYPES[code])
    return made


@pytest.fixture(params=["array", "memoryview", "numpy"])
def kind(request):
    return request.param


@pytest.fixture
def make(request, kind):
    """make(code, values): an input of the parametrised kind."""
    np = request.getfixturevalue("np") if kind == "numpy" else None
    return lambda code, values: kinds(code, values, np)[kind]


def test_reductions_match_a_reference(make, typecode, limits, wrap):
    values = sample(typecode, limits)
    x = make(typecode, values)
    total = expected_sum(values, typecode, wrap)
    result_type = float if typecode in "fd" else int
    assert type(tv.sum(x)) is result_type and tv.sum(x) == total
    assert type(tv.mean(x)) is float and tv.mean(x) == float(total) / len(values)
    assert type(tv.min(x)) is result_type and tv.min(x) == min(values)
    assert type(tv.max(x)) is result_type and tv.max(x) == max(values)


def test_empty_inputs(make, typecode):
    x = make(typecode, [])
    zero = tv.sum(x)
    assert zero == 0 and type(zero) is (float if typecode in "fd" else int)
    for function, message in EMPTY_MESSAGES.items():
        with pytest.raises(ValueError) as info:
            function(x)
        assert str(info.value) == message


@pytest.mark.parametrize("code, values, total", [
    ("b", [100, 100], -56), ("B", [200, 100], 44), ("H", [65535, 1], 0),
    ("h", [32767, 1], -32768), ("i", [2**31 - 1, 1], -(2**31)), ("I", [2**32 - 1, 2], 1),
    ("l", [2**63 - 1, 1], -(2**63)), ("L", [2**64 - 1, 2**64 - 1], 2**64 - 2),
    ("b", [-128, -1], 127),
])
def test_sums_wrap_in_the_element_width(make, code, values, total):
    x = make(code, values)
    assert tv.sum(x) == total
    assert tv.mean(x) == total / len(values)


def test_mean_of_wrapped_bytes():
    assert tv.mean(array("b", [100, 100])) == -28.0


@pytest.mark.parametrize("n", [1, 2, 7, 15, 16, 31, 33, 63, 64, 65, 127, 129, 255, 1000, 70001])
def test_long_integer_sums_wrap(int_typecode, limits, wrap, n):
    rng = random.Random(n)
    low, high = limits(int_typecode)
    values = [rng.choice([low, high, rng.randint(low, high)]) for _ in range(n)]
    a = array(int_typecode, values)
    assert tv.sum(a) == wrap(sum(values), int_typecode)
    assert tv.mean(a) == float(wrap(sum(values), int_typecode)) / n


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 16, 17, 31, 32, 33, 63, 64, 65, 100, 130, 257, 1000])
def test_extremes_found_anywhere(typecode, limits, n):
    if typecode in "fd":
        low, high, middle = -1e30, 1e30, 0.5
    else:
        low, high = limits(typecode)
        middle = (low + high) // 2
    for position in {0, n // 2, n - 1, max(n - 2, 0)}:
        values = [middle] * n
        values[position] = low
        assert tv.min(array(typecode, values)) == (f32(low) if typecode == "f" else low)
        values[position] = high
        assert tv.max(array(typecode, values)) == (f32(high) if typecode == "f" else high)


@pytest.mark.parametrize("code, values, smallest, largest", [
    ("B", [0, 255], 0, 255), ("b", [-1, 0], -1, 0), ("H", [65535, 1], 1, 65535),
    ("h", [-1, 1], -1, 1), ("I", [2**32 - 1, 0], 0, 2**32 - 1), ("i", [-(2**31), 5], -(2**31), 5),
    ("L", [2**64 - 1, 2**63, 1], 1, 2**64 - 1), ("l", [-(2**63), 2**63 - 1], -(2**63), 2**63 - 1),
])
def test_min_max_compare_in_the_element_signedness(make, code, values, smallest, largest):
    x = make(code, values)
    assert (tv.min(x), tv.max(x)) == (smallest, largest)


def test_single_precision_results():
    a = array("f", [16777216.0, 1.0])
    assert tv.sum(a) == 16777216.0  # the 1.0 is lost in single precision
    assert tv.mean(array("f", [16777216.0, 1.0, 1.0])) == 16777216.0 / 3
    tenth = array("f", [0.1, 0.2])
    assert tv.min(tenth) == f32(0.1) != 0.1
    assert tv.max(tenth) == f32(0.2)
    assert tv.sum(tenth) == f32(f32(0.1) + f32(0.2))


def spread(code, n, seed):
    rng = random.Random(seed)
    return list(array(code, [rng.uniform(-1, 1) * 10 ** rng.randint(-7, 7) for _ in range(n)]))


@pytest.mark.parametrize("n", [BLOCK - 1, BLOCK, BLOCK + 1, 10_000, 3 * BLOCK + 5])
def test_float_sums_follow_the_block_order(make, float_typecode, n):
    values = spread(float_typecode, n, seed=n)
    x = make(float_typecode, values)
    expected = float_sum(values, float_typecode)
    assert tv.sum(x) == expected
    assert tv.mean(x) == expected / n


@pytest.mark.parametrize("code", ["f", "d"])
def test_block_order_differs_from_a_plain_pass(code):
    # Makes sure the data of the tests above can tell the two orders apart.
    values = spread(code, 10_000, seed=10_000)
    assert float_sum(values, code) != run_sum(values, code)
    assert tv.sum(array(code, values)) == float_sum(values, code)


def test_10000_doubles_are_two_blocks():
    values = spread("d", 10_000, seed=3)
    # (the built-in sum() compensates its rounding, so run_sum is used)
    first = run_sum(values[:BLOCK], "d")
    rest = run_sum(values[BLOCK:], "d")
    assert tv.sum(array("d", values)) == (0.0 + first) + rest


@pytest.mark.parametrize("code", ["f", "d"])
def test_python_length_chooses_the_summation_order(code):
    values = spread(code, 2 * 5000, seed=7)
    # Two rows: a length of 2, so one plain pass over all 10000 elements.
    rows = memoryview(array(code, values)).cast("B").cast(code, [2, 5000])
    assert tv.sum(rows) == run_sum(values, code)
    assert tv.mean(rows) == run_sum(values, code) / len(values)
    columns = memoryview(array(code, values)).cast("B").cast(code, [5000 * 2, 1])
    assert tv.sum(columns) == float_sum(values, code)


class Length(array):
    """An array whose length is whatever it is told to report."""

    def __new__(cls, code, values, length):
        self = super().__new__(cls, code, values)
        self.length = length
        return self

    def __len__(self):
        return self.length


@pytest.mark.parametrize("code", ["f", "d"])
def test_lying_length_only_chooses_the_order(code):
    values = spread(code, 10_000, seed=11)
    assert tv.sum(Length(code, values, 5)) == run_sum(values, code)
    assert tv.sum(Length(code, values, 10**9)) == float_sum(values, code)
    assert tv.mean(Length(code, values, 5)) == run_sum(values, code) / len(values)


@pytest.mark.parametrize("length", [1, 3, 10**9])
def test_lying_length_never_reads_past_the_buffer(typecode, length):
    x = Length(typecode, [1, 2, 3], length)
    assert (tv.sum(x), tv.mean(x), tv.min(x), tv.max(x)) == (6, 2.0, 1, 3)


def test_zero_length_settles_before_the_buffer(typecode):
    x = Length(typecode, [1, 2, 3], 0)
    assert tv.sum(x) == 0 and type(tv.sum(x)) is (float if typecode in "fd" else int)
    for function, message in EMPTY_MESSAGES.items():
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            function(x)


def empty_views_with_length(np):
    yield Length("d", [], 5)
    yield memoryview(np.zeros((3, 0)))


def test_length_without_elements(np):
    for x in empty_views_with_length(np):
        assert len(x) > 0
        assert tv.sum(x) == 0.0 and type(tv.sum(x)) is float
        for function, message in EMPTY_MESSAGES.items():
            with pytest.raises(ValueError) as info:
                function(x)
            assert str(info.value) == message
    assert tv.sum(Length("i", [], 4)) == 0
    with pytest.raises(ValueError, match=r"^max\(\) of empty array$"):
        tv.max(Length("L", [], 4))


@pytest.mark.parametrize("code", ["f", "d"])
def test_special_float_values(code):
    inf = math.inf
    assert tv.max(array(code, [1.0, inf])) == inf
    assert tv.min(array(code, [-inf, 1.0])) == -inf
    assert math.isnan(tv.sum(array(code, [inf, -inf])))
    assert tv.sum(array(code, [-0.0])) == 0.0
    assert math.copysign(1.0, tv.sum(array(code, [-0.0, -0.0]))) == 1.0  # starts from +0.0
    zeros = array(code, [0.0, -0.0, 0.0])
    assert tv.min(zeros) == 0.0 and tv.max(zeros) == 0.0
    with_nan = array(code, [1.0, math.nan, 3.0])
    for function in (tv.min, tv.max):
        result = function(with_nan)
        assert math.isnan(result) or result in (1.0, 3.0)
    if code == "f":
        assert tv.sum(array("f", [3e38, 3e38])) == inf  # overflows single precision


@pytest.mark.parametrize("code", ["f", "d"])
@pytest.mark.parametrize("n", [33, 64, 200, 1001])
def test_extremes_with_nan_are_elements(code, n):
    rng = random.Random(n)
    values = [rng.uniform(-1e3, 1e3) for _ in range(n)]
    for position in (0, n // 3, n - 1):
        with_nan = list(values)
        with_nan[position] = math.nan
        a = array(code, with_nan)
        members = set(a.tolist())
        for function in (tv.min, tv.max):
            result = function(a)
            assert math.isnan(result) or result in members


def test_numpy_inputs_of_every_dtype(np, typecode, limits, wrap):
    values = sample(typecode, limits, n=500, seed=5)
    x = np.array(values, dtype=NUMPY_DTYPES[typecode])
    assert tv.sum(x) == expected_sum(values, typecode, wrap)
    assert (tv.min(x), tv.max(x)) == (min(values), max(values))
    readonly = x.copy()
    readonly.flags.writeable = False
    assert tv.sum(readonly) == tv.sum(x)


def test_numpy_long_float_sum_matches_the_block_rule(np):
    values = spread("d", 20_000, seed=2)
    assert tv.sum(np.array(values)) == float_sum(values, "d")


def test_pyarrow_memory_through_a_memoryview(pa):
    arr = pa.array([1.5, 2.5, -1.0], pa.float64())
    view = memoryview(arr.buffers()[1]).cast("d")
    assert (tv.sum(view), tv.mean(view), tv.min(view), tv.max(view)) == (3.0, 1.0, -1.0, 2.5)
    ints = memoryview(pa.array([2**31 - 1, 1], pa.int32()).buffers()[1]).cast("i")
    assert tv.sum(ints) == -(2**31)


def test_two_dimensional_memoryview_mean():
    view = memoryview(array("i", [1, 2, 3, 4, 5, 6])).cast("B").cast("i", [2, 3])
    assert tv.mean(view) == 3.5
    assert tv.sum(view) == 21
