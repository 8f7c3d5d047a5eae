// Reduction kernels over contiguous native elements. No Python here.
#pragma once

#include "core/elements.hpp"

#include <algorithm>
#include <cstddef>
#include <span>
#include <type_traits>

namespace telvaran::kernels {

// Float sums are rounded after every addition, strictly left to right from
// +0.0 in blocks of this many elements; the rounding must be reproduced
// exactly, so these loops have one accumulator and are never regrouped.
inline constexpr std::size_t kSumBlock = 8192;

template <class T>
T sum_run(std::span<const T> xs) {
    if constexpr (std::is_integral_v<T>) {
        // Wrapping arithmetic is associative: let the compiler vectorise.
        using U = std::make_unsigned_t<T>;
        U total = 0;
        for (T x : xs) total = static_cast<U>(total + static_cast<U>(x));
        return static_cast<T>(total);
    } else {
        T total = T(0);
        for (T x : xs) total += x;
        return total;
    }
}

// The sum of xs in the element's own type. `length` is the input's Python
// length, which chooses between one pass and 8192-element blocks.
template <class T>
T blocked_sum(std::span<const T> xs, std::size_t length) {
    if (length <= kSumBlock) return sum_run(xs);
    T total = T(0);
    for (std::size_t start = 0; start < xs.size(); start += kSumBlock) {
        std::size_t count = std::min(kSumBlock, xs.size() - start);
        total = wrapping_add(total, sum_run(xs.subspan(start, count)));
    }
    return total;
}

// Independent lanes let the compiler turn the comparisons into vector
// min/max instructions. Which of several NaNs or signed zeros wins is left
// open; the result is always one of the elements. xs must not be empty.
template <class T, class Pick>
T extreme(std::span<const T> xs, Pick pick) {
    constexpr std::size_t kLanes = 64 / sizeof(T) > 8 ? 64 / sizeof(T) : 8;
    std::size_t n = xs.size();
    const T* p = xs.data();
    if (n < kLanes) {
        T best = p[0];
        for (std::size_t k = 1; k < n; ++k) best = pick(p[k], best);
        return best;
    }
    T lanes[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) lanes[j] = p[j];
    std::size_t k = kLanes;
    for (; k + kLanes <= n; k += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) lanes[j] = pick(p[k + j], lanes[j]);
    for (; k < n; ++k) lanes[0] = pick(p[k], lanes[0]);
    T best = lanes[0];
    for (std::size_t j = 1; j < kLanes; ++j) best = pick(lanes[j], best);
    return best;
}

template <class T>
T minimum(std::span<const T> xs) {
    return extreme(xs, [](T x, T best) { return x < best ? x : best; });
}

template <class T>
T maximum(std::span<const T> xs) {
    return extreme(xs, [](T x, T best) { return x > best ? x : best; });
}

}  // namespace telvaran::kernels
