// Small wrappers over the interpreter calls that the module makes everywhere:
// interned attribute names, module look-ups, attribute reads, instance checks
// and calls, each returning a Result.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <string_view>

namespace telvaran::py {

// Attribute and module names, interned once at import and kept.
#define TV_NAMES(X)                                                            \
    X(array) X(numpy) X(builtins) X(pyarrow) X(ndarray) X(memoryview)         \
    X(Buffer) X(Array) X(ChunkedArray) X(DataType) X(typecode) X(dtype) X(char_, "char")  \
    X(format) X(type) X(id) X(ndim) X(flags) X(c_contiguous) X(f_contiguous)  \
    X(readonly) X(itemsize) X(slice) X(__getitem__) X(__bool__) X(__name__)   \
    X(__all__) X(map) X(filter) X(array_iterator) X(empty) X(astype) X(_import_from_c)                    \
    X(__arrow_c_array__) X(__arrow_c_stream__)                                \
    X(chunk) X(num_chunks)                                                    \
    X(telvaran_module, "telvaran._telvaran")

struct Names {
#define TV_NAME_FIELD(field, ...) PyObject* field = nullptr;
    TV_NAMES(TV_NAME_FIELD)
#undef TV_NAME_FIELD
};

extern Names names;
Status init_names();

// A module by name. Modules are found in the interpreter's table of loaded
// modules; `array`, `builtins` and our own module are imported when missing
// there. For optional modules (numpy, pyarrow) a module that was never loaded
// counts as absent and yields an empty Ref: no object can be an instance of
// one of its classes, and importing it on every call would cost tens of
// microseconds each time it is not installed.
Result<Ref> required_module(PyObject* name);
Result<Ref> optional_module(PyObject* name);

Result<Ref> getattr(PyObject* obj, PyObject* name);
// An attribute of a module. For a plain module whose dict holds the name the
// answer is the dict entry, which is what attribute access finds there too,
// without the generic look-up through the module type first.
Result<Ref> module_attr(PyObject* module, PyObject* name);
Result<Ref> module_attr_or_empty(PyObject* module, PyObject* name);
// The entry of a plain module's dict, or an empty Ref when the generic
// look-up has to decide (a module subclass, a missing name, __getattr__).
// Reading it runs no Python code.
Ref module_dict_entry(PyObject* module, PyObject* name) noexcept;
// Like getattr, but a failing look-up gives an empty Ref (the error
// discarded, see below).
Result<Ref> getattr_or_empty(PyObject* obj, PyObject* name);

// Drops a failure that only means "no match here". A PanicException is
// never dropped: it is an internal failure, and it ends the call.
Status discard(Error&& error);
Status discard_pending();  // the interpreter's pending exception
Result<bool> isinstance(PyObject* obj, PyObject* cls);
Result<Ref> str(PyObject* obj);
// UTF-8 text of a str object (valid while the object lives).
Result<std::string_view> utf8(PyObject* text);
Result<Py_ssize_t> length(PyObject* obj);

// Calls with positional arguments only.
Result<Ref> call(PyObject* callable, PyObject* const* args, std::size_t nargs);
inline Result<Ref> call(PyObject* callable, PyObject* a) { return call(callable, &a, 1); }
inline Result<Ref> call(PyObject* callable, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    return call(callable, args, 2);
}
Result<Ref> call_method(PyObject* obj, PyObject* name, PyObject* arg);

// Conversions with the interpreter's own errors.
Result<std::uint64_t> as_u64(PyObject* obj);      // int directly, else through __index__
Result<std::int32_t> as_i32(PyObject* obj);       // OverflowError when out of range
Result<double> as_double(PyObject* obj);
// The strict boolean rule: exactly bool, or numpy's bool scalar through its
// type's __bool__; anything else is a TypeError.
Result<bool> as_strict_bool(PyObject* obj);

// "'{type name}' object cannot be converted to '{target}'"
Error cannot_convert(PyObject* obj, const char* target);

}  // namespace telvaran::py
