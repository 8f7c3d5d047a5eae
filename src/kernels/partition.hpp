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
#include <immintrin.h>
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
struct Wide;

template <>
struct Wide<float> {
    using V = __m512;
    using M = __mmask16;
    static V splat(float x) { return _mm512_set1_ps(x); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V load(const float* p, M m) { return _mm512_maskz_loadu_ps(m, p); }
    static M less(V a, V b, M m) { return _mm512_mask_cmp_ps_mask(m, a, b, _CMP_LT_OQ); }
    static M less_equal(V a, V b, M m) { return _mm512_mask_cmp_ps_mask(m, a, b, _CMP_LE_OQ); }
    static M unordered(V a, M m) { return _mm512_mask_cmp_ps_mask(m, a, a, _CMP_UNORD_Q); }
    static V compress(M m, V a) { return _mm512_maskz_compress_ps(m, a); }
    static void store(float* p, V a) { _mm512_storeu_ps(p, a); }
    static void store(float* p, M m, V a) { _mm512_mask_compressstoreu_ps(p, m, a); }
};

template <>
struct Wide<double> {
    using V = __m512d;
    using M = __mmask8;
    static V splat(double x) { return _mm512_set1_pd(x); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V load(const double* p, M m) { return _mm512_maskz_loadu_pd(m, p); }
    static M less(V a, V b, M m) { return _mm512_mask_cmp_pd_mask(m, a, b, _CMP_LT_OQ); }
    static M less_equal(V a, V b, M m) { return _mm512_mask_cmp_pd_mask(m, a, b, _CMP_LE_OQ); }
    static M unordered(V a, M m) { return _mm512_mask_cmp_pd_mask(m, a, a, _CMP_UNORD_Q); }
    static V compress(M m, V a) { return _mm512_maskz_compress_pd(m, a); }
    static void store(double* p, V a) { _mm512_storeu_pd(p, a); }
    static void store(double* p, M m, V a) { _mm512_mask_compressstoreu_pd(p, m, a); }
};

// Integers of 32 and 64 bits, signed or not, compared as their type.
template <class T>
    requires(std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8))
struct Wide<T> {
    static constexpr bool k32 = sizeof(T) == 4;
    static constexpr bool kSigned = std::is_signed_v<T>;
    using V = __m512i;
    using M = std::conditional_t<k32, __mmask16, __mmask8>;
    static V splat(T x) {
        if constexpr (k32) return _mm512_set1_epi32(static_cast<int>(x));
        else return _mm512_set1_epi64(static_cast<long long>(x));
    }
    static V load(const T* p) { return _mm512_loadu_si512(p); }
    static V load(const T* p, M m) {
        if constexpr (k32) return _mm512_maskz_loadu_epi32(m, p);
        else return _mm512_maskz_loadu_epi64(m, p);
    }
    template <int Op>
    static M compare(V a, V b, M m) {
        if constexpr (k32 && kSigned) return _mm512_mask_cmp_epi32_mask(m, a, b, Op);
        else if constexpr (k32) return _mm512_mask_cmp_epu32_mask(m, a, b, Op);
        else if constexpr (kSigned) return _mm512_mask_cmp_epi64_mask(m, a, b, Op);
        else return _mm512_mask_cmp_epu64_mask(m, a, b, Op);
    }
    static M less(V a, V b, M m) { return compare<_MM_CMPINT_LT>(a, b, m); }
    static M less_equal(V a, V b, M m) { return compare<_MM_CMPINT_LE>(a, b, m); }
    static M unordered(V, M) { return 0; }
    static V compress(M m, V a) {
        if constexpr (k32) return _mm512_maskz_compress_epi32(m, a);
        else return _mm512_maskz_compress_epi64(m, a);
    }
    static void store(T* p, V a) { _mm512_storeu_si512(p, a); }
    static void store(T* p, M m, V a) {
        if constexpr (k32) _mm512_mask_compressstoreu_epi32(p, m, a);
        else _mm512_mask_compressstoreu_epi64(p, m, a);
    }
};

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
            W::store(out + kept, keep, x);
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
