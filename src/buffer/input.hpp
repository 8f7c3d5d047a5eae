// Input recognition: what kind of object an input is, whether it may be read
// or written, which element type it holds, and how wide its items are.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

#include <cstdint>

namespace telvaran {

enum class InputKind : unsigned char { Array, NdArray, MemoryView, Arrow };

enum class Access : bool { Read = false, InPlace = true };

// Instance checks against array.array, numpy.ndarray, memoryview and the
// three Arrow classes, in that order.
Result<InputKind> detect_input_kind(PyObject* obj);
Status validate_input(PyObject* obj, InputKind kind, Access access);
Result<ElementType> resolve_element_type(PyObject* obj, InputKind kind);
Result<std::uint64_t> query_itemsize(PyObject* obj);

// The native type for an element type: for 'l' and 'L' the item size decides
// (4 selects the 32-bit type), for every other type it is fixed.
Result<NativeType> select_native_type(PyObject* obj, ElementType type);

// What the input prologue learns about one array argument.
struct Input {
    PyObject* object;  // borrowed
    InputKind kind;
    ElementType type;
};

// Detection, validation and element-type resolution, in that order.
Result<Input> examine_input(PyObject* obj, Access access);

// The same, then the object's Python length, which alone decides whether an
// operation treats the input as empty.
struct SizedInput {
    Input input;
    Py_ssize_t length;
};
Result<SizedInput> examine(PyObject* obj, Access access);

}  // namespace telvaran
