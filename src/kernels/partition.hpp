// The passes of median's selection over its candidates: keeping those that
// lie in a closed range, and counting those under a value. No Python here.
// Compiled once per instruction set (see kernels/target.hpp).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__AVX512F__)
#include "kernels/wide.hpp"
#endif

namespace telvaran::kernels::TV_KERNEL_TARGET {

// The sort key of a float from its bits: the unsigned order of keys is the
// order of the sort (the two zeros share a key; every NaN lies above +inf,
// by its bits without the sign). The same mapping as the radix sort's, kept
// here so that each instruction set's copy is its own.
template <class T>
[[gnu::always_inline]] inline radix::Bits<T> float_key(T x) {
    using U = radix::Bits<T>;
    constexpr U sign = U(U(1) << (8 * sizeof(U) - 1));
    constexpr U inf = std::bit_cast<U>(std::numeric_limits<T>::infinity());
    const U raw = std::bit_cast<U>(x);
    const U magnitude = U(raw & U(~sign));
    const U nonzero_number = U(U(magnitude - 1) < inf);
    const U flip = U(U(0) - U(U(raw >> (8 * sizeof(U) - 1)) & nonzero_number));
    return U(U(magnitude | sign) ^ flip);
}

#if defined(__AVX512F__)
// AVX-512 compares a register of elements into masks and compresses the
// kept ones together in a register; the whole register is then stored, so
// the lanes past the kept ones land on places that are either written again
// later or lie past the end of what is kept. Those places were read already
// when `out` is `xs`, since no more elements are ever kept than have been
// read. Bytes and 16-bit elements need VBMI2 for their compress.
template <class T>
inline constexpr bool kWide = std::is_floating_point_v<T> || sizeof(T) >= 4 || kWideSmall;

// The register loop of a pass: split(x, lanes) gives the masks of the lanes
// under the range and of those in it. Moves i past the elements it took.
template <class T, class Split>
[[gnu::always_inline]] inline std::size_t keep_lanes(const T* xs, std::size_t n, T* out, std::size_t& i,
                                                     std::size_t& under, Split split) {
    using W = Wide<T>;
    using M = typename W::M;
    constexpr std::size_t kLanes512 = 64 / sizeof(T);
    std::size_t kept = 0;
    // Two registers a step: their compares and compresses overlap.
    for (; i + 2 * kLanes512 <= n; i += 2 * kLanes512) {
        const auto x = W::load(xs + i);
        const auto y = W::load(xs + i + kLanes512);
        const auto [x_lt, x_keep] = split(x, M(~M(0)));
        const auto [y_lt, y_keep] = split(y, M(~M(0)));
        const auto x_kept = W::compress(x_keep, x);
        const auto y_kept = W::compress(y_keep, y);
        W::store(out + kept, x_kept);
        kept += std::size_t(std::popcount(std::uint64_t(x_keep)));
        W::store(out + kept, y_kept);
        kept += std::size_t(std::popcount(std::uint64_t(y_keep)));
        under += std::size_t(std::popcount(std::uint64_t(x_lt)) + std::popcount(std::uint64_t(y_lt)));
    }
    for (; i + kLanes512 <= n; i += kLanes512) {
        const auto x = W::load(xs + i);
        const auto [lt, keep] = split(x, M(~M(0)));
        W::store(out + kept, W::compress(keep, x));
        kept += std::size_t(std::popcount(std::uint64_t(keep)));
        under += std::size_t(std::popcount(std::uint64_t(lt)));
    }
    if (i < n) {
        const M tail = M((std::uint64_t(1) << (n - i)) - 1);
        const auto x = W::load(xs + i, tail);
        const auto [lt, keep] = split(x, tail);
        compress_store<T>(out + kept, keep, x);
        kept += std::size_t(std::popcount(std::uint64_t(keep)));
        under += std::size_t(std::popcount(std::uint64_t(lt)));
        i = n;
    }
    return kept;
}
#endif

// Writes to `out`, in input order, the elements x of xs with lo <= x <= hi,
// and returns how many; adds to *below the number with x < lo. NaN compares
// with nothing, so it is neither kept nor below. `out` has room for n
// elements, or is xs itself: each element is written, and the place moves
// on only past a kept one.
template <class T>
std::size_t keep_between(const T* xs, std::size_t n, T lo, T hi, T* out, std::size_t* below) {
    std::size_t i = 0;
    std::size_t kept = 0;
    std::size_t under = 0;
#if defined(__AVX512F__)
    if constexpr (kWide<T>) {
        using W = Wide<T>;
        const auto vlo = W::splat(lo);
        const auto vhi = W::splat(hi);
        kept = keep_lanes(xs, n, out, i, under, [&](auto x, auto lanes) {
            const auto lt = W::less(x, vlo, lanes);
            return std::pair{lt, W::less_equal(x, vhi, decltype(lanes)(lanes & ~lt))};
        });
    }
#endif
    for (; i < n; ++i) {
        const T x = xs[i];
        under += x < lo;
        out[kept] = x;
        kept += (x >= lo) & (x <= hi);
    }
    *below += under;
    return kept;
}

// The same for floats by their sort keys (see float_key), so that NaN has
// its place, and a denormal is never read as zero whatever the processor
// is told about them.
template <class T>
std::size_t keep_keys_between(const T* xs, std::size_t n, radix::Bits<T> lo, radix::Bits<T> hi, T* out,
                              std::size_t* below) {
    using U = radix::Bits<T>;
    std::size_t i = 0;
    std::size_t kept = 0;
    std::size_t under = 0;
#if defined(__AVX512F__)
    using K = Wide<U>;
    const auto vlo = K::splat(lo);
    const auto vhi = K::splat(hi);
    kept = keep_lanes(xs, n, out, i, under, [&](auto x, auto lanes) {
        const auto key = Wide<T>::key(x);
        const auto lt = K::less(key, vlo, lanes);
        return std::pair{lt, K::less_equal(key, vhi, decltype(lanes)(lanes & ~lt))};
    });
#endif
    for (; i < n; ++i) {
        const T x = xs[i];
        const U key = float_key(x);
        under += key < lo;
        out[kept] = x;
        kept += (key >= lo) & (key <= hi);
    }
    *below += under;
    return kept;
}

// How many of the n elements are under t: vectors of byte counters, each
// taken into the total before it can overflow.
template <class T>
std::size_t count_below(const T* xs, std::size_t n, T t) {
    static_assert(sizeof(T) == 1);
    constexpr std::size_t kWidth = kLanes<T>;
    Vec<T> limit;
    for (std::size_t l = 0; l < kWidth; ++l) limit[l] = t;
    std::size_t count = 0;
    std::size_t i = 0;
    while (i + kWidth <= n) {
        Vec<std::uint8_t> counters = {};
        const std::size_t stop = std::min(n - kWidth + 1, i + 255 * kWidth);
        for (; i < stop; i += kWidth) counters -= reinterpret_cast<Vec<std::uint8_t>>(load(xs + i) < limit);
        for (std::size_t l = 0; l < kWidth; ++l) count += counters[l];
    }
    for (; i < n; ++i) count += xs[i] < t;
    return count;
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
