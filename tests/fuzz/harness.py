"""Fuzzing telvaran with generated and hostile arguments.

Every function and both classes are called with inputs of every kind the
module meets in practice and many it should refuse: all typecodes, odd
buffer formats (byte orders, 'q', '?', 'e', 2-D, strided, zero-length,
read-only, misaligned), objects whose __len__, typecode, dtype, format or
itemsize lie or raise, numbers whose __index__ or __float__ raise, and
callbacks that resize, clear or delete the array, call the module again on
the same array, raise BaseException subclasses or run the collector. numpy,
pyarrow and CPython's _testbuffer add their inputs when importable.

Each call must end in a result or an exception. Outcomes are counted by
exception type; an internal failure (PanicException or SystemError), a
buffer left exported after the call, or a result that is not what the call
returns count as faults. A crash ends the process: `main` runs each chunk of
seeds in a child process and reports a child that dies.

    python tests/fuzz/harness.py [--seeds N] [--first S] [--calls N] [--chunk K]

runs `calls` calls per seed and prints calls made, outcomes by exception
type, faults and crashes; its exit status is 0 only with no fault and no
crash. `run(seed, calls)` is the in-process entry the tests use.
"""

from __future__ import annotations

import argparse
import array
import collections
import gc
import json
import os
import random
import subprocess
import sys
import time

import telvaran as tv

try:
    import numpy as np
except ImportError:  # pragma: no cover - numpy is optional
    np = None
try:
    import pyarrow as pa
except ImportError:  # pragma: no cover - pyarrow is optional
    pa = None
try:
    import _testbuffer
except ImportError:  # pragma: no cover - not every interpreter ships it
    _testbuffer = None

TYPECODES = "bhilBHILfd"
OTHER_TYPECODES = "qQw"
FUNCTIONS = [
    "sum", "scale", "mean", "min", "max", "map", "map_inplace", "filter", "reduce",
    "var", "std", "median", "add", "multiply", "clip", "normalize", "reverse", "sort",
    "unique", "slice", "array_iterator", "lazy_array",
]
CLASS_CALLS = ["ArrayIterator", "LazyArray", "lazy_chain", "iterator_reentry", "lazy_reentry"]
STRUCT_FORMATS = ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "n", "N", "f", "d", "e", "?", "c"]
ORDERS = ["", "@", "=", "<", ">", "!"]


class FuzzBaseError(BaseException):
    """Raised by hostile callbacks and properties: not an Exception."""


class FuzzError(Exception):
    """An ordinary error from hostile code."""


class Fault(Exception):
    """Something the module must never do."""


class StrSub(str):
    pass


# -- hostile objects ---------------------------------------------------------


def raiser(rng):
    return rng.choice([FuzzError("hostile"), FuzzBaseError("hostile"), MemoryError(),
                       RecursionError(), OverflowError(), TypeError("t"), ValueError("v"),
                       StopIteration(), AttributeError("a"), IndexError("i")])


class Index:
    """An integer-like whose __index__ (and __float__) may raise or lie."""

    def __init__(self, rng):
        self.mode = rng.randrange(6)
        self.value = rng.choice([0, 1, -1, 2**63, -(2**63) - 1, 10**30, 3])
        self.exc = raiser(rng)

    def __index__(self):
        if self.mode == 0:
            raise self.exc
        if self.mode == 1:
            return "not an int"
        return self.value

    def __float__(self):
        if self.mode in (0, 2):
            raise self.exc
        if self.mode == 3:
            return 1  # not a float
        return float(self.value)


class Float:
    def __init__(self, rng):
        self.mode = rng.randrange(4)
        self.exc = raiser(rng)

    def __float__(self):
        if self.mode == 0:
            raise self.exc
        if self.mode == 1:
            return "x"
        return [1e308, -0.0, float("nan")][self.mode - 1]


def odd_value(rng):
    """What a hostile typecode/format/itemsize/len/dtype property returns."""
    return rng.choice([
        "", "d", "dd", "\0", "d\0", "\udcff", "é", StrSub("d"), StrSub("q"), 2**70, -1, 0, 4, 8,
        None, b"d", 3.5, [1], True, "<d", ">i", "Zd", 10**100, -(2**63), 2**63,
    ])


