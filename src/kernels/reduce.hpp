// Reductions over runs of elements: sum, min, max. No Python here.
// Compiled once per instruction set (see kernels/target.hpp).
//
// An input is one run of contiguous memory or several (the chunks of an
// Arrow column, read where they lie). Blocks of a float sum and windows of
// min and max are cut by the elements' positions in the whole input, never
// by the runs, so the same elements give the same rounding and the same
// element picked however they are split into runs.
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__AVX512F__)
#include "kernels/wide.hpp"
#endif

namespace telvaran::kernels::TV_KERNEL_TARGET {

// Floats: one pass, one accumulator, strictly left to right, continuing
// from `total`. Integers: the wrapping sum is associative, so it is taken in
// four vectors of lanes, each its own chain of additions. With one vector
// the loop is a single load and add waiting on the last, and its few bytes
// of code run at half speed when they happen to straddle a 64-byte fetch
// block (16-bit sums over 100,000 elements on Zen 4: 1.6 times the time of a
// plain read), which is where a build's layout happens to put them.
template <class T>
T sum_run(const T* xs, std::size_t n, T total = T(0)) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        constexpr std::size_t kWidth = kLanes<U>;
        constexpr std::size_t kVectors = 4;
        const U* items = reinterpret_cast<const U*>(xs);
        std::size_t k = 0;
        U acc_total = static_cast<U>(total);
        if (n >= kWidth * kVectors) {
            Vec<U> acc[kVectors] = {};
            for (; k + kWidth * kVectors <= n; k += kWidth * kVectors)
                for (std::size_t v = 0; v < kVectors; ++v) acc[v] += load(items + k + v * kWidth);
            for (std::size_t v = 1; v < kVectors; ++v) acc[0] += acc[v];
            for (std::size_t j = 0; j < kWidth; ++j) acc_total = static_cast<U>(acc_total + acc[0][j]);
        }
        for (; k < n; ++k) acc_total = static_cast<U>(acc_total + items[k]);
        return static_cast<T>(acc_total);
    } else {
        for (std::size_t k = 0; k < n; ++k) total += xs[k];
        return total;
    }
}

// A position in a list of runs of T.
template <class T>
struct RunCursor {
    const Run* run;
    std::size_t at = 0;  // elements of *run already passed

    const T* here() const { return static_cast<const T*>(run->data) + at; }
    std::size_t left() const { return run->count - at; }
    // Moves n (at most left()) elements on; at the end of a run, to the next.
    void step(std::size_t n) {
        at += n;
        if (at == run->count) {
            ++run;
            at = 0;
        }
    }
    // Moves n elements on, across runs (no more than remain in all of them).
    void skip(std::size_t n) {
        while (n > 0) {
            const std::size_t k = std::min(n, left());
            step(k);
            n -= k;
        }
    }
};

// Float blocks are summed several at a time, side by side: each block keeps
// its own accumulator and adds its elements strictly left to right, so every
// block sum is exactly the one-at-a-time sum, but the independent chains of
// additions overlap in the processor instead of each waiting on itself. A
// group of fewer blocks at the end (the trailing ones, the last of them
// shorter) runs side by side too.
inline constexpr std::size_t kBlocksAtOnce = 8;
inline constexpr std::size_t kMostLanes = 16;  // blocks in a group, with AVX-512 float lanes

// Where the blocks of a group read in one segment (see walk_group). Blocks
// in one run lie one after another, kSumBlock elements apart, and are
// addressed from the first, which leaves the registers to the sums; blocks
// across runs each have a pointer of their own.
template <class T>
struct Spaced {
    const T* first;
    const T* operator[](std::size_t g) const { return first + g * kSumBlock; }
};

template <class T>
struct Scattered {
    const T* const* rows;
    const T* operator[](std::size_t g) const { return rows[g]; }
};

// The blocks of a group lie in one run or across several. They are walked
// side by side in segments along which none of them leaves its run: each
// block then reads a row of contiguous elements, all rows of a segment have
// the same length, and a block whose run ends continues in the next run with
// the next segment. `add(rows, active, n)` adds elements [0, n) of the rows
// of the first `active` blocks to their sums, in order. Every block has
// kSumBlock elements but the group's last, which has `last` (1 to kSumBlock)
// and drops out when it ends. The cursors end where their blocks end.
template <class T, class Add>
void walk_group(RunCursor<T>* blocks, std::size_t m, std::size_t last, Add&& add) {
    for (std::size_t done = 0; done < kSumBlock;) {
        const std::size_t active = done < last ? m : m - 1;
        if (active == 0) return;
        std::size_t n = (done < last ? last : kSumBlock) - done;
        const T* rows[kMostLanes];
        for (std::size_t g = 0; g < active; ++g) {
            n = std::min(n, blocks[g].left());
            rows[g] = blocks[g].here();
        }
        // The first and the last block in one run: so are those between.
        if (blocks[0].run == blocks[active - 1].run) add(Spaced<T>{rows[0]}, active, n);
        else add(Scattered<T>{rows}, active, n);
        for (std::size_t g = 0; g < active; ++g) blocks[g].step(n);
        done += n;
    }
}

