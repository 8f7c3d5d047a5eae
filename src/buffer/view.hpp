// Typed views of an input's memory through the buffer protocol.
//
// BufferView owns one acquired buffer: the Py_buffer record lives in its own
// heap allocation (its address stays fixed while the exporter holds it) and
// is released exactly once, when the owner is dropped. A view is checked at
// acquisition against one native element type (item size, byte order,
// format class, alignment); its slices are the elements as one contiguous
// run of memory. An Arrow array, which exports no buffer, is read through
// the Arrow C data interface instead (ArrowView, buffer/arrow.hpp).
#pragma once

#include "buffer/arrow.hpp"
#include "core/elements.hpp"
#include "core/result.hpp"
#include "core/runs.hpp"

#include <cstddef>
#include <optional>
#include <span>

namespace telvaran {

// Owns at most one acquired buffer. The Py_buffer record lives inside the
// owner, which can be neither copied nor moved: its address stays fixed from
// the request until the release, as exporters may rely on. An owner is
// declared where the view is needed and filled by acquire(); the buffer is
// released exactly once, when the owner goes out of scope.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Requests the object's buffer and checks it against `type`; on a
    // refusal nothing stays held.
    Status acquire(PyObject* obj, NativeType type);
    // The two halves of acquire: the request, whose failure is the
    // exporter's exception, and the checks against `type`, which release
    // the buffer when they refuse it.
    Status request(PyObject* obj);
    Status check(NativeType type);
    const Py_buffer& record() const noexcept { return record_; }
    void release() noexcept;

    // The elements, for reading: TypeError "Failed to get buffer slice" unless
    // the buffer is C-contiguous with a data pointer.
    Result<std::span<const std::byte>> read_bytes() const;
    // As read_bytes, and the buffer must be writable ("Failed to get mutable
    // buffer slice").
    Result<std::span<std::byte>> write_bytes() const;
    std::size_t element_count() const;
    bool held() const noexcept { return held_; }

private:
    Status checked_against(NativeType type) const;
    bool contiguous_with_data() const;
    std::size_t whole_items_bytes() const;  // the bytes of every whole item

    Py_buffer record_;
    bool held_ = false;
};

// The elements of one input as T: the input's buffer, or for an Arrow object
// that exports none, its Arrow export (one run of memory per chunk). Filled
// in place by one of the two acquire functions; whatever it holds is released
// when it goes out of scope.
template <class T>
class TypedBufferView {
public:
    Status acquire(PyObject* obj) { return view_.acquire(obj, native_type_of<T>); }
    // Takes over the checks and the slices of a buffer requested earlier in
    // the same call (see Input::exported), which its owner keeps and releases.
    Status use(BufferView& requested) {
        held_elsewhere_ = &requested;
        return requested.check(native_type_of<T>);
    }
    // `type` is the element type the input resolved to; with `around`, only
    // the chunk that holds that element (see ArrowView).
    Status acquire_arrow(PyObject* obj, ElementType type, const std::size_t* around = nullptr) {
        arrow_.emplace();
        return arrow_->acquire(obj, type, native_type_of<T>, around);
    }

    // Takes over the elements of an Arrow export read earlier in the same
    // call (see Input::read_ahead), which its owner keeps and releases.
    Status use_arrow(ArrowView& read) {
        arrow_elsewhere_ = &read;
        return {};
    }

    // The elements as runs of contiguous memory, in order: a buffer's one
    // run, or one per chunk of an Arrow export.
    Result<Runs<T>> read_runs() const {
        if (const ArrowView* arrow = arrow_view()) return Runs<T>(arrow->runs(), arrow->run_count(), arrow->count());
        TV_ASSIGN(auto bytes, buffer().read_bytes());
        return Runs<T>(typed(bytes));
    }
    // The elements in one piece: an Arrow export of several chunks is
    // gathered into a scratch copy first, which the view keeps.
    Result<std::span<const T>> read_slice() {
        if (ArrowView* arrow = arrow_view()) {
            TV_ASSIGN(auto bytes, arrow->contiguous(native_type_of<T>));
            return typed(bytes);
        }
        TV_ASSIGN(auto bytes, buffer().read_bytes());
        return typed(bytes);
    }
    // Arrow memory is immutable (in-place operations refuse Arrow inputs
    // before they get here).
    Result<std::span<T>> write_slice() const {
        if (arrow_view()) return Error::raise(PyExc_TypeError, "Failed to get mutable buffer slice");
        TV_ASSIGN(auto bytes, buffer().write_bytes());
        return std::span<T>(reinterpret_cast<T*>(bytes.data()), bytes.size() / sizeof(T));
    }
    // The index within the whole input of the first element of the slices:
    // not 0 only for the chunk around an element.
    std::size_t first_index() const noexcept {
        const ArrowView* arrow = arrow_view();
        return arrow ? arrow->start() : 0;
    }

private:
    ArrowView* arrow_view() noexcept { return arrow_ ? &*arrow_ : arrow_elsewhere_; }
    const ArrowView* arrow_view() const noexcept { return arrow_ ? &*arrow_ : arrow_elsewhere_; }

    static std::span<const T> typed(std::span<const std::byte> bytes) {
        return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
    }

    const BufferView& buffer() const { return held_elsewhere_ ? *held_elsewhere_ : view_; }

    BufferView view_;
    BufferView* held_elsewhere_ = nullptr;
    // Made only for an Arrow input: most calls never pay for its fields.
    std::optional<ArrowView> arrow_;
    ArrowView* arrow_elsewhere_ = nullptr;
};

}  // namespace telvaran
