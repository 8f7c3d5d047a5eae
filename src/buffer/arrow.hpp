// Arrow arrays and chunked arrays read through the Arrow C data interface.
//
// pyarrow arrays export no buffer. They hand out their memory as C structs
// wrapped in capsules instead: __arrow_c_array__() gives a schema and an
// array ("arrow_schema", "arrow_array"), __arrow_c_stream__() a stream of
// arrays ("arrow_array_stream"). The structs below are the interface's
// published layout; nothing of pyarrow or any Arrow library is linked.
//
// ArrowView owns what it takes: each struct is moved out of its capsule
// (the capsule is left marked as released, so its destructor does nothing)
// and released exactly once, when the view is released or dropped.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace telvaran {

namespace arrow {

// The Arrow C data interface, as published. A struct whose `release` is
// null has been released (or moved from).
struct Schema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    Schema** children;
    Schema* dictionary;
    void (*release)(Schema*);
    void* private_data;
};

struct Array {
    std::int64_t length;
    std::int64_t null_count;  // -1: not computed by the producer
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;  // for the ten element types: validity bitmap, values
    Array** children;
    Array* dictionary;
    void (*release)(Array*);
    void* private_data;
};

struct Stream {
    int (*get_schema)(Stream*, Schema* out);
    int (*get_next)(Stream*, Array* out);  // an array with a null release ends the stream
    const char* (*get_last_error)(Stream*);
    void (*release)(Stream*);
    void* private_data;
};

// Calls the struct's release callback if it has not been released, under
// the interpreter lock: a producer's release may run Python code (pyarrow
// drops references to Python objects there).
void release(Schema& s) noexcept;
void release(Array& a) noexcept;
void release(Stream& s) noexcept;

}  // namespace arrow

// The elements of one Arrow object that exports no buffer, checked against
// one element type: the schema's format must be exactly the type's Arrow
// format, the values must be aligned and have no nulls. One array (or a
// stream of one non-empty chunk) is read in place; the chunks of a longer
// stream are gathered once, in order, into one scratch copy, so that the
// elements form one contiguous run whatever the chunking.
//
// Like BufferView, the owner can be neither copied nor moved: it is filled
// in place, and what it holds is released exactly once.
class ArrowView {
public:
    ArrowView() = default;
    ArrowView(const ArrowView&) = delete;
    ArrowView& operator=(const ArrowView&) = delete;
    ~ArrowView() {
        if (held_) release();
    }

    // Reads every element of `obj` as `type`, whose machine type must be
    // `native` (an Arrow int64 is always 8 bytes wide). With `around`, only
    // the array or chunk that holds element *around is read, so that one
    // element costs the same whatever the length; start() tells where that
    // chunk begins. On a refusal nothing stays held.
    Status acquire(PyObject* obj, ElementType type, NativeType native, const std::size_t* around = nullptr);
    void release() noexcept;

    // The elements' bytes (read-only: Arrow memory is immutable).
    std::span<const std::byte> bytes() const noexcept { return bytes_; }
    // The index, within the whole input, of the first element of bytes().
    std::size_t start() const noexcept { return start_; }

private:
    Status read_array(PyObject* method, ElementType type, NativeType native);
    Status read_stream(PyObject* method, ElementType type, NativeType native, const std::size_t* around);
    Status read_chunks(NativeType native);
    Status read_chunk_around(NativeType native, std::size_t index);
    Status gather(NativeType native, std::size_t count);

    arrow::Array array_{};               // the array, or the first non-empty chunk
    std::vector<arrow::Array> chunks_;  // the further non-empty chunks, until gathered
    arrow::Stream stream_{};
    std::unique_ptr<std::byte[]> gathered_;
    std::span<const std::byte> bytes_;
    std::size_t start_ = 0;
    bool held_ = false;  // something may need releasing
};

}  // namespace telvaran