// The chains are kept as scalars: built from one element of each of
// several blocks, vectors cost more than they save (GCC's straight-line
// vectoriser builds them lane by lane).
#if defined(__GNUC__) && !defined(__clang__)
#define TV_SCALAR_CHAINS __attribute__((optimize("no-tree-slp-vectorize", "no-tree-loop-vectorize")))
#else
#define TV_SCALAR_CHAINS
#endif

template <class T, std::size_t Lanes, class Rows>
TV_SCALAR_CHAINS void add_rows(Rows rows, std::size_t n, T* sums) {
    T acc[Lanes];
    for (std::size_t g = 0; g < Lanes; ++g) acc[g] = sums[g];
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t g = 0; g < Lanes; ++g) acc[g] += rows[g][i];
    for (std::size_t g = 0; g < Lanes; ++g) sums[g] = acc[g];
}

template <class T, class Rows, std::size_t... L>
void add_rows_of(std::size_t lanes, Rows rows, std::size_t n, T* sums, std::index_sequence<L...>) {
    ((lanes == L + 1 ? add_rows<T, L + 1>(rows, n, sums) : void()), ...);
}

// The sums of a group of m blocks (at most kBlocksAtOnce), as scalar chains.
template <class T>
void sum_block_chains(RunCursor<T>* blocks, std::size_t m, std::size_t last, T* sums) {
    T acc[kBlocksAtOnce] = {};
    walk_group(blocks, m, last, [&](auto rows, std::size_t active, std::size_t n) {
        add_rows_of(active, rows, n, acc, std::make_index_sequence<kBlocksAtOnce>{});
    });
    for (std::size_t g = 0; g < m; ++g) sums[g] = acc[g];
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

// GCC 12 takes the undefined operand that its shuffle intrinsics pass for
// the masked-off lanes (_mm512_undefined_ps, none here) for an uninitialised
// read once the transposes are inlined into a loop.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

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

// Adds elements [0, n) of the rows of the first `active` blocks to their
// lanes of `acc`. Rows of idle lanes are zeros and masked additions leave
// those lanes alone; a step past the end of the rows loads only what is
// there and adds only those columns.
template <class T, class Rows>
typename Wide<T>::V add_row_lanes(Rows rows, std::size_t active, std::size_t n, typename Wide<T>::V acc) {
    using L = Wide<T>;
    using M = typename L::M;
    constexpr std::size_t kWidth = 64 / sizeof(T);
    const M used = M((std::uint32_t(1) << active) - 1);
    typename L::V r[kWidth];
    typename L::V cols[kWidth];
    std::size_t i = 0;
    if (active == kWidth) {
        for (; i + kWidth <= n; i += kWidth) {
            for (std::size_t g = 0; g < kWidth; ++g) r[g] = L::load(rows[g] + i);
            transpose(r, cols);
            for (std::size_t c = 0; c < kWidth; ++c) acc = L::add(acc, cols[c]);
        }
    } else {
        for (; i + kWidth <= n; i += kWidth) {
            for (std::size_t g = 0; g < kWidth; ++g) r[g] = g < active ? L::load(rows[g] + i) : L::zero();
            transpose(r, cols);
            for (std::size_t c = 0; c < kWidth; ++c) acc = L::add(acc, used, cols[c]);
        }
    }
    if (i < n) {
        const std::size_t valid = n - i;
        const M part = M((std::uint32_t(1) << valid) - 1);
        for (std::size_t g = 0; g < kWidth; ++g) r[g] = g < active ? L::load(rows[g] + i, part) : L::zero();
        transpose(r, cols);
        for (std::size_t c = 0; c < valid; ++c) acc = L::add(acc, used, cols[c]);
    }
    return acc;
}

// The sums of a group of m blocks (at most the width), one to a lane.
template <class T>
void sum_block_lanes(RunCursor<T>* blocks, std::size_t m, std::size_t last, T* sums) {
    using L = Wide<T>;
    typename L::V acc = L::zero();
    walk_group(blocks, m, last, [&](auto rows, std::size_t active, std::size_t n) {
        acc = add_row_lanes<T>(rows, active, n, acc);
    });
    L::store(sums, acc);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// Sums of 8192-element blocks, in block order, over n elements in runs.
template <class T>
T sum_by_blocks(const Run* runs, std::size_t n) {
    const std::size_t blocks = (n + kSumBlock - 1) / kSumBlock;
    RunCursor<T> at{runs};
    T total = T(0);
    std::size_t first = 0;
    auto group = [&](std::size_t m, auto sum_group) {
        const std::size_t last = std::min(kSumBlock, n - (first + m - 1) * kSumBlock);
        RunCursor<T> cursors[kMostLanes];
        cursors[0] = at;
        for (std::size_t g = 1; g < m; ++g) {
            cursors[g] = cursors[g - 1];
            cursors[g].skip(kSumBlock);
        }
        T sums[kMostLanes];
        sum_group(cursors, m, last, sums);
        at = cursors[m - 1];
        for (std::size_t g = 0; g < m; ++g) total += sums[g];  // in block order
    };
#if defined(__AVX512F__)
    if constexpr (std::is_floating_point_v<T>) {
        // A group of blocks costs the same however many lanes it fills: the
        // trailing blocks take the lanes only when they fill three quarters
        // of them (13 float blocks, 100,000 elements: 0.7 of the time of
        // scalar chains; 3 blocks: twice it).
        constexpr std::size_t kLanes512 = 64 / sizeof(T);
        for (std::size_t m = 0; first < blocks && 4 * (blocks - first) >= 3 * kLanes512; first += m) {
            m = std::min(kLanes512, blocks - first);
            group(m, sum_block_lanes<T>);
        }
    }
#endif
    for (std::size_t m = 0; first < blocks; first += m) {
        m = std::min(kBlocksAtOnce, blocks - first);
        group(m, sum_block_chains<T>);
    }
    return total;
}

template <class T>
T sum(const Run* runs, std::size_t count, bool by_blocks) {
    if constexpr (std::is_floating_point_v<T>) {
        if (by_blocks) {
            std::size_t n = 0;
            for (std::size_t k = 0; k < count; ++k) n += runs[k].count;
            return sum_by_blocks<T>(runs, n);
        }
    }
    T total = T(0);  // one pass, from one run into the next
    for (std::size_t k = 0; k < count; ++k) total = sum_run(static_cast<const T*>(runs[k].data), runs[k].count, total);
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
// element order onto `s`: the variance's sum, whose every rounding is fixed,
// continued from one run into the next.
template <class T>
double squared_deviations(const T* xs, std::size_t n, double m, double s) {
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
inline constexpr std::size_t kExtremeVectors = 4;

// The vectors take `windows` consecutive windows of kLanes * kExtremeVectors
// elements from `xs`.
template <bool Min, class T>
void take_windows(Vec<T>* acc, const T* xs, std::size_t windows) {
    constexpr std::size_t kWidth = kLanes<T>;
    for (std::size_t k = 0; k < windows; ++k, xs += kWidth * kExtremeVectors)
        for (std::size_t v = 0; v < kExtremeVectors; ++v) acc[v] = choose<Min>(load(xs + v * kWidth), acc[v]);
}

// The windows are cut by the elements' positions in the whole input (from
// the first element on, while a whole window remains), not by the runs:
// the windows inside a run are read where they lie, one that spans two
// runs is copied together first. So the same elements give the same
// element however they are split into runs. The runs hold at least one
// element.
template <bool Min, class T>
T extreme(const Run* runs, std::size_t count) {
    constexpr std::size_t kWidth = kLanes<T>;
    constexpr std::size_t kStep = kWidth * kExtremeVectors;
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k) n += runs[k].count;
    RunCursor<T> at{runs};
    T best = *at.here();
    std::size_t k = 1;
    if (n >= 2 * kStep) {
        T staged[kStep];
        auto spanning = [&]() -> const T* {  // a window across runs
            for (std::size_t copied = 0; copied < kStep;) {
                const std::size_t part = std::min(kStep - copied, at.left());
                std::memcpy(staged + copied, at.here(), part * sizeof(T));
                at.step(part);
                copied += part;
            }
            return staged;
        };
        Vec<T> acc[kExtremeVectors];
        const T* first = at.left() >= kStep ? at.here() : spanning();
        if (first != staged) at.step(kStep);
        for (std::size_t v = 0; v < kExtremeVectors; ++v) acc[v] = load(first + v * kWidth);
        for (k = kStep; k + kStep <= n;) {
            const std::size_t whole = std::min(at.left(), n - k) / kStep;  // the windows inside this run
            if (whole > 0) {
                take_windows<Min, T>(acc, at.here(), whole);
                at.step(whole * kStep);
            } else {
                take_windows<Min, T>(acc, spanning(), 1);
            }
            k += (whole > 0 ? whole : 1) * kStep;
        }
        for (std::size_t v = 1; v < kExtremeVectors; ++v) acc[0] = choose<Min>(acc[v], acc[0]);
        best = acc[0][0];
        for (std::size_t j = 1; j < kWidth; ++j) best = choose<Min>(acc[0][j], best);
    } else {
        at.step(1);  // the first element, which `best` holds already
    }
    while (k < n) {
        const std::size_t part = std::min(at.left(), n - k);
        const T* xs = at.here();
        for (std::size_t j = 0; j < part; ++j) best = choose<Min>(xs[j], best);
        at.step(part);
        k += part;
    }
    return best;
}

template <class T>
T min(const Run* runs, std::size_t count) {
    return extreme<true, T>(runs, count);
}

template <class T>
T max(const Run* runs, std::size_t count) {
    return extreme<false, T>(runs, count);
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
