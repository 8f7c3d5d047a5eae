// Reductions over contiguous elements: sum, min, max. No Python here.
// Compiled once per instruction set (see kernels/target.hpp).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#if defined(__AVX512F__)
#include "kernels/wide.hpp"
#endif

namespace telvaran::kernels::TV_KERNEL_TARGET {

// Floats: one pass, one accumulator, strictly left to right. Integers: the
// wrapping sum is associative, so it is taken in four vectors of lanes, each
// its own chain of additions. With one vector the loop is a single load and
// add waiting on the last, and its few bytes of code run at half speed
// when they happen to straddle a 64-byte fetch block (16-bit sums over
// 100,000 elements on Zen 4: 1.6 times the time of a plain read), which is
// where a build's layout happens to put them.
template <class T>
T sum_run(const T* xs, std::size_t n) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        constexpr std::size_t kWidth = kLanes<U>;
        constexpr std::size_t kVectors = 4;
        const U* items = reinterpret_cast<const U*>(xs);
        std::size_t k = 0;
        U total = 0;
        if (n >= kWidth * kVectors) {
            Vec<U> acc[kVectors] = {};
            for (; k + kWidth * kVectors <= n; k += kWidth * kVectors)
                for (std::size_t v = 0; v < kVectors; ++v) acc[v] += load(items + k + v * kWidth);
            for (std::size_t v = 1; v < kVectors; ++v) acc[0] += acc[v];
            for (std::size_t j = 0; j < kWidth; ++j) total = static_cast<U>(total + acc[0][j]);
        }
        for (; k < n; ++k) total = static_cast<U>(total + items[k]);
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

#if defined(__AVX512F__)
// With AVX-512, blocks are summed a vector's width at a time, one block to
// a lane (16 float or 8 double blocks; a group at the end has fewer, the
// last of them shorter, and idle lanes). A step loads the next few
// elements of every block, one vector per block, and transposes them in
// registers, so that each resulting vector holds one element of every block;
// those are then added to the lanes in element order. Every block is still
// summed left to right from +0.0, so the block sums are unchanged; only
// the vector additions replace the scalar ones and the loads are whole.

// Lane by lane shuffles of four 128-bit quarters: {a.q0, a.q2, b.q0, b.q2}
// and {a.q1, a.q3, b.q1, b.q3}. The shuffles and unpacks here are the
// zero-masking forms with every lane set, which are the plain instructions:
// GCC 12 reports the unmasked intrinsics' undefined start register as used
// uninitialised once they are inlined deep enough.
[[gnu::always_inline]] inline __m512 even_quarters(__m512 a, __m512 b) {
    return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0x88);
}
[[gnu::always_inline]] inline __m512 odd_quarters(__m512 a, __m512 b) {
    return _mm512_maskz_shuffle_f32x4(0xFFFF, a, b, 0xDD);
}
[[gnu::always_inline]] inline __m512d even_quarters(__m512d a, __m512d b) {
    return _mm512_maskz_shuffle_f64x2(0xFF, a, b, 0x88);
}
[[gnu::always_inline]] inline __m512d odd_quarters(__m512d a, __m512d b) {
    return _mm512_maskz_shuffle_f64x2(0xFF, a, b, 0xDD);
}

// From four vectors whose quarter q holds column q*s + k of four row groups
// (group g in vector g), the four columns k, s + k, 2s + k, 3s + k.
template <class V>
[[gnu::always_inline]] inline void gather_quarters(V g0, V g1, V g2, V g3, V* col, std::size_t s, std::size_t k) {
    const V v0 = even_quarters(g0, g1);
    const V v1 = odd_quarters(g0, g1);
    const V v2 = even_quarters(g2, g3);
    const V v3 = odd_quarters(g2, g3);
    col[k] = even_quarters(v0, v2);
    col[s + k] = even_quarters(v1, v3);
    col[2 * s + k] = odd_quarters(v0, v2);
    col[3 * s + k] = odd_quarters(v1, v3);
}

