// Stable sorting of raw items by order-preserving integer keys, shared by
// sort, unique and median. No Python here.
//
// Items are moved as unsigned integers of their own width and never converted,
// so NaN payloads and the sign of zero survive every move. An element type
// contributes only its key: an unsigned integer of the same width whose
// unsigned order is the element order. Every item has a key and integers are
// totally ordered, so whatever the data (NaN included) the result is a
// permutation of the input and no index leaves the buffers.
//
// A sort first finds the least and greatest key. Only the bits of
// (key - least) that can differ are sorted on, so keys that live in a narrow
// range (small integers, values of one sign and a few exponents) take fewer
// passes. Then one of:
//  - an insertion sort, for a few items;
//  - a counting sort, for integer keys in a range not much wider than the
//    item count: every key is its item, so the output is written from the
//    counts alone, with no second buffer;
//  - an LSD radix sort: one histogram pass for all digits, then one stable
//    scatter pass per digit, skipping a digit that is the same in every key.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace telvaran::radix {

// The raw item type of an element type: the unsigned integer of its width.
template <class T>
using Bits = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t, std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

// The sort key of an element, from its raw bits.
//  - Unsigned integers: the bits themselves.
//  - Signed integers: the sign bit flipped, so negatives come first.
//  - Floats: non-negative values get the sign bit set and negative ones have
//    every bit flipped, so keys rise with the value. -0.0 takes the key of
//    +0.0: the two zeros are equivalent and keep their input order.
//    NaN is unordered against every value, so it is given a place of its own:
//    every NaN, whatever its sign bit, is keyed like a positive number with
//    its magnitude bits, which lies above +inf. NaNs therefore gather at the
//    end of a sorted array, after +inf, ordered among themselves by their
//    bits without the sign, and in input order where those are the same.
template <class T>
constexpr Bits<T> key_of(Bits<T> raw) noexcept {
    using U = Bits<T>;
    constexpr U sign = U(1) << (8 * sizeof(U) - 1);
    if constexpr (std::is_floating_point_v<T>) {
        static_assert(std::numeric_limits<T>::is_iec559);
        constexpr U inf = sizeof(T) == 4 ? U(0x7F800000u) : U(0x7FF0000000000000ull);
        // Arithmetic rather than branches: signs in real data are random,
        // and a mispredicted branch per key would dominate every pass.
        U magnitude = raw & U(~sign);
        U negative = U(raw >> (8 * sizeof(U) - 1));
        U nonzero_number = U(U(magnitude - 1) < inf);  // 0 wraps to the top; NaN lies above inf
        U flip = U(U(0) - U(negative & nonzero_number));
        return U(U(magnitude | sign) ^ flip);
    } else if constexpr (std::is_signed_v<T>) {
        return U(raw ^ sign);
    } else {
        return raw;
    }
}

// For integer element types the key determines the item: its inverse.
template <class T>
constexpr Bits<T> item_of_key(Bits<T> key) noexcept {
    static_assert(std::is_integral_v<T>);
    using U = Bits<T>;
    if constexpr (std::is_signed_v<T>) return U(key ^ (U(1) << (8 * sizeof(U) - 1)));
    return key;
}

// The key of a float zero, either sign.
template <class T>
constexpr Bits<T> zero_key() noexcept {
    return key_of<T>(0);
}

// Whether a float key is that of a NaN: NaN keys lie above the key of +inf.
template <class T>
constexpr bool is_nan_key(Bits<T> key) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return key > key_of<T>(std::bit_cast<Bits<T>>(std::numeric_limits<T>::infinity()));
    }
    return false;
}

// Below this many items an insertion sort beats finding the key range and
// setting up histograms.
inline constexpr std::size_t kInsertionLimit = 64;

// Digit width: 11 bits keep a pass's histogram (2,048 counts) in the L1
// cache and need the fewest passes, but a pass then costs 2,048 steps of
// prefix sums on top of its items; below this many items 8-bit digits are
// cheaper even when they take a pass more.
inline constexpr std::size_t kWideDigitsFrom = 1 << 14;
inline constexpr unsigned kMaxPasses = 8;  // 64-bit keys in 8-bit digits

// A counting sort writes its output from one count per key in the range, so
// it is used when that range is no wider than this and no more than a few
// times the item count: the counts are then cache-resident and scanning them
// costs no more than the items do.
inline constexpr std::uint64_t kCountingRangeLimit = 1 << 16;
inline constexpr std::uint64_t kCountingRangePerItem = 4;

