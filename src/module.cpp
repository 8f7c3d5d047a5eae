// The extension module: its entry point PyInit__telvaran, and the
// registration of every row of the table (operations/table.hpp).
#include "core/pyapi.hpp"
#include "frame/entries.hpp"
#include "kernels/kernels.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

namespace telvaran {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_telvaran",
    "A Python module implemented in C++: fast numeric operations over arrays of machine numbers.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // set once, never cleared

// The method definitions of every row, by row index; only the function rows
// are used. Definitions and docstrings live as long as the process, as the
// function objects made from them require.
template <std::size_t... I>
PyMethodDef* function_defs(std::index_sequence<I...>) {
    static const std::string docs[] = {docstring(table::kRows[I])...};
    static PyMethodDef defs[] = {frame::method_def<I>(docs[I].c_str())...};
    return defs;
}

// The module's __all__ list, created empty when missing.
Result<Ref> all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttr(module, py::names.__all__));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
        PyErr_Clear();
        TV_ASSIGN(all, made(PyList_New(0)));
        TV_TRY(checked_status(PyObject_SetAttr(module, py::names.__all__, all.get())));
    }
    if (!PyList_Check(all.get())) return py::cannot_convert(all.get(), "PyList");
    return all;
}

Status add_name(PyObject* module, PyObject* name, PyObject* value) {
    TV_ASSIGN(Ref all, all_list(module));
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        return Error::panic("could not append __name__ to __all__");
    }
    return checked_status(PyObject_SetAttr(module, name, value));
}

Status register_function(PyObject* module, PyMethodDef* def) {
    TV_ASSIGN(Ref module_name, checked(PyModule_GetNameObject(module)));
    TV_ASSIGN(Ref function, checked(PyCFunction_NewEx(def, module, module_name.get())));
    TV_ASSIGN(Ref name, py::getattr(function.get(), py::names.__name__));
    if (!PyUnicode_Check(name.get())) return py::cannot_convert(name.get(), "PyString");
    return add_name(module, name.get(), function.get());
}

Status register_class(PyObject* module, const Row& row) {
    TV_ASSIGN(PyObject * type, row.type());
    TV_ASSIGN(Ref name, made(PyUnicode_FromString(row.name())));
    return add_name(module, name.get(), type);
}

// Functions and classes, in table order; methods belong to their classes.
Status register_all(PyObject* module) {
    PyMethodDef* defs = function_defs(std::make_index_sequence<table::kRowCount>{});
    for (std::size_t k = 0; k < table::kRowCount; ++k) {
        const Row& row = table::kRows[k];
        if (row.kind == RowKind::Function) TV_TRY(register_function(module, &defs[k]));
        else if (row.kind == RowKind::Class) TV_TRY(register_class(module, row));
    }
    return {};
}

// Claims the process for the first interpreter that imports the module.
Status claim_interpreter() {
    PyInterpreterState* state = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(state);
    if (id == -1) return Error::fetch();
    std::int64_t expected = -1;
    if (g_interpreter_id.compare_exchange_strong(expected, id) || expected == id) return {};
    return Error::raise(PyExc_ImportError,
                        "telvaran does not support sub-interpreters: it can be imported only in the "
                        "interpreter that imported it first");
}

Result<Ref> initialise() {
    TV_TRY(claim_interpreter());
    if (g_module) return Ref::borrow(g_module);
    kernels::choose();
    TV_TRY(py::init_names());
    TV_ASSIGN(Ref module, checked(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION)));
    TV_TRY(register_all(module.get()));
    g_module = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace telvaran

PyMODINIT_FUNC PyInit__telvaran() { return telvaran::frame::guard(telvaran::initialise); }