// 16 blocks of floats: rows r[g] are 16 elements of block g; col[c] gets
// element c of each block.
[[gnu::always_inline]] inline void transpose(const __m512* r, __m512* col) {
    __m512 u[4][4];  // u[G][k], quarter L: elements 4L + k of rows 4G..4G+3
    for (std::size_t G = 0; G < 4; ++G) {
        const __m512 t0 = _mm512_maskz_unpacklo_ps(0xFFFF, r[4 * G], r[4 * G + 1]);
        const __m512 t1 = _mm512_maskz_unpackhi_ps(0xFFFF, r[4 * G], r[4 * G + 1]);
        const __m512 t2 = _mm512_maskz_unpacklo_ps(0xFFFF, r[4 * G + 2], r[4 * G + 3]);
        const __m512 t3 = _mm512_maskz_unpackhi_ps(0xFFFF, r[4 * G + 2], r[4 * G + 3]);
        u[G][0] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(0xFF, _mm512_castps_pd(t0), _mm512_castps_pd(t2)));
        u[G][1] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(0xFF, _mm512_castps_pd(t0), _mm512_castps_pd(t2)));
        u[G][2] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(0xFF, _mm512_castps_pd(t1), _mm512_castps_pd(t3)));
        u[G][3] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(0xFF, _mm512_castps_pd(t1), _mm512_castps_pd(t3)));
    }
    for (std::size_t k = 0; k < 4; ++k) gather_quarters(u[0][k], u[1][k], u[2][k], u[3][k], col, 4, k);
}

// 8 blocks of doubles: rows r[g] are 8 elements of block g.
[[gnu::always_inline]] inline void transpose(const __m512d* r, __m512d* col) {
    __m512d t[4][2];  // t[p][k], quarter L: elements 2L + k of rows 2p, 2p+1
    for (std::size_t p = 0; p < 4; ++p) {
        t[p][0] = _mm512_maskz_unpacklo_pd(0xFF, r[2 * p], r[2 * p + 1]);
        t[p][1] = _mm512_maskz_unpackhi_pd(0xFF, r[2 * p], r[2 * p + 1]);
    }
    for (std::size_t k = 0; k < 2; ++k) gather_quarters(t[0][k], t[1][k], t[2][k], t[3][k], col, 2, k);
}

// The sums of the 64 / sizeof(T) whole blocks from `base`, in `sums`.
template <class T>
void sum_whole_block_lanes(const T* base, T* sums) {
    using L = Wide<T>;
    constexpr std::size_t kWidth = 64 / sizeof(T);
    typename L::V acc = L::zero();
    for (std::size_t i = 0; i < kSumBlock; i += kWidth) {
        typename L::V rows[kWidth];
        typename L::V cols[kWidth];
        for (std::size_t g = 0; g < kWidth; ++g) rows[g] = L::load(base + g * kSumBlock + i);
        transpose(rows, cols);
        for (std::size_t c = 0; c < kWidth; ++c) acc = L::add(acc, cols[c]);
    }
    L::store(sums, acc);
}

