// Result construction for array.array, numpy and pyarrow outputs.
#include "result.hpp"

#include "core/pyapi.hpp"

#include <string>

namespace telvaran {
namespace {

using py::names;

Result<Ref> typecode_str(ElementType type) {
    char code[2] = {typecode(type), '\0'};
    return made(PyUnicode_FromString(code));
}

// numpy.array(source, dtype=numpy.dtype(name)): the values are converted
// by numpy once, to the element type's dtype, and an unrepresentable value
// raises instead of being wrapped.
Result<Ref> numpy_array_of(PyObject* source, ElementType type) {
    TV_ASSIGN(Ref numpy, py::required_module(names.numpy));
    TV_ASSIGN(Ref array, py::module_attr(numpy.get(), names.array));
    TV_ASSIGN(Ref dtype_type, py::module_attr(numpy.get(), names.dtype));
    TV_ASSIGN(Ref name, made(PyUnicode_FromString(info(type).numpy_dtype)));
    TV_ASSIGN(Ref dtype, py::call(dtype_type.get(), name.get()));
    TV_ASSIGN(Ref kwnames, made(PyTuple_Pack(1, names.dtype)));
    PyObject* args[] = {source, dtype.get()};
    return checked(PyObject_Vectorcall(array.get(), args, 1, kwnames.get()));
}

Result<Ref> array_array_of(PyObject* list, ElementType type) {
    TV_ASSIGN(Ref module, py::required_module(names.array));
    TV_ASSIGN(Ref constructor, py::module_attr(module.get(), names.array));
    TV_ASSIGN(Ref code, typecode_str(type));
    return py::call(constructor.get(), code.get(), list);
}

Result<Ref> pyarrow_array_of(PyObject* list) {
    TV_ASSIGN(Ref pyarrow, py::required_module(names.pyarrow));
    TV_ASSIGN(Ref constructor, py::module_attr(pyarrow.get(), names.array));
    return py::call(constructor.get(), list);
}

// A memoryview of `bytes` typed with the element's typecode. It is released
// by its owner before `bytes` can go away, so no Python object can keep
// reading the native memory.
class NativeMemoryView {
public:
    static Result<NativeMemoryView> make(std::span<const std::byte> bytes, ElementType type) {
        auto* data = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
        static char empty = 0;
        if (!data) data = &empty;
        TV_ASSIGN(Ref raw, checked(PyMemoryView_FromMemory(data, static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ)));
        TV_ASSIGN(Ref code, typecode_str(type));
        NativeMemoryView view(std::move(raw));
        TV_ASSIGN(view.typed_, py::call_method(view.raw_.get(), names.cast, code.get()));
        return view;
    }
    NativeMemoryView(NativeMemoryView&&) = default;
    ~NativeMemoryView() {
        // Keeps any pending exception: releasing must not hide it.
        PyObject* pending = PyErr_GetRaisedException();
        for (Ref* view : {&typed_, &raw_}) {
            if (*view) {
                Ref done = Ref::steal(PyObject_CallMethodObjArgs(view->get(), names.release, nullptr));
                if (!done) PyErr_Clear();
            }
        }
        PyErr_SetRaisedException(pending);
    }
    PyObject* typed() const { return typed_.get(); }
    PyObject* raw() const { return raw_.get(); }  // format 'B', as array.frombytes requires

private:
    explicit NativeMemoryView(Ref raw) : raw_(std::move(raw)) {}
    Ref raw_;
    Ref typed_;
};

}  // namespace

Result<Ref> result_from_list(ElementType type, InputKind kind, PyObject* list) {
    switch (output_kind(kind)) {
        case InputKind::NdArray: return numpy_array_of(list, type);
        case InputKind::Arrow: return pyarrow_array_of(list);
        default: return array_array_of(list, type);
    }
}

Result<Ref> empty_result(ElementType type, InputKind kind) {
    TV_ASSIGN(Ref list, made(PyList_New(0)));
    return result_from_list(type, kind, list.get());
}

namespace detail {

Result<Ref> result_from_native_bytes(ElementType type, InputKind kind, std::span<const std::byte> bytes) {
    TV_ASSIGN(NativeMemoryView view, NativeMemoryView::make(bytes, type));
    if (kind == InputKind::NdArray) return numpy_array_of(view.typed(), type);
    TV_ASSIGN(Ref module, py::required_module(names.array));
    TV_ASSIGN(Ref constructor, py::module_attr(module.get(), names.array));
    TV_ASSIGN(Ref code, typecode_str(type));
    TV_ASSIGN(Ref result, py::call(constructor.get(), code.get()));
    TV_ASSIGN(Ref ignored, py::call_method(result.get(), names.frombytes, view.raw()));
    return result;
}

}  // namespace detail
}  // namespace telvaran