// Stable: an item moves left only past items with a strictly greater key.
template <class T>
void insertion_sort(Bits<T>* items, std::size_t n) {
    using U = Bits<T>;
    for (std::size_t i = 1; i < n; ++i) {
        U item = items[i];
        U k = key_of<T>(item);
        std::size_t j = i;
        for (; j > 0 && key_of<T>(items[j - 1]) > k; --j) items[j] = items[j - 1];
        items[j] = item;
    }
}

template <class U>
struct KeyRange {
    U lo;
    U hi;
};

// The least and greatest key of n > 0 items. Four independent pairs of
// accumulators, so that the loop is not one chain of dependent selections.
template <class T>
KeyRange<Bits<T>> key_range(const Bits<T>* items, std::size_t n) {
    using U = Bits<T>;
    U lo[4], hi[4];
    for (int j = 0; j < 4; ++j) lo[j] = hi[j] = key_of<T>(items[0]);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int j = 0; j < 4; ++j) {
            U k = key_of<T>(items[i + j]);
            lo[j] = k < lo[j] ? k : lo[j];
            hi[j] = k > hi[j] ? k : hi[j];
        }
    }
    for (; i < n; ++i) {
        U k = key_of<T>(items[i]);
        lo[0] = k < lo[0] ? k : lo[0];
        hi[0] = k > hi[0] ? k : hi[0];
    }
    return {std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])),
            std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]))};
}

// How one sort runs, decided from the item count and the key range before
// any buffer is allocated.
struct Plan {
    enum Kind { kInsertion, kNone, kCounting, kRadix } kind = kInsertion;
    std::uint64_t lo = 0;    // the least key
    std::uint64_t span = 0;  // greatest key - least key
    unsigned passes = 0;     // radix: digits of (key - lo), from the lowest
    unsigned width = 0;      // radix: bits per digit
    bool wide_counts = false;  // counts need 64 bits

    // Bytes of counts the sort needs (histograms or one count per key).
    std::size_t workspace_bytes() const {
        std::size_t count = wide_counts ? sizeof(std::uint64_t) : sizeof(std::uint32_t);
        if (kind == kCounting) return count * (span + 1);
        if (kind == kRadix) return count * passes * (std::size_t(1) << width);
        return 0;
    }
    // Whether the sort needs a second buffer of n items.
    bool needs_spare() const { return kind == kRadix; }
};

template <class T>
Plan plan_for(const Bits<T>* items, std::size_t n) {
    Plan plan;
    if (n < kInsertionLimit) return plan;
    auto [lo, hi] = key_range<T>(items, n);
    plan.lo = lo;
    plan.span = std::uint64_t(hi - lo);
    plan.wide_counts = n > std::numeric_limits<std::uint32_t>::max();
    if (plan.span == 0) {
        plan.kind = Plan::kNone;  // every key is the same: input order is the order
    } else if (std::is_integral_v<T> && plan.span < kCountingRangeLimit &&
               plan.span < kCountingRangePerItem * n) {
        plan.kind = Plan::kCounting;
    } else {
        plan.kind = Plan::kRadix;
        unsigned bits = unsigned(std::bit_width(plan.span));
        unsigned most = n >= kWideDigitsFrom ? 11 : 8;
        plan.passes = (bits + most - 1) / most;
        plan.width = (bits + plan.passes - 1) / plan.passes;  // the same width for every digit, as narrow as can be
    }
    return plan;
}