// The same for m blocks (1 to the width), the last of them `last` elements
// long (1 to kSumBlock): rows past the blocks are zeros, and masked
// additions give each lane exactly its own block's additions.
template <class T>
void sum_block_lanes(const T* base, std::size_t m, std::size_t last, T* sums) {
    using L = Wide<T>;
    using M = typename L::M;
    constexpr std::size_t kWidth = 64 / sizeof(T);
    if (m == kWidth && last == kSumBlock) return sum_whole_block_lanes(base, sums);
    const M whole = M((std::uint32_t(1) << (m - 1)) - 1);  // the lanes of the whole blocks
    const M last_lane = M(std::uint32_t(1) << (m - 1));
    const T* last_block = base + (m - 1) * kSumBlock;
    typename L::V acc = L::zero();
    for (std::size_t i = 0; i < kSumBlock; i += kWidth) {
        const std::size_t valid = last > i ? std::min(kWidth, last - i) : 0;  // of the last block
        if (m == 1 && valid == 0) break;
        typename L::V rows[kWidth];
        typename L::V cols[kWidth];
        for (std::size_t g = 0; g + 1 < m; ++g) rows[g] = L::load(base + g * kSumBlock + i);
        rows[m - 1] = valid ? L::load(last_block + i, M((std::uint32_t(1) << valid) - 1)) : L::zero();
        for (std::size_t g = m; g < kWidth; ++g) rows[g] = L::zero();
        transpose(rows, cols);
        for (std::size_t c = 0; c < kWidth; ++c) acc = L::add(acc, M(whole | (c < valid ? last_lane : 0)), cols[c]);
    }
    L::store(sums, acc);
}
#endif

template <class T>
T sum(const T* xs, std::size_t n, bool by_blocks) {
    if (!by_blocks || std::is_integral_v<T>) return sum_run(xs, n);
    const std::size_t blocks = (n + kSumBlock - 1) / kSumBlock;
    T total = T(0);
    std::size_t first = 0;
#if defined(__AVX512F__)
    if constexpr (std::is_floating_point_v<T>) {
        // A group of blocks costs the same however many lanes it fills: the
        // trailing blocks take the lanes only when they fill three quarters
        // of them (13 float blocks, 100,000 elements: 0.7 of the time of
        // scalar chains; 3 blocks: twice it).
        constexpr std::size_t kLanes512 = 64 / sizeof(T);
        for (; first < blocks && 4 * (blocks - first) >= 3 * kLanes512; first += kLanes512) {
            const std::size_t m = std::min(kLanes512, blocks - first);
            const std::size_t last = std::min(kSumBlock, n - (first + m - 1) * kSumBlock);
            T sums[kLanes512];
            sum_block_lanes(xs + first * kSumBlock, m, last, sums);
            for (std::size_t g = 0; g < m; ++g) total += sums[g];  // in block order
        }
    }
#endif
    for (; first < blocks; first += kBlocksAtOnce) {
        const std::size_t m = blocks - first < kBlocksAtOnce ? blocks - first : kBlocksAtOnce;
        const std::size_t last = n - (first + m - 1) * kSumBlock;
        T sums[kBlocksAtOnce];
        sum_group(m, xs + first * kSumBlock, last < kSumBlock ? last : kSumBlock, sums,
                  std::make_index_sequence<kBlocksAtOnce>{});
        for (std::size_t g = 0; g < m; ++g) total += sums[g];  // in block order
    }
    return total;
}

// An element as the nearest double. x86 before AVX-512 converts only
// signed 64-bit integers, so compilers convert an unsigned one with a
// branch on its top bit, which data reaching 2^63 takes at random. Here its
// two 32-bit halves become exact doubles by their bits, 2^52 + low and
// 2^84 + high * 2^32; subtracting 2^84 + 2^52 from the second is exact, and
// adding the first rounds once: the correctly rounded value, as fast as the
// signed conversion (10,000,000 elements, AVX-512 or not).
template <class T>
[[gnu::always_inline]] inline double as_double(T x) {
#if defined(__x86_64__)
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        const double low = std::bit_cast<double>((x & 0xFFFFFFFFu) | 0x4330000000000000u);
        const double high = std::bit_cast<double>((x >> 32) | 0x4530000000000000u);
        return (high - (0x1p84 + 0x1p52)) + low;
    }
#endif
    return static_cast<double>(x);
}

// The squared deviations of the elements about m, added one at a time in
// element order: the variance's sum, whose every rounding is fixed.
template <class T>
double squared_deviations(const T* xs, std::size_t n, double m) {
    double s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double d = as_double(xs[k]) - m;
        s += d * d;
    }
    return s;
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
