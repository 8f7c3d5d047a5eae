// Reductions over contiguous elements: sum, min, max. No Python here.
// Compiled once per instruction set (see kernels/target.hpp).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <utility>

namespace telvaran::kernels::TV_KERNEL_TARGET {

// One pass, one accumulator, strictly left to right. For integers the
// wrapping sum is associative, so the compiler may vectorise it freely.
template <class T>
T sum_run(const T* xs, std::size_t n) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        U total = 0;
        for (std::size_t k = 0; k < n; ++k) total = static_cast<U>(total + static_cast<U>(xs[k]));
        return static_cast<T>(total);
    } else {
        T total = T(0);
        for (std::size_t k = 0; k < n; ++k) total += xs[k];
        return total;
    }
}

// Float blocks are summed several at a time, side by side: each block keeps
// its own accumulator and adds its elements strictly left to right, so every
// block sum is exactly the one-at-a-time sum, but the independent chains of
// additions overlap in the processor instead of each waiting on itself. A
// group of fewer blocks at the end (the trailing ones, the last of them
// shorter) runs side by side too.
inline constexpr std::size_t kBlocksAtOnce = 8;

// The chains are kept as scalars: built from one element of each of
// several blocks, vectors cost more than they save (GCC's straight-line
// vectoriser builds them lane by lane).
#if defined(__GNUC__) && !defined(__clang__)
#define TV_SCALAR_CHAINS __attribute__((optimize("no-tree-slp-vectorize", "no-tree-loop-vectorize")))
#else
#define TV_SCALAR_CHAINS
#endif

// The sums of M consecutive blocks from `base`: the first M - 1 have
// kSumBlock elements, the last `last` (1 to kSumBlock).
template <class T, std::size_t M>
TV_SCALAR_CHAINS void sum_blocks(const T* base, std::size_t last, T* sums) {
    T acc[M] = {};
    std::size_t i = 0;
    for (; i < last; ++i)
        for (std::size_t g = 0; g < M; ++g) acc[g] += base[g * kSumBlock + i];
    for (; i < kSumBlock; ++i)
        for (std::size_t g = 0; g + 1 < M; ++g) acc[g] += base[g * kSumBlock + i];
    for (std::size_t g = 0; g < M; ++g) sums[g] = acc[g];
}

template <class T, std::size_t... M>
void sum_group(std::size_t m, const T* base, std::size_t last, T* sums, std::index_sequence<M...>) {
    ((m == M + 1 ? sum_blocks<T, M + 1>(base, last, sums) : void()), ...);
}

template <class T>
T sum(const T* xs, std::size_t n, bool by_blocks) {
    if (!by_blocks || std::is_integral_v<T>) return sum_run(xs, n);
    const std::size_t blocks = (n + kSumBlock - 1) / kSumBlock;
    T total = T(0);
    for (std::size_t first = 0; first < blocks; first += kBlocksAtOnce) {
        const std::size_t m = blocks - first < kBlocksAtOnce ? blocks - first : kBlocksAtOnce;
        const std::size_t last = n - (first + m - 1) * kSumBlock;
        T sums[kBlocksAtOnce];
        sum_group(m, xs + first * kSumBlock, last < kSumBlock ? last : kSumBlock, sums,
                  std::make_index_sequence<kBlocksAtOnce>{});
        for (std::size_t g = 0; g < m; ++g) total += sums[g];  // in block order
    }
    return total;
}

// The smaller (Min) or greater of x and best; best when they do not compare.
// Written once for scalars and for vectors, whose lanes choose exactly as
// the scalar does: `x < best ? x : best` lane by lane.
template <bool Min, class V>
[[gnu::always_inline]] inline V choose(V x, V best) {
    if constexpr (Min) return x < best ? x : best;
    else return x > best ? x : best;
}

// Several vectors of lanes, each lane keeping the extreme of every element
// at its position; the lanes are combined at the end. Which of several NaNs
// or signed zeros wins is left open; the result is always an element.
template <bool Min, class T>
T extreme(const T* xs, std::size_t n) {
    constexpr std::size_t kWidth = kLanes<T>;
    constexpr std::size_t kVectors = 4;
    constexpr std::size_t kStep = kWidth * kVectors;
    T best = xs[0];
    std::size_t k = 1;
    if (n >= 2 * kStep) {
        Vec<T> acc[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) acc[v] = load(xs + v * kWidth);
        for (k = kStep; k + kStep <= n; k += kStep)
            for (std::size_t v = 0; v < kVectors; ++v) acc[v] = choose<Min>(load(xs + k + v * kWidth), acc[v]);
        for (std::size_t v = 1; v < kVectors; ++v) acc[0] = choose<Min>(acc[v], acc[0]);
        best = acc[0][0];
        for (std::size_t j = 1; j < kWidth; ++j) best = choose<Min>(acc[0][j], best);
    }
    for (; k < n; ++k) best = choose<Min>(xs[k], best);
    return best;
}

template <class T>
T min(const T* xs, std::size_t n) {
    return extreme<true>(xs, n);
}

template <class T>
T max(const T* xs, std::size_t n) {
    return extreme<false>(xs, n);
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
