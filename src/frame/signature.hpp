// The parameters of a callable and the arguments bound to them.
//
// A callable states its parameters once, in a Signature: names, which are
// keyword-only, and how each is converted. The Binder binds the interpreter's
// arguments to those parameters with the interpreter's own messages and
// converts the scalar ones, before the operation looks at any array.
#pragma once

#include "core/result.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace telvaran {

enum class Conversion : unsigned char {
    Object,          // any object, borrowed unchanged
    OptionalObject,  // absent or None: not given; shown as "=None"
    Double,          // the interpreter's float conversion
    OptionalIndex,   // None, or an int converted to an unsigned 64-bit value
};

struct Param {
    const char* name;
    Conversion conversion = Conversion::Object;
};

inline constexpr int kMaxParams = 4;

struct Signature {
    const char* name;             // "sum", "map", "ArrayIterator"
    const char* owner = nullptr;  // the class of a method or constructor
    std::array<Param, kMaxParams> params{};  // positional parameters, then keyword-only ones
    int positional = 0;
    int keyword_only = 0;
    bool all_objects = true;  // no parameter needs a conversion or is keyword-only

    // The name messages use: "sum()", "LazyArray.map()".
    std::string call_name() const;
    // The parameter list as a docstring shows it: "array, fn, *, initial=None".
    std::string parameter_text() const;
};

constexpr Signature make_signature(const char* name, const char* owner, std::initializer_list<Param> positional,
                                   std::initializer_list<Param> keyword_only = {}) {
    Signature sig{name, owner};
    int k = 0;
    for (const Param& p : positional) sig.params[k++] = p;
    for (const Param& p : keyword_only) sig.params[k++] = p;
    sig.positional = static_cast<int>(positional.size());
    sig.keyword_only = static_cast<int>(keyword_only.size());
    sig.all_objects = keyword_only.size() == 0;
    for (const Param& p : positional) sig.all_objects = sig.all_objects && p.conversion == Conversion::Object;
    return sig;
}

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

}  // namespace telvaran
