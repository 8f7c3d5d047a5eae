// One row of the module's table: everything about one callable that the
// module states once. Registration, docstrings, argument binding and the
// input prologue all read the row; the implementation is one function.
#pragma once

#include "buffer/input.hpp"
#include "frame/signature.hpp"

#include <string>

namespace telvaran {

struct Row;

// One call of a row's implementation.
struct Call {
    const Row& row;
    const Args& args;
    PyObject* self;  // the module, the instance, or the type being constructed
};

using Impl = Result<Ref> (*)(const Call&);

enum class RowKind : unsigned char {
    Function,      // a module function
    Class,         // a class: the row's implementation constructs an instance
    Method,        // a method with parameters (vectorcall)
    NoArgsMethod,  // a method without parameters
};

// What an operation does with an input whose Python length is 0, decided
// before any memory is touched.
enum class OnEmpty : unsigned char {
    Proceed,     // no rule of its own: the operation goes on
    Zero,        // 0 or 0.0, the type of the result (after the item size query of 'l'/'L')
    None,        // nothing to do: None
    EmptyArray,  // an empty array of the input's kind and element type
    Refuse,      // ValueError with the row's message
    Initial,     // the `initial` argument if one was given, else refuse
};

// Borrowed type object of a class, created on first use and kept.
using TypeObject = Result<PyObject*> (*)();

struct Row {
    RowKind kind;
    Signature signature;  // name, owner, parameters and their conversions
    const char* text;     // the docstring's text, after the signature
    Impl impl;
    Access access = Access::Read;
    OnEmpty empty = OnEmpty::Proceed;
    const char* empty_message = nullptr;  // the ValueError of Refuse and Initial
    TypeObject type = nullptr;             // classes only

    // The registered name; a class's signature is that of its constructor.
    constexpr const char* name() const { return kind == RowKind::Class ? signature.owner : signature.name; }
};

// The docstring of a row: its signature line, "--", a blank line and its
// text. The interpreter derives __text_signature__ from the first line:
// "sum(array)", "map($self, function)", "LazyArray(source)".
std::string docstring(const Row& row);

// Row makers, so that each row of the table reads as one line.
constexpr Row function(const char* name, std::initializer_list<Param> params, const char* text, Impl impl,
                       Access access = Access::Read, OnEmpty empty = OnEmpty::Proceed,
                       const char* empty_message = nullptr) {
    return Row{RowKind::Function, make_signature(name, nullptr, params), text, impl, access, empty, empty_message};
}

}  // namespace telvaran
