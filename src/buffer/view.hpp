// Typed views of an input's memory through the buffer protocol.
//
// BufferView owns one acquired buffer: the Py_buffer record lives in its own
// heap allocation (its address stays fixed while the exporter holds it) and
// is released exactly once, when the owner is dropped. A view is checked at
// acquisition against one native element type (item size, byte order,
// format class, alignment); its slices are the elements as one contiguous
// run of memory.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

#include <cstddef>
#include <memory>
#include <span>

namespace telvaran {

class BufferView {
public:
    BufferView() = default;
    BufferView(BufferView&&) noexcept = default;
    BufferView& operator=(BufferView&&) noexcept = default;
    ~BufferView() = default;

    static Result<BufferView> acquire(PyObject* obj, NativeType type);

    // The elements, for reading: TypeError "Failed to get buffer slice" unless
    // the buffer is C-contiguous with a data pointer.
    Result<std::span<const std::byte>> read_bytes() const;
    // As read_bytes, and the buffer must be writable ("Failed to get mutable
    // buffer slice").
    Result<std::span<std::byte>> write_bytes() const;
    std::size_t element_count() const;
    bool empty() const noexcept { return !record_; }

private:
    struct Release {
        void operator()(Py_buffer* record) const noexcept;
    };
    explicit BufferView(std::unique_ptr<Py_buffer, Release> record) : record_(std::move(record)) {}
    bool contiguous_with_data() const;
    std::size_t whole_items_bytes() const;  // the bytes of every whole item

    std::unique_ptr<Py_buffer, Release> record_;
};

template <class T>
class TypedBufferView {
public:
    static Result<TypedBufferView> acquire(PyObject* obj) {
        TV_ASSIGN(BufferView view, BufferView::acquire(obj, native_type_of<T>));
        return TypedBufferView(std::move(view));
    }

    Result<std::span<const T>> read_slice() const {
        TV_ASSIGN(auto bytes, view_.read_bytes());
        return std::span<const T>(reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T));
    }
    Result<std::span<T>> write_slice() const {
        TV_ASSIGN(auto bytes, view_.write_bytes());
        return std::span<T>(reinterpret_cast<T*>(bytes.data()), bytes.size() / sizeof(T));
    }

private:
    explicit TypedBufferView(BufferView view) : view_(std::move(view)) {}
    BufferView view_;
};

}  // namespace telvaran
