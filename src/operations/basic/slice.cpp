// slice: a zero-copy memoryview window onto a contiguous range of an array.
//
// No element is read here, so the element type is never resolved: any input
// that is recognised and readable can be windowed, and the memoryview made
// from it decides what the window looks like.
#include "buffer/input.hpp"
#include "core/pyapi.hpp"
#include "operations/table.hpp"

#include <cstdint>
#include <string>

namespace telvaran {
namespace {

Error invalid_indices(std::uint64_t start, std::uint64_t end, std::uint64_t length) {
    return Error::raise(PyExc_ValueError, "Invalid slice indices: start=" + std::to_string(start) +
                                              ", end=" + std::to_string(end) +
                                              ", length=" + std::to_string(length));
}

// Whether builtins' memoryview and slice are the built-in types, told from
// the module's dict alone (so that asking runs no Python code).
Result<bool> builtin_window_makers() {
    TV_ASSIGN(Ref builtins, py::optional_module(py::names.builtins));
    if (!builtins) return false;
    return py::module_dict_entry(builtins.get(), py::names.memoryview).get() ==
               reinterpret_cast<PyObject*>(&PyMemoryView_Type) &&
           py::module_dict_entry(builtins.get(), py::names.slice).get() == reinterpret_cast<PyObject*>(&PySlice_Type);
}

// memoryview(obj)[slice(start, end, None)], `whole` being memoryview(obj)
// when it was made already.
Result<Ref> memoryview_window(PyObject* obj, Ref whole, std::uint64_t start, std::uint64_t end) {
    if (whole) {  // made early, so both types are the built-in ones and nothing has run since
        TV_ASSIGN(Ref first, made(PyLong_FromUnsignedLongLong(start)));
        TV_ASSIGN(Ref last, made(PyLong_FromUnsignedLongLong(end)));
        TV_ASSIGN(Ref window, checked(PySlice_New(first.get(), last.get(), Py_None)));
        return checked(PyObject_GetItem(whole.get(), window.get()));
    }
    TV_ASSIGN(Ref builtins, py::required_module(py::names.builtins));
    TV_ASSIGN(Ref memoryview, py::getattr(builtins.get(), py::names.memoryview));
    const bool builtin_view = memoryview.get() == reinterpret_cast<PyObject*>(&PyMemoryView_Type);
    TV_ASSIGN(whole, builtin_view ? checked(PyMemoryView_FromObject(obj)) : py::call(memoryview.get(), obj));
    TV_ASSIGN(Ref slice_type, py::getattr(builtins.get(), py::names.slice));
    TV_ASSIGN(Ref first, made(PyLong_FromUnsignedLongLong(start)));
    TV_ASSIGN(Ref last, made(PyLong_FromUnsignedLongLong(end)));
    if (builtin_view && slice_type.get() == reinterpret_cast<PyObject*>(&PySlice_Type)) {
        TV_ASSIGN(Ref window, checked(PySlice_New(first.get(), last.get(), Py_None)));
        return checked(PyObject_GetItem(whole.get(), window.get()));
    }
    PyObject* bounds[] = {first.get(), last.get(), Py_None};
    TV_ASSIGN(Ref window, py::call(slice_type.get(), bounds, 3));
    return py::call_method(whole.get(), py::names.__getitem__, window.get());
}

// For an exact numpy array, when builtins' memoryview and slice are the
// built-in types: the memoryview the window is cut from, made before
// validation, since nothing that validation or the length run can tell the
// difference; and whether its buffer settles validation (one dimension,
// contiguous), which then need not read ndim and flags. A memoryview that
// cannot be made gives nothing, and the error comes in its usual place.
struct EarlyView {
    Ref whole;
    bool validated = false;
};

EarlyView early_view(PyObject* obj) {
    EarlyView early;
    early.whole = Ref::steal(PyMemoryView_FromObject(obj));
    if (!early.whole) {
        PyErr_Clear();
        return early;
    }
    Py_buffer b;
    if (PyObject_GetBuffer(early.whole.get(), &b, PyBUF_STRIDES) < 0) {
        PyErr_Clear();
        return early;
    }
    early.validated = b.ndim == 1 && (b.shape[0] <= 1 || b.strides[0] == b.itemsize);
    PyBuffer_Release(&b);
    return early;
}

}  // namespace

namespace ops {

Result<Ref> slice(const Call& call) {
    const Args& args = call.args;
    PyObject* obj = args.object(0);
    TV_ASSIGN(Detection found, detect_input(obj));
    EarlyView early;
    if (found.exact && found.kind == InputKind::NdArray) {
        TV_ASSIGN(bool builtin, builtin_window_makers());
        if (builtin) early = early_view(obj);
    }
    if (!early.validated) TV_TRY(validate_detected(obj, found, call.row.access));
    TV_ASSIGN(Py_ssize_t python_length, input_length(obj, found.kind));
    const auto length = static_cast<std::uint64_t>(python_length);
    const std::uint64_t start = args.index(1).value_or(0);
    const std::uint64_t end = args.index(2).value_or(length);
    if (start > length || end > length || start > end) return invalid_indices(start, end, length);
    return memoryview_window(obj, std::move(early.whole), start, end);
}

}  // namespace ops
}  // namespace telvaran
