// The one boundary between the module and the interpreter.
//
// Every entry from the interpreter (functions, methods, constructors, type
// slots and the module initialiser) runs its body through `guard`, which
// marks the thread as inside a call, turns the body's Result into a new
// reference or a raised exception, and catches any C++ exception so that
// none reaches the interpreter.
#pragma once

#include "core/call_scope.hpp"
#include "core/result.hpp"

#include <utility>

namespace telvaran::frame {

// Sets the error as the pending exception; returns null for the interpreter.
PyObject* fail(Error&& error) noexcept;
// Turns the C++ exception being handled into a pending exception.
PyObject* fail_from_exception() noexcept;

// body() returns a Result<Ref>. An empty Ref on success comes back as null
// with no exception set, which ends an iteration.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    CallScope scope;
    try {
        Result<Ref> result = std::forward<Body>(body)();
        if (!result) return fail(std::move(result).error());
        return (*result).release();
    } catch (...) {
        return fail_from_exception();
    }
}

}  // namespace telvaran::frame
