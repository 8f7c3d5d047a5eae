// The prologue's attribute reads answered by the buffer, for the exact
// array.array, built-in memoryview and numpy.ndarray.
//
// Their `typecode`, `ndim`, `flags.c_contiguous`, `flags.f_contiguous`,
// `dtype.char`, `format`, `readonly` and `itemsize` report fields of the
// buffer they export (an array.array's format is its typecode), and reading
// them runs no Python code: one buffer request answers them all, in place
// of two to six attribute look-ups. Subclasses (whose
// properties may say otherwise) never come here. Only the plain case is
// settled here: whenever the buffer would lead to a refusal, or is not
// given, the attributes are read as usual and the refusal is theirs.
#include "buffer/exported.hpp"

#include <array>
#include <string_view>

namespace telvaran {
namespace {

// The element type a format's letter names, after at most one byte-order
// mark (numpy's dtype.char and memoryview resolution both skip it; '@' is
// not among them). Longer or unknown formats give nothing.
std::optional<ElementType> type_of_format(const char* format) {
    if (!format) return std::nullopt;
    std::string_view text(format);
    if (text.size() == 2 && std::string_view("<>!=").find(text[0]) != std::string_view::npos) text.remove_prefix(1);
    if (text.size() != 1) return std::nullopt;
    ElementType type{};
    if (!element_type_of(text[0], type)) return std::nullopt;
    return type;
}

// numpy's C_CONTIGUOUS (and F_CONTIGUOUS) of a one-dimensional array.
bool contiguous_1d(const Py_buffer& b) {
    return b.shape && b.strides && (b.shape[0] <= 1 || b.strides[0] == b.itemsize);
}

}  // namespace

std::optional<ExportedFacts> exported_facts(PyObject* obj, InputKind kind, Access access, BufferView* hold) {
    if (kind == InputKind::Arrow || kind == InputKind::ArrowProducer) return std::nullopt;
    BufferView local;
    BufferView& exported = hold ? *hold : local;
    if (!exported.request(obj)) return std::nullopt;  // the attributes will report it
    const Py_buffer& b = exported.record();
    std::optional<ElementType> type = type_of_format(b.format);
    const bool plain = type && b.itemsize > 0 &&
                       (kind != InputKind::NdArray || (b.ndim == 1 && contiguous_1d(b))) &&
                       (kind != InputKind::MemoryView || access != Access::InPlace || !b.readonly);
    if (!plain) {
        exported.release();
        return std::nullopt;
    }
    return ExportedFacts{*type, static_cast<std::uint64_t>(b.itemsize), hold};
}

}  // namespace telvaran