def lying_array_class(rng, typecode):
    """An array.array subclass whose __len__ and attributes may lie or raise."""
    attrs = {}
    if rng.random() < 0.5:
        mode = rng.randrange(4)
        exc = raiser(rng)
        value = odd_value(rng)

        def __len__(self, mode=mode, exc=exc, value=value):
            if mode == 0:
                raise exc
            if mode == 1:
                return value
            if mode == 2:
                return array.array.__len__(self) + rng_len_delta(self)
            return -5

        attrs["__len__"] = __len__
    for name in ("typecode", "itemsize"):
        if rng.random() < 0.4:
            exc = raiser(rng)
            value = odd_value(rng)
            if rng.random() < 0.5:
                attrs[name] = property(lambda self, exc=exc: (_ for _ in ()).throw(exc))
            else:
                attrs[name] = property(lambda self, value=value: value)
    if not attrs:
        attrs["extra"] = 1
    return type("LyingArray", (array.array,), attrs)


def rng_len_delta(obj):
    return (id(obj) >> 4) % 7 - 3 + (1 << 40) * ((id(obj) >> 8) % 2)


def lying_ndarray(rng, base):
    attrs = {}
    for name in ("dtype", "ndim", "flags", "itemsize"):
        if rng.random() < 0.4:
            exc = raiser(rng)
            value = odd_value(rng)
            if rng.random() < 0.5:
                attrs[name] = property(lambda self, exc=exc: (_ for _ in ()).throw(exc))
            else:
                attrs[name] = property(lambda self, value=value: value)
    if rng.random() < 0.4:
        value = odd_value(rng)
        attrs["__len__"] = lambda self, value=value: value
    cls = type("LyingNdarray", (np.ndarray,), attrs)
    return base.view(cls)


# -- inputs ------------------------------------------------------------------


def values_for(rng, typecode, n):
    if typecode in "fd":
        pool = [0.0, -0.0, 1.5, -2.25, 1e308, -1e308, 3.4e38, float("inf"), float("-inf"),
                float("nan"), 5e-324, 1e-40]
        if typecode == "f":
            pool = [v for v in pool if not (abs(v) > 3.4e38 and abs(v) != float("inf"))]
        return [rng.choice(pool) if rng.random() < 0.4 else rng.uniform(-100, 100) for _ in range(n)]
    bits = array.array(typecode).itemsize * 8
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if typecode.islower() else (0, (1 << bits) - 1)
    return [rng.choice([low, high, 0, 1, -1 if low else 1]) if rng.random() < 0.3 else rng.randint(low, high)
            for _ in range(n)]


def length(rng):
    return rng.choice([0, 0, 1, 1, 2, 3, 5, 8, 16, 17, 31, 33, 64, 100, rng.randrange(300)])


def make_array(rng):
    typecode = rng.choice(TYPECODES)
    a = array.array(typecode, values_for(rng, typecode, length(rng)))
    if rng.random() < 0.12:
        return lying_array_class(rng, typecode)(typecode, a)
    return a


