// An in-place sort of integer and float keys with AVX-512 registers: a
// quicksort whose partitions compress each register's keys to either side,
// finished by sorting networks over blocks of up to 16 registers. Included
// only by a kernel build compiled for AVX-512 (F, BW, VL, DQ; the 16-bit
// keys also need VBMI2 for their compress instructions).
//
// The sort is not stable. It is used where that cannot be seen: for
// integers, equal keys are equal items; for floats, only when no item is
// -0.0 or NaN, so that equal values are equal items (sort_items checks).
//
// Whatever the data, every write stays in the buffer and the result is a
// permutation of the input: a partition writes exactly the slots it has
// read, and a network only exchanges lanes. A part whose partitions keep
// going badly (keys arranged against the pivot samples) takes its samples
// at random, and at worst goes to the caller's fallback, the radix sort, so
// that no input costs much more than a random one (see quicksort).
#pragma once

#include "kernels/kernels.hpp"
#include "kernels/target.hpp"

#include <immintrin.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace telvaran::kernels::TV_KERNEL_TARGET::vsort {

// The radix sort's counting sort takes integer keys in a range narrower
// than this and than this many times the item count.
inline constexpr std::uint64_t kCountingRange = 1 << 16;
inline constexpr std::uint64_t kCountingPerItem = 4;
// From this many items, 64-bit integer keys of at most this many bits are
// sorted faster by the radix sort's LSD passes.
inline constexpr std::size_t kRadixFrom = std::size_t(1) << 16;
inline constexpr unsigned kRadixBits = 20;

// One 512-bit register of keys, and the operations the sort needs.
// The zero-masking forms with every lane set are the plain instructions;
// the unmasked intrinsics start from an undefined register, which GCC 12
// reports as used uninitialised once they are inlined deep enough.
template <class U>
struct Lanes;

