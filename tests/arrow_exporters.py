"""Arrow exporters made with ctypes, for tests that need no pyarrow.

`Array` and `ChunkedArray` pass for pyarrow's classes once `fake_pyarrow()` is
in sys.modules, and hand out Arrow C data interface structs in capsules, as
pyarrow does. Every struct they make is entered in `ledger`, and every call
of a release callback is counted there, so a test can check that each was
released exactly once. Keyword arguments overwrite fields of the exported
structs, to make malformed exports.
"""

import ctypes
import types
from array import array
from collections import Counter
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p

ARROW_TYPES = {  # typecode -> (pyarrow type name and id, Arrow format)
    "b": (("int8", 3), b"c"), "h": (("int16", 5), b"s"), "i": (("int32", 7), b"i"),
    "l": (("int64", 9), b"l"), "B": (("uint8", 2), b"C"), "H": (("uint16", 4), b"S"),
    "I": (("uint32", 6), b"I"), "L": (("uint64", 8), b"L"), "f": (("float", 11), b"f"),
    "d": (("double", 12), b"g"),
}


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowArray))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowArrayStream))
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

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [c_void_p, c_char_p, DESTRUCTOR]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = c_void_p
_capsule_pointer.argtypes = [c_void_p, c_char_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = c_void_p
_capsule_name.argtypes = [c_void_p]


class Ledger:
    """The structs made and the release calls seen, by kind."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.made, self.released = Counter(), Counter()
        self.faults = []  # releases of unknown or already released structs
        self._live, self._next = {}, 1

    def track(self, kind, *keep):
        key, self._next = self._next, self._next + 1
        self.made[kind] += 1
        self._live[key] = (kind, keep)
        return key

    def release(self, key):
        entry = self._live.pop(key, None)
        if entry is None:
            self.faults.append(key)
        else:
            self.released[entry[0]] += 1

    def state(self, key):
        return self._live[key][1][0]

    def assert_balanced(self):
        assert not self.faults, f"released twice or unknown: {self.faults}"
        assert self.released == self.made and not self._live


ledger = Ledger()


@SCHEMA_RELEASE
def _release_schema(p):
    ledger.release(p.contents.private_data)
    p.contents.release = SCHEMA_RELEASE()


@ARRAY_RELEASE
def _release_array(p):
    ledger.release(p.contents.private_data)
    p.contents.release = ARRAY_RELEASE()


@STREAM_RELEASE
def _release_stream(p):
    ledger.release(p.contents.private_data)
    p.contents.release = STREAM_RELEASE()


_in_capsules = {}  # address -> the struct a live capsule points to


@DESTRUCTOR
def _destroy_capsule(capsule):
    address = _capsule_pointer(capsule, ctypes.cast(_capsule_name(capsule), c_char_p).value)
    struct = _in_capsules.pop(address)
    if struct.release:  # not moved out by the consumer
        struct.release(ctypes.byref(struct))


def capsule(struct, name):
    _in_capsules[ctypes.addressof(struct)] = struct
    return _capsule_new(ctypes.addressof(struct), name, _destroy_capsule)


def _apply(struct, fields):
    for name, value in fields.items():
        if name == "release" and value is None:  # handed out as released already
            ledger.release(struct.private_data)
            value = type(struct.release)()
        setattr(struct, name, value)
    return struct


def make_schema(fmt, **fields):
    schema = ArrowSchema(format=fmt, release=_release_schema)
    schema.private_data = ledger.track("schema", fmt)
    return _apply(schema, fields)


def make_array(values, offset=0, validity=None, shift=0, **fields):
    """An ArrowArray over an array.array's memory; `shift` moves the values
    pointer by that many bytes (None: no values buffer)."""
    address = values.buffer_info()[0] + shift if values and shift is not None else None
    buffers = (c_void_p * 2)(validity and ctypes.addressof(validity), address)
    struct = ArrowArray(length=len(values) - offset, offset=offset, n_buffers=2,
                        buffers=ctypes.cast(buffers, POINTER(c_void_p)), release=_release_array)
    struct.private_data = ledger.track("array", values, buffers, validity)
    return _apply(struct, fields)


class FakeType:
    def __init__(self, name_and_id):
        self.name, self.id = name_and_id

    def __str__(self):
        return self.name


class Array:
    """Passes for a pyarrow.Array of the typecode's Arrow type. `export`
    replaces __arrow_c_array__; `schema` and other keywords overwrite fields
    of the exported schema and array."""

    def __init__(self, typecode, values, offset=0, validity=None, shift=0, export=None, schema=None,
                 **fields):
        name, self.format = ARROW_TYPES[typecode]
        self.type = FakeType(name)
        self.values = array(typecode, values)
        self.options = dict(offset=offset, validity=validity, shift=shift, **fields)
        self.schema, self.export = schema or {}, export

    def __len__(self):  # a nonsensical offset leaves the values' length
        length = len(self.values) - self.options["offset"]
        return length if length >= 0 else len(self.values)

    def to_pylist(self):
        return self.values[max(0, self.options["offset"]):].tolist()

    def __arrow_c_array__(self, requested_schema=None):
        if self.export:
            return self.export(self)
        return (capsule(make_schema(self.format, **self.schema), b"arrow_schema"),
                capsule(make_array(self.values, **self.options), b"arrow_array"))


class _StreamState:
    def __init__(self, chunked):
        self.chunked, self.position = chunked, 0
        self.error = ctypes.create_string_buffer(b"the producer failed")


@GET_SCHEMA
def _get_schema(stream, out):
    chunked = ledger.state(stream.contents.private_data).chunked
    if chunked.fail_at == "schema":
        return 5
    schema = make_schema(chunked.format, **chunked.schema)
    ctypes.memmove(out, ctypes.addressof(schema), ctypes.sizeof(ArrowSchema))
    return 0


@GET_NEXT
def _get_next(stream, out):
    state = ledger.state(stream.contents.private_data)
    chunked = state.chunked
    if state.position == chunked.fail_at:
        return 5
    if state.position == len(chunked.chunks):
        ctypes.memset(out, 0, ctypes.sizeof(ArrowArray))  # the end
        return 0
    values = array(chunked.typecode, chunked.chunks[state.position])
    fields = chunked.fields if state.position == chunked.faulty_chunk else {}
    chunk = make_array(values, **fields)
    state.position += 1
    ctypes.memmove(out, ctypes.addressof(chunk), ctypes.sizeof(ArrowArray))
    return 0


@GET_LAST_ERROR
def _get_last_error(stream):
    return ctypes.addressof(ledger.state(stream.contents.private_data).error)


class ChunkedArray:
    """Passes for a pyarrow.ChunkedArray: a stream of one array per chunk.
    The stream fails at `fail_at` ("schema" or a chunk's position); `stream`
    overwrites fields of the stream, the keywords those of chunk
    `faulty_chunk`."""

    def __init__(self, typecode, chunks, fail_at=None, faulty_chunk=0, schema=None, stream=None, export=None,
                 **fields):
        name, self.format = ARROW_TYPES[typecode]
        self.type = FakeType(name)
        self.typecode, self.chunks = typecode, [list(c) for c in chunks]
        self.fail_at, self.faulty_chunk, self.fields = fail_at, faulty_chunk, fields
        self.schema, self.stream, self.export = schema or {}, stream or {}, export

    def __len__(self):
        return sum(map(len, self.chunks))

    def __arrow_c_stream__(self, requested_schema=None):
        if self.export:
            return self.export(self)
        stream = ArrowArrayStream(get_schema=_get_schema, get_next=_get_next,
                                  get_last_error=_get_last_error, release=_release_stream)
        stream.private_data = ledger.track("stream", _StreamState(self))
        return capsule(_apply(stream, self.stream), b"arrow_array_stream")


def build(values):
    """pyarrow.array(list): int64 from ints, double when there is a float."""
    return Array("d" if any(isinstance(v, float) for v in values) else "l", values)


def fake_pyarrow():
    module = types.ModuleType("pyarrow")
    module.Buffer = type("Buffer", (), {})
    module.Array, module.ChunkedArray, module.array = Array, ChunkedArray, build
    return module
