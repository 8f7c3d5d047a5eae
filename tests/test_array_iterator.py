"""ArrayIterator and array_iterator: one fresh read of the input per step."""

import array
import gc
import struct
import weakref

import pytest

import telvaran as tv
from conftest import NUMPY_DTYPES

from conftest import assert_allocations_steady

SAMPLE = {
    "b": [-128, -1, 0, 127], "h": [-32768, 5, 32767], "i": [-2**31, 7, 2**31 - 1],
    "l": [-2**63, -3, 2**63 - 1], "B": [0, 200, 255], "H": [0, 65535], "I": [0, 2**32 - 1],
    "L": [0, 2**63, 2**64 - 1], "f": [0.1, -2.5, 1e30], "d": [0.1, -2.5, 1e300],
}


def sample(typecode):
    """The sample values that fit the platform's width of the typecode."""
    bits = 8 * array.array(typecode).itemsize
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1)) if typecode in "bhil" else (0, 2**bits)
    return [v for v in SAMPLE[typecode] if typecode in "fd" or low <= v < high]


@pytest.mark.parametrize("maker", [tv.ArrayIterator, tv.array_iterator])
def test_iter_returns_the_same_object_and_yields_values(maker, typecode):
    a = array.array(typecode, sample(typecode))
    it = maker(a)
    assert type(it) is tv.ArrayIterator
    assert iter(it) is it
    assert list(it) == list(a)


def test_numpy_dtypes(np, typecode):
    x = np.array(sample(typecode), dtype=NUMPY_DTYPES[typecode])
    values = list(tv.ArrayIterator(x))
    assert values == x.tolist()
    assert all(type(v) is (float if typecode in "fd" else int) for v in values)


def test_memoryviews():
    a = array.array("h", [3, -4, 5])
    assert list(tv.ArrayIterator(memoryview(a))) == [3, -4, 5]
    assert list(tv.ArrayIterator(memoryview(bytes([1, 2, 250])))) == [1, 2, 250]


def test_f32_is_widened_exactly():
    (value,) = tv.ArrayIterator(array.array("f", [0.1]))
    assert value != 0.1
    assert value == struct.unpack("f", struct.pack("f", 0.1))[0]


def test_unsigned_64_bit_values_are_exact(np):
    values = [2**63, 2**64 - 1, 2**63 + 12345]
    assert list(tv.ArrayIterator(np.array(values, dtype="uint64"))) == values
    if array.array("L").itemsize == 8:
        assert list(tv.ArrayIterator(array.array("L", values))) == values


def test_two_dimensional_memoryview_yields_its_python_length():
    m = memoryview(array.array("i", [10, 11, 12, 13, 14, 15])).cast("B").cast("i", (2, 3))
    assert list(tv.ArrayIterator(m)) == [10, 11]


def test_each_step_reads_the_current_value():
    a = array.array("i", [1, 2, 3])
    it = tv.ArrayIterator(a)
    assert next(it) == 1
    a[1] = 99
    assert next(it) == 99


def test_input_is_not_exported_between_steps():
    a = array.array("d", [1.0, 2.0])
    it = tv.ArrayIterator(a)
    assert next(it) == 1.0
    a.extend([3.0, 4.0])  # BufferError if a view were still held
    assert list(it) == [2.0]  # the length is fixed at creation


def test_shrunk_input_fails_each_index_beyond_it_and_position_advances():
    a = array.array("i", [1, 2, 3, 4, 5])
    it = tv.ArrayIterator(a)
    assert next(it) == 1
    del a[1:]
    for _ in range(2):  # indices 1 and 2
        with pytest.raises(IndexError, match="^ArrayIterator index out of range$"):
            next(it)
    a.extend([20, 30, 40, 50])
    assert next(it) == 40  # index 3: the failed indices were used up
    assert next(it) == 50
    with pytest.raises(StopIteration):
        next(it)


def test_empty_and_exhausted_iterators_do_not_touch_the_input():
    m = memoryview(b"")
    it = tv.ArrayIterator(m)
    m.release()
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)

    m = memoryview(b"ab")
    it = tv.ArrayIterator(m)
    assert list(it) == [97, 98]
    m.release()
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_released_input_fails_the_step_with_its_own_error():
    m = memoryview(b"abc")
    it = tv.ArrayIterator(m)
    m.release()
    with pytest.raises(ValueError, match="released"):
        next(it)


@pytest.mark.parametrize("bad", [42, [1, 2], None, b"bytes", "text"])
def test_unsupported_input_fails_at_creation(bad):
    with pytest.raises(TypeError, match="^Expected array.array"):
        tv.ArrayIterator(bad)
    with pytest.raises(TypeError, match="^Expected array.array"):
        tv.array_iterator(bad)


def test_failing_len_fails_creation():
    with pytest.raises(TypeError, match="0-dim memory has no length"):
        tv.ArrayIterator(memoryview(b"\x01").cast("B", ()))


def test_binding():
    a = array.array("b", [1, 2])
    assert list(tv.ArrayIterator(source=a)) == list(tv.array_iterator(array=a)) == [1, 2]
    with pytest.raises(TypeError) as info:
        tv.ArrayIterator()
    assert str(info.value) == "ArrayIterator.__new__() missing 1 required positional argument: 'source'"


def test_keeps_its_input_alive_until_released():
    a = array.array("i", [4, 5])
    ref = weakref.ref(a)
    it = tv.ArrayIterator(a)
    del a
    assert next(it) == 4
    del it
    assert ref() is None


class Probed(array.array):
    """An 'l' array whose itemsize look-up, made at every step, runs a probe."""

    probe = None

    @property
    def itemsize(self):
        if self.probe:
            self.probe()
        return array.array(self.typecode).itemsize


def test_reentrant_step_and_iter_are_refused():
    a = Probed("l", [1, 2, 3])
    it = tv.ArrayIterator(a)
    seen = []

    def probe():
        for action in (next, iter):
            try:
                action(it)
            except RuntimeError as e:
                seen.append(str(e))

    a.probe = probe
    assert next(it) == 1
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    a.probe = None
    assert iter(it) is it  # the access was given back
    assert list(it) == [2, 3]


def test_failing_step_uses_up_its_index():
    a = Probed("l", [1, 2, 3])
    it = tv.ArrayIterator(a)

    def boom():
        raise KeyError("boom")

    a.probe = boom
    with pytest.raises(KeyError):
        next(it)
    a.probe = None
    assert list(it) == [2, 3]


def test_cycle_through_the_input_is_collected():
    freed = []

    class Holder(array.array):
        def __del__(self):
            freed.append(True)

    a = Holder("i", [1, 2, 3])
    a.iterator = tv.ArrayIterator(a)
    next(a.iterator)
    del a
    gc.collect()
    assert freed == [True]


def test_no_leak_over_many_failing_calls():
    a = array.array("i", [1, 2, 3])

    def run():
        for _ in range(200):
            with pytest.raises(TypeError):
                tv.ArrayIterator([1, 2])
            b = array.array("i", [1, 2, 3])
            it = tv.array_iterator(b)
            del b[:]
            with pytest.raises(IndexError):
                next(it)
            assert list(tv.ArrayIterator(a)) == [1, 2, 3]

    assert_allocations_steady(run)
