"""Arrow exporters made with ctypes, for tests that need no pyarrow.

`Array` and `ChunkedArray` pass for pyarrow's classes once `fake_pyarrow()` is
in sys.modules, and hand out Arrow C data interface structs in capsules, as
pyarrow does. Every struct they make is entered in `ledger` and every release
call counted there, so a test can check that each was released exactly once.
Keyword arguments overwrite fields of the exported structs, to make malformed
exports.
"""

import ctypes
import types
from array import array
from collections import Counter
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p

ARROW_TYPES = {  # typecode -> pyarrow type name, type id, Arrow format
    "b": ("int8", 3, b"c"), "h": ("int16", 5, b"s"), "i": ("int32", 7, b"i"), "l": ("int64", 9, b"l"),
    "B": ("uint8", 2, b"C"), "H": ("uint16", 4, b"S"), "I": ("uint32", 6, b"I"), "L": ("uint64", 8, b"L"),
    "f": ("float", 11, b"f"), "d": ("double", 12, b"g"),
}


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE, ARRAY_RELEASE, STREAM_RELEASE = (
    ctypes.CFUNCTYPE(None, POINTER(s)) for s in (ArrowSchema, ArrowArray, ArrowArrayStream))
GET_SCHEMA = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(c_void_p, POINTER(ArrowArrayStream))
DESTRUCTOR = ctypes.CFUNCTYPE(None, c_void_p)

ArrowSchema._fields_ = [
    ("format", c_char_p), ("name", c_char_p), ("metadata", c_char_p), ("flags", c_int64),
    ("n_children", c_int64), ("children", c_void_p), ("dictionary", c_void_p),
    ("release", SCHEMA_RELEASE), ("private_data", c_void_p)]
ArrowArray._fields_ = [
    ("length", c_int64), ("null_count", c_int64), ("offset", c_int64), ("n_buffers", c_int64),
    ("n_children", c_int64), ("buffers", POINTER(c_void_p)), ("children", c_void_p),
    ("dictionary", c_void_p), ("release", ARRAY_RELEASE), ("private_data", c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA), ("get_next", GET_NEXT), ("get_last_error", GET_LAST_ERROR),
    ("release", STREAM_RELEASE), ("private_data", c_void_p)]


