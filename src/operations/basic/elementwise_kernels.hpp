// Element-wise and in-place kernels over contiguous native elements. No
// Python here: every loop is a plain pass over raw memory that the compiler
// can vectorise.
#pragma once

#include "core/elements.hpp"
#include "core/simd.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <type_traits>

namespace telvaran::kernels {

// A double as a value of the element type. Integers are truncated toward
// zero and saturated at the type's limits, NaN becomes 0; `f` rounds to the
// nearest single-precision value.
template <class T>
T from_double(double v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else {
        using Limits = std::numeric_limits<T>;
        // One step outside the range on either side; both are exact doubles
        // or round onto the limit itself, where saturating is also exact.
        constexpr double below = static_cast<double>(Limits::min()) - 1.0;
        constexpr double above = static_cast<double>(Limits::max()) + 1.0;
        if (std::isnan(v)) return T(0);
        if (v <= below) return Limits::min();
        if (v >= above) return Limits::max();
        return static_cast<T>(v);
    }
}

struct Add {
    template <class T>
    T operator()(T a, T b) const { return wrapping_add(a, b); }
};

struct Multiply {
    template <class T>
    T operator()(T a, T b) const { return wrapping_mul(a, b); }
};

// op(a[k], b[k]) computed in T for every position of out (which is no
// longer than either input), stored as Out: T itself, or its 64-bit widening
// for 'l'/'L' elements read 4 bytes wide.
template <class T, class Out, class Op>
TV_VECTOR_CLONES void combine(std::span<const T> a, std::span<const T> b, std::span<Out> out, Op op) {
    const T* pa = a.data();
    const T* pb = b.data();
    Out* po = out.data();
    const std::size_t n = out.size();
    for (std::size_t k = 0; k < n; ++k) po[k] = static_cast<Out>(op(pa[k], pb[k]));
}

template <class T>
TV_VECTOR_CLONES void scale(std::span<T> xs, T factor) {
    for (T& x : xs) x = wrapping_mul(x, factor);
}

// Limits each element to [lo, hi] (lo <= hi unless one is NaN, which then
// clamps nothing). A NaN element never compares, so it stays as it is.
template <class T>
TV_VECTOR_CLONES void clamp(std::span<T> xs, T lo, T hi) {
    for (T& x : xs) x = lo > x ? lo : (x > hi ? hi : x);
}

// The clip bounds in the element type. For floats the bounds are rounded to
// the element's precision and compared there. For integers a bound becomes
// the integer it truncates and saturates to: since elements are whole
// numbers, clamping to those integers is exactly "below min_val becomes
// min_val, above max_val becomes max_val" and leaves every element inside
// the bounds untouched, 64-bit values above 2**53 included. A NaN bound
// limits nothing.
template <class T>
struct Bounds {
    T lo;
    T hi;
};

template <class T>
Bounds<T> clip_bounds(double min_val, double max_val) {
    if constexpr (std::is_floating_point_v<T>) {
        return {static_cast<T>(min_val), static_cast<T>(max_val)};
    } else {
        using Limits = std::numeric_limits<T>;
        return {std::isnan(min_val) ? Limits::min() : from_double<T>(min_val),
                std::isnan(max_val) ? Limits::max() : from_double<T>(max_val)};
    }
}

// (x - mn) / d in the element's precision: a subtraction then a division,
// never a multiplication by the reciprocal.
template <class T>
TV_VECTOR_CLONES void normalize(std::span<T> xs, T mn, T d) {
    for (T& x : xs) x = (x - mn) / d;
}

template <class T>
void fill_zero(std::span<T> xs) {
    for (T& x : xs) x = T(0);
}

}  // namespace telvaran::kernels
