// Interpreter call wrappers returning Results.
#include "pyapi.hpp"

#include <climits>
#include <string>

namespace telvaran::py {

Names names;

namespace {
PyObject* g_modules = nullptr;  // the interpreter's table of loaded modules

Result<Ref> loaded(PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(g_modules, name, &found) < 0) return Error::fetch();
    Ref module = Ref::steal(found);
    if (module.get() == Py_None) module.reset();  // a blocked import: let the import machinery say so
    return module;
}

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (name) {
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) return text;
    }
    PyErr_Clear();
    return "?";
}

}  // namespace

Status init_names() {
    g_modules = PyImport_GetModuleDict();
    if (!g_modules) return Error::fetch();
#define TV_NAME_INIT(field, ...) TV_NAME_INIT_(field __VA_OPT__(, ) __VA_ARGS__, #field)
// NOLINTBEGIN(bugprone-assignment-in-if-condition): set once, then tested
#define TV_NAME_INIT_(field, text, ...)                                        \
    if (!names.field && !(names.field = PyUnicode_InternFromString(text)))     \
        return Error::fetch();
    TV_NAMES(TV_NAME_INIT)
#undef TV_NAME_INIT_
#undef TV_NAME_INIT
    // NOLINTEND(bugprone-assignment-in-if-condition)
    return {};
}

Result<Ref> required_module(PyObject* name) {
    TV_ASSIGN(Ref module, loaded(name));
    if (module) return module;
    return checked(PyImport_Import(name));
}

Result<Ref> optional_module(PyObject* name) { return loaded(name); }

Result<Ref> getattr(PyObject* obj, PyObject* name) { return checked(PyObject_GetAttr(obj, name)); }

Ref module_dict_entry(PyObject* module, PyObject* name) noexcept {
    if (!PyModule_CheckExact(module)) return {};
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), name, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

Result<Ref> module_attr(PyObject* module, PyObject* name) {
    if (Ref value = module_dict_entry(module, name)) return value;
    return getattr(module, name);
}

Result<Ref> module_attr_or_empty(PyObject* module, PyObject* name) {
    if (Ref value = module_dict_entry(module, name)) return value;
    return getattr_or_empty(module, name);
}

Result<Ref> getattr_or_empty(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) TV_TRY(discard_pending());
    return value;
}

Status discard(Error&& error) {
    if (error.kind() == Error::Kind::Panic) return std::move(error);
    return {};
}

Status discard_pending() { return discard(Error::fetch()); }

Result<bool> isinstance(PyObject* obj, PyObject* cls) {
    int rc = PyObject_IsInstance(obj, cls);
    if (rc < 0) return Error::fetch();
    return rc == 1;
}

Result<Ref> str(PyObject* obj) { return checked(PyObject_Str(obj)); }

Result<std::string_view> utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return Error::fetch();
    return std::string_view(data, static_cast<std::size_t>(size));
}

Result<Py_ssize_t> length(PyObject* obj) {
    Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) return Error::fetch();
    return n;
}

Result<Ref> call(PyObject* callable, PyObject* const* args, std::size_t nargs) {
    return checked(PyObject_Vectorcall(callable, args, nargs, nullptr));
}

Result<Ref> call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return checked(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Result<std::uint64_t> as_u64(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        TV_ASSIGN(index, checked(PyNumber_Index(obj)));
        obj = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    return static_cast<std::uint64_t>(value);
}

Result<std::int32_t> as_i32(PyObject* obj) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) return Error::fetch();
    if (overflow || value < INT32_MIN || value > INT32_MAX)
        return Error::raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(value);
}

Result<double> as_double(PyObject* obj) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return Error::fetch();
    return value;
}

Error cannot_convert(PyObject* obj, const char* target) {
    return Error::raise(PyExc_TypeError, "'" + type_qualname(Py_TYPE(obj)) + "' object cannot be converted to '" +
                                             target + "'");
}

namespace {
// numpy's boolean scalar type, recognised by its module and name. A type
// whose __module__ is missing or not a str is not numpy's.
Result<bool> is_numpy_bool_type(PyTypeObject* type) {
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module || !PyUnicode_Check(module.get())) {
        if (!module) TV_TRY(discard_pending());
        else PyErr_Clear();
        return false;
    }
    TV_ASSIGN(std::string_view module_text, utf8(module.get()));
    if (module_text != "numpy") return false;
    TV_ASSIGN(Ref name, checked(PyType_GetName(type)));
    TV_ASSIGN(std::string_view name_text, utf8(name.get()));
    return name_text == "bool_" || name_text == "bool";
}
}  // namespace

Result<bool> as_strict_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    TV_ASSIGN(bool numpy_bool, is_numpy_bool_type(type));
    if (!numpy_bool) return cannot_convert(obj, "PyBool");
    TV_ASSIGN(Ref method, getattr_or_empty(reinterpret_cast<PyObject*>(type), names.__bool__));
    if (!method) {
        return Error::raise(PyExc_TypeError, "object of type '" + type_qualname(type) +
                                                 "' does not define a '__bool__' conversion");
    }
    TV_ASSIGN(Ref result, call(method.get(), obj));
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    return cannot_convert(result.get(), "PyBool");
}

}  // namespace telvaran::py
