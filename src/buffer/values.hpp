// Native values as Python values, for results that go through a list.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

#include <span>

namespace telvaran {

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

}  // namespace telvaran
