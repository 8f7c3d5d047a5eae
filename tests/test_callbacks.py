import gc
import json
import math
import struct
import subprocess
import sys
import textwrap
from array import array

import pytest

import telvaran as tv
from conftest import type_limits

RANGE_MSG = "out of range integral type conversion attempted"


def never(*args):
    raise AssertionError("callable must not be called")


class Narrow(array):
    """An 'i'/'I' array that presents itself as 'l'/'L' with 4-byte items."""

    @property
    def typecode(self):
        return {"i": "l", "I": "L"}[super().typecode]

    @property
    def itemsize(self):
        return 4


# -- empty inputs: settled before any view, the callable never called -------

@pytest.mark.parametrize("op", [tv.map, tv.filter])
def test_empty_map_filter_keep_typecode(op, typecode):
    out = op(array(typecode), 42)
    assert type(out) is array and out.typecode == typecode and len(out) == 0
    out = op(memoryview(array(typecode)), None)
    assert type(out) is array and out.typecode == typecode


@pytest.mark.parametrize("op", [tv.map, tv.filter])
def test_empty_numpy_and_arrow(op, np, pa):
    out = op(np.array([], dtype=np.uint16), never)
    assert isinstance(out, np.ndarray) and out.dtype == np.uint16 and out.size == 0
    assert op(pa.array([], pa.int32()), never).equals(pa.array([]))


def test_empty_reduce_and_map_inplace():
    marker = object()
    assert tv.reduce(array("i"), never, initial=marker) is marker
    for kwargs in ({}, {"initial": None}):
        with pytest.raises(ValueError, match=r"^reduce\(\) of empty array with no initial value$"):
            tv.reduce(array("d"), never, **kwargs)
    assert tv.map_inplace(array("i"), never) is None


def test_prologue_errors_come_before_empty_handling(pa):
    with pytest.raises(TypeError, match="^Expected array.array"):
        tv.reduce([], never)
    with pytest.raises(ValueError, match="read-only"):
        tv.map_inplace(memoryview(b""), never)
    with pytest.raises(ValueError, match="immutable"):
        tv.map_inplace(pa.array([], pa.int8()), never)


def test_view_without_elements_counts_as_empty(np):
    view = memoryview(np.zeros((3, 0), dtype=np.int32))  # len() is 3, no item
    assert tv.map(view, never) == array("i")
    assert tv.filter(view, never) == array("i")
    assert tv.map_inplace(view, never) is None
    with pytest.raises(ValueError, match="no initial value"):
        tv.reduce(view, never)
    assert tv.reduce(view, never, initial="x") == "x"


# -- values handed to the callable ------------------------------------------

def test_map_identity_round_trips_every_type(typecode):
    lo, hi = type_limits(typecode) if typecode not in "fd" else (-1.5, 3.25)
    data = array(typecode, [lo, 0, hi])
    seen = []
    out = tv.map(data, lambda x: seen.append(x) or x)
    assert out == data and out.typecode == typecode
    assert [type(x) for x in seen] == [float if typecode in "fd" else int] * 3


def test_float32_values_widened_exactly():
    data = array("f", [0.1, -0.0, float("inf")])
    seen = []
    tv.map(data, lambda x: seen.append(x) or x)
    assert seen == list(data) and math.copysign(1, seen[1]) < 0


def test_filter_keeps_exact_float_bits():
    bits = [0x7FC12345, 0x80000000, 0x3DCCCCCD]  # NaN payload, -0.0, 0.1f
    data = array("f", struct.pack("3I", *bits))
    out = tv.filter(data, lambda x: True)
    assert list(struct.unpack("3I", out.tobytes())) == bits


def test_narrow_l_and_L_items():
    signed = Narrow("i", [-1, 2**31 - 1])
    seen = []
    out = tv.map(signed, lambda x: seen.append(x) or x)
    assert seen == [-1, 2**31 - 1] and out.typecode == "l" and out.itemsize == 8
    unsigned = Narrow("I", [2**32 - 1, 5])
    assert tv.filter(unsigned, lambda x: x > 5) == array("L", [2**32 - 1])
    with pytest.raises(OverflowError, match=RANGE_MSG):
        tv.map_inplace(signed, lambda x: 2**31)
    with pytest.raises(OverflowError, match=RANGE_MSG):
        tv.map_inplace(unsigned, lambda x: -1)


def test_map_over_2d_memoryview_visits_every_item():
    view = memoryview(array("i", range(6))).cast("B").cast("i", [2, 3])
    seen = []
    out = tv.map(view, lambda x: seen.append(x) or x * 10)
    assert seen == list(range(6)) and out == array("i", range(0, 60, 10))