def _api(name, restype, *argtypes):
    function = getattr(ctypes.pythonapi, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function


_capsule_new = _api("PyCapsule_New", ctypes.py_object, c_void_p, c_char_p, DESTRUCTOR)
_capsule_pointer = _api("PyCapsule_GetPointer", c_void_p, c_void_p, c_void_p)
_capsule_name = _api("PyCapsule_GetName", c_void_p, c_void_p)


class Ledger:
    """The structs made and the release calls seen, by kind."""

    def reset(self):
        self.made, self.released, self.faults, self.live, self.next = Counter(), Counter(), [], {}, 1

    def track(self, kind, *keep):  # keeps `keep` alive until the release
        key, self.next = self.next, self.next + 1
        self.made[kind] += 1
        self.live[key] = (kind, keep)
        return key

    def release(self, key):
        if key in self.live:
            self.released[self.live.pop(key)[0]] += 1
        else:  # released twice, or never made
            self.faults.append(key)

    def assert_balanced(self):
        assert not self.faults and not self.live and self.released == self.made


ledger = Ledger()
ledger.reset()


def _releaser(prototype):
    @prototype
    def release(p):
        ledger.release(p.contents.private_data)
        p.contents.release = prototype()
    return release


_release_schema, _release_array, _release_stream = map(_releaser, (SCHEMA_RELEASE, ARRAY_RELEASE, STREAM_RELEASE))
_in_capsules = {}  # address -> the struct a live capsule points to


@DESTRUCTOR
def _destroy_capsule(capsule):
    struct = _in_capsules.pop(_capsule_pointer(capsule, _capsule_name(capsule)))
    if struct.release:  # not moved out by the consumer
        struct.release(ctypes.byref(struct))


def capsule(struct, name):
    _in_capsules[ctypes.addressof(struct)] = struct
    return _capsule_new(ctypes.addressof(struct), name, _destroy_capsule)


def _apply(struct, fields):
    for name, value in fields.items():
        if name == "release" and value is None:  # handed out released already
            ledger.release(struct.private_data)
            value = type(struct.release)()
        setattr(struct, name, value)
    return struct


def make_schema(fmt, **fields):
    schema = ArrowSchema(format=fmt, release=_release_schema, private_data=ledger.track("schema", fmt))
    return _apply(schema, fields)


def make_array(values, offset=0, validity=None, shift=0, **fields):
    """An ArrowArray over an array.array's memory; `shift` moves the values
    pointer by that many bytes (None: no values buffer)."""
    address = values.buffer_info()[0] + shift if values and shift is not None else None
    buffers = (c_void_p * 2)(validity and ctypes.addressof(validity), address)
    struct = ArrowArray(length=len(values) - offset, offset=offset, n_buffers=2, release=_release_array,
                        buffers=ctypes.cast(buffers, POINTER(c_void_p)),
                        private_data=ledger.track("array", values, buffers, validity))
    return _apply(struct, fields)


class _Typed:
    def __init__(self, typecode, schema, export):
        name, type_id, self.format = ARROW_TYPES[typecode]
        self.type = type("DataType", (), {"id": type_id, "__str__": lambda t, name=name: name})()
        self.typecode, self.schema, self.export = typecode, schema or {}, export


class Array(_Typed):
    """Passes for a pyarrow.Array of the typecode's Arrow type. `export`
    replaces __arrow_c_array__; `schema` and the keywords overwrite fields of
    the exported schema and array."""

    def __init__(self, typecode, values, offset=0, schema=None, export=None, **fields):
        super().__init__(typecode, schema, export)
        self.values, self.offset, self.fields = array(typecode, values), offset, fields

    def __len__(self):  # a nonsensical offset leaves the values' length
        return len(self.values) - self.offset if 0 <= self.offset <= len(self.values) else len(self.values)

    def to_pylist(self):
        return self.values[self.offset:].tolist()

    def __arrow_c_array__(self, requested_schema=None):
        if self.export:
            return self.export(self)
        return (capsule(make_schema(self.format, **self.schema), b"arrow_schema"),
                capsule(make_array(self.values, self.offset, **self.fields), b"arrow_array"))


class ChunkedArray(_Typed):
    """Passes for a pyarrow.ChunkedArray: a stream of one array per chunk.
    The stream fails at `fail_at` ("schema" or a chunk's position); `stream`
    overwrites fields of the stream, the keywords those of chunk
    `faulty_chunk` (a position, or a tuple of them)."""

    def __init__(self, typecode, chunks, fail_at=None, faulty_chunk=0, schema=None, stream=None, export=None,
                 **fields):
        super().__init__(typecode, schema, export)
        self.chunks, self.fail_at, self.faulty_chunk = [list(c) for c in chunks], fail_at, faulty_chunk
        self.stream, self.fields = stream or {}, fields

    def __len__(self):
        return sum(map(len, self.chunks))

    def to_pylist(self):
        return [v for chunk in self.chunks for v in chunk]

    def __arrow_c_stream__(self, requested_schema=None):
        if self.export:
            return self.export(self)
        state = types.SimpleNamespace(position=0, error=ctypes.create_string_buffer(b"the producer failed"))
        stream = ArrowArrayStream(get_schema=_get_schema, get_next=_get_next, get_last_error=_get_last_error,
                                  release=_release_stream, private_data=ledger.track("stream", self, state))
        return capsule(_apply(stream, self.stream), b"arrow_array_stream")


def _stream(p):
    return ledger.live[p.contents.private_data][1]


@GET_SCHEMA
def _get_schema(stream, out):
    chunked, _ = _stream(stream)
    if chunked.fail_at == "schema":
        return 5
    out[0] = make_schema(chunked.format, **chunked.schema)
    return 0


@GET_NEXT
def _get_next(stream, out):
    chunked, state = _stream(stream)
    if state.position == chunked.fail_at:
        return 5
    if state.position == len(chunked.chunks):
        ctypes.memset(out, 0, ctypes.sizeof(ArrowArray))  # the end
        return 0
    faulty = chunked.faulty_chunk if isinstance(chunked.faulty_chunk, tuple) else (chunked.faulty_chunk,)
    fields = chunked.fields if state.position in faulty else {}
    out[0] = make_array(array(chunked.typecode, chunked.chunks[state.position]), **fields)
    state.position += 1
    return 0


@GET_LAST_ERROR
def _get_last_error(stream):
    return ctypes.addressof(_stream(stream)[1].error)


def build(values):
    """pyarrow.array(list): int64 from ints, double when there is a float."""
    return Array("d" if any(isinstance(v, float) for v in values) else "l", values)


def fake_pyarrow():
    module = types.ModuleType("pyarrow")
    vars(module).update(Buffer=type("Buffer", (), {}), Array=Array, ChunkedArray=ChunkedArray, array=build)
    return module