// One histogram pass counts every digit of every key at once; then one
// stable scatter pass per digit, skipping digits that are the same in all
// keys. The first pass reads `input`, later ones alternate between `a` and
// `b`; `b` may be `input` itself, which is no longer read once the first
// pass has run. Returns the buffer holding the sorted items.
template <unsigned kPasses, class T, class Count>
Bits<T>* radix_passes(const Bits<T>* input, Bits<T>* a, Bits<T>* b, std::size_t n, const Plan& plan,
                      Count* counts) {
    using U = Bits<T>;
    const U lo = U(plan.lo);
    const unsigned width = plan.width;
    const std::size_t radix = std::size_t(1) << width;
    const U mask = U(radix - 1);

    std::fill(counts, counts + kPasses * radix, Count(0));
    for (std::size_t i = 0; i < n; ++i) {
        U k = U(key_of<T>(input[i]) - lo);
        for (unsigned d = 0; d < kPasses; ++d) ++counts[d * radix + ((k >> (d * width)) & mask)];
    }

    const U first = U(key_of<T>(input[0]) - lo);
    const U* src = input;
    U* dst = a;
    U* other = b;
    for (unsigned d = 0; d < kPasses; ++d) {
        const unsigned shift = d * width;
        Count* offsets = counts + d * radix;
        if (offsets[(first >> shift) & mask] == n) continue;  // one bucket holds every item
        Count total = 0;
        for (std::size_t j = 0; j < radix; ++j) total += std::exchange(offsets[j], total);
        for (std::size_t i = 0; i < n; ++i) {
            U item = src[i];
            dst[offsets[(U(key_of<T>(item) - lo) >> shift) & mask]++] = item;
        }
        src = dst;
        std::swap(dst, other);
    }
    if (src == input) {  // no digit told the items apart (cannot happen when span > 0)
        std::memmove(a, input, n * sizeof(U));
        return a;
    }
    return const_cast<U*>(src);
}

template <class T, class Count>
Bits<T>* radix_sort(const Bits<T>* input, Bits<T>* a, Bits<T>* b, std::size_t n, const Plan& plan,
                    Count* counts) {
    switch (plan.passes) {
        case 1: return radix_passes<1, T>(input, a, b, n, plan, counts);
        case 2: return radix_passes<2, T>(input, a, b, n, plan, counts);
        case 3: return radix_passes<3, T>(input, a, b, n, plan, counts);
        case 4: return radix_passes<4, T>(input, a, b, n, plan, counts);
        case 5: return radix_passes<5, T>(input, a, b, n, plan, counts);
        case 6: return radix_passes<6, T>(input, a, b, n, plan, counts);
        case 7: return radix_passes<7, T>(input, a, b, n, plan, counts);
        default: return radix_passes<kMaxPasses, T>(input, a, b, n, plan, counts);
    }
}

// Integer keys only: counts every key of the range, then writes each key's
// item as many times as it occurs. `out` may be `input`: the counting pass
// is over before the first write.
template <class T, class Count>
void counting_sort(const Bits<T>* input, Bits<T>* out, std::size_t n, const Plan& plan, Count* counts) {
    using U = Bits<T>;
    const U lo = U(plan.lo);
    const std::size_t range = std::size_t(plan.span) + 1;
    std::fill(counts, counts + range, Count(0));
    for (std::size_t i = 0; i < n; ++i) ++counts[U(key_of<T>(input[i]) - lo)];
    U* o = out;
    for (std::size_t j = 0; j < range; ++j) {
        const U item = item_of_key<T>(U(lo + U(j)));
        for (Count c = counts[j]; c > 0; --c) *o++ = item;
    }
}

// Sorts the n items of `input` stably by key, following `plan` (made from
// the same items). `a` has room for n items; `b` too when the plan needs a
// spare, and may be `input` itself; `workspace` has plan.workspace_bytes().
// `input` may also be `a`. Returns the buffer holding the sorted items: `a`
// or `b`. The other one's contents are then unspecified.
template <class T>
Bits<T>* sort_into(const Bits<T>* input, Bits<T>* a, Bits<T>* b, std::size_t n, const Plan& plan,
                   void* workspace) {
    using U = Bits<T>;
    if (plan.kind == Plan::kInsertion || plan.kind == Plan::kNone) {
        if (a != input && n > 0) std::memmove(a, input, n * sizeof(U));
        if (plan.kind == Plan::kInsertion) insertion_sort<T>(a, n);
        return a;
    }
    if (plan.kind == Plan::kCounting) {
        if constexpr (std::is_integral_v<T>) {
            if (plan.wide_counts) counting_sort<T>(input, a, n, plan, static_cast<std::uint64_t*>(workspace));
            else counting_sort<T>(input, a, n, plan, static_cast<std::uint32_t*>(workspace));
        }
        return a;
    }
    if (input == a) std::swap(a, b);  // the first pass must not write over its own input
    if (plan.wide_counts) return radix_sort<T>(input, a, b, n, plan, static_cast<std::uint64_t*>(workspace));
    return radix_sort<T>(input, a, b, n, plan, static_cast<std::uint32_t*>(workspace));
}

}  // namespace telvaran::radix