def test_strided_view_refused_before_any_call():
    with pytest.raises(TypeError, match="^Failed to get buffer slice$"):
        tv.map(memoryview(array("i", range(6)))[::2], never)


# -- map results are judged by the output constructor ------------------------

@pytest.mark.parametrize("result, exc", [(2.5, TypeError), (1000, OverflowError), ("a", TypeError)])
def test_map_results_refused_by_array(result, exc):
    with pytest.raises(exc):
        tv.map(array("b", [1, 2]), lambda x: result)


def test_map_numpy_keeps_dtype(np):
    for name in ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64"]:
        out = tv.map(np.array([1, 2], dtype=name), lambda x: x)
        assert out.dtype == np.dtype(name) and out.tolist() == [1, 2]
    big = tv.map(np.array([0, 1], dtype=np.uint64), lambda x: 2**64 - 1 - x)
    assert big.tolist() == [2**64 - 1, 2**64 - 2]


@pytest.mark.parametrize("result, exc", [(300, OverflowError), (float("nan"), ValueError)])
def test_map_numpy_unrepresentable_result_raises(np, result, exc):
    with pytest.raises(exc):
        tv.map(np.array([1, 2], dtype=np.int8), lambda x: result)


# -- filter's strict boolean -------------------------------------------------

@pytest.mark.parametrize("verdict, name", [(1, "int"), (None, "NoneType"), ([1], "list")])
def test_filter_refuses_non_bool(verdict, name):
    with pytest.raises(TypeError, match=f"^'{name}' object cannot be converted to 'PyBool'$"):
        tv.filter(array("i", [1, 2]), lambda x: verdict)


def test_filter_accepts_numpy_bool(np):
    data = np.array([1.5, 2.5, 3.5], dtype=np.float32)
    out = tv.filter(data, lambda x: np.bool_(x > 2))
    assert out.dtype == np.float32 and out.tolist() == [2.5, 3.5]
    assert tv.filter(memoryview(array("H", [1, 2, 3])), lambda x: x != 2) == array("H", [1, 3])


# -- reduce ------------------------------------------------------------------

def test_reduce_single_element_and_initial():
    assert tv.reduce(array("i", [7]), never) == 7
    assert tv.reduce(array("i", [7]), lambda a, b: (a, b), initial=0) == (0, 7)
    calls = []
    out = tv.reduce(array("d", [1.0, 2.0, 3.0]), lambda a, b: calls.append((a, b)) or f"{a}+{b}")
    assert calls == [(1.0, 2.0), ("1.0+2.0", 3.0)] and out == "1.0+2.0+3.0"


# -- map_inplace conversions -------------------------------------------------

@pytest.mark.parametrize("code", "bhiBHI")
def test_map_inplace_narrow_range(code):
    lo, hi = type_limits(code)
    data = array(code, [0, 0])
    results = iter([lo, hi])
    tv.map_inplace(data, lambda x: next(results))
    assert list(data) == [lo, hi]
    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError, match=RANGE_MSG):
            tv.map_inplace(data, lambda x: bad)


@pytest.mark.parametrize("code, bad", [("l", 2**63), ("l", -(2**63) - 1), ("L", -1), ("L", 2**64)])
def test_map_inplace_wide_keeps_interpreter_error(code, bad):
    with pytest.raises(OverflowError) as info:
        tv.map_inplace(array(code, [1]), lambda x: bad)
    assert str(info.value) != RANGE_MSG


class Index:
    def __index__(self):
        return 9


@pytest.mark.parametrize("code, result, stored", [
    ("B", Index(), 9), ("L", Index(), 9), ("d", 3, 3.0), ("d", Index(), 9.0),
    ("f", 10**300, math.inf), ("f", -(10**300), -math.inf), ("f", 0.1, struct.unpack("f", struct.pack("f", 0.1))[0]),
])
def test_map_inplace_conversions(code, result, stored):
    data = array(code, [1])
    assert tv.map_inplace(data, lambda x: result) is None
    assert data[0] == stored and type(data[0]) is type(stored)


def test_map_inplace_partial_write_kept():
    data = array("B", [10, 100])
    with pytest.raises(OverflowError, match=RANGE_MSG):
        tv.map_inplace(data, lambda x: x + 200)
    assert list(data) == [210, 100]
    with pytest.raises(TypeError):
        tv.map_inplace(array("i", [1]), lambda x: 2.5)


def test_map_inplace_read_only_numpy_never_calls(np):
    data = np.arange(3, dtype=np.int32)
    data.flags.writeable = False
    with pytest.raises(TypeError, match="^Failed to get mutable buffer slice$"):
        tv.map_inplace(data, never)


# -- callbacks that misbehave -----------------------------------------------

