// Telling the libraries' own types from whatever a module may hold instead.
#include "buffer/genuine.hpp"

#include "core/ref.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace telvaran::genuine {
namespace {

// A type once found to be the genuine one. Static types live as long as the
// process and cannot be changed, so the answer holds for good; a heap type
// is kept alive here, so that its address cannot come back as another type.
struct Known {
    PyTypeObject* type = nullptr;

    bool is(PyTypeObject* t) const noexcept { return t == type; }
    void remember(PyTypeObject* t) noexcept {
        if (type) return;  // the first one found stays; another is checked each time
        Py_INCREF(reinterpret_cast<PyObject*>(t));
        type = t;
    }
};

bool equals(PyObject* text, const char* expected) noexcept {
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(text, expected) == 1;
}

// A static C type whose fully qualified name is `name`. Only C code can make
// a static type, and its name is fixed there.
bool is_named_static_type(PyTypeObject* type, const char* name, Known& known) noexcept {
    if (known.is(type)) return true;
    if (!is_static_c_type(type)) return false;
    Ref qualified = Ref::steal(PyType_GetFullyQualifiedName(type));
    if (!equals(qualified.get(), name)) return false;
    known.remember(type);
    return true;
}

// array.array is a heap type in the interpreters this module serves, made by
// the array module from its own definition: immutable (no class statement
// makes one), tied to a module whose definition is named "array", and named
// "array" itself.
bool is_array_type(PyTypeObject* type) noexcept {
    static Known known;
    if (known.is(type)) return true;
    const unsigned long flags = PyType_GetFlags(type);
    if (!(flags & Py_TPFLAGS_HEAPTYPE) || !(flags & Py_TPFLAGS_IMMUTABLETYPE)) return false;
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(&PyObject_GenericGetAttr)) return false;
    PyObject* module = PyType_GetModule(type);  // borrowed
    if (!module) {
        PyErr_Clear();
        return false;
    }
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) {
        PyErr_Clear();
        return false;
    }
    if (!def->m_name || std::strcmp(def->m_name, "array") != 0) return false;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!equals(name.get(), "array")) return false;
    known.remember(type);
    return true;
}

}  // namespace

bool is_static_c_type(PyTypeObject* type) noexcept {
    return !(PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) &&
           PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(&PyObject_GenericGetAttr);
}

bool is_genuine_class(InputKind kind, PyObject* cls) noexcept {
    if (!cls || !PyType_Check(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    switch (kind) {
        case InputKind::Array: return is_array_type(type);
        case InputKind::NdArray: {
            static Known known;
            return is_named_static_type(type, "numpy.ndarray", known);
        }
        case InputKind::MemoryView: return type == &PyMemoryView_Type;
        case InputKind::Arrow:
        case InputKind::ArrowProducer: return false;
    }
    return false;
}

bool is_genuine_data_type(PyTypeObject* type) noexcept {
    static Known known;
    return is_named_static_type(type, "pyarrow.lib.DataType", known);
}

bool is_genuine_numpy_dtype(PyObject* cls) noexcept {
    static Known known;
    return cls && PyType_Check(cls) &&
           is_named_static_type(reinterpret_cast<PyTypeObject*>(cls), "numpy.dtype", known);
}

bool is_genuine_arrow_array_class(PyObject* cls) noexcept {
    static Known known;
    return cls && PyType_Check(cls) &&
           is_named_static_type(reinterpret_cast<PyTypeObject*>(cls), "pyarrow.lib.Array", known);
}

bool is_pyarrow_object(PyObject* obj, const char* name) noexcept {
    // pyarrow.lib's static types found so far; they are few.
    static PyTypeObject* known[32] = {};
    static std::size_t count = 0;
    PyTypeObject* type = Py_TYPE(obj);
    bool found = std::find(known, known + count, type) != known + count;
    if (!found) {
        if (!is_static_c_type(type)) return false;
        Ref module = Ref::steal(PyType_GetModuleName(type));
        if (!equals(module.get(), "pyarrow.lib")) return false;
        if (count < std::size(known)) known[count++] = type;
    }
    if (!name) return true;
    Ref type_name = Ref::steal(PyType_GetName(type));
    return equals(type_name.get(), name);
}

bool is_c_function(PyObject* obj) noexcept { return obj && PyCFunction_Check(obj); }

}  // namespace telvaran::genuine
