// Error values. Inside the module a failure is an Error carried back to the
// call frame, which alone turns it into a raised Python exception. An Error is
// one of three things:
//   - a Python exception that some interpreter call raised, taken out of the
//     interpreter's error indicator and owned here;
//   - an exception of this module's own, a built-in exception type with a
//     fixed message, not yet instantiated;
//   - an internal failure (a broken invariant), raised as PanicException.
#pragma once

#include "ref.hpp"

#include <memory>
#include <string>
#include <utility>

namespace telvaran {

class Error {
public:
    enum class Kind : unsigned char { Python, Raise, Panic };

    // Takes the interpreter's pending exception. An interpreter call that
    // failed without setting one becomes SystemError; a PanicException raised
    // by Python code we called becomes an internal failure of our own.
    // Failures are the rare path: these are kept out of line and out of the
    // way of the code that calls them.
    [[gnu::cold]] static Error fetch();
    // A built-in exception type (PyExc_TypeError, ...) with a message.
    [[gnu::cold]] static Error raise(PyObject* type, std::string message);
    [[gnu::cold]] static Error raise(PyObject* type, const char* message);
    [[gnu::cold]] static Error panic(std::string message);
    // A constructor that should not fail (a number, string, list) returned
    // null: the pending error is printed, then the call fails internally.
    [[gnu::cold]] static Error api_failed();

    Kind kind() const noexcept { return data_->kind; }
    // True when this error is exactly (not a subclass of) the given type.
    bool is_exactly(PyObject* type) const noexcept;
    // Sets this error as the interpreter's pending exception.
    void restore() &&;

    // For argument conversions: a TypeError becomes TypeError
    // "argument '{name}': {text}" carrying the original's __cause__.
    Error with_argument_prefix(const char* name) &&;

private:
    // Failures are rare: the details live on the heap so that an Error, and
    // every Result that might hold one, stays one pointer wide.
    struct Data {
        Kind kind;
        Ref exception;        // Kind::Python
        PyObject* type;       // Kind::Raise: a borrowed, immortal built-in type
        std::string message;  // Kind::Raise and Kind::Panic
    };
    Error(Kind kind, Ref exception, PyObject* type, std::string message)
        : data_(new Data{kind, std::move(exception), type, std::move(message)}) {}

    std::unique_ptr<Data> data_;
};

// The PanicException type, created on first need and kept for the process.
PyObject* panic_exception_type();
// The type if it has been created already, else null.
PyObject* panic_exception_type_if_created() noexcept;

}  // namespace telvaran
