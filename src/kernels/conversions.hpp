// Conversions of a double argument into an element type, made once per call
// before a kernel runs (scale's factor, clip's bounds).
#pragma once

#include <cmath>
#include <limits>
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

}  // namespace telvaran::kernels
