// The call frame: every function and method of the module is entered here.
//
// A callable states its parameters once, in a Signature (names, which are
// keyword-only, and how each is converted). The frame binds the vectorcall
// arguments to those parameters with the interpreter's own messages, converts
// the scalar ones before the operation looks at any array, runs the
// operation, and turns its Result into a new reference or a raised exception.
// No C++ exception gets past it.
#pragma once

#include "core/call_scope.hpp"
#include "core/result.hpp"

#include <array>
#include <initializer_list>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace telvaran {

enum class Conversion : unsigned char {
    Object,          // any object, borrowed unchanged
    OptionalObject,  // absent or None: not given
    Double,          // the interpreter's float conversion
    OptionalIndex,   // None, or an int converted to an unsigned 64-bit value
};

struct Param {
    const char* name;
    Conversion conversion = Conversion::Object;
};

inline constexpr int kMaxParams = 4;

struct Signature {
    const char* call_name;  // "sum()", "LazyArray.map()"
    std::array<Param, kMaxParams> params{};  // positional parameters, then keyword-only ones
    int positional = 0;
    int keyword_only = 0;
    bool all_objects = true;  // no parameter needs a conversion or is keyword-only
};

// The bound and converted arguments of one call.
class Args {
public:
    PyObject* object(int k) const { return objects_[k]; }  // borrowed; null when not given
    double real(int k) const { return reals_[k]; }
    std::optional<std::uint64_t> index(int k) const {
        if (!objects_[k]) return std::nullopt;
        return indices_[k];
    }

private:
    friend class Binder;
    std::array<PyObject*, kMaxParams> objects_{};
    // Set by the conversions of the parameters that have them, read only then.
    std::array<double, kMaxParams> reals_;
    std::array<std::uint64_t, kMaxParams> indices_;
};

class Binder {
public:
    // The common call: exactly the positional arguments, no keywords and
    // nothing to convert. False when the general binding must decide.
    static bool bind_plain(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           Args& out) {
        if (kwnames || nargs != sig.positional || !sig.all_objects) return false;
        for (Py_ssize_t k = 0; k < nargs; ++k) out.objects_[k] = args[k];
        return true;
    }
    // Vectorcall arguments: positional ones in `args`, keyword values after
    // them, named by `kwnames`.
    static Status bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       Args& out);
    // Constructor arguments: a tuple and an optional dict.
    static Status bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

private:
    static Status place_keyword(const Signature& sig, PyObject* name, PyObject* value, Args& out);
    static Status finish(const Signature& sig, Args& out);
};

namespace frame {
// Sets the error as the pending exception; returns null for the interpreter.
PyObject* fail(Error&& error) noexcept;
// Turns a C++ exception caught at the boundary into a pending exception.
PyObject* fail_from_exception() noexcept;

template <auto Impl>
Result<Ref> invoke(PyObject* self, const Args& args) {
    if constexpr (std::is_invocable_v<decltype(Impl), PyObject*, const Args&>) {
        return Impl(self, args);
    } else {
        return Impl(args);
    }
}

template <class R>
PyObject* finish(R&& result) noexcept {
    if (!result) return fail(std::move(result).error());
    return (*result).release();
}
}  // namespace frame

// The METH_FASTCALL | METH_KEYWORDS entry of a callable. Impl takes
// (const Args&) or (PyObject* self, const Args&) and returns Result<Ref>.
template <const Signature& Sig, auto Impl>
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    CallScope scope;
    try {
        Args bound;
        if (!Binder::bind_plain(Sig, args, nargs, kwnames, bound)) {
            if (auto status = Binder::bind(Sig, args, nargs, kwnames, bound); !status)
                return frame::fail(std::move(status).error());
        }
        return frame::finish(frame::invoke<Impl>(self, bound));
    } catch (...) {
        return frame::fail_from_exception();
    }
}

// The tp_new entry of a class: Impl takes (PyTypeObject*, const Args&).
template <const Signature& Sig, auto Impl>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    CallScope scope;
    try {
        Args bound;
        if (auto status = Binder::bind(Sig, args, kwargs, bound); !status)
            return frame::fail(std::move(status).error());
        return frame::finish(Impl(type, bound));
    } catch (...) {
        return frame::fail_from_exception();
    }
}

// The slot entry for a method without arguments or an iteration slot:
// Impl takes (PyObject* self).
template <auto Impl>
PyObject* unary_entry(PyObject* self) noexcept {
    CallScope scope;
    try {
        return frame::finish(Impl(self));
    } catch (...) {
        return frame::fail_from_exception();
    }
}

}  // namespace telvaran

namespace telvaran {
// A Signature from its positional and keyword-only parameters.
constexpr Signature make_signature(const char* call_name, std::initializer_list<Param> positional,
                                   std::initializer_list<Param> keyword_only = {}) {
    Signature sig{call_name};
    int k = 0;
    for (const Param& p : positional) sig.params[k++] = p;
    for (const Param& p : keyword_only) sig.params[k++] = p;
    sig.positional = static_cast<int>(positional.size());
    sig.keyword_only = static_cast<int>(keyword_only.size());
    sig.all_objects = keyword_only.size() == 0;
    for (const Param& p : positional) sig.all_objects = sig.all_objects && p.conversion == Conversion::Object;
    return sig;
}
}  // namespace telvaran
