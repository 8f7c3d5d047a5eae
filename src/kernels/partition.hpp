// Keeping the elements that lie in a closed range: the pass that median's
// selection makes over its candidates. No Python here. Compiled once per
// instruction set (see kernels/target.hpp).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__AVX512F__)
#include "kernels/wide.hpp"
#endif

namespace telvaran::kernels::TV_KERNEL_TARGET {

#if defined(__AVX512F__)
// AVX-512 compares 16 or 8 elements of 32 or 64 bits at once into a mask
// and compresses the kept ones together in a register; the whole register
// is then stored, so the lanes past the kept ones land on places that are
// either written again later or lie past the end of what is kept. Those
// places were read already when `out` is `xs`, since no more elements are
// ever kept than have been read.
template <class T>
inline constexpr bool kWide = std::is_floating_point_v<T> || sizeof(T) >= 4;
#else
template <class T>
inline constexpr bool kWide = false;
#endif

// Writes to `out`, in input order, the elements x of xs with lo <= x <= hi,
// and returns how many; adds to *below the number with x < lo. NaN compares
// with nothing, so it is neither kept nor below, and sets *unordered. `out`
// has room for n + 1 elements, or is xs itself: each element is written,
// and the place moves on only past a kept one.
template <class T>
std::size_t keep_between(const T* xs, std::size_t n, T lo, T hi, T* out, std::size_t* below, bool* unordered) {
    std::size_t i = 0;
    std::size_t kept = 0;
    std::size_t under = 0;
    bool nan = false;
#if defined(__AVX512F__)
    if constexpr (kWide<T>) {
        using W = Wide<T>;
        using M = typename W::M;
        constexpr std::size_t kLanes512 = 64 / sizeof(T);
        const auto vlo = W::splat(lo);
        const auto vhi = W::splat(hi);
        const M all = M(~M(0));
        for (; i + kLanes512 <= n; i += kLanes512) {
            const auto x = W::load(xs + i);
            const M lt = W::less(x, vlo, all);
            const M keep = M(W::less_equal(vlo, x, all) & W::less_equal(x, vhi, all));
            nan |= W::unordered(x, all) != 0;
            W::store(out + kept, W::compress(keep, x));
            kept += std::size_t(__builtin_popcount(unsigned(keep)));
            under += std::size_t(__builtin_popcount(unsigned(lt)));
        }
        if (i < n) {
            const M tail = M((std::uint32_t(1) << (n - i)) - 1);
            const auto x = W::load(xs + i, tail);
            const M lt = W::less(x, vlo, tail);
            const M keep = M(W::less_equal(vlo, x, tail) & W::less_equal(x, vhi, tail));
            nan |= W::unordered(x, tail) != 0;
            W::compress_store(out + kept, keep, x);
            kept += std::size_t(__builtin_popcount(unsigned(keep)));
            under += std::size_t(__builtin_popcount(unsigned(lt)));
            i = n;
        }
    }
#endif
    for (; i < n; ++i) {
        const T x = xs[i];
        if constexpr (std::is_floating_point_v<T>) nan |= x != x;
        under += x < lo;
        out[kept] = x;
        kept += (x >= lo) & (x <= hi);
    }
    *below += under;
    *unordered = *unordered || nan;
    return kept;
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
