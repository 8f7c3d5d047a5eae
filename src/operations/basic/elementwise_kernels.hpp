// Element-wise and in-place kernels over contiguous native elements. No
// Python here: every loop is a plain pass over raw memory that the compiler
// can vectorise.
#pragma once

#include "core/elements.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

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

// Leaves new elements uninitialised: a result vector is written in full by
// its loop right away, and zero-filling megabytes first would cost a pass.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
};

template <class T>
using Values = std::vector<T, UninitializedAllocator<T>>;

// op(a[k], b[k]) for the common prefix of a and b, into a new vector.
template <class T, class Op>
Values<T> combine(std::span<const T> a, std::span<const T> b, Op op) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    Values<T> out(n);
    const T* pa = a.data();
    const T* pb = b.data();
    T* po = out.data();
    for (std::size_t k = 0; k < n; ++k) po[k] = op(pa[k], pb[k]);
    return out;
}

template <class T>
void scale(std::span<T> xs, T factor) {
    for (T& x : xs) x = wrapping_mul(x, factor);
}

// Limits each element to [lo, hi] (lo <= hi unless one is NaN, which then
// clamps nothing). A NaN element never compares, so it stays as it is.
template <class T>
void clamp(std::span<T> xs, T lo, T hi) {
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
void normalize(std::span<T> xs, T mn, T d) {
    for (T& x : xs) x = (x - mn) / d;
}

template <class T>
void fill_zero(std::span<T> xs) {
    for (T& x : xs) x = T(0);
}

}  // namespace telvaran::kernels
