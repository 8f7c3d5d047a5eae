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

// builtins.memoryview(obj)[slice(start, end, None)]. When builtins'
// memoryview and slice are the built-in types, the view and the window are
// made by the interpreter's own calls, which is what calling them and
// __getitem__ on an exact memoryview do, without the method look-up.
Result<Ref> memoryview_window(PyObject* obj, std::uint64_t start, std::uint64_t end) {
    TV_ASSIGN(Ref builtins, py::required_module(py::names.builtins));
    TV_ASSIGN(Ref memoryview, py::getattr(builtins.get(), py::names.memoryview));
    const bool builtin_view = memoryview.get() == reinterpret_cast<PyObject*>(&PyMemoryView_Type);
    TV_ASSIGN(Ref whole, builtin_view ? checked(PyMemoryView_FromObject(obj)) : py::call(memoryview.get(), obj));
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

}  // namespace

namespace ops {

Result<Ref> slice(const Call& call) {
    const Args& args = call.args;
    PyObject* obj = args.object(0);
    TV_ASSIGN(InputKind kind, detect_input_kind(obj));
    TV_TRY(validate_input(obj, kind, call.row.access));
    TV_ASSIGN(Py_ssize_t python_length, py::length(obj));
    const auto length = static_cast<std::uint64_t>(python_length);
    const std::uint64_t start = args.index(1).value_or(0);
    const std::uint64_t end = args.index(2).value_or(length);
    if (start > length || end > length || start > end) return invalid_indices(start, end, length);
    return memoryview_window(obj, start, end);
}

}  // namespace ops
}  // namespace telvaran