template <>
struct Lanes<std::uint64_t> {
    using U = std::uint64_t;
    using M = __mmask8;
    static constexpr int kW = 8;
    static __m512i iota() { return _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0); }
    static __m512i lanes_xor(int x) { return _mm512_xor_si512(iota(), _mm512_set1_epi64(x)); }
    static __m512i set1(U x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
    static M first(std::size_t n) { return M((1u << n) - 1); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi64(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi64(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epu64(M(0xFF), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epu64(M(0xFF), a, b); }
    // With lo = min(a, b): max(a, b) where m is set, else lo. The greater
    // of the pair is the other one, a ^ b ^ lo, which a bitwise instruction
    // finds on either vector port, where a 64-bit max has one.
    static __m512i max_into(__m512i lo, M m, __m512i a, __m512i b) {
        return _mm512_mask_ternarylogic_epi64(lo, m, a, b, 0x96);
    }
    static __m512i permute(__m512i index, __m512i v) { return _mm512_maskz_permutexvar_epi64(M(0xFF), index, v); }
    static __m512i blend(M take_b, __m512i a, __m512i b) { return _mm512_mask_blend_epi64(take_b, a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epu64_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epu64_mask(a, b); }
    static __m512i compress(M m, __m512i v) { return _mm512_maskz_compress_epi64(m, v); }
    static __m512i expand(M m, __m512i v) { return _mm512_maskz_expand_epi64(m, v); }
    static int count(M m) { return __builtin_popcount(unsigned(m)); }
};

template <>
struct Lanes<std::uint32_t> {
    using U = std::uint32_t;
    using M = __mmask16;
    static constexpr int kW = 16;
    static __m512i iota() { return _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0); }
    static __m512i lanes_xor(int x) { return _mm512_xor_si512(iota(), _mm512_set1_epi32(x)); }
    static __m512i set1(U x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    static M first(std::size_t n) { return M((1u << n) - 1); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi32(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi32(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epu32(M(0xFFFF), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epu32(M(0xFFFF), a, b); }
    static __m512i max_into(__m512i lo, M m, __m512i a, __m512i b) {
        return _mm512_mask_ternarylogic_epi32(lo, m, a, b, 0x96);
    }
    static __m512i permute(__m512i index, __m512i v) { return _mm512_maskz_permutexvar_epi32(M(0xFFFF), index, v); }
    static __m512i blend(M take_b, __m512i a, __m512i b) { return _mm512_mask_blend_epi32(take_b, a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epu32_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epu32_mask(a, b); }
    static __m512i compress(M m, __m512i v) { return _mm512_maskz_compress_epi32(m, v); }
    static __m512i expand(M m, __m512i v) { return _mm512_maskz_expand_epi32(m, v); }
    static int count(M m) { return __builtin_popcount(unsigned(m)); }
};

// Signed keys: the same lanes, compared as signed integers.
template <>
struct Lanes<std::int64_t> : Lanes<std::uint64_t> {
    using U = std::int64_t;
    static __m512i set1(U x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi64(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi64(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epi64(M(~M(0)), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epi64(M(~M(0)), a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epi64_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epi64_mask(a, b); }
};

// Signed keys: the same lanes, compared as signed integers.
template <>
struct Lanes<std::int32_t> : Lanes<std::uint32_t> {
    using U = std::int32_t;
    static __m512i set1(U x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi32(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi32(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epi32(M(~M(0)), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epi32(M(~M(0)), a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epi32_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epi32_mask(a, b); }
};

// Floats without -0.0 and NaN: the same lanes, compared as floats, in
// which every value has one bit pattern. Their comparisons read a
// denormal as zero when the processor is told to (MXCSR's DAZ bit), so
// the sort checks that bit before it takes them (see sort_items).
template <>
struct Lanes<double> : Lanes<std::uint64_t> {
    using U = double;
    static __m512d d(__m512i v) { return _mm512_castsi512_pd(v); }
    static __m512i i(__m512d v) { return _mm512_castpd_si512(v); }
    static __m512i set1(U x) { return i(_mm512_set1_pd(x)); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return i(_mm512_mask_loadu_pd(d(fill), m, p)); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_pd(p, m, d(v)); }
    static __m512i min(__m512i a, __m512i b) { return i(_mm512_maskz_min_pd(M(0xFF), d(a), d(b))); }
    static __m512i max(__m512i a, __m512i b) { return i(_mm512_maskz_max_pd(M(0xFF), d(a), d(b))); }
    static M less(__m512i a, __m512i b) { return _mm512_cmp_pd_mask(d(a), d(b), _CMP_LT_OQ); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmp_pd_mask(d(a), d(b), _CMP_LE_OQ); }
};

template <>
struct Lanes<float> : Lanes<std::uint32_t> {
    using U = float;
    static __m512 d(__m512i v) { return _mm512_castsi512_ps(v); }
    static __m512i i(__m512 v) { return _mm512_castps_si512(v); }
    static __m512i set1(U x) { return i(_mm512_set1_ps(x)); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return i(_mm512_mask_loadu_ps(d(fill), m, p)); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_ps(p, m, d(v)); }
    static __m512i min(__m512i a, __m512i b) { return i(_mm512_maskz_min_ps(M(0xFFFF), d(a), d(b))); }
    static __m512i max(__m512i a, __m512i b) { return i(_mm512_maskz_max_ps(M(0xFFFF), d(a), d(b))); }
    static M less(__m512i a, __m512i b) { return _mm512_cmp_ps_mask(d(a), d(b), _CMP_LT_OQ); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmp_ps_mask(d(a), d(b), _CMP_LE_OQ); }
};

#if defined(__AVX512VBMI2__)
template <>
struct Lanes<std::uint16_t> {
    using U = std::uint16_t;
    using M = __mmask32;
    static constexpr int kW = 32;
    static __m512i iota() {
        return _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11,
                                10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    }
    static __m512i lanes_xor(int x) { return _mm512_xor_si512(iota(), _mm512_set1_epi16(short(x))); }
    static __m512i set1(U x) { return _mm512_set1_epi16(static_cast<short>(x)); }
    static M first(std::size_t n) { return M((std::uint64_t(1) << n) - 1); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi16(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi16(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epu16(M(0xFFFFFFFFu), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epu16(M(0xFFFFFFFFu), a, b); }
    static __m512i max_into(__m512i src, M m, __m512i a, __m512i b) { return _mm512_mask_max_epu16(src, m, a, b); }
    static __m512i permute(__m512i index, __m512i v) { return _mm512_maskz_permutexvar_epi16(M(0xFFFFFFFFu), index, v); }
    static __m512i blend(M take_b, __m512i a, __m512i b) { return _mm512_mask_blend_epi16(take_b, a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epu16_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epu16_mask(a, b); }
    static __m512i compress(M m, __m512i v) { return _mm512_maskz_compress_epi16(m, v); }
    static __m512i expand(M m, __m512i v) { return _mm512_maskz_expand_epi16(m, v); }
    static int count(M m) { return __builtin_popcount(unsigned(m)); }
};
// Signed keys: the same lanes, compared as signed integers.
template <>
struct Lanes<std::int16_t> : Lanes<std::uint16_t> {
    using U = std::int16_t;
    static __m512i set1(U x) { return _mm512_set1_epi16(static_cast<short>(x)); }
    static __m512i load_or(const U* p, M m, __m512i fill) { return _mm512_mask_loadu_epi16(fill, m, p); }
    static void store(U* p, M m, __m512i v) { _mm512_mask_storeu_epi16(p, m, v); }
    static __m512i min(__m512i a, __m512i b) { return _mm512_maskz_min_epi16(M(~M(0)), a, b); }
    static __m512i max(__m512i a, __m512i b) { return _mm512_maskz_max_epi16(M(~M(0)), a, b); }
    static __m512i max_into(__m512i src, M m, __m512i a, __m512i b) { return _mm512_mask_max_epi16(src, m, a, b); }
    static M less(__m512i a, __m512i b) { return _mm512_cmplt_epi16_mask(a, b); }
    static M less_equal(__m512i a, __m512i b) { return _mm512_cmple_epi16_mask(a, b); }
};
#endif

template <class U>
class Sorter {
    using L = Lanes<U>;
    using M = typename L::M;
    static constexpr int kW = L::kW;

public:
    // Blocks of up to this many registers are sorted by one network: for
    // 64-bit keys 128 of them, which measured 10-20% faster than 64 for
    // doubles over 1,000 to 1,000,000 keys (the same for integers).
    static constexpr int kBlockRegisters = 16;
    static constexpr std::size_t kBlock = std::size_t(kBlockRegisters) * kW;

    static void sort(U* keys, std::size_t n, InPlaceSort<U> fallback) {
        static_assert(kBlock >= 2 * std::size_t(kNarrowGroup) * kW && kWideGroupFrom >= 2 * std::size_t(kWideGroup) * kW,
                      "a partition needs two groups of registers");
        Sorter(fallback).quicksort(keys, n, kBadPartitions);
    }

private:
    explicit Sorter(InPlaceSort<U> fallback) : fallback_(fallback) {}

    // The lanes whose index has bit `d` set.
    static constexpr M lanes_with(int d) {
        M m = 0;
        for (int l = 0; l < kW; ++l) {
            if (l & d) m = M(m | (M(1) << l));
        }
        return m;
    }

    // Compares lane l with lane l ^ kX; the lane with bit kHigh set keeps
    // the greater. Every stage of a network is a template of its own, so
    // that its permutation and mask are constants.
    template <int kX, int kHigh>
    [[gnu::always_inline]] static __m512i exchange(__m512i v) {
        constexpr M high = lanes_with(kHigh);
        __m512i partner = L::permute(L::lanes_xor(kX), v);
        return L::max_into(L::min(v, partner), high, v, partner);
    }

    // Of a pair of keys a and b, the one that is not `one`: for the pair's
    // minimum, the maximum, found by a bitwise instruction (see max_into).
    [[gnu::always_inline]] static __m512i other(__m512i a, __m512i b, __m512i one) {
        return _mm512_ternarylogic_epi64(a, b, one, 0x96);
    }

    [[gnu::always_inline]] static __m512i reversed(__m512i v) {
        return L::permute(L::lanes_xor(kW - 1), v);
    }

    // Sorts the lanes of a register whose lanes form bitonic runs of 2 * kD:
    // half-cleaners at distances kD, kD / 2, ..., 1.
    template <int kD>
    [[gnu::always_inline]] static __m512i clean_lanes(__m512i v) {
        if constexpr (kD >= 1) return clean_lanes<kD / 2>(exchange<kD, kD>(v));
        return v;
    }

    // A bitonic network over the lanes of one register: runs of kS / 2
    // sorted lanes are merged into runs of kS, the second of each pair read
    // backwards so that the pair's minima and maxima each form bitonic runs.
    template <int kS = 2>
    [[gnu::always_inline]] static __m512i sort_lanes(__m512i v) {
        if constexpr (kS <= kW) return sort_lanes<kS * 2>(clean_lanes<kS / 4>(exchange<kS - 1, kS / 2>(v)));
        return v;
    }

    // Half-cleaners across registers at distances kD, kD / 2, ..., 1.
    template <int kRegs, int kD>
    [[gnu::always_inline]] static void clean_registers(__m512i* v) {
        if constexpr (kD >= 1) {
#pragma GCC unroll 16
            for (int i = 0; i < kRegs; ++i) {
                if (i & kD) continue;
                __m512i a = v[i];
                __m512i c = v[i + kD];
                v[i] = L::min(a, c);
                v[i + kD] = L::max(a, c);
            }
            clean_registers<kRegs, kD / 2>(v);
        }
    }

    // Merges the sorted runs of kH registers pairwise into runs of 2 * kH,
    // and so on up to kRegs: the same network as within a register, with
    // whole registers for lanes, and each register cleaned at the end.
    template <int kRegs, int kH>
    [[gnu::always_inline]] static void merge_registers(__m512i* v) {
        if constexpr (kH < kRegs) {
#pragma GCC unroll 16
            for (int b = 0; b < kRegs; b += 2 * kH) {
#pragma GCC unroll 16
                for (int i = 0; i < kH; ++i) {
                    __m512i a = v[b + i];
                    __m512i c = reversed(v[b + 2 * kH - 1 - i]);
                    v[b + i] = L::min(a, c);
                    v[b + 2 * kH - 1 - i] = reversed(other(a, c, v[b + i]));
                }
            }
            clean_registers<kRegs, kH / 2>(v);
#pragma GCC unroll 16
            for (int i = 0; i < kRegs; ++i) v[i] = clean_lanes<kW / 2>(v[i]);
            merge_registers<kRegs, kH * 2>(v);
        }
    }

    // Sorts the keys of kRegs registers (a power of two) as one sequence.
    template <int kRegs>
    [[gnu::always_inline]] static void sort_registers(__m512i* v) {
#pragma GCC unroll 16
        for (int i = 0; i < kRegs; ++i) v[i] = sort_lanes(v[i]);
        merge_registers<kRegs, 1>(v);
    }

    // Sorts n <= kRegs * kW keys; the missing lanes are filled with the
    // greatest key, so they sort last and are never stored.
    // Kept out of line: one function holding every block's network is
    // slow to compile (minutes, in Clang's link-time code generation).
    template <int kRegs>
    [[gnu::noinline]] static void sort_block(U* keys, std::size_t n) {
        // The greatest key: +inf for floats, which may be among the keys.
        const __m512i fill =
            L::set1(std::is_floating_point_v<U> ? std::numeric_limits<U>::infinity() : std::numeric_limits<U>::max());
        __m512i v[kRegs];
#pragma GCC unroll 16
        for (int i = 0; i < kRegs; ++i) {
            const std::size_t at = std::size_t(i) * kW;
            const std::size_t here = at >= n ? 0 : n - at >= std::size_t(kW) ? std::size_t(kW) : n - at;
            v[i] = L::load_or(keys + at, L::first(here), fill);
        }
        sort_registers<kRegs>(v);
#pragma GCC unroll 16
        for (int i = 0; i < kRegs; ++i) {
            const std::size_t at = std::size_t(i) * kW;
            const std::size_t here = at >= n ? 0 : n - at >= std::size_t(kW) ? std::size_t(kW) : n - at;
            L::store(keys + at, L::first(here), v[i]);
        }
    }

    static void sort_small(U* keys, std::size_t n) {
        if (n <= std::size_t(kW)) return sort_block<1>(keys, n);
        if (n <= 2 * std::size_t(kW)) return sort_block<2>(keys, n);
        if (n <= 4 * std::size_t(kW)) return sort_block<4>(keys, n);
        if (n <= 8 * std::size_t(kW)) return sort_block<8>(keys, n);
        sort_block<16>(keys, n);
    }

    // The median of kW of the n > kBlock keys: spread evenly over them, or
    // with `at_random`, at random positions.
    U pivot(const U* keys, std::size_t n, bool at_random) {
        alignas(64) U sample[kW];
        const std::size_t step = n / kW;
        for (int i = 0; i < kW; ++i) sample[i] = keys[at_random ? random() % n : step / 2 + std::size_t(i) * step];
        __m512i v = sort_lanes(L::load_or(sample, L::first(kW), L::set1(0)));
        L::store(sample, L::first(kW), v);
        return sample[kW / 2];
    }

    // Writes the lanes of v selected by m, in order, from p on. Compressed
    // in a register and written by a masked store: the compress instruction
    // whose destination is memory is microcoded on AMD Zen 4, where it made
    // the whole sort about five times slower (100,000 to 10,000,000 keys).
    [[gnu::always_inline]] static void compress_store(U* p, M m, __m512i v) {
        L::store(p, L::first(std::size_t(L::count(m))), L::compress(m, v));
    }

    // How far ahead of its reads a partition fetches keys into the cache.
    static constexpr std::size_t kAheadKeys = 2048 / sizeof(U);

    template <int kGroup>
    [[gnu::always_inline]] static void prefetch_group(const U* at) {
        const char* bytes = reinterpret_cast<const char*>(at);
#pragma GCC unroll 8
        for (int line = 0; line < kGroup * kW * int(sizeof(U)) / 64; ++line) __builtin_prefetch(bytes + 64 * line, 1);
    }

    // Registers read at a time by a partition's main loop: eight from
    // kWideGroupFrom keys on (measured 2-5% faster over 100,000 and
    // 1,000,000 64-bit keys), else four (eight was slower over 1,000).
    static constexpr int kNarrowGroup = 4;
    static constexpr int kWideGroup = 8;
    static constexpr std::size_t kWideGroupFrom = 1 << 14;

    // Moves the keys that go left (below p, or with kWithEqual not above
    // it) before the others and returns how many there are;
    // n >= 2 * kGroup * kW.
    //
    // kGroup registers from each end are held back, which leaves room for
    // kGroup registers at the two ends together. Each step reads the next
    // kGroup registers from the end with less room, so that both ends then
    // have room for kGroup whole registers whatever their split, and writes
    // each register's left keys at the left end and its right keys at the
    // right end. Reading a group at a time gives the processor independent
    // work between the data-dependent choices of side. Once fewer than a
    // group's keys are unread, single registers follow the same rule; when
    // fewer than kW are left, the written parts enclose exactly the unread
    // keys and the held ones, so these fill the gap.
    template <bool kWithEqual, int kGroup>
    [[gnu::noinline]] static std::size_t partition(U* keys, std::size_t n, U p) {
        const __m512i pv = L::set1(p);
        auto goes_left = [&](__m512i v) { return kWithEqual ? L::less_equal(v, pv) : L::less(v, pv); };
        const M all = L::first(kW);
        constexpr std::size_t kGroupKeys = std::size_t(kGroup) * kW;
        __m512i held[2 * kGroup];
#pragma GCC unroll 8
        for (int j = 0; j < kGroup; ++j) {
            held[j] = L::load_or(keys + std::size_t(j) * kW, all, pv);
            held[kGroup + j] = L::load_or(keys + n - std::size_t(j + 1) * kW, all, pv);
        }
        std::size_t left = 0, right = n;                              // written: [0, left) and [right, n)
        std::size_t read_left = kGroupKeys, read_right = n - kGroupKeys;  // unread: [read_left, read_right)
        // The left keys are written by a whole register's store, which the
        // room at the left end always has.
        auto split = [&](__m512i v) {
            const M m = goes_left(v);
            const std::size_t c = std::size_t(L::count(m));
            L::store(keys + left, all, L::compress(m, v));
            left += c;
            right -= kW - c;
            compress_store(keys + right, M(~m), v);
        };
        auto next = [&](std::size_t count) {
            std::size_t at = 0;
            if (read_left - left <= right - read_right) {
                at = read_left;
                read_left += count;
            } else {
                read_right -= count;
                at = read_right;
            }
            return at;
        };
        while (read_right - read_left >= kGroupKeys) {
            const std::size_t at = next(kGroupKeys);
            if (read_right - read_left >= kAheadKeys + kGroupKeys) {
                // The group as far ahead as the side just read: each side
                // is read a group at a time, alternately and one of them
                // downwards, which the processor's own prefetching does not
                // follow (on Zen 4, a partition of 80 MB ran at a third of
                // the speed of one of 8 MB; with this, at about 0.9 of it).
                prefetch_group<kGroup>(keys + (at < read_left ? at + kAheadKeys : at - kAheadKeys));
            }
            __m512i v[kGroup];
#pragma GCC unroll 8
            for (int j = 0; j < kGroup; ++j) v[j] = L::load_or(keys + at + std::size_t(j) * kW, all, pv);
#pragma GCC unroll 8
            for (int j = 0; j < kGroup; ++j) split(v[j]);
        }
        while (read_right - read_left >= std::size_t(kW)) split(L::load_or(keys + next(kW), all, pv));
        const std::size_t rest = read_right - read_left;
        const M rest_lanes = L::first(rest);
        const __m512i tail = L::load_or(keys + read_left, rest_lanes, pv);
        auto place = [&](__m512i v, M lanes) {
            const M m = M(goes_left(v) & lanes);
            compress_store(keys + left, m, v);
            left += std::size_t(L::count(m));
            const M r = M(M(~m) & lanes);
            right -= std::size_t(L::count(r));
            compress_store(keys + right, r, v);
        };
        place(tail, rest_lanes);
#pragma GCC unroll 8
        for (int j = 0; j < 2 * kGroup; ++j) place(held[j], all);
        return left;
    }

    static void sift_down(U* keys, std::size_t root, std::size_t n) {
        const U x = keys[root];
        for (;;) {
            std::size_t child = 2 * root + 1;
            if (child >= n) break;
            if (child + 1 < n && keys[child] < keys[child + 1]) ++child;
            if (keys[child] <= x) break;
            keys[root] = keys[child];
            root = child;
        }
        keys[root] = x;
    }

    static void heap_sort(U* keys, std::size_t n) {
        for (std::size_t i = n / 2; i-- > 0;) sift_down(keys, i, n);
        for (std::size_t end = n; end-- > 1;) {
            const U top = keys[0];
            keys[0] = keys[end];
            keys[end] = top;
            sift_down(keys, 0, end);
        }
    }

    // A partition is bad when it sets aside fewer than one in 2^kBadShift
    // of its keys (its smaller part, or the keys equal to a least pivot):
    // it costs a pass over the keys and leaves almost all of them, where a
    // good one leaves at most 7/8 in either part. Random keys rarely give
    // one: the median of eight samples lands in the outer eighths about once
    // in eighty partitions, of sixteen about once in four thousand. But keys
    // can be arranged so that evenly spaced samples always do, so after a
    // part's first bad partition it and its parts take their samples at
    // random positions, which no arrangement can anticipate. Keys of a few
    // values can still make them bad (most of a part one value, the rest
    // below it), so a part whose path from the whole has seen kBadPartitions
    // goes to the fallback: the depth stays below kBadPartitions plus
    // log(n) / log(8/7).
    static constexpr unsigned kBadShift = 3;
    static constexpr unsigned kBadPartitions = 3;

    // Random numbers for the sample positions (splitmix64), seeded by the
    // time stamp counter when first needed.
    std::uint64_t random() {
        if (random_ == 0) random_ = __rdtsc() | 1;
        std::uint64_t z = random_ += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // The smaller part is sorted by a call and the larger by the loop, so
    // the calls nest at most log2(n) deep.
    void quicksort(U* keys, std::size_t n, unsigned bad_left) {
        while (n > kBlock) {
            if (bad_left == 0) {
                // The heap sort when the fallback cannot have its memory.
                if (!fallback_(keys, n)) heap_sort(keys, n);
                return;
            }
            const U p = pivot(keys, n, bad_left < kBadPartitions);
            const bool wide = n >= kWideGroupFrom;
            const std::size_t below =
                wide ? partition<false, kWideGroup>(keys, n, p) : partition<false, kNarrowGroup>(keys, n, p);
            if (below == 0) {
                // p is the least key: the keys equal to it are done.
                const std::size_t equal =
                    wide ? partition<true, kWideGroup>(keys, n, p) : partition<true, kNarrowGroup>(keys, n, p);
                bad_left -= equal < n >> kBadShift;
                keys += equal;
                n -= equal;
                continue;
            }
            const std::size_t above = n - below;
            bad_left -= std::min(below, above) < n >> kBadShift;
            if (below < above) {
                quicksort(keys, below, bad_left);
                keys += below;
                n = above;
            } else {
                quicksort(keys + below, above, bad_left);
                n = below;
            }
        }
        sort_small(keys, n);
    }

    InPlaceSort<U> fallback_;
    std::uint64_t random_ = 0;
};

// The key of an integer item: an unsigned integer of its width in the
// same order (signed ones with the sign bit flipped).
template <class T, class U>
[[gnu::always_inline]] inline U key_of(U x) {
    if constexpr (std::is_signed_v<T>) return U(x ^ U(U(1) << (8 * sizeof(U) - 1)));
    return x;
}

// Whether the vector sort is the one to use for n items whose keys span
// `span` (greatest minus least). Integer keys in a narrow range are sorted
// faster by the radix sort: by counting in a range not much wider than the
// item count, and for many 64-bit keys, by its two LSD passes.
template <class T>
bool takes_keys(std::size_t n, std::uint64_t span) {
    if constexpr (std::is_integral_v<T>) {
        if (span < kCountingRange && span < kCountingPerItem * n) return false;
        const unsigned bits = 64 - unsigned(__builtin_clzll(span | 1));
        if (sizeof(T) == 8 && n >= kRadixFrom && bits <= kRadixBits) return false;
    }
    return true;
}

// The MXCSR bits that make float comparisons read denormals as zero (DAZ)
// and arithmetic write zeros for them (FTZ). Python leaves both clear, but
// a library built for speed may set them.
inline constexpr unsigned kDenormalsAsZero = 0x8040;

// Sorts the items of an element type in place and returns true; or returns
// false having changed nothing when the radix sort is the faster (see
// takes_keys) or the only one that gives the stable order. Integers are
// sorted as they are, with signed or unsigned comparisons. Floats are
// sorted as floats when no item is -0.0 or NaN: then every value has one
// bit pattern and the float order is total, so equal items are equal bits.
// `fallback` sorts the parts whose partitions go badly.
template <class T, class U>
bool sort_items(T* xs, std::size_t n, InPlaceSort<T> fallback) {
    const U* items = reinterpret_cast<const U*>(xs);
    if (n < 2) return true;
    if constexpr (std::is_floating_point_v<T>) {
        constexpr U sign = U(U(1) << (8 * sizeof(U) - 1));
        constexpr U inf = sizeof(U) == 8 ? U(0x7FF0000000000000ull) : U(0x7F800000u);
        U shared = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const U x = items[i];
            shared |= U(x == sign) | U(U(x & U(~sign)) > inf);
        }
        if (shared || (_mm_getcsr() & kDenormalsAsZero)) return false;
        Sorter<T>::sort(xs, n, fallback);
        return true;
    } else {
        U lo = U(~U(0)), hi = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const U k = key_of<T>(items[i]);
            lo = k < lo ? k : lo;
            hi = k > hi ? k : hi;
        }
        if (lo == hi) return true;  // one item throughout
        if (!takes_keys<T>(n, std::uint64_t(hi - lo))) return false;
        Sorter<T>::sort(xs, n, fallback);
        return true;
    }
}

// The sort of an element type's table entry, or null where there is none.
template <class T>
constexpr bool (*sort_of())(T*, std::size_t, InPlaceSort<T>) {
    if constexpr (sizeof(T) == 4) return sort_items<T, std::uint32_t>;
    if constexpr (sizeof(T) == 8) return sort_items<T, std::uint64_t>;
#if defined(__AVX512VBMI2__)
    if constexpr (sizeof(T) == 2) return sort_items<T, std::uint16_t>;
#endif
    return nullptr;
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET::vsort
