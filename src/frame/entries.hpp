// The entries through which the interpreter calls the rows of the table.
//
// Each entry is instantiated for one row, binds the arguments by the row's
// signature and runs the row's implementation through the boundary guard.
#pragma once

#include "frame/boundary.hpp"
#include "operations/table.hpp"

namespace telvaran::frame {

// METH_FASTCALL | METH_KEYWORDS: module functions and methods with parameters.
template <std::size_t I>
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> Result<Ref> {
        constexpr const Row& row = table::kRows[I];
        Args bound;
        if (!Binder::bind_plain(row.signature, args, nargs, kwnames, bound))
            TV_TRY(Binder::bind(row.signature, args, nargs, kwnames, bound));
        return row.impl(Call{row, bound, self});
    });
}

// METH_NOARGS: methods without parameters.
template <std::size_t I>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> Result<Ref> {
        constexpr const Row& row = table::kRows[I];
        Args none;
        return row.impl(Call{row, none, self});
    });
}

// tp_new: a class's constructor, with an argument tuple and keyword dict.
template <std::size_t I>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> Result<Ref> {
        constexpr const Row& row = table::kRows[I];
        Args bound;
        TV_TRY(Binder::bind(row.signature, args, kwargs, bound));
        return row.impl(Call{row, bound, reinterpret_cast<PyObject*>(type)});
    });
}

// A type slot taking only the instance (tp_iter, tp_iternext).
template <Result<Ref> (*Impl)(PyObject*)>
PyObject* slot_entry(PyObject* self) noexcept {
    return guard([&] { return Impl(self); });
}

template <class F>
PyCFunction as_method(F* entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

template <class F>
void* as_slot(F* entry) {
    return reinterpret_cast<void*>(entry);
}

// The method definition of row I.
template <std::size_t I>
PyMethodDef method_def(const char* doc) {
    constexpr const Row& row = table::kRows[I];
    if constexpr (row.kind == RowKind::NoArgsMethod)
        return {row.name(), as_method(&noargs_entry<I>), METH_NOARGS, doc};
    else
        return {row.name(), as_method(&vectorcall_entry<I>), METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace telvaran::frame
