// Construction of new result arrays of the input's own kind.
//
// Values computed natively (add, multiply, unique, filter) are written
// straight into the memory of a newly allocated array.array or numpy result,
// which holds exactly what building it from their Python values would give,
// as long as the library's constructors are its own (builds_natively);
// otherwise the values go to the constructors as a list of Python numbers.
// A Python list (the results of map) is handed to the output library's
// constructor. Arrow outputs are what pyarrow.array(list) makes of the
// values, built without the list when pyarrow is the real library
// (arrow_result.hpp).
#pragma once

#include "buffer/arrow_result.hpp"
#include "buffer/input.hpp"
#include "buffer/values.hpp"
#include "buffer/view.hpp"
#include "core/result.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace telvaran {

// The kind of object a result is built as: a memoryview input gives an
// array.array, and so does an Arrow producer other than pyarrow, so that
// its results need neither pyarrow nor numpy.
constexpr InputKind output_kind(InputKind input) {
    return input == InputKind::MemoryView || input == InputKind::ArrowProducer ? InputKind::Array : input;
}

Result<Ref> result_from_list(ElementType type, InputKind kind, PyObject* list);
Result<Ref> empty_result(ElementType type, InputKind kind);

// The same from a list of values that all fit the element type, with the
// steps of native values: numpy.array(list), then astype(numpy.dtype(name)).
Result<Ref> result_from_value_list(ElementType type, InputKind kind, PyObject* list);

// Whether a result of this output kind may be written natively: array.array
// is the array module's own type, or numpy.array and numpy.empty are C
// functions and numpy.dtype is numpy's own type. Only then is what the
// constructors would build known, and no Python code can watch them being
// called or not.
Result<bool> builds_natively(InputKind output);

// A new array.array or numpy result of `count` elements, allocated first
// and then written in place by native code, so that its memory is touched
// once. The object is handed out only by finish(), after every element has
// been written; a failure before that drops it. Declared where it is filled:
// it holds the result's view, which cannot move.
class NativeResult {
public:
    NativeResult() = default;
    NativeResult(const NativeResult&) = delete;
    NativeResult& operator=(const NativeResult&) = delete;

    // `kind` is an output kind: Array or NdArray. False, with nothing
    // allocated, when the library's constructors are not its own (see
    // builds_natively): the values must then go to them as a list. `like`,
    // when given, is an input that is exactly the genuine array.array, holds
    // items of the result's type and width and at least `count` of them, and
    // has been examined in this call with no Python code run since, so that
    // array.array is still the genuine type: a small result is sliced from it.
    Result<bool> allocate(ElementType type, InputKind kind, std::size_t count, PyObject* like = nullptr);

    // The result's elements, in the result's own width: 'l' and 'L' results
    // have 8-byte items even when the input was read 4 bytes wide.
    template <class Out>
    std::span<Out> elements() const {
        return {reinterpret_cast<Out*>(bytes_.data()), bytes_.size() / sizeof(Out)};
    }
    Result<Ref> finish();

private:
    // Holds the writable view of the new object_, which must have `count` items.
    Status view_items(std::size_t count);

    ElementType type_ = ElementType::b;
    Ref constructor_;  // array.array, for a result staged in bytes
    Ref object_;       // the result, or for a small array.array the bytes it will be made from
    BufferView view_;  // the result's writable view; not held while staging in bytes
    std::span<std::byte> bytes_;
};

// Allocates a result of `count` elements and lets fill(std::span<Out>) write
// them, Out being T, or its 64-bit widening for 'l'/'L' read 4 bytes wide.
// `like` as for NativeResult::allocate; it is not used for widened results.
template <class T, class Fill>
Result<Ref> fill_result(ElementType type, InputKind kind, std::size_t count, PyObject* like, Fill&& fill) {
    NativeResult out;
    constexpr bool may_widen = std::is_integral_v<T> && sizeof(T) == 4;
    const bool widens = may_widen && has_variable_width(type);
    TV_ASSIGN(bool native, out.allocate(type, output_kind(kind), count, widens ? nullptr : like));
    if (!native) {
        std::vector<T> values(count);
        fill(std::span<T>(values));
        TV_ASSIGN(Ref list, list_from_values(std::span<const T>(values)));
        return result_from_value_list(type, kind, list.get());
    }
    if constexpr (may_widen) {
        if (widens) {
            using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
            fill(out.template elements<Wide>());
            return out.finish();
        }
    }
    fill(out.template elements<T>());
    return out.finish();
}

// A result holding exactly `values`: straight from native memory for
// array.array and numpy outputs, through a list of Python values for Arrow.
// `like` as for NativeResult::allocate.
template <class T>
Result<Ref> result_from_values(ElementType type, InputKind kind, std::span<const T> values, PyObject* like = nullptr) {
    if (output_kind(kind) == InputKind::Arrow) return arrow_result_from_values(values);
    return fill_result<T>(type, kind, values.size(), like, [&]<class Out>(std::span<Out> out) {
        std::copy(values.begin(), values.end(), out.begin());
    });
}

}  // namespace telvaran
