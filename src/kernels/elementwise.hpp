// Element-wise and in-place loops over contiguous elements: add, multiply,
// scale, clamp, normalize. No Python here: each is a plain pass over raw
// memory that the compiler vectorises. Compiled once per instruction set
// (see kernels/target.hpp).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

namespace telvaran::kernels::TV_KERNEL_TARGET {

template <class T>
void add(const T* a, const T* b, T* out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) out[k] = wrapping_add(a[k], b[k]);
}

template <class T>
void multiply(const T* a, const T* b, T* out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) out[k] = wrapping_mul(a[k], b[k]);
}

template <class T>
void scale(T* xs, std::size_t n, T factor) {
    for (std::size_t k = 0; k < n; ++k) xs[k] = wrapping_mul(xs[k], factor);
}

// Limits each element to [lo, hi] (lo <= hi unless one is NaN, which then
// clamps nothing). A NaN element never compares, so it stays as it is.
template <class T>
void clamp(T* xs, std::size_t n, T lo, T hi) {
    for (std::size_t k = 0; k < n; ++k) {
        T x = xs[k];
        xs[k] = lo > x ? lo : (x > hi ? hi : x);
    }
}

// (x - mn) / d in the element's precision: a subtraction then a division,
// never a multiplication by the reciprocal.
template <class T>
void normalize(T* xs, std::size_t n, T mn, T d) {
    for (std::size_t k = 0; k < n; ++k) xs[k] = (xs[k] - mn) / d;
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
