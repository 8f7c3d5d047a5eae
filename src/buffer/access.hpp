// Running a kernel over an input's elements: acquire the typed view for the
// selected native type, take its slice, call the kernel with it, and drop the
// view on every path before returning.
#pragma once

#include "buffer/input.hpp"
#include "buffer/view.hpp"

#include <span>

namespace telvaran {

// f is a generic callable taking std::span<const T> for the native type T.
template <class F>
auto with_read_slice(PyObject* obj, NativeType type, F&& f) {
    return visit_native(type, [&]<class T>(Tag<T>) -> decltype(f(std::span<const std::int8_t>{})) {
        TV_ASSIGN(auto view, TypedBufferView<T>::acquire(obj));
        TV_ASSIGN(std::span<const T> elements, view.read_slice());
        return f(elements);
    });
}

// f takes std::span<T>, the input's writable elements.
template <class F>
auto with_write_slice(PyObject* obj, NativeType type, F&& f) {
    return visit_native(type, [&]<class T>(Tag<T>) -> decltype(f(std::span<std::int8_t>{})) {
        TV_ASSIGN(auto view, TypedBufferView<T>::acquire(obj));
        TV_ASSIGN(std::span<T> elements, view.write_slice());
        return f(elements);
    });
}

}  // namespace telvaran
