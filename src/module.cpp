// The extension module: its entry point PyInit__telvaran and the
// registration table of every function and class it offers.
#include "classes.hpp"
#include "core/call_scope.hpp"
#include "core/pyapi.hpp"
#include "frame.hpp"
#include "operations/operations.hpp"

#include <atomic>
#include <cstdint>
#include <string>

namespace telvaran {
namespace {

constexpr Param kArray{"array"};
constexpr Param kReal(const char* name) { return Param{name, Conversion::Double}; }
constexpr Param kIndex(const char* name) { return Param{name, Conversion::OptionalIndex}; }

#define TV_ONE_ARRAY(name) constexpr Signature k_##name = make_signature(#name "()", {kArray});
TV_ONE_ARRAY(sum) TV_ONE_ARRAY(mean) TV_ONE_ARRAY(min) TV_ONE_ARRAY(max) TV_ONE_ARRAY(var)
TV_ONE_ARRAY(std) TV_ONE_ARRAY(median) TV_ONE_ARRAY(normalize) TV_ONE_ARRAY(reverse) TV_ONE_ARRAY(sort)
TV_ONE_ARRAY(unique) TV_ONE_ARRAY(array_iterator) TV_ONE_ARRAY(lazy_array)
#undef TV_ONE_ARRAY
constexpr Signature k_scale = make_signature("scale()", {kArray, kReal("factor")});
constexpr Signature k_clip = make_signature("clip()", {kArray, kReal("min_val"), kReal("max_val")});
constexpr Signature k_slice = make_signature("slice()", {kArray, kIndex("start"), kIndex("end")});
constexpr Signature k_add = make_signature("add()", {{"arr1"}, {"arr2"}});
constexpr Signature k_multiply = make_signature("multiply()", {{"arr1"}, {"arr2"}});
constexpr Signature k_map = make_signature("map()", {kArray, {"fn"}});
constexpr Signature k_map_inplace = make_signature("map_inplace()", {kArray, {"fn"}});
constexpr Signature k_filter = make_signature("filter()", {kArray, {"predicate"}});
constexpr Signature k_reduce =
    make_signature("reduce()", {kArray, {"fn"}}, {Param{"initial", Conversion::OptionalObject}});

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

#define TV_FUNCTION(name, signature, text)                                                     \
    PyMethodDef {                                                                              \
        #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorcall_entry<k_##name, ops::name>)), kFlags,  \
            signature "\n--\n\n" text                                                          \
    }

#define TV_ON_ARRAYS(what) what " for array.array, numpy.ndarray, or memoryview"

PyMethodDef kFunctions[] = {
    TV_FUNCTION(sum, "sum(array)", TV_ON_ARRAYS("Sum operation")),
    TV_FUNCTION(scale, "scale(array, factor)", TV_ON_ARRAYS("Scale operation (in-place)")),
    TV_FUNCTION(mean, "mean(array)", TV_ON_ARRAYS("Mean operation")),
    TV_FUNCTION(min, "min(array)", TV_ON_ARRAYS("Min operation")),
    TV_FUNCTION(max, "max(array)", TV_ON_ARRAYS("Max operation")),
    TV_FUNCTION(map, "map(array, fn)", TV_ON_ARRAYS("Map operation")),
    TV_FUNCTION(map_inplace, "map_inplace(array, fn)", TV_ON_ARRAYS("Map in-place operation")),
    TV_FUNCTION(filter, "filter(array, predicate)", TV_ON_ARRAYS("Filter operation")),
    TV_FUNCTION(reduce, "reduce(array, fn, *, initial=None)", TV_ON_ARRAYS("Reduce operation")),
    TV_FUNCTION(var, "var(array)", TV_ON_ARRAYS("Variance operation")),
    TV_FUNCTION(std, "std(array)", TV_ON_ARRAYS("Standard deviation operation")),
    TV_FUNCTION(median, "median(array)", TV_ON_ARRAYS("Median operation")),
    TV_FUNCTION(add, "add(arr1, arr2)", ""),
    TV_FUNCTION(multiply, "multiply(arr1, arr2)", ""),
    TV_FUNCTION(clip, "clip(array, min_val, max_val)", TV_ON_ARRAYS("Clip operation (in-place)")),
    TV_FUNCTION(normalize, "normalize(array)", TV_ON_ARRAYS("Normalize operation (in-place)")),
    TV_FUNCTION(reverse, "reverse(array)", TV_ON_ARRAYS("Reverse operation (in-place)")),
    TV_FUNCTION(sort, "sort(array)", TV_ON_ARRAYS("Sort operation (in-place)")),
    TV_FUNCTION(unique, "unique(array)", TV_ON_ARRAYS("Unique operation")),
    TV_FUNCTION(slice, "slice(array, start, end)",
                "Slice operation - returns a zero-copy memoryview of a portion of the array"),
    TV_FUNCTION(array_iterator, "array_iterator(array)", "Helper function to create an ArrayIterator"),
    TV_FUNCTION(lazy_array, "lazy_array(array)", "Helper function to create a LazyArray wrapper"),
};

#undef TV_ON_ARRAYS
#undef TV_FUNCTION

// One row of the registration table: a function (index into kFunctions) or
// a class.
struct Registration {
    const char* name;
    int function;                         // -1 for a class
    Result<PyObject*> (*type)() = nullptr;  // for a class
};

constexpr int kClass = -1;

const Registration kRegistrations[] = {
    {"sum", 0},           {"scale", 1},
    {"mean", 2},          {"min", 3},
    {"max", 4},           {"map", 5},
    {"map_inplace", 6},   {"filter", 7},
    {"reduce", 8},        {"var", 9},
    {"std", 10},          {"median", 11},
    {"add", 12},          {"multiply", 13},
    {"clip", 14},         {"normalize", 15},
    {"reverse", 16},      {"sort", 17},
    {"unique", 18},       {"slice", 19},
    {"ArrayIterator", kClass, array_iterator_type},
    {"array_iterator", 20},
    {"LazyArray", kClass, lazy_array_type},
    {"lazy_array", 21},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_telvaran",
    "A Python module implemented in C++: fast numeric operations over arrays of machine numbers.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // set once, never cleared

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

Status register_class(PyObject* module, const Registration& row) {
    TV_ASSIGN(PyObject* type, row.type());
    TV_ASSIGN(Ref name, made(PyUnicode_FromString(row.name)));
    return add_name(module, name.get(), type);
}

Status register_all(PyObject* module) {
    for (const Registration& row : kRegistrations) {
        if (row.function == kClass) TV_TRY(register_class(module, row));
        else TV_TRY(register_function(module, &kFunctions[row.function]));
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
    TV_TRY(py::init_names());
    TV_ASSIGN(Ref module, checked(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION)));
    TV_TRY(register_all(module.get()));
    g_module = Ref::borrow(module.get()).release();
    return module;
}

}  // namespace
}  // namespace telvaran

PyMODINIT_FUNC PyInit__telvaran() {
    telvaran::CallScope scope;
    try {
        return telvaran::frame::finish(telvaran::initialise());
    } catch (...) {
        return telvaran::frame::fail_from_exception();
    }
}