def make_other_array(rng):
    code = rng.choice(OTHER_TYPECODES)
    n = length(rng)
    if code == "w":
        return array.array(code, "ab" * (n // 2))
    return array.array(code, [rng.randrange(-5, 5) if code == "q" else rng.randrange(5) for _ in range(n)])


def make_memoryview(rng):
    a = make_array(rng) if rng.random() < 0.5 else make_other_array(rng)
    try:
        mv = memoryview(a)
    except Exception:
        return a
    choice = rng.randrange(8)
    try:
        if choice == 0:
            return mv[::rng.choice([2, -1, 3])]
        if choice == 1:
            return mv.toreadonly()
        if choice == 2:
            raw = mv.cast("B")
            fmt = rng.choice(STRUCT_FORMATS)
            return raw.cast(fmt) if len(raw) % _struct_size(fmt) == 0 else raw
        if choice == 3 and len(mv) >= 6:
            return mv.cast("B").cast("b", shape=[2, len(mv.cast("B")) // 2])
        if choice == 4:
            return mv[0:0]
    except Exception:
        return mv
    return mv


def _struct_size(fmt):
    import struct

    return struct.calcsize(fmt)


def make_bytes_view(rng):
    """Views cast from bytes or bytearray: any format, read-only or not,
    aligned or misaligned."""
    fmt = rng.choice(STRUCT_FORMATS)
    size = _struct_size(fmt)
    n = length(rng)
    offset = rng.choice([0, 0, 1, 2, 3, 4])
    data = bytes(rng.getrandbits(8) for _ in range(n * size + offset))
    if rng.random() < 0.5:
        data = bytearray(data)
    mv = memoryview(data)[offset:offset + n * size]
    try:
        return mv.cast(fmt)
    except Exception:
        return mv


def make_testbuffer(rng):
    fmt = rng.choice(ORDERS) + rng.choice(STRUCT_FORMATS + ["2i", "x", "3s", "P"])
    try:
        size = _struct_size(fmt)
    except Exception:
        return make_bytes_view(rng)
    n = length(rng)
    items = [0] * n
    if fmt[-1] in "fde":
        items = [float(v % 7) for v in range(n)]
    elif fmt[-1] == "?":
        items = [bool(v % 2) for v in range(n)]
    elif fmt[-1] == "c":
        items = [b"x"] * n
    elif fmt[-1] in "sP" or fmt.endswith("2i") or fmt.endswith("x"):
        return memoryview(bytes(size * n))
    else:
        items = [v % 100 for v in range(n)]
    flags = 0
    if rng.random() < 0.5:
        flags |= _testbuffer.ND_WRITABLE
    shape = [n]
    if n >= 4 and rng.random() < 0.2:
        shape = [2, n // 2]
        items = items[:2 * (n // 2)]
    try:
        nd = _testbuffer.ndarray(items, shape=shape, format=fmt, flags=flags)
        if rng.random() < 0.3 and n >= 2:
            nd = nd[::2]
        return memoryview(nd) if rng.random() < 0.8 else nd
    except Exception:
        return make_bytes_view(rng)


def make_numpy(rng):
    dtype = rng.choice(["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                        "float32", "float64", "float16", "bool", ">i4", ">f8", "<u2", "complex64",
                        "object", "U1", "longlong", "ulonglong", "intc", "longdouble"])
    n = length(rng)
    try:
        a = np.arange(n).astype(dtype)
    except Exception:
        a = np.zeros(n, dtype=dtype)
    choice = rng.randrange(9)
    if choice == 0 and n >= 2:
        a = a[::2]
    elif choice == 1 and n >= 4:
        a = a[: n - n % 2].reshape(2, -1)
    elif choice == 2:
        a.flags.writeable = False
    elif choice == 3 and n >= 4:
        a = np.asfortranarray(a[: n - n % 2].reshape(2, -1))
    elif choice == 4:
        a = np.array(a[0] if n else 0, dtype=a.dtype)  # 0-d
    elif choice == 5:
        raw = np.zeros(n * a.itemsize + 1, dtype="uint8")
        a = raw[1:].view(a.dtype) if a.dtype != object else a  # misaligned
    elif choice == 6 and rng.random() < 0.5:
        a = lying_ndarray(rng, a)
    return a


def make_arrow(rng):
    kind = rng.choice(["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                       "float32", "float64", "float16", "bool", "string", "date32", "null",
                       "dictionary", "large_string", "decimal"])
    n = length(rng)
    values = [(k * 37) % 100 for k in range(n)]
    if rng.random() < 0.3:
        values = [None if k % 3 == 0 else v for k, v in enumerate(values)]
    try:
        if kind == "float16":
            arr = pa.array(np.array([v or 0 for v in values], dtype="float16")) if np else pa.array([], pa.float16())
        elif kind == "bool":
            arr = pa.array([bool(v) if v is not None else None for v in values])
        elif kind in ("string", "large_string"):
            arr = pa.array([str(v) if v is not None else None for v in values], getattr(pa, kind)())
        elif kind == "date32":
            arr = pa.array(values, pa.date32())
        elif kind == "null":
            arr = pa.nulls(n)
        elif kind == "dictionary":
            arr = pa.array([str(v % 3) for v in values if v is not None]).dictionary_encode()
        elif kind == "decimal":
            import decimal

            arr = pa.array([decimal.Decimal(v or 0) for v in values])
        else:
            arr = pa.array(values, getattr(pa, kind)())
    except Exception:
        arr = pa.array([], pa.int64())
    choice = rng.randrange(6)
    if choice == 0 and len(arr) >= 2:
        arr = arr.slice(rng.randrange(len(arr)), rng.randrange(len(arr)))
    elif choice == 1:
        arr = pa.chunked_array([arr, arr.slice(1)] if rng.random() < 0.7 else [], type=arr.type)
    elif choice == 2:
        return arr.buffers()[-1] or pa.py_buffer(b"")
    elif choice == 3:
        return pa.py_buffer(bytes(rng.getrandbits(8) for _ in range(rng.randrange(40))))
    return arr


# -- Arrow C data interface exporters ----------------------------------------
# Objects with __arrow_c_array__ that hand out ArrowSchema and ArrowArray
# capsules, honest or malformed: wrong buffer counts, null buffers, negative
# or overflowing offsets and lengths, a release callback that is null or
# raises, capsules with wrong names. Lengths are never larger than the
# memory behind them: no reader can detect that, only the exporter.
# Everything a capsule points to is kept for the life of the process, since
# a reader may keep a capsule (and so the memory) beyond the call.

_KEEP = []


def _arrow_structs():
    import ctypes

    class ArrowSchema(ctypes.Structure):
        pass

    release_schema = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
    ArrowSchema._fields_ = [
        ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
        ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
        ("release", release_schema), ("private_data", ctypes.c_void_p)]

    class ArrowArray(ctypes.Structure):
        pass

    release_array = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
    ArrowArray._fields_ = [
        ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
        ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
        ("dictionary", ctypes.POINTER(ArrowArray)), ("release", release_array), ("private_data", ctypes.c_void_p)]

    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return ctypes, ArrowSchema, ArrowArray, release_schema, release_array, new_capsule


_ARROW_C = None


def _release(mode, struct_type):
    def release(pointer):
        if mode == "raise":
            raise FuzzError("release failed")
        pointer.contents.release = struct_type._fields_[-2][1]()  # released: null callback

    return release


def make_c_exporter(rng):
    global _ARROW_C
    if _ARROW_C is None:
        _ARROW_C = _arrow_structs()
    ctypes, ArrowSchema, ArrowArray, release_schema, release_array, new_capsule = _ARROW_C
    fmt, width = rng.choice([(b"c", 1), (b"C", 1), (b"s", 2), (b"S", 2), (b"i", 4), (b"I", 4), (b"l", 8),
                             (b"L", 8), (b"f", 4), (b"g", 8), (b"e", 2), (b"b", 1), (b"u", 4), (b"", 1),
                             (b"+s", 1), (b"tdD", 4), (b"i\0x", 4), (b"\xff", 1)])
    n = length(rng)
    data = (ctypes.c_char * (n * width + 16))()
    validity = (ctypes.c_char * (n // 8 + 2))(*([b"\xff"] * (n // 8 + 2)))
    buffers = (ctypes.c_void_p * 4)(
        None if rng.random() < 0.7 else ctypes.addressof(validity),
        None if rng.random() < 0.05 else ctypes.addressof(data), None, None)
    offset = rng.choice([0, 0, 0, 1, -1, 2**63 - 1, -(2**63)]) if n else 0
    count = n - max(offset, 0) if 0 <= offset <= n else rng.choice([n, -1, 2**63 - 1])
    count = rng.choice([count, count, count, -5, 2**63 - 1]) if rng.random() < 0.1 else count
    schema = ArrowSchema(format=fmt, name=b"x", flags=2 if rng.random() < 0.5 else 0)
    array = ArrowArray(length=count, null_count=rng.choice([0, 0, -1, 1]), offset=offset,
                       n_buffers=rng.choice([2, 2, 2, 0, 1, 3, -1]), buffers=buffers)
    modes = [rng.choice(["ok", "ok", "ok", "raise", "null"]) for _ in range(2)]
    callbacks = []
    for struct, kind, mode, ctype in ((schema, "schema", modes[0], release_schema),
                                      (array, "array", modes[1], release_array)):
        if mode != "null":
            callback = ctype(_release(mode, ArrowSchema if kind == "schema" else ArrowArray))
            struct.release = callback
            callbacks.append(callback)
    names = [b"arrow_schema", b"arrow_array"]
    if rng.random() < 0.1:
        names = [rng.choice([b"arrow_array", b"arrow_schema", b"", b"arrow_array_stream"]) for _ in names]
    _KEEP.append((data, validity, buffers, schema, array, callbacks))
    schema_capsule = new_capsule(ctypes.addressof(schema), names[0], None)
    array_capsule = new_capsule(ctypes.addressof(array), names[1], None)
    answer = rng.choice(["pair", "pair", "pair", "raise", "one", "list"])

    class Exporter:
        def __arrow_c_array__(self, requested_schema=None):
            if answer == "raise":
                raise FuzzError("export failed")
            if answer == "one":
                return array_capsule
            if answer == "list":
                return [schema_capsule, array_capsule]
            return schema_capsule, array_capsule

        def __arrow_c_schema__(self):
            return schema_capsule

        def __len__(self):
            return n

    return Exporter()


def make_non_array(rng):
    return rng.choice([None, 0, 1.5, "abc", b"abcd", bytearray(8), [1, 2, 3], (1,), {}, object(),
                       range(5), array.array, tv, Index(rng), iter([1])])


def make_input(rng):
    roll = rng.random()
    if roll < 0.35:
        return make_array(rng)
    if roll < 0.45:
        return make_memoryview(rng)
    if roll < 0.52:
        return make_bytes_view(rng)
    if roll < 0.58 and _testbuffer is not None:
        return make_testbuffer(rng)
    if roll < 0.75 and np is not None:
        return make_numpy(rng)
    if roll < 0.88 and pa is not None:
        return make_arrow(rng)
    if roll < 0.90:
        return make_other_array(rng)
    if roll < 0.92:
        return make_c_exporter(rng)
    if roll < 0.96:
        return tv.lazy_array(make_array(rng))
    return make_non_array(rng)


def make_number(rng):
    return rng.choice([0, 1, -1, 2, 0.5, -0.0, 1e308, float("inf"), float("nan"), 2**64, -(2**64),
                       10**400, True, None, "1", Index(rng), Float(rng), 3 + 0j, [1]])


def make_bound(rng, n):
    return rng.choice([None, 0, 1, -1, n, n + 1, -n - 1, 2**63, -(2**63), 2**100, -(2**100),
                       Index(rng), 1.0, "2", rng.randrange(-n - 2, n + 3)])


# -- callbacks ---------------------------------------------------------------


class Callback:
    """A callable that does one hostile thing on some calls."""

    def __init__(self, rng, target, arity=1):
        self.rng = rng
        self.target = target
        self.arity = arity
        self.plan = rng.choice(["plain", "plain", "resize", "clear", "delete", "reenter", "raise",
                                "base", "gc", "value", "iterate", "sort", "mixed"])
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        rng = self.rng
        if self.calls > 2000:  # a deep or looping use ends here
            raise FuzzError("enough")
        act = self.plan if self.plan != "mixed" else rng.choice(
            ["plain", "resize", "clear", "reenter", "raise", "gc", "value", "sort"])
        if rng.random() < 0.6:
            act = "plain"
        target = self.target
        if act == "resize" and isinstance(target, array.array):
            if rng.random() < 0.5:
                target.append(target[0] if len(target) else 0)
            elif len(target):
                target.pop()
        elif act == "clear" and isinstance(target, array.array):
            del target[:]
        elif act == "delete":
            self.target = None
            del target
            gc.collect(0)
        elif act == "reenter":
            call_quietly(rng.choice([tv.sum, tv.sort, tv.reverse, tv.unique, tv.array_iterator,
                                     lambda t: tv.map(t, lambda x: x)]), target)
        elif act == "raise":
            raise raiser(rng)
        elif act == "base":
            raise FuzzBaseError("from callback")
        elif act == "gc":
            gc.collect(0 if rng.random() < 0.95 else 2)
        elif act == "iterate":
            call_quietly(lambda t: list(tv.array_iterator(t)), target)
        elif act == "sort":
            call_quietly(tv.sort, target)
        elif act == "value":
            return rng.choice([None, "x", 2**70, -(2**70), float("nan"), 1e300, Index(rng), Float(rng),
                               True, 3 + 1j, b"", 0.5])
        if self.arity == 2:
            return args[rng.randrange(2)] if rng.random() < 0.8 else args[0]
        if rng.random() < 0.3:
            return bool(self.calls % 2)
        return args[0]


def call_quietly(function, *args):
    try:
        function(*args)
    except BaseException as exc:  # noqa: BLE001 - anything but a fault is an outcome
        check_exception(exc)


# -- calls -------------------------------------------------------------------


def check_exception(exc):
    name = type(exc).__name__
    if name == "PanicException" or isinstance(exc, SystemError):
        raise Fault(f"internal failure: {name}: {exc}") from exc
    if isinstance(exc, (KeyboardInterrupt, SystemExit, Fault)):
        raise exc


def consume(rng, result):
    """Uses what a call gave back, as a caller would."""
    if isinstance(result, tv.LazyArray):
        consume(rng, result.collect())
        if rng.random() < 0.3:
            list(result)
    elif isinstance(result, tv.ArrayIterator):
        for k, _ in enumerate(result):
            if k > 500:
                break
    elif isinstance(result, memoryview):
        result.tolist()
        result.release()
    elif np is not None and isinstance(result, np.ndarray):
        result.sum()
    elif pa is not None and isinstance(result, (pa.Array, pa.ChunkedArray)):
        result.to_pylist()
    elif isinstance(result, array.array):
        result.tolist()


def one_call(rng, kind):
    """Builds arguments for `kind`, makes the call and returns its arrays."""
    a = make_input(rng)
    n = _safe_len(a)
    if kind in ("sum", "mean", "min", "max", "var", "std", "median", "normalize", "reverse",
                "sort", "unique", "array_iterator", "lazy_array", "ArrayIterator", "LazyArray"):
        function = getattr(tv, kind)
        args = [a]
    elif kind == "scale":
        function, args = tv.scale, [a, make_number(rng)]
    elif kind == "clip":
        function, args = tv.clip, [a, make_number(rng), make_number(rng)]
    elif kind in ("add", "multiply"):
        b = make_input(rng) if rng.random() < 0.5 else a
        function, args = getattr(tv, kind), [a, b]
    elif kind in ("map", "map_inplace", "filter"):
        function, args = getattr(tv, kind), [a, Callback(rng, a)]
    elif kind == "reduce":
        kwargs = {"initial": make_number(rng)} if rng.random() < 0.5 else {}
        callback = Callback(rng, a, arity=2)
        function, args = (lambda x, f: tv.reduce(x, f, **kwargs)), [a, callback]
    elif kind == "slice":
        function, args = tv.slice, [a, make_bound(rng, n), make_bound(rng, n)]
    elif kind == "lazy_chain":
        function, args = lazy_chain, [rng, a]
    elif kind == "iterator_reentry":
        function, args = iterator_reentry, [rng, a]
    elif kind == "lazy_reentry":
        function, args = lazy_reentry, [rng, a]
    else:
        raise ValueError(kind)
    if rng.random() < 0.03:  # wrong arity or keywords
        args = args[: rng.randrange(len(args) + 1)] + ([None] * rng.randrange(2))
    result = function(*args)
    consume(rng, result)
    return a


def _safe_len(obj):
    try:
        return len(obj)
    except BaseException:  # noqa: BLE001
        return 0


def lazy_chain(rng, source):
    chain = tv.lazy_array(source)
    depth = rng.choice([1, 2, 5, 20, 200, rng.randrange(3000)])
    for k in range(depth):
        callback = Callback(rng, source)
        chain = chain.map(callback) if k % 2 == 0 or rng.random() < 0.5 else chain.filter(callback)
    if chain.len() != depth:
        raise Fault(f"LazyArray.len() is {chain.len()} after {depth} steps")
    if rng.random() < 0.5:
        return chain.collect()
    return list(chain)


def iterator_reentry(rng, source):
    it = tv.ArrayIterator(source)

    def inner(x):
        action = rng.randrange(4)
        if action == 0:
            return next(it, None)
        if action == 1:
            return list(it)
        if action == 2:
            return tv.sum(source)
        return x

    out = []
    for value in it:
        out.append(call_or_exc(inner, value))
        if len(out) > 300:
            break
    return out


def lazy_reentry(rng, source):
    holder = []

    def step(x):
        if holder and rng.random() < 0.3:
            call_quietly(holder[0].collect)
        if holder and rng.random() < 0.2:
            call_quietly(lambda: list(holder[0]))
        return x

    lazy = tv.lazy_array(source).map(step)
    holder.append(lazy)
    first = lazy.collect()
    second = lazy.collect()
    if first is not second:
        raise Fault("LazyArray.collect() gave a different object the second time")
    return first


def call_or_exc(function, value):
    try:
        return function(value)
    except BaseException as exc:  # noqa: BLE001
        check_exception(exc)
        return type(exc).__name__


def check_no_export(obj):
    """After a call returns or raises, and its result is dropped, the module
    must hold no buffer of an array.array input: resizing works."""
    if type(obj) is not array.array:
        return
    try:
        obj.frombytes(bytes(obj.itemsize))
        obj.pop()
    except BufferError as exc:
        raise Fault(f"a buffer of the input stayed exported: {exc}") from exc


def run(seed, calls):
    """Makes `calls` calls from `seed`; returns (outcomes, faults)."""
    rng = random.Random(seed)
    outcomes = collections.Counter()
    faults = []
    kinds = FUNCTIONS + CLASS_CALLS
    for k in range(calls):
        kind = kinds[k % len(kinds)] if k < len(kinds) else rng.choice(kinds)
        call_rng = random.Random(rng.getrandbits(64))
        a = None
        try:
            a = one_call(call_rng, kind)
            outcomes["ok"] += 1
        except Fault as fault:
            faults.append(f"seed {seed} call {k} ({kind}): {fault}")
        except BaseException as exc:  # noqa: BLE001
            try:
                check_exception(exc)
                outcomes[type(exc).__name__] += 1
            except Fault as fault:
                faults.append(f"seed {seed} call {k} ({kind}): {fault}")
        if a is not None:
            try:
                check_no_export(a)
            except Fault as fault:
                faults.append(f"seed {seed} call {k} ({kind}): {fault}")
        if k % 500 == 499:
            gc.collect()
    return outcomes, faults


# -- long runs -----------------------------------------------------------------


def child(seeds, calls):
    total = collections.Counter()
    faults = []
    for seed in seeds:
        outcomes, found = run(seed, calls)
        total.update(outcomes)
        faults.extend(found)
    gc.collect()
    print(json.dumps({"outcomes": total, "faults": faults}))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=16, help="how many seeds")
    parser.add_argument("--first", type=int, default=0, help="the first seed")
    parser.add_argument("--calls", type=int, default=25000, help="calls per seed")
    parser.add_argument("--chunk", type=int, default=4, help="seeds per child process")
    parser.add_argument("--child", nargs="*", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child is not None:
        child(args.child, args.calls)
        return 0
    start = time.monotonic()
    total = collections.Counter()
    faults, crashes = [], []
    seeds = list(range(args.first, args.first + args.seeds))
    for k in range(0, len(seeds), args.chunk):
        chunk = seeds[k:k + args.chunk]
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--calls", str(args.calls),
                               "--child", *map(str, chunk)], capture_output=True, text=True)
        lines = done.stdout.strip().splitlines()
        if done.returncode != 0 or not lines:
            crashes.append(f"seeds {chunk}: exit status {done.returncode}\n{done.stderr[-4000:]}")
            print(f"CRASH in seeds {chunk} (exit status {done.returncode}):\n{done.stderr[-4000:]}",
                  file=sys.stderr, flush=True)
            continue
        report = json.loads(lines[-1])
        total.update(report["outcomes"])
        faults.extend(report["faults"])
        print(f"seeds {chunk[0]}..{chunk[-1]}: {sum(report['outcomes'].values())} calls, "
              f"{len(report['faults'])} faults", flush=True)
    calls = sum(total.values())
    print(f"calls made: {calls} ({len(seeds)} seeds x {args.calls}) in {time.monotonic() - start:.0f} s")
    print("outcomes by exception type:")
    for name, count in total.most_common():
        print(f"  {name:28} {count}")
    print(f"faults: {len(faults)}")
    for fault in faults[:50]:
        print(f"  {fault}")
    print(f"crashes: {len(crashes)}")
    return 1 if faults or crashes else 0


if __name__ == "__main__":
    sys.exit(main())
