// Result construction for array.array, numpy and pyarrow outputs.
#include "result.hpp"

#include "buffer/genuine.hpp"
#include "core/pyapi.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telvaran {
namespace {

using py::names;

Result<Ref> dtype_name(ElementType type) {
    std::string_view name = facts(type).numpy_dtype;
    return made(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

Result<Ref> typecode_str(ElementType type) {
    char code[2] = {typecode(type), '\0'};
    return made(PyUnicode_FromString(code));
}

// numpy.array and numpy.dtype(name), looked up in this order, as every
// numpy result made from values needs them.
struct NumpyMakers {
    Ref array;
    Ref dtype;
};

Result<NumpyMakers> numpy_makers(ElementType type) {
    TV_ASSIGN(Ref numpy, py::required_module(names.numpy));
    TV_ASSIGN(Ref array, py::module_attr(numpy.get(), names.array));
    TV_ASSIGN(Ref dtype_type, py::module_attr(numpy.get(), names.dtype));
    TV_ASSIGN(Ref name, dtype_name(type));
    TV_ASSIGN(Ref dtype, py::call(dtype_type.get(), name.get()));
    return NumpyMakers{std::move(array), std::move(dtype)};
}

// numpy.array(source, dtype=numpy.dtype(name)): the values are converted
// by numpy once, to the element type's dtype, and an unrepresentable value
// raises instead of being wrapped.
Result<Ref> numpy_array_of(PyObject* source, ElementType type) {
    TV_ASSIGN(NumpyMakers makers, numpy_makers(type));
    TV_ASSIGN(Ref kwnames, made(PyTuple_Pack(1, names.dtype)));
    PyObject* args[] = {source, makers.dtype.get()};
    return checked(PyObject_Vectorcall(makers.array.get(), args, 1, kwnames.get()));
}

// numpy.array(list).astype(numpy.dtype(name)), for values that fit.
Result<Ref> numpy_array_then_astype(PyObject* list, ElementType type) {
    TV_ASSIGN(NumpyMakers makers, numpy_makers(type));
    TV_ASSIGN(Ref inferred, py::call(makers.array.get(), list));
    return py::call_method(inferred.get(), names.astype, makers.dtype.get());
}

// Small array.array results are written into a new bytes object and then
// made by array.array(typecode, bytes): one constructor call, about 1,100
// instructions cheaper than allocating the array and then writing through
// its buffer (callgrind, an 8-element add: 4,950 against 6,000). Larger
// ones are allocated first, so that their memory is not written twice over.
constexpr std::size_t kStagedResultBytes = std::size_t{64} * 1024;

// array.array(typecode, initializer) with the element type's typecode.
Result<Ref> call_array(PyObject* constructor, ElementType type, PyObject* initializer) {
    TV_ASSIGN(Ref code, typecode_str(type));
    return py::call(constructor, code.get(), initializer);
}

Result<Ref> make_array(ElementType type, PyObject* initializer) {
    TV_ASSIGN(Ref module, py::required_module(names.array));
    TV_ASSIGN(Ref constructor, py::module_attr(module.get(), names.array));
    return call_array(constructor.get(), type, initializer);
}

// array.array(typecode, one zero item) * count: the repetition allocates
// the items once and fills them with one doubling copy.
Result<Ref> allocate_array(PyObject* constructor, ElementType type, std::size_t count) {
    static constexpr char kZeroItem[8] = {};
    TV_ASSIGN(Ref item, made(PyBytes_FromStringAndSize(kZeroItem, facts(facts(type).native).width)));
    TV_ASSIGN(Ref one, call_array(constructor, type, item.get()));
    return checked(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
}

// numpy.empty(count, name): owning, C-contiguous and writable, like every
// numpy result; numpy reads the dtype name itself.
Result<Ref> allocate_ndarray(PyObject* empty, ElementType type, std::size_t count) {
    TV_ASSIGN(Ref name, dtype_name(type));
    TV_ASSIGN(Ref shape, made(PyLong_FromSize_t(count)));
    return py::call(empty, shape.get(), name.get());
}

// The array module's own array.array, when its module holds it; else empty.
Result<Ref> genuine_array_constructor() {
    TV_ASSIGN(Ref module, py::required_module(names.array));
    Ref constructor = py::module_dict_entry(module.get(), names.array);
    if (!genuine::is_genuine_class(InputKind::Array, constructor.get())) constructor.reset();
    return constructor;
}

// numpy.empty, when numpy.array and numpy.empty are C functions and
// numpy.dtype is numpy's own type; else empty.
Result<Ref> genuine_numpy_empty() {
    TV_ASSIGN(Ref numpy, py::optional_module(names.numpy));
    if (!numpy) return Ref();
    Ref empty = py::module_dict_entry(numpy.get(), names.empty);
    if (!genuine::is_c_function(empty.get())) return Ref();
    Ref array = py::module_dict_entry(numpy.get(), names.array);
    Ref dtype = py::module_dict_entry(numpy.get(), names.dtype);
    if (!genuine::is_c_function(array.get()) || !genuine::is_genuine_numpy_dtype(dtype.get())) return Ref();
    return empty;
}

}  // namespace

Result<Ref> result_from_list(ElementType type, InputKind kind, PyObject* list) {
    switch (output_kind(kind)) {
        case InputKind::NdArray: return numpy_array_of(list, type);
        case InputKind::Arrow: return arrow_result_from_list(list);
        default: return make_array(type, list);
    }
}

Result<Ref> result_from_value_list(ElementType type, InputKind kind, PyObject* list) {
    if (output_kind(kind) == InputKind::NdArray) return numpy_array_then_astype(list, type);
    return result_from_list(type, kind, list);
}

Result<Ref> empty_result(ElementType type, InputKind kind) {
    TV_ASSIGN(Ref list, made(PyList_New(0)));
    return result_from_value_list(type, kind, list.get());
}

Result<bool> builds_natively(InputKind output) {
    switch (output) {
        case InputKind::Array: {
            TV_ASSIGN(Ref constructor, genuine_array_constructor());
            return static_cast<bool>(constructor);
        }
        case InputKind::NdArray: {
            TV_ASSIGN(Ref empty, genuine_numpy_empty());
            return static_cast<bool>(empty);
        }
        default: return false;
    }
}

Result<bool> NativeResult::allocate(ElementType type, InputKind kind, std::size_t count, PyObject* like) {
    type_ = type;
    const std::size_t size = count * facts(facts(type).native).width;
    if (kind == InputKind::NdArray) {
        TV_ASSIGN(Ref empty, genuine_numpy_empty());
        if (!empty) return false;
        TV_ASSIGN(object_, allocate_ndarray(empty.get(), type, count));
        TV_TRY(view_items(count));
        return true;
    }
    if (like && size <= kStagedResultBytes) {
        // The interpreter's own slice of such an input is a new
        // array.array of the right type and length, made without the
        // constructor's look-ups and argument parsing: an 8-element add
        // runs about 1,300 instructions fewer (3,220 against 4,540).
        // Larger results are not copied first, for the same reason as
        // they are not staged.
        TV_ASSIGN(object_, checked(PySequence_GetSlice(like, 0, static_cast<Py_ssize_t>(count))));
        TV_TRY(view_items(count));
        return true;
    }
    TV_ASSIGN(constructor_, genuine_array_constructor());
    if (!constructor_) return false;
    if (size <= kStagedResultBytes) {
        // A bytes object may be written until it is shared with anyone.
        TV_ASSIGN(object_, made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        auto* data = reinterpret_cast<std::byte*>(PyBytes_AsString(object_.get()));
        if ((reinterpret_cast<std::uintptr_t>(data) & (alignof(std::max_align_t) - 1)) == 0) {
            bytes_ = std::span<std::byte>(data, size);
            return true;
        }
    }
    TV_ASSIGN(object_, allocate_array(constructor_.get(), type, count));
    TV_TRY(view_items(count));
    return true;
}

Status NativeResult::view_items(std::size_t count) {
    TV_TRY(view_.acquire(object_.get(), facts(type_).native));
    TV_ASSIGN(bytes_, view_.write_bytes());
    if (view_.element_count() != count)
        return Error::raise(PyExc_TypeError, "the new result array does not have the requested length");
    return {};
}

Result<Ref> NativeResult::finish() {
    if (!view_.held()) return call_array(constructor_.get(), type_, object_.get());
    view_.release();
    return std::move(object_);
}

}  // namespace telvaran
