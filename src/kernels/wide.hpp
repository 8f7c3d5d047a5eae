// One 512-bit register of float, double or integer elements, and the
// operations the AVX-512 kernels take from it. Included only by kernel
// headers, within an AVX-512 build; registers of 8- and 16-bit integers only
// where the build has VBMI2, whose compress takes them.
#pragma once

#if !defined(__AVX512F__)
#error "kernels/wide.hpp is for AVX-512 builds only"
#endif

#include "kernels/target.hpp"

#include <immintrin.h>

#include <bit>
#include <cstdint>
#include <type_traits>

namespace telvaran::kernels::TV_KERNEL_TARGET {

#if defined(__AVX512VBMI2__)
inline constexpr bool kWideSmall = true;
#else
inline constexpr bool kWideSmall = false;
#endif

template <class T>
struct Wide;

template <>
struct Wide<float> {
    using V = __m512;
    using M = __mmask16;
    static V zero() { return _mm512_setzero_ps(); }
    static V splat(float x) { return _mm512_set1_ps(x); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V load(const float* p, M m) { return _mm512_maskz_loadu_ps(m, p); }
    static M less(V a, V b, M m) { return _mm512_mask_cmp_ps_mask(m, a, b, _CMP_LT_OQ); }
    static M less_equal(V a, V b, M m) { return _mm512_mask_cmp_ps_mask(m, a, b, _CMP_LE_OQ); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V add(V a, M m, V b) { return _mm512_mask_add_ps(a, m, a, b); }  // a where m is clear
    static V compress(M m, V a) { return _mm512_maskz_compress_ps(m, a); }
    static void store(float* p, V a) { _mm512_storeu_ps(p, a); }
    static void store(float* p, M m, V a) { _mm512_mask_storeu_ps(p, m, a); }
    // The sort keys of the lanes (see float_key in kernels/partition.hpp).
    static __m512i key(V a) {
        const __m512i raw = _mm512_castps_si512(a);
        const __m512i sign = _mm512_set1_epi32(std::int32_t(0x80000000u));
        const __m512i magnitude = _mm512_and_si512(raw, _mm512_set1_epi32(0x7FFFFFFF));
        const __m512i below_inf = _mm512_set1_epi32(0x7F800000);
        const M number = _mm512_cmplt_epu32_mask(_mm512_sub_epi32(magnitude, _mm512_set1_epi32(1)), below_inf);
        const M negative = _mm512_mask_test_epi32_mask(number, raw, sign);
        const __m512i positive = _mm512_or_si512(magnitude, sign);
        return _mm512_mask_xor_epi32(positive, negative, positive, _mm512_set1_epi32(-1));
    }
};

template <>
struct Wide<double> {
    using V = __m512d;
    using M = __mmask8;
    static V zero() { return _mm512_setzero_pd(); }
    static V splat(double x) { return _mm512_set1_pd(x); }
    static V load(const double* p) { return _mm512_loadu_pd(p); }
    static V load(const double* p, M m) { return _mm512_maskz_loadu_pd(m, p); }
    static M less(V a, V b, M m) { return _mm512_mask_cmp_pd_mask(m, a, b, _CMP_LT_OQ); }
    static M less_equal(V a, V b, M m) { return _mm512_mask_cmp_pd_mask(m, a, b, _CMP_LE_OQ); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V add(V a, M m, V b) { return _mm512_mask_add_pd(a, m, a, b); }
    static V compress(M m, V a) { return _mm512_maskz_compress_pd(m, a); }
    static void store(double* p, V a) { _mm512_storeu_pd(p, a); }
    static void store(double* p, M m, V a) { _mm512_mask_storeu_pd(p, m, a); }
    static __m512i key(V a) {
        const __m512i raw = _mm512_castpd_si512(a);
        const __m512i sign = _mm512_set1_epi64(std::int64_t(0x8000000000000000ull));
        const __m512i magnitude = _mm512_and_si512(raw, _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFll));
        const __m512i below_inf = _mm512_set1_epi64(0x7FF0000000000000ll);
        const M number = _mm512_cmplt_epu64_mask(_mm512_sub_epi64(magnitude, _mm512_set1_epi64(1)), below_inf);
        const M negative = _mm512_mask_test_epi64_mask(number, raw, sign);
        const __m512i positive = _mm512_or_si512(magnitude, sign);
        return _mm512_mask_xor_epi64(positive, negative, positive, _mm512_set1_epi64(-1));
    }
};

// Integers, signed or not, compared as their type: of 32 and 64 bits, and
// of 8 and 16 where the build has VBMI2.
template <class T>
    requires(std::is_integral_v<T> && (sizeof(T) >= 4 || kWideSmall))
struct Wide<T> {
    static constexpr std::size_t kBits = 8 * sizeof(T);
    static constexpr bool kSigned = std::is_signed_v<T>;
    using V = __m512i;
    using M = std::conditional_t<kBits == 8, __mmask64,
                                 std::conditional_t<kBits == 16, __mmask32,
                                                    std::conditional_t<kBits == 32, __mmask16, __mmask8>>>;
    static V splat(T x) {
        if constexpr (kBits == 8) return _mm512_set1_epi8(static_cast<char>(x));
        else if constexpr (kBits == 16) return _mm512_set1_epi16(static_cast<short>(x));
        else if constexpr (kBits == 32) return _mm512_set1_epi32(static_cast<int>(x));
        else return _mm512_set1_epi64(static_cast<long long>(x));
    }
    static V load(const T* p) { return _mm512_loadu_si512(p); }
    static V load(const T* p, M m) {
        if constexpr (kBits == 8) return _mm512_maskz_loadu_epi8(m, p);
        else if constexpr (kBits == 16) return _mm512_maskz_loadu_epi16(m, p);
        else if constexpr (kBits == 32) return _mm512_maskz_loadu_epi32(m, p);
        else return _mm512_maskz_loadu_epi64(m, p);
    }
    template <int Op>
    static M compare(V a, V b, M m) {
        if constexpr (kBits == 8 && kSigned) return _mm512_mask_cmp_epi8_mask(m, a, b, Op);
        else if constexpr (kBits == 8) return _mm512_mask_cmp_epu8_mask(m, a, b, Op);
        else if constexpr (kBits == 16 && kSigned) return _mm512_mask_cmp_epi16_mask(m, a, b, Op);
        else if constexpr (kBits == 16) return _mm512_mask_cmp_epu16_mask(m, a, b, Op);
        else if constexpr (kBits == 32 && kSigned) return _mm512_mask_cmp_epi32_mask(m, a, b, Op);
        else if constexpr (kBits == 32) return _mm512_mask_cmp_epu32_mask(m, a, b, Op);
        else if constexpr (kSigned) return _mm512_mask_cmp_epi64_mask(m, a, b, Op);
        else return _mm512_mask_cmp_epu64_mask(m, a, b, Op);
    }
    static M less(V a, V b, M m) { return compare<_MM_CMPINT_LT>(a, b, m); }
    static M less_equal(V a, V b, M m) { return compare<_MM_CMPINT_LE>(a, b, m); }
    static V compress(M m, V a) {
        if constexpr (kBits == 32) return _mm512_maskz_compress_epi32(m, a);
        else if constexpr (kBits == 64) return _mm512_maskz_compress_epi64(m, a);
#if defined(__AVX512VBMI2__)
        else if constexpr (kBits == 16) return _mm512_maskz_compress_epi16(m, a);
        else return _mm512_maskz_compress_epi8(m, a);
#endif
    }
    static void store(T* p, V a) { _mm512_storeu_si512(p, a); }
    static void store(T* p, M m, V a) {
        if constexpr (kBits == 8) _mm512_mask_storeu_epi8(p, m, a);
        else if constexpr (kBits == 16) _mm512_mask_storeu_epi16(p, m, a);
        else if constexpr (kBits == 32) _mm512_mask_storeu_epi32(p, m, a);
        else _mm512_mask_storeu_epi64(p, m, a);
    }
};

// Writes the lanes of a selected by m, in order, from p on, and nothing
// else. Compressed in a register and written by a masked store: the
// compress whose destination is memory is microcoded on AMD Zen 4 (about
// 30 ns each there, against under 2 for this pair). Intel cores run either
// form fast, and this one is the same compress followed by a store.
template <class T>
[[gnu::always_inline]] inline void compress_store(T* p, typename Wide<T>::M m, typename Wide<T>::V a) {
    using W = Wide<T>;
    using M = typename W::M;
    const unsigned count = unsigned(std::popcount(std::uint64_t(m)));
    const M first = M(count == 8 * sizeof(M) ? ~std::uint64_t(0) : (std::uint64_t(1) << count) - 1);
    W::store(p, first, W::compress(m, a));
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
