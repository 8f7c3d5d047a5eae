// Arrow results handed to pyarrow through the C data interface.
#include "buffer/arrow_result.hpp"

#include "buffer/arrow.hpp"
#include "buffer/genuine.hpp"
#include "core/pyapi.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace telvaran {
namespace {

using py::names;

// The two buffer pointers, then the values: malloc's alignment is that of
// any of them. (Aligned operator new would need a newer C++ runtime than
// the wheel's oldest target has.)
constexpr std::size_t kHeader = 2 * sizeof(void*);

const char* format_of(ArrowResultType type) {
    switch (type) {
        case ArrowResultType::Null: return "n";
        case ArrowResultType::Int64: return "l";
        case ArrowResultType::UInt64: return "L";
        case ArrowResultType::Double: return "g";
    }
    return "n";
}

constexpr std::int64_t kNullable = 2;  // ARROW_FLAG_NULLABLE, as pyarrow.array's own results carry

void release_schema(arrow::Schema* schema) { schema->release = nullptr; }  // its format is a literal

void release_array(arrow::Array* array) {
    std::free(array->private_data);
    array->release = nullptr;
}

// Whether the type of `callable` is a compiled function type (a builtin or
// a Cython function), not a Python function or a mock.
bool is_compiled_function(PyObject* callable) {
    if (genuine::is_c_function(callable)) return true;
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(callable)));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(name.get(), "cython_function_or_method") == 1;
}

// pyarrow.Array._import_from_c when pyarrow.Array is pyarrow's own static
// type and pyarrow.array a compiled function; else empty. The importer
// takes the structs by address and moves them out; it is about a third
// cheaper than the capsule importer.
Result<Ref> genuine_importer() {
    TV_ASSIGN(Ref pyarrow, py::optional_module(names.pyarrow));
    if (!pyarrow) return Ref();
    Ref array_class = py::module_dict_entry(pyarrow.get(), names.Array);
    Ref constructor = py::module_dict_entry(pyarrow.get(), names.array);
    if (!array_class || !constructor || !genuine::is_genuine_arrow_array_class(array_class.get()) ||
        !is_compiled_function(constructor.get()))
        return Ref();
    return py::getattr(array_class.get(), names._import_from_c);
}

// What pyarrow.array would infer from a list of exact ints and floats, and
// the values as they would be stored; false for anything else (bools,
// other types, a mix, ints outside both 64-bit ranges), which pyarrow then
// judges itself.
struct ListValues {
    ArrowResultType type = ArrowResultType::Null;
    std::vector<std::uint64_t> bits;
};

bool read_list(PyObject* list, ListValues& out) {
    const Py_ssize_t n = PyList_Size(list);
    if (n == 0) return true;
    PyObject* first = PyList_GetItem(list, 0);
    const bool floats = PyFloat_CheckExact(first);
    out.type = floats ? ArrowResultType::Double : ArrowResultType::Int64;
    out.bits.resize(static_cast<std::size_t>(n));
    bool negative = false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GetItem(list, k);
        std::uint64_t& bits = out.bits[static_cast<std::size_t>(k)];
        if (floats) {
            if (!PyFloat_CheckExact(item)) return false;
            double value = PyFloat_AsDouble(item);
            std::memcpy(&bits, &value, sizeof bits);
            continue;
        }
        if (!PyLong_CheckExact(item)) return false;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow < 0) return false;
        if (overflow > 0) {
            unsigned long long wide = PyLong_AsUnsignedLongLong(item);
            if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            bits = wide;
            out.type = ArrowResultType::UInt64;
            continue;
        }
        negative = negative || value < 0;
        bits = static_cast<std::uint64_t>(value);
    }
    // A uint64 array holds no negative values; pyarrow refuses such a list.
    return !(out.type == ArrowResultType::UInt64 && negative);
}

Result<Ref> pyarrow_array_call(PyObject* list) {
    TV_ASSIGN(Ref pyarrow, py::required_module(names.pyarrow));
    TV_ASSIGN(Ref constructor, py::module_attr(pyarrow.get(), names.array));
    return py::call(constructor.get(), list);
}

}  // namespace

ArrowResult::~ArrowResult() {
    std::free(block_);
}

Result<bool> ArrowResult::allocate(ArrowResultType type, std::size_t count) {
    TV_ASSIGN(importer_, genuine_importer());
    if (!importer_) return false;
    type_ = type;
    count_ = count;
    if (count > (SIZE_MAX - kHeader) / sizeof(std::uint64_t)) {
        PyErr_NoMemory();
        return Error::fetch();
    }
    block_ = std::malloc(kHeader + count * sizeof(std::uint64_t));
    if (!block_) {
        PyErr_NoMemory();
        return Error::fetch();
    }
    values_ = static_cast<std::byte*>(block_) + kHeader;
    return true;
}

Result<Ref> ArrowResult::finish() {
    auto** buffers = static_cast<const void**>(block_);
    buffers[0] = nullptr;  // no validity bitmap: no nulls
    buffers[1] = values_;
    arrow::Schema schema{format_of(type_), "", nullptr, kNullable, 0, nullptr, nullptr, &release_schema, nullptr};
    const bool null_type = type_ == ArrowResultType::Null;
    arrow::Array array{static_cast<std::int64_t>(count_), 0, 0, null_type ? 0 : 2, 0, buffers, nullptr, nullptr,
                       &release_array, block_};
    block_ = nullptr;  // the array's release frees it from here on
    Result<Ref> imported = [&]() -> Result<Ref> {
        TV_ASSIGN(Ref array_address, made(PyLong_FromVoidPtr(&array)));
        TV_ASSIGN(Ref schema_address, made(PyLong_FromVoidPtr(&schema)));
        return py::call(importer_.get(), array_address.get(), schema_address.get());
    }();
    // Whatever the importer did not take over is still ours.
    arrow::release(array);
    arrow::release(schema);
    return imported;
}

Result<Ref> arrow_result_from_list(PyObject* list) {
    ListValues read;
    if (!read_list(list, read)) return pyarrow_array_call(list);
    ArrowResult out;
    TV_ASSIGN(bool native, out.allocate(read.type, read.bits.size()));
    if (!native) return pyarrow_array_call(list);
    if (!read.bits.empty()) std::memcpy(out.values<std::uint64_t>(), read.bits.data(), read.bits.size() * 8);
    return out.finish();
}

}  // namespace telvaran
