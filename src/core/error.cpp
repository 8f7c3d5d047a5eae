// Error values and the PanicException type.
#include "error.hpp"

namespace telvaran {
namespace {

PyObject* g_panic_type = nullptr;

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails internally.\n\n"
    "It derives from BaseException, like SystemExit, so that it is not caught\n"
    "by handlers for Exception and normally propagates all the way up and\n"
    "ends the interpreter.";

// The text of an exception object, or a fallback when str() itself fails.
std::string text_of(PyObject* exc, const char* fallback) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
            return std::string(utf8, static_cast<size_t>(size));
    }
    PyErr_Clear();
    return fallback;
}

}  // namespace

PyObject* panic_exception_type_if_created() noexcept { return g_panic_type; }

PyObject* panic_exception_type() {
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc("telvaran_runtime.PanicException", kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

Error Error::fetch() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) {
        return raise(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    Ref exc = Ref::steal(raised);
    PyObject* panic_type = panic_exception_type_if_created();
    if (panic_type && Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
        // Python code we called panicked: report it where it happened, then
        // carry on as an internal failure of this call.
        std::string message = text_of(exc.get(), "Unwrapped panic from Python code");
        PySys_WriteStderr("telvaran: a PanicException was raised by Python code called from "
                          "native code; passing it on:\n");
        PyErr_DisplayException(exc.get());
        return panic(std::move(message));
    }
    return Error(Kind::Python, std::move(exc), nullptr, {});
}

Error Error::raise(PyObject* type, std::string message) {
    return Error(Kind::Raise, Ref(), type, std::move(message));
}

Error Error::raise(PyObject* type, const char* message) { return raise(type, std::string(message)); }

Error Error::panic(std::string message) {
    if (message.empty()) message = "native code failed with an internal error";
    return Error(Kind::Panic, Ref(), nullptr, std::move(message));
}

Error Error::api_failed() {
    if (Ref pending = Ref::steal(PyErr_GetRaisedException())) PyErr_DisplayException(pending.get());
    return panic("Python API call failed");
}

bool Error::is_exactly(PyObject* type) const noexcept {
    switch (data_->kind) {
        case Kind::Python:
            return reinterpret_cast<PyObject*>(Py_TYPE(data_->exception.get())) == type;
        case Kind::Raise:
            return data_->type == type;
        case Kind::Panic:
            return false;
    }
    return false;
}

namespace {
// Raises `type` with the whole message, NUL bytes included.
void set_message(PyObject* type, const std::string& message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // the decoding failure is the pending exception
    PyErr_SetObject(type, text.get());
}
}  // namespace

void Error::restore() && {
    Data& d = *data_;
    switch (d.kind) {
        case Kind::Python:
            PyErr_SetRaisedException(d.exception.release());
            return;
        case Kind::Raise:
            set_message(d.type, d.message);
            return;
        case Kind::Panic:
            if (PyObject* type = panic_exception_type()) {
                set_message(type, d.message);
            } else {
                PyErr_Clear();
                set_message(PyExc_SystemError, "Failed to initialize new exception type. " + d.message);
            }
            return;
    }
}

Error Error::with_argument_prefix(const char* name) && {
    if (!is_exactly(PyExc_TypeError)) return std::move(*this);
    std::string prefix = std::string("argument '") + name + "': ";
    if (data_->kind == Kind::Raise) return raise(PyExc_TypeError, prefix + data_->message);
    Ref cause = Ref::steal(PyException_GetCause(data_->exception.get()));
    std::string text = prefix + text_of(data_->exception.get(), "");
    // The whole text, NUL bytes included.
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return fetch();
    PyObject* args[] = {message.get()};
    Ref wrapped = Ref::steal(PyObject_Vectorcall(PyExc_TypeError, args, 1, nullptr));
    if (!wrapped) return fetch();
    if (cause) PyException_SetCause(wrapped.get(), cause.release());
    return Error(Kind::Python, std::move(wrapped), nullptr, {});
}

}  // namespace telvaran
