// Construction of new result arrays of the input's own kind.
//
// Values computed natively (add, multiply, unique, filter) go straight from
// native memory into the output object: array.array and numpy results are
// made by one copy of the values, exactly as the element-by-element path
// would have made them. A Python list (the results of map) is handed to the
// output library's constructor. Arrow outputs are always built by
// pyarrow.array(list), which infers the Arrow type from the Python values.
#pragma once

#include "buffer/input.hpp"
#include "core/result.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace telvaran {

// The kind of object a result is built as: a memoryview input gives an
// array.array.
constexpr InputKind output_kind(InputKind input) {
    return input == InputKind::MemoryView ? InputKind::Array : input;
}

Result<Ref> result_from_list(ElementType type, InputKind kind, PyObject* list);
Result<Ref> empty_result(ElementType type, InputKind kind);

// A list of the Python values of `values`.
template <class T>
Result<Ref> list_from_values(std::span<const T> values) {
    TV_ASSIGN(Ref list, made(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t k = 0; k < values.size(); ++k) {
        TV_ASSIGN(Ref item, made(to_python(values[k])));
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release()) < 0) return Error::api_failed();
    }
    return list;
}

namespace detail {
// Items in the output's own width, read from `bytes`, into array.array or
// numpy output.
Result<Ref> result_from_native_bytes(ElementType type, InputKind kind, std::span<const std::byte> bytes);
}  // namespace detail

template <class T>
Result<Ref> result_from_values(ElementType type, InputKind kind, std::span<const T> values) {
    kind = output_kind(kind);
    if (kind == InputKind::Arrow) {
        TV_ASSIGN(Ref list, list_from_values(values));
        return result_from_list(type, kind, list.get());
    }
    if constexpr (std::is_integral_v<T> && sizeof(T) == 4) {
        // 'l' and 'L' read through 4-byte items are still 'l' and 'L' results,
        // whose items are 8 bytes wide.
        if (has_variable_width(type)) {
            using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
            std::vector<Wide> wide(values.begin(), values.end());
            return detail::result_from_native_bytes(type, kind, std::as_bytes(std::span<const Wide>(wide)));
        }
    }
    return detail::result_from_native_bytes(type, kind, std::as_bytes(values));
}

}  // namespace telvaran