OPS = {
    "map": lambda a, f: tv.map(a, f),
    "filter": lambda a, f: tv.filter(a, lambda x: f(x) is None),
    "reduce": lambda a, f: tv.reduce(a, lambda acc, x: f(x), initial=0),
    "map_inplace": lambda a, f: tv.map_inplace(a, lambda x: f(x) or x),
}


@pytest.mark.parametrize("op", OPS.values(), ids=OPS.keys())
@pytest.mark.parametrize("k", [0, 3])
def test_raise_on_element_k_stops_at_once(op, k):
    data = array("i", range(10))
    calls = []

    def fn(x):
        calls.append(x)
        if len(calls) == k + 1:
            raise KeyError("stop")

    with pytest.raises(KeyError):
        op(data, fn)
    assert calls == list(range(k + 1))
    data.append(1)  # the view was released


@pytest.mark.parametrize("op", OPS.values(), ids=OPS.keys())
def test_resize_inside_callback_is_refused(op):
    data = array("d", [1.0, 2.0])
    with pytest.raises(BufferError):
        op(data, lambda x: data.append(0.0))
    data.append(3.0)
    assert len(data) == 3


def test_writes_into_the_input_are_seen():
    data = array("i", [1, 2, 3, 4])
    seen = []

    def fn(x):
        seen.append(x)
        data[-1] = 40  # a later element, read only when its turn comes
        return x

    assert tv.map(data, fn) == array("i", [1, 2, 3, 40])
    data = array("i", [1, 1, 1])
    snapshots = []
    tv.map_inplace(data, lambda x: snapshots.append(list(data)) or x + 1)
    assert snapshots == [[1, 1, 1], [2, 1, 1], [2, 2, 1]]
    data = array("h", [1, 2, 3])

    def overwrite(x):
        data[data.index(x)] = -x  # filter keeps the value it handed over
        return True

    assert tv.filter(data, overwrite) == array("h", [1, 2, 3])
    assert data == array("h", [-1, -2, -3])


def test_non_callable_fails_at_first_call():
    with pytest.raises(TypeError, match="not callable"):
        tv.map(array("i", [1]), 42)


def test_no_leaks_on_failing_calls():
    data = array("i", range(50))

    def boom(x):
        if x == 25:
            raise ValueError
        return x

    calls = (lambda: tv.map(data, boom), lambda: tv.filter(data, lambda x: 1),
             lambda: tv.reduce(data, lambda a, b: boom(b)),
             lambda: tv.map_inplace(array("b", [1, 2]), lambda x: 2.5))

    def run(times):
        failures = 0
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (ValueError, TypeError):
                    failures += 1
        gc.collect()
        return failures

    run(50)
    before = sys.getallocatedblocks()
    assert run(500) == 2000
    assert sys.getallocatedblocks() - before < 50
    marker = object()
    count = sys.getrefcount(marker)
    tv.reduce(data, lambda acc, x: acc, initial=marker)
    assert sys.getrefcount(marker) == count


# -- PanicException from a callback ------------------------------------------

