// Input recognition: what kind of object an input is, whether it may be read
// or written, which element type it holds, and how wide its items are.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

#include <cstdint>
#include <memory>

namespace telvaran {

class ArrowView;
class BufferView;

// ArrowProducer: any other object that exports Arrow data through
// __arrow_c_array__ or __arrow_c_stream__ (see producer.hpp).
enum class InputKind : unsigned char { Array, NdArray, MemoryView, Arrow, ArrowProducer };

enum class Access : bool { Read = false, InPlace = true };

// Instance checks against array.array, numpy.ndarray, memoryview and the
// three Arrow classes, in that order.
Result<InputKind> detect_input_kind(PyObject* obj);

// The same detection, with what it found out on the way: whether the
// instance check was answered by the object's type alone (validation then
// need not repeat it), and whether the type is exactly array.array,
// numpy.ndarray or memoryview, so that no Python code runs when the prologue
// examines the object.
struct Detection {
    InputKind kind;
    bool by_type;
    bool exact;
};
Result<Detection> detect_input(PyObject* obj);
// Validation after detect_input.
Status validate_detected(PyObject* obj, const Detection& found, Access access);
Status validate_input(PyObject* obj, InputKind kind, Access access);
Result<ElementType> resolve_element_type(PyObject* obj, InputKind kind);
Result<std::uint64_t> query_itemsize(PyObject* obj);

// What the input prologue learns about one array argument.
struct Input {
    PyObject* object;  // borrowed
    InputKind kind;
    ElementType type;
    // The item size when the prologue has read it already from the buffer
    // (see exported_facts); 0 when the object is to be asked.
    std::uint64_t known_itemsize = 0;
    // The object is exactly array.array, numpy.ndarray or memoryview: no
    // Python code runs when the prologue examines it, so examining it again
    // would tell nothing new.
    bool exact = false;
    // Detection was answered by the object's type and its module's classes
    // (see Detection): together with attributes that run no Python code,
    // examining the object again would run none either.
    bool by_type = false;
    // The buffer the prologue requested to answer its questions, kept for
    // the view when nothing can run between the two (see run); else null.
    class BufferView* exported = nullptr;
    // An Arrow producer's elements, read with its element type from one
    // export (see producer.hpp), for the view to use.
    std::unique_ptr<ArrowView> read_ahead;
};

// Whether the input is read through the Arrow C data interface rather than
// the buffer protocol: an Arrow object that exports no buffer (pyarrow's
// arrays and chunked arrays), and every other Arrow producer. pyarrow objects
// that do export one are read as any other buffer.
bool reads_arrow_export(const Input& input);

// The width of the input's items: the one the prologue already read from
// the buffer (see exported_facts), the item size the object reports, or for
// an input read through the Arrow interface the width of its Arrow type (an
// Arrow int64 is 8 bytes wide; the schema is checked when the elements are
// read).
Result<std::uint64_t> item_size(const Input& input);

// The native type for an element type: for 'l' and 'L' the item size decides
// (4 selects the 32-bit type), for every other type it is fixed.
Result<NativeType> select_native_type(const Input& input);

// Detection, validation and element-type resolution, in that order.
Result<Input> examine_input(PyObject* obj, Access access, BufferView* hold = nullptr);

// The object's length: len(obj), or for an Arrow producer without len() the
// number of elements it exports (read ahead, or exported for the purpose).
Result<Py_ssize_t> input_length(PyObject* obj, InputKind kind);
Result<Py_ssize_t> input_length(const Input& input);

// The same, then the object's Python length, which alone decides whether an
// operation treats the input as empty.
struct SizedInput {
    Input input;
    Py_ssize_t length;
};
Result<SizedInput> examine(PyObject* obj, Access access, BufferView* hold = nullptr);

}  // namespace telvaran
