// Element type and length of an Arrow producer, read from its export.
//
// The structs are read where the capsules hold them and left there: a
// capsule's destructor releases what nobody took over. Only a stream's
// schema and chunks, which the stream hands out, are released here.
#include "buffer/producer.hpp"

#include "buffer/arrow.hpp"
#include "core/pyapi.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace telvaran::producer {
namespace {

using py::names;

constexpr const char kRefusal[] =
    "Could not determine Arrow buffer/array type. Supported types: Int8, UInt8, Int16, UInt16, Int32, UInt32, "
    "Int64, UInt64, Float32, Float64";
constexpr const char kArrayCapsules[] =
    "__arrow_c_array__() must return a tuple of two capsules named 'arrow_schema' and 'arrow_array'";
constexpr const char kStreamCapsule[] = "__arrow_c_stream__() must return a capsule named 'arrow_array_stream'";

// A stream's own schema or chunk, released when the scope ends.
template <class S>
struct Handed {
    S value{};
    Handed() = default;
    Handed(const Handed&) = delete;
    Handed& operator=(const Handed&) = delete;
    ~Handed() { arrow::release(value); }
};

Error malformed(const char* what) {
    return Error::raise(PyExc_BufferError, std::string("Arrow export is malformed: ") + what);
}

// The type's attribute `name`; a method set to None is no method, as for
// the interpreter's own special methods.
Result<Ref> type_method(PyObject* obj, PyObject* name) {
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name, &method) < 0) return Error::fetch();
    Ref found = Ref::steal(method);
    if (found.get() == Py_None) found.reset();
    return found;
}

Result<Ref> call_method(PyObject* obj, PyObject* name) {
    TV_ASSIGN(Ref method, py::getattr(obj, name));
    return checked(PyObject_CallNoArgs(method.get()));
}

template <class S>
Result<S*> capsule_struct(PyObject* capsule, const char* name, const char* refusal) {
    if (!PyCapsule_IsValid(capsule, name)) return Error::raise(PyExc_TypeError, refusal);
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (!pointer) return Error::fetch();
    auto* s = static_cast<S*>(pointer);
    if (!s->release) return malformed("the exported struct was released already");
    return s;
}

// One export of the object, held for reading: the schema and, for an
// array, the array; for a stream, the stream, from which chunks are drawn.
struct Export {
    Ref owner;  // the tuple of capsules, or the stream's capsule
    arrow::Schema* schema = nullptr;
    arrow::Array* array = nullptr;
    arrow::Stream* stream = nullptr;
    Handed<arrow::Schema> stream_schema;
};

Error stream_failed(arrow::Stream& stream, int code) {
    std::string message = "Arrow stream failed (error " + std::to_string(code) + ")";
    const char* detail = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    if (PyErr_Occurred()) return Error::fetch();
    if (detail) message += std::string(": ") + detail;
    return Error::raise(PyExc_BufferError, std::move(message));
}

Status export_array(PyObject* obj, Export& out) {
    TV_ASSIGN(out.owner, call_method(obj, names.__arrow_c_array__));
    PyObject* pair = out.owner.get();
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) return Error::raise(PyExc_TypeError, kArrayCapsules);
    TV_ASSIGN(out.schema, capsule_struct<arrow::Schema>(PyTuple_GetItem(pair, 0), "arrow_schema", kArrayCapsules));
    TV_ASSIGN(out.array, capsule_struct<arrow::Array>(PyTuple_GetItem(pair, 1), "arrow_array", kArrayCapsules));
    return {};
}

Status export_stream(PyObject* obj, Export& out) {
    TV_ASSIGN(out.owner, call_method(obj, names.__arrow_c_stream__));
    TV_ASSIGN(out.stream, capsule_struct<arrow::Stream>(out.owner.get(), "arrow_array_stream", kStreamCapsule));
    arrow::Stream& stream = *out.stream;
    if (!stream.get_schema || !stream.get_next) return malformed("a stream without get_schema or get_next");
    const int code = stream.get_schema(&stream, &out.stream_schema.value);
    if (code != 0) {
        out.stream_schema.value.release = nullptr;
        if (PyErr_Occurred()) return Error::fetch();
        return stream_failed(stream, code);
    }
    if (PyErr_Occurred()) return Error::fetch();
    if (!out.stream_schema.value.release) return malformed("the stream's schema was released already");
    out.schema = &out.stream_schema.value;
    return {};
}

// An array's export when the type has __arrow_c_array__, else a stream's.
Status export_any(PyObject* obj, Export& out) {
    TV_ASSIGN(Ref array_method, type_method(obj, names.__arrow_c_array__));
    if (array_method) return export_array(obj, out);
    return export_stream(obj, out);
}

// The stream's element count: every chunk's length, summed and checked.
Result<Py_ssize_t> count_stream(arrow::Stream& stream) {
    std::uint64_t total = 0;
    for (;;) {
        Handed<arrow::Array> chunk;
        const int code = stream.get_next(&stream, &chunk.value);
        if (code != 0) {
            chunk.value.release = nullptr;
            if (PyErr_Occurred()) return Error::fetch();
            return stream_failed(stream, code);
        }
        if (PyErr_Occurred()) return Error::fetch();
        if (!chunk.value.release) break;
        if (chunk.value.length < 0) return malformed("negative length or offset");
        total += static_cast<std::uint64_t>(chunk.value.length);
        if (total > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()))
            return malformed("chunks beyond the address space");
    }
    return static_cast<Py_ssize_t>(total);
}

Result<Py_ssize_t> export_length(PyObject* obj) {
    Export held;
    TV_TRY(export_any(obj, held));
    if (!held.array) return count_stream(*held.stream);
    if (held.array->length < 0) return malformed("negative length or offset");
    return static_cast<Py_ssize_t>(held.array->length);
}

Error refusal(const char* hint = "") { return Error::raise(PyExc_TypeError, std::string(kRefusal) + hint); }

bool has_length(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_GetSlot(type, Py_sq_length) || PyType_GetSlot(type, Py_mp_length);
}

// The format of the schema the object exports (the export is released).
Result<std::string> exported_format(PyObject* obj) {
    Export held;
    TV_TRY(export_any(obj, held));
    if (!held.schema->format) return malformed("a schema without a format");
    return std::string(held.schema->format);
}

}  // namespace

Result<bool> exports_arrow(PyObject* obj) {
    for (PyObject* name : {names.__arrow_c_array__, names.__arrow_c_stream__}) {
        TV_ASSIGN(Ref method, type_method(obj, name));
        if (method) return true;
    }
    return false;
}

Result<ElementType> resolve(PyObject* obj) {
    TV_ASSIGN(std::string text, exported_format(obj));
    if (text == "+s")
        return refusal(
            " (this object holds a table of columns: pass one column, for example df[\"x\"] of a polars "
            "DataFrame or table.column(\"x\") of a pyarrow Table)");
    for (int k = 0; k < kElementTypeCount; ++k) {
        if (kElementFacts[k].arrow_format == text) return static_cast<ElementType>(k);
    }
    if (text == "n") {
        // Of the null type only an empty input can be read: as int64, the
        // type pyarrow gives to ints, like pyarrow.array([]).
        TV_ASSIGN(Py_ssize_t count, length(obj));
        if (count == 0) return ElementType::l;
    }
    return refusal();
}

Result<Py_ssize_t> length(PyObject* obj) {
    if (has_length(obj)) return py::length(obj);
    return export_length(obj);
}

}  // namespace telvaran::producer
