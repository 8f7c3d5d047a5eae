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
// or received from the stream, and released exactly once, when the view is
// released or dropped.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"
#include "core/runs.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

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
void release(Array* arrays, std::size_t count) noexcept;
void release(Stream& s) noexcept;

}  // namespace arrow

// The TypeError of an Arrow type that is none of the ten, with a hint.
Error unsupported_arrow_type(const char* hint = "");

// A failed allocation, as the interpreter reports one.
[[gnu::cold]] inline Error out_of_memory() {
    PyErr_NoMemory();
    return Error::fetch();
}

// A list of trivially copyable items, the first `Inline` of them inside the
// owner and the rest in memory grown without exceptions: a growth that fails
// is a MemoryError, and whatever was stored stays stored.
template <class T, std::size_t Inline>
class SmallList {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallList() = default;
    SmallList(const SmallList&) = delete;
    SmallList& operator=(const SmallList&) = delete;

    // Makes room for one more item, so that the next push cannot fail.
    Status reserve_one();
    void push(const T& item) noexcept { data()[size_++] = item; }
    T* data() noexcept { return heap_ ? heap_.get() : inline_; }
    const T* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }

private:
    T inline_[Inline] = {};
    std::unique_ptr<T[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = Inline;
};

// The elements of one Arrow object that exports no buffer, checked against
// one element type: the schema's format must be exactly the type's Arrow
// format, the values must be aligned and have no nulls. Every array is read
// in place: one array is one run of elements, a stream one run per
// non-empty chunk, in order. Every chunk is taken and checked before any
// element is read, so a refusal (nulls anywhere, a malformed or failing
// chunk) comes before any work on the elements. Only an operation that
// needs the elements in one piece has them gathered, into a scratch copy.
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
    // the array or chunk that holds element *around is read (the chunks
    // before it are taken only for their lengths), so that one element
    // costs the same whatever comes after it; start() tells where that
    // chunk begins. On a refusal nothing stays held.
    Status acquire(PyObject* obj, ElementType type, NativeType native, const std::size_t* around = nullptr);
    // For any other Arrow producer: reads every element of `obj` as the type
    // its schema's format names, which it returns; every other format is
    // refused with the TypeError of an unsupported Arrow type. An empty
    // input of the null type reads as int64. One export gives both the type
    // and the elements, so a stream that can be read only once serves.
    Result<ElementType> acquire_any(PyObject* obj);
    void release() noexcept;

    // The elements (read-only: Arrow memory is immutable), one run per
    // non-empty array or chunk.
    const Run* runs() const noexcept { return runs_.data(); }
    std::size_t run_count() const noexcept { return runs_.size(); }
    std::size_t count() const noexcept { return count_; }
    // Every element in one piece: the only run, or all of them gathered once
    // into a scratch copy.
    Result<std::span<const std::byte>> contiguous(NativeType native);
    // The index, within the whole input, of the first element of the runs.
    std::size_t start() const noexcept { return start_; }

    // What the schema must name: exactly `type`, or with `any`, one of the
    // ten types (or the null type), which then sets `type`.
    struct Expected {
        ElementType type;
        bool any = false;
        bool null_type = false;  // the schema named the null type
    };

private:
    Status read(PyObject* obj, Expected& expected, const std::size_t* around);
    Status read_array(PyObject* method, Expected& expected);
    Status read_stream(PyObject* method, Expected& expected, const std::size_t* around);
    Status read_chunks(const Expected& expected);
    Status read_chunk_around(NativeType native, std::size_t index);
    Status keep(arrow::Array& chunk, NativeType native);

    SmallList<arrow::Array, 1> arrays_;  // the arrays whose elements the runs are
    SmallList<Run, 1> runs_;
    arrow::Stream stream_{};
    std::unique_ptr<std::byte[]> gathered_;
    std::size_t count_ = 0;
    std::size_t start_ = 0;
    bool held_ = false;  // something may need releasing
};

template <class T, std::size_t Inline>
Status SmallList<T, Inline>::reserve_one() {
    if (size_ < capacity_) return {};
    if (capacity_ > SIZE_MAX / (2 * sizeof(T))) return out_of_memory();
    const std::size_t capacity = capacity_ < 8 ? 16 : 2 * capacity_;
    std::unique_ptr<T[]> grown(new (std::nothrow) T[capacity]);
    if (!grown) return out_of_memory();
    std::memcpy(grown.get(), data(), size_ * sizeof(T));
    heap_ = std::move(grown);
    capacity_ = capacity;
    return {};
}

}  // namespace telvaran
