// Recognising an Arrow producer by its type.
#include "buffer/producer.hpp"

#include "core/pyapi.hpp"

namespace telvaran::producer {

Result<bool> exports_arrow(PyObject* obj) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    for (PyObject* name : {py::names.__arrow_c_array__, py::names.__arrow_c_stream__}) {
        PyObject* method = nullptr;
        if (PyObject_GetOptionalAttr(type, name, &method) < 0) return Error::fetch();
        Ref found = Ref::steal(method);
        if (found && found.get() != Py_None) return true;
    }
    return false;
}

bool has_length(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_GetSlot(type, Py_sq_length) || PyType_GetSlot(type, Py_mp_length);
}

}  // namespace telvaran::producer
