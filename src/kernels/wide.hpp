// One 512-bit register of float, double or 32- and 64-bit integer
// elements, and the operations the AVX-512 kernels take from it. Included
// only by kernel headers, within an AVX-512 build.
#pragma once

#if !defined(__AVX512F__)
#error "kernels/wide.hpp is for AVX-512 builds only"
#endif

#include "kernels/target.hpp"

#include <immintrin.h>

#include <type_traits>

namespace telvaran::kernels::TV_KERNEL_TARGET {

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
    static M unordered(V a, M m) { return _mm512_mask_cmp_ps_mask(m, a, a, _CMP_UNORD_Q); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V add(V a, M m, V b) { return _mm512_mask_add_ps(a, m, a, b); }  // a where m is clear
    static V compress(M m, V a) { return _mm512_maskz_compress_ps(m, a); }
    static void store(float* p, V a) { _mm512_storeu_ps(p, a); }
    static void compress_store(float* p, M m, V a) { _mm512_mask_compressstoreu_ps(p, m, a); }
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
    static M unordered(V a, M m) { return _mm512_mask_cmp_pd_mask(m, a, a, _CMP_UNORD_Q); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V add(V a, M m, V b) { return _mm512_mask_add_pd(a, m, a, b); }
    static V compress(M m, V a) { return _mm512_maskz_compress_pd(m, a); }
    static void store(double* p, V a) { _mm512_storeu_pd(p, a); }
    static void compress_store(double* p, M m, V a) { _mm512_mask_compressstoreu_pd(p, m, a); }
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
    static void compress_store(T* p, M m, V a) {
        if constexpr (k32) _mm512_mask_compressstoreu_epi32(p, m, a);
        else _mm512_mask_compressstoreu_epi64(p, m, a);
    }
};

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
