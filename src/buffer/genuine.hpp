// Whether a class or constructor that a loaded module holds is the genuine
// extension type or function of its library, so that a shortcut taken for it
// cannot be told apart from the steps it replaces.
//
// Inputs are recognised, and results made, through classes and functions
// looked up in the loaded modules on every call; test doubles, mocks, lazy
// loaders and patched modules may put anything there. A shortcut may only
// replace attribute reads or constructor calls whose outcome it knows, and it
// knows them only for the library's own types: defined in C, with the generic
// attribute look-up and no way for Python code to change them (a static type,
// or for array.array an immutable type of the array module itself).
//
// The shortcuts, each with what keeps it invisible and the tests that hold
// it to that (tests/test_stand_ins.py unless named otherwise):
//
// - Detection by type. An object whose type is the class itself, or a
//   subtype of a class whose metaclass is plain `type`, is an instance
//   without the interpreter's instance check, and validation does not
//   repeat it; a negative answer is taken from the type when the object's
//   type is static with the generic look-up (its __class__ is its type).
//   Guard: the class came from the module's own dict (nothing ran to find
//   it), is_plain_metaclass. Tests: test_inputs.py (instance checks with
//   their own metaclass), stand-in classes here.
// - Exact inputs answered by their buffer (exported.cpp). typecode, ndim,
//   flags, dtype.char, format, readonly and itemsize of a genuine
//   array.array, numpy.ndarray or memoryview are fields of the buffer it
//   exports, so one buffer request answers them. Guard: is_genuine_class.
//   Tests: stand-in numpy.ndarray classes whose ndim, dtype.char and
//   itemsize must be read; array.array replaced by numpy.ndarray and by
//   memoryview.
// - The held buffer of add/multiply and the one view of var/std: only
//   after exact (genuine) inputs, for which nothing in between runs Python
//   code. Same guard and tests.
// - slice's early memoryview of a genuine numpy.ndarray, when builtins'
//   memoryview and slice are the built-in types. Tests: test_slice.py.
// - Results written natively (result.cpp): an array.array result made from
//   bytes, by repetition or by slicing a genuine array.array input (a copy,
//   never a view); a numpy result made by numpy.empty. Guard:
//   builds_natively, which requires array.array, or numpy.array,
//   numpy.empty and numpy.dtype, to be the genuine ones; otherwise the
//   values go to the constructor as a list. Tests: inputs never written by
//   read operations under a replaced array.array; results of stand-in
//   constructors.
// - Arrow results made natively (arrow_result.cpp): the values written into
//   memory of ours and imported by pyarrow.Array._import_from_c instead of
//   pyarrow.array(list). Guard: is_genuine_arrow_array_class and
//   pyarrow.array a compiled function. Tests: test_arrow_results.py
//   (results equal the list construction; a replaced pyarrow.array is
//   called with the list), stand-in pyarrow modules in test_arrow.py.
// - A primitive Arrow type read by its id before its text. Guard:
//   is_genuine_data_type (pyarrow.lib.DataType itself). Test: a stand-in
//   DataType whose id and text disagree resolves by its text.
#pragma once

#include "buffer/input.hpp"
#include "core/python.hpp"

namespace telvaran::genuine {

// A static type (not made by a class statement) whose attributes are found
// by the generic look-up: its instances' __class__ is the type, and reading
// a data attribute of theirs runs no Python code.
bool is_static_c_type(PyTypeObject* type) noexcept;

// The class of this kind's library: array.array, numpy.ndarray, the
// built-in memoryview. Never true for Arrow, whose classes are read through
// their exports.
bool is_genuine_class(InputKind kind, PyObject* cls) noexcept;

// pyarrow.lib.DataType itself, not a subclass or a stand-in.
bool is_genuine_data_type(PyTypeObject* type) noexcept;

// pyarrow.lib.Array itself.
bool is_genuine_arrow_array_class(PyObject* cls) noexcept;

// An object of pyarrow's own compiled classes, named `name` when given (for
// example "ChunkedArray"): its type is a static type of the module
// pyarrow.lib with the generic look-up. Such an object is immutable, reading
// it runs no Python code, and no Python class can stand in for it.
bool is_pyarrow_object(PyObject* obj, const char* name = nullptr) noexcept;

// numpy.dtype itself.
bool is_genuine_numpy_dtype(PyObject* cls) noexcept;

// A function written in C (a builtin function or method): calling it runs
// no Python code of its own.
bool is_c_function(PyObject* obj) noexcept;

}  // namespace telvaran::genuine