PANIC_SCRIPT = textwrap.dedent("""
    import json, resource, sys
    from array import array
    import telvaran as tv

    # The panic type exists only once native code has failed internally: make
    # the result list of map run out of memory under an address-space limit
    # (results that are not numbers are all kept until the last call).
    data = array("B", bytes(8_000_000))
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + 24_000_000, hard))
    try:
        tv.map(data, lambda x: None)
    except BaseException as e:
        first = e
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    Panic = type(first)
    out = {"first": [Panic.__qualname__, Panic.__module__, str(first)], "ops": []}

    def boom(*args):
        raise Panic("boom")

    for op in (lambda: tv.map(array("i", [1]), boom), lambda: tv.filter(array("i", [1]), boom),
               lambda: tv.reduce(array("i", [1, 2]), boom), lambda: tv.map_inplace(array("i", [1]), boom)):
        try:
            try:
                op()
            except Exception:
                out["ops"].append("caught as Exception")
        except Panic as e:
            out["ops"].append(str(e))
    print(json.dumps(out))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
def test_panic_from_callback_passes_through():
    proc = subprocess.run([sys.executable, "-P", "-c", PANIC_SCRIPT], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["first"] == ["PanicException", "telvaran_runtime", "Python API call failed"]
    assert out["ops"] == ["boom"] * 4
    assert "MemoryError" in proc.stderr and proc.stderr.count("boom") >= 4


# -- map into array.array, results converted a chunk at a time --------------
# Every outcome must equal array.array(typecode, [fn(x) for x in a]): same
# values and bit patterns, or the same error; the same calls, conversions
# and deallocations in the same order.

CHUNK = 4096  # results converted at a time
N = 2 * CHUNK + 5
FIRST, MID, LAST = 3, CHUNK + 3, N - 1
NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]


class Logged:
    """A result converted through __index__ / __float__, logging every use."""

    def __init__(self, log):
        self.log = log

    def __index__(self):
        self.log.append("index")
        return 7

    def __float__(self):
        self.log.append("float")
        return 7.5

    def __del__(self):
        self.log.append("del")


class LoggedInt(int):
    def __float__(self):
        self.log.append("float")
        return 0.25


def logged_int(log):
    n = LoggedInt(9)
    n.log = log
    return n


def scripted(log, special):
    """fn returning its argument, except at the calls listed in `special`."""
    calls = iter(range(N + 1))

    def fn(x):
        k = next(calls)
        log.append(k)
        s = special.get(k, x)
        if isinstance(s, type) and issubclass(s, Exception):
            raise s(f"call {k}")
        return s(log) if callable(s) else s
    return fn


def outcome(thunk):
    try:
        out = thunk()
    except Exception as e:
        return type(e), str(e)
    return type(out), out.typecode, out.tobytes()


def compare_with_builtin(tc, n, special, wrap=lambda a: a):
    source = array(tc, [k % 100 for k in range(n)])
    a = wrap(array(tc, source))
    out_tc = getattr(a, "typecode", tc)
    ours, theirs = [], []
    got = outcome(lambda: tv.map(a, scripted(ours, special)))
    fn = scripted(theirs, special)
    want = outcome(lambda: array(out_tc, [fn(x) for x in source]))
    assert got == want
    assert ours == theirs
    return got


@pytest.mark.parametrize("tc, n, special", [
    ("i", N, {MID: 0.5}),
    ("i", N, {FIRST: 1 << 40, MID: 0.5}),            # the first failure is the one raised
    ("b", N, {FIRST: 128}),
    ("L", N, {LAST: -1}),
    ("H", N, {MID: 1 << 16, MID + 1: "x"}),
    ("l", N, {MID: 1 << 63}),
    ("h", N, {FIRST: 1 << 15, LAST: ValueError}),    # fn raising wins over an earlier bad item
    ("i", N, {FIRST: 1 << 40, MID: Logged}),         # __index__ never reached
    ("I", N, {FIRST: Logged, MID: 5, LAST: Logged}),
    ("B", N, {FIRST: True, MID: False, LAST: array("B", [1])}),
    ("B", N, {MID: b"\x01"}),
    ("d", N, {FIRST: 1 << 1100, MID: Logged}),       # __float__ never reached
    ("d", N, {FIRST: -0.0, MID: NAN, LAST: True, LAST - 1: 1 << 64}),
    ("d", N, {MID: logged_int, MID + 1: "1.0"}),
    ("f", N, {FIRST: 1e300, MID: Logged, MID + 1: -1e-50, LAST: NAN}),
    ("f", N, {MID: ValueError}),
    ("i", CHUNK, {CHUNK - 1: 1 << 40}),
    ("i", CHUNK + 1, {CHUNK: 1 << 40}),
    ("i", 2 * CHUNK, {2 * CHUNK - 1: 1.0}),
    ("I", 2 * CHUNK, {CHUNK - 1: -1, CHUNK: Logged}),
    ("d", CHUNK + 1, {CHUNK: 1 << 1100}),
])
def test_map_array_output_matches_builtin(tc, n, special):
    compare_with_builtin(tc, n, special)


@pytest.mark.parametrize("n", [1, CHUNK - 1, CHUNK, CHUNK + 1, 2 * CHUNK, 2 * CHUNK + 1])
def test_map_array_output_sizes(typecode, n):
    got = compare_with_builtin(typecode, n, {n // 2: 1})
    assert got[0] is array and len(got[2]) == n * array(typecode).itemsize


@pytest.mark.parametrize("wrap", [memoryview, lambda a: Narrow(a.typecode, a)],
                         ids=["memoryview", "narrow"])
@pytest.mark.parametrize("special", [{}, {MID: 1 << 40}, {MID: Logged}])
def test_map_array_output_other_inputs(wrap, special):
    got = compare_with_builtin("l" if wrap is memoryview else "i", N, special, wrap)
    if wrap is not memoryview and len(got) == 3:
        assert got[1] == "l" and len(got[2]) == 8 * N  # 4-byte items, 8-byte results


def test_map_converts_other_results_after_release():
    a = array("i", range(10))

    class Grow:
        def __index__(self):
            a.append(0)  # the input is no longer exported
            return -1

    out = tv.map(a, lambda x: Grow() if x == 3 else x)
    assert out == array("i", [0, 1, 2, -1, 4, 5, 6, 7, 8, 9]) and len(a) == 11
