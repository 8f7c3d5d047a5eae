// Buffer acquisition and the checks that make a buffer readable as one
// native element type.
#include "view.hpp"

#include "core/call_scope.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace telvaran {
namespace {

enum class FormatClass : unsigned char { Signed, Unsigned, Boolean, Float, Unknown };

struct FormatSize {
    FormatClass cls;
    unsigned width;
};

// The struct module's sizes for one format character, native ('@' or bare)
// or standard ('<', '>', '!', '=').
FormatSize classify_char(char c, bool standard) {
    switch (c) {
        case 'b': return {FormatClass::Signed, 1};
        case 'B': case 'c': return {FormatClass::Unsigned, 1};
        case '?': return {FormatClass::Boolean, 1};
        case 'h': return {FormatClass::Signed, 2};
        case 'H': return {FormatClass::Unsigned, 2};
        case 'i': return {FormatClass::Signed, 4};
        case 'I': return {FormatClass::Unsigned, 4};
        case 'l': return {FormatClass::Signed, standard ? 4u : 8u};
        case 'L': return {FormatClass::Unsigned, standard ? 4u : 8u};
        case 'q': return {FormatClass::Signed, 8};
        case 'Q': return {FormatClass::Unsigned, 8};
        case 'n': return standard ? FormatSize{FormatClass::Unknown, 0} : FormatSize{FormatClass::Signed, 8};
        case 'N': return standard ? FormatSize{FormatClass::Unknown, 0} : FormatSize{FormatClass::Unsigned, 8};
        case 'e': return {FormatClass::Float, 2};
        case 'f': return {FormatClass::Float, 4};
        case 'd': return {FormatClass::Float, 8};
        default: return {FormatClass::Unknown, 0};
    }
}

FormatSize classify(const char* format) {
    std::size_t size = std::strlen(format);
    if (size == 1) return classify_char(format[0], false);
    if (size == 2) {
        if (format[0] == '@') return classify_char(format[1], false);
        if (std::strchr("<>!=", format[0])) return classify_char(format[1], true);
    }
    return {FormatClass::Unknown, 0};
}

bool is_native_order_prefix(char c) {
    if (c == '@' || c == '=') return true;
    if constexpr (std::endian::native == std::endian::little) return c == '<';
    else return c == '>' || c == '!';
}

FormatClass class_of(NativeType type) {
    const NativeFacts& f = facts(type);
    return f.is_float ? FormatClass::Float : f.is_signed ? FormatClass::Signed : FormatClass::Unsigned;
}

bool format_compatible(const char* format, NativeType type) {
    if (!format) format = "B";
    // The usual bare character needs no classification: it is compatible.
    if (format[0] == facts(type).usual_format && format[1] == '\0') return true;
    if (std::strlen(format) > 1 && !is_native_order_prefix(format[0])) return false;
    FormatSize fs = classify(format);
    return fs.cls == class_of(type) && fs.width == facts(type).width;
}

Error buffer_error(const char* what, NativeType type) {
    return Error::raise(PyExc_BufferError, std::string(what) + std::string(facts(type).name));
}

}  // namespace

void BufferView::release() noexcept {
    if (!held_) return;
    held_ = false;
    if (inside_call()) {  // the lock is held
        PyBuffer_Release(&record_);
        return;
    }
    // Safe also on a thread that does not hold the interpreter lock.
    PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(&record_);
    PyGILState_Release(state);
}

Status BufferView::acquire(PyObject* obj, NativeType type) {
    TV_TRY(request(obj));
    return check(type);
}

Status BufferView::request(PyObject* obj) {
    release();
    if (PyObject_GetBuffer(obj, &record_, PyBUF_FULL_RO) < 0) return Error::fetch();
    held_ = true;
    return {};
}

Status BufferView::check(NativeType type) {
    // A refusal releases the buffer: nothing stays exported.
    Status status = checked_against(type);
    if (!status) release();
    return status;
}

Status BufferView::checked_against(NativeType type) const {
    const Py_buffer* raw = &record_;
    if (!raw->shape) return Error::raise(PyExc_BufferError, "shape is null");
    if (!raw->strides) return Error::raise(PyExc_BufferError, "strides is null");
    const unsigned width = facts(type).width;
    if (raw->itemsize != static_cast<Py_ssize_t>(width) || !format_compatible(raw->format, type))
        return buffer_error("buffer contents are not compatible with ", type);
    // Widths are powers of two, so a mask tests the alignment.
    if ((reinterpret_cast<std::uintptr_t>(raw->buf) & (width - 1)) != 0)
        return buffer_error("buffer contents are insufficiently aligned for ", type);
    return {};
}

bool BufferView::contiguous_with_data() const {
    const Py_buffer& b = record_;
    if (!b.buf) return false;
    // The usual one-dimensional dense buffer answers without a call; this is
    // the interpreter's own C-contiguity rule for that case.
    if (b.ndim == 1 && !b.suboffsets && (b.shape[0] <= 1 || b.strides[0] == b.itemsize)) return true;
    return PyBuffer_IsContiguous(&record_, 'C');
}

// Masking works for the same reason.
std::size_t BufferView::whole_items_bytes() const {
    const auto itemsize = static_cast<std::size_t>(record_.itemsize);
    return static_cast<std::size_t>(record_.len) & ~(itemsize - 1);
}

std::size_t BufferView::element_count() const {
    // The item size is the width of the view's native type, a power of two
    // (checked at acquisition), so a shift replaces the division.
    const auto itemsize = static_cast<std::size_t>(record_.itemsize);
    return static_cast<std::size_t>(record_.len) >> std::countr_zero(itemsize);
}

Result<std::span<const std::byte>> BufferView::read_bytes() const {
    if (!contiguous_with_data()) return Error::raise(PyExc_TypeError, "Failed to get buffer slice");
    std::size_t bytes = whole_items_bytes();
    return std::span<const std::byte>(static_cast<const std::byte*>(record_.buf), bytes);
}

Result<std::span<std::byte>> BufferView::write_bytes() const {
    if (record_.readonly || !contiguous_with_data())
        return Error::raise(PyExc_TypeError, "Failed to get mutable buffer slice");
    std::size_t bytes = whole_items_bytes();
    return std::span<std::byte>(static_cast<std::byte*>(record_.buf), bytes);
}

}  // namespace telvaran
