// Reduction kernels over contiguous native elements. No Python here.
#pragma once

#include "core/elements.hpp"
#include "core/simd.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

namespace telvaran::kernels {

// Float sums are rounded after every addition, strictly left to right from
// +0.0 in blocks of this many elements; the rounding must be reproduced
// exactly, so these loops have one accumulator and are never regrouped.
inline constexpr std::size_t kSumBlock = 8192;

template <class T>
TV_VECTOR_CLONES T sum_run(std::span<const T> xs) {
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

// Float blocks are summed several at a time, side by side: each block keeps
// its own accumulator and adds its elements strictly left to right, so every
// block sum is exactly the one-at-a-time sum, but the independent chains of
// additions overlap in the processor instead of each waiting on itself.
inline constexpr std::size_t kBlocksAtOnce = 8;

template <class T>
TV_VECTOR_CLONES void sum_block_group(const T* base, T* sums) {
    T acc[kBlocksAtOnce] = {};
    for (std::size_t i = 0; i < kSumBlock; ++i)
        for (std::size_t g = 0; g < kBlocksAtOnce; ++g) acc[g] += base[g * kSumBlock + i];
    for (std::size_t g = 0; g < kBlocksAtOnce; ++g) sums[g] = acc[g];
}

// The sum of xs in the element's own type. `length` is the input's Python
// length, which chooses between one pass and 8192-element blocks.
template <class T>
T blocked_sum(std::span<const T> xs, std::size_t length) {
    if (length <= kSumBlock) return sum_run(xs);
    T total = T(0);
    std::size_t start = 0;
    if constexpr (std::is_floating_point_v<T>) {
        for (; start + kBlocksAtOnce * kSumBlock <= xs.size(); start += kBlocksAtOnce * kSumBlock) {
            T sums[kBlocksAtOnce];
            sum_block_group(xs.data() + start, sums);
            for (T block_sum : sums) total += block_sum;  // in block order
        }
    }
    for (; start < xs.size(); start += kSumBlock) {
        std::size_t count = std::min(kSumBlock, xs.size() - start);
        total = wrapping_add(total, sum_run(xs.subspan(start, count)));
    }
    return total;
}

// Independent lanes let the compiler turn the comparisons into vector
// min/max instructions. Which of several NaNs or signed zeros wins is left
// open; the result is always one of the elements. xs must not be empty.
template <class T, class Pick>
[[gnu::always_inline]] inline T extreme(std::span<const T> xs, Pick pick) {
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

// The smaller (Min) or greater of x and best; best when they do not compare.
// Written once for scalars and for vectors of lanes.
template <bool Min, class V>
[[gnu::always_inline]] inline V choose(V x, V best) {
    if constexpr (Min) return x < best ? x : best;
    else return x > best ? x : best;
}

// Floats: the compiler will not turn a comparison and select into vector
// code by itself (its min and max make no promise about NaN and zeros), so
// the lanes are spelled out as vectors; `x < best ? x : best` per lane is
// exactly the scalar choice.
template <bool Min, class T>
[[gnu::always_inline]] inline T float_extreme(std::span<const T> xs) {
    using V [[gnu::vector_size(32)]] = T;
    constexpr std::size_t kWidth = 32 / sizeof(T);
    constexpr std::size_t kVectors = 4;
    constexpr std::size_t kStep = kWidth * kVectors;
    const std::size_t n = xs.size();
    const T* p = xs.data();
    if (n < 2 * kStep) return extreme(xs, choose<Min, T>);
    V acc[kVectors];
    for (std::size_t v = 0; v < kVectors; ++v) std::memcpy(&acc[v], p + v * kWidth, sizeof(V));
    std::size_t k = kStep;
    for (; k + kStep <= n; k += kStep) {
        for (std::size_t v = 0; v < kVectors; ++v) {
            V x;
            std::memcpy(&x, p + k + v * kWidth, sizeof(V));
            acc[v] = Min ? (x < acc[v] ? x : acc[v]) : (x > acc[v] ? x : acc[v]);
        }
    }
    T best = acc[0][0];
    for (std::size_t v = 0; v < kVectors; ++v)
        for (std::size_t j = 0; j < kWidth; ++j) best = choose<Min>(acc[v][j], best);
    for (; k < n; ++k) best = choose<Min>(p[k], best);
    return best;
}

template <bool Min, class T>
[[gnu::always_inline]] inline T pick_extreme(std::span<const T> xs) {
    if constexpr (std::is_floating_point_v<T>) return float_extreme<Min>(xs);
    else return extreme(xs, choose<Min, T>);
}

template <class T>
TV_VECTOR_CLONES T minimum(std::span<const T> xs) {
    return pick_extreme<true>(xs);
}

template <class T>
TV_VECTOR_CLONES T maximum(std::span<const T> xs) {
    return pick_extreme<false>(xs);
}

}  // namespace telvaran::kernels
