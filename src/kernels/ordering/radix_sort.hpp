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
//    scatter pass per digit, skipping a digit that is the same in every key;
//    for many items with wide keys, after one MSD pass that splits them into
//    buckets that fit the caches;
//  - an MSD radix sort, for fewer items whose keys would take many LSD
//    passes: it stops splitting as soon as buckets are small.
// Floats without -0.0 and NaN, whose keys give their items back, are
// sorted as keys, made items again by the last pass.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
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

// Up to this many items an insertion sort beats finding the key range and
// setting up histograms; it also finishes the MSD sort's small buckets.
inline constexpr std::size_t kInsertionLimit = 32;

// Digit width of the LSD passes: 11 bits keep a pass's histogram (2,048
// counts) in the L1 cache and need the fewest passes, but a pass then costs
// 2,048 steps of prefix sums on top of its items; below this many items
// 8-bit digits are cheaper even when they take a pass more.
inline constexpr std::size_t kWideDigitsFrom = 1 << 12;
inline constexpr unsigned kMaxPasses = 8;  // 64-bit keys in 8-bit digits

// From this many items, keys that need more than two LSD passes are first
// split by their top bits in one pass over memory; the buckets then take
// their LSD passes in the caches. Integer keys are split by 8 bits: 256
// places to write to at once took 0.8 to 0.9 of the time of 2,048 over
// 1,000,000 to 10,000,000 int32, int64 and uint64 (AMD Zen 4). Float keys
// are split by 11: their top bits hold the sign and the exponent, of which
// data fills few, so that 256 buckets would leave most items in a handful.
inline constexpr std::size_t kSplitFrom = 1 << 19;
inline constexpr unsigned kMostSplitBits = 11;

template <class T>
inline constexpr unsigned kSplitBits = std::is_floating_point_v<T> ? kMostSplitBits : 8;

// Below kMsdBelow items (see MsdSort), keys that would take more LSD passes
// than this are sorted from the top digit down: measured on 1,000 to 30,000
// float and 64-bit keys, the MSD passes take from 0.5 to 1 times as long
// (0.3 for 1,000 int64), and LSD ones are faster for keys of up to three.
inline constexpr unsigned kMostLsdPasses = 3;
inline constexpr std::size_t kMsdBelow = 1 << 15;
inline constexpr unsigned kMsdBucketShift = 3;  // about 2^3 items per bucket
inline constexpr unsigned kMsdMinWidth = 2;
inline constexpr unsigned kMsdMaxWidth = 8;
inline constexpr unsigned kMsdFirstMaxWidth = 11;  // the first pass, once: up to 2,048 buckets

// A counting sort writes its output from one count per key in the range, so
// it is used when that range is no wider than this (the counts then fit the
// L2 cache) and no more than four times the item count: 16-bit keys over
// their whole range sort faster by counting from 16,000 items on, and
// slower below 10,000, than by two 8-bit LSD passes.
inline constexpr std::uint64_t kCountingRangeLimit = 1 << 16;
inline constexpr std::uint64_t kCountingRangePerItem = 4;

// Stable: an item moves left only past items with a strictly greater key.
template <class U, class Key>
void insertion_sort(U* items, std::size_t n, Key key) {
    for (std::size_t i = 1; i < n; ++i) {
        U item = items[i];
        U k = key(item);
        std::size_t j = i;
        for (; j > 0 && key(items[j - 1]) > k; --j) items[j] = items[j - 1];
        items[j] = item;
    }
}

template <class T>
void insertion_sort(Bits<T>* items, std::size_t n) {
    insertion_sort(items, n, [](Bits<T> x) { return key_of<T>(x); });
}

template <class U>
struct KeyRange {
    U lo;
    U hi;
};

// The least and greatest of the keys of n > 0 items. Four independent pairs
// of accumulators, so that the loop is not one chain of dependent selections.
template <class U, class Key>
KeyRange<U> key_range(const U* items, std::size_t n, Key key) {
    U lo[4], hi[4];
    for (int j = 0; j < 4; ++j) lo[j] = hi[j] = key(items[0]);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (int j = 0; j < 4; ++j) {
            U k = key(items[i + j]);
            lo[j] = k < lo[j] ? k : lo[j];
            hi[j] = k > hi[j] ? k : hi[j];
        }
    }
    for (; i < n; ++i) {
        U k = key(items[i]);
        lo[0] = k < lo[0] ? k : lo[0];
        hi[0] = k > hi[0] ? k : hi[0];
    }
    return {std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])),
            std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]))};
}

template <class T>
KeyRange<Bits<T>> key_range(const Bits<T>* items, std::size_t n) {
    return key_range(items, n, [](Bits<T> x) { return key_of<T>(x); });
}

// Whether some float item is -0.0 or NaN: the two kinds whose item the key
// does not give back.
template <class T>
bool has_shared_keys(const Bits<T>* items, std::size_t n) {
    using U = Bits<T>;
    constexpr U sign = U(1) << (8 * sizeof(U) - 1);
    constexpr U inf = std::bit_cast<U>(std::numeric_limits<T>::infinity());
    bool found = false;
    for (std::size_t i = 0; i < n; ++i) found |= (items[i] == sign) | (U(items[i] & U(~sign)) > inf);
    return found;
}

// The item of a float key other than those of -0.0 and NaN (see key_of).
template <class T>
constexpr Bits<T> item_of_float_key(Bits<T> key) noexcept {
    using U = Bits<T>;
    constexpr U sign = U(1) << (8 * sizeof(U) - 1);
    return (key & sign) ? U(key ^ sign) : U(~key);
}

// How one sort runs, decided from the item count and the key range before
// any buffer is allocated.
struct Plan {
    enum Kind : std::uint8_t { kInsertion, kNone, kCounting, kRadix } kind = kInsertion;
    std::uint64_t lo = 0;    // the least key
    std::uint64_t span = 0;  // greatest key - least key
    bool split = false;      // radix: one MSD pass first
    bool msd = false;        // radix: MSD passes throughout
    bool by_keys = false;    // radix: the passes move keys, made items again by the last

    // Bytes of counts the sort needs: one count per key for a counting sort;
    // for LSD passes, one histogram per pass (up to eight of 8-bit digits,
    // or six of 11-bit ones for many items), and for the split its starts
    // and write positions before those of the buckets' passes; for MSD
    // passes, one histogram per level under way, the first of up to 2^11
    // buckets, each later one of up to 2^8 and taking at least 2 bits of
    // the 64 a key has at most.
    std::size_t workspace_bytes(std::size_t n) const {
        if (kind == kCounting) return sizeof(std::size_t) * (span + 1);
        if (kind != kRadix) return 0;
        if (msd) {
            return sizeof(std::size_t) *
                   ((1 << kMsdFirstMaxWidth) + 1 + (8 * 8 / kMsdMinWidth) * ((1 << kMsdMaxWidth) + 1));
        }
        std::size_t counts = n >= kWideDigitsFrom ? 6 << 11 : kMaxPasses << 8;
        if (split) counts += 2 * ((std::size_t(1) << kMostSplitBits) + 1);
        return sizeof(std::size_t) * counts;
    }
    // Whether the sort needs a second buffer of n items.
    bool needs_spare() const { return kind == kRadix; }
};

template <class T>
Plan plan_for(const Bits<T>* items, std::size_t n) {
    Plan plan;
    if (n <= kInsertionLimit) return plan;
    auto [lo, hi] = key_range<T>(items, n);
    plan.lo = lo;
    plan.span = std::uint64_t(hi - lo);
    if (plan.span == 0) {
        plan.kind = Plan::kNone;  // every key is the same: input order is the order
    } else if (std::is_integral_v<T> && plan.span < kCountingRangeLimit &&
               plan.span < kCountingRangePerItem * n) {
        plan.kind = Plan::kCounting;
    } else {
        plan.kind = Plan::kRadix;
        const unsigned bits = unsigned(std::bit_width(plan.span));
        plan.split = n >= kSplitFrom && bits > 2 * 11;
        const unsigned lsd_passes = (bits + (n >= kWideDigitsFrom ? 10 : 7)) / (n >= kWideDigitsFrom ? 11 : 8);
        plan.msd = n < kMsdBelow && lsd_passes > kMostLsdPasses;
        if constexpr (std::is_floating_point_v<T>) plan.by_keys = !has_shared_keys<T>(items, n);
    }
    return plan;
}

// LSD radix passes over the n items (or keys) of `input`, sorting them by
// the bits of (key - lo) below `bits`: one histogram pass counts every digit
// at once, then one stable scatter pass per digit, skipping digits that are
// the same in all keys. The first pass reads `input`, later ones alternate
// between `a` and `b` (`b` may be `input`, no longer read once the first
// pass has run). The result ends in `out`, which is `a` or `b`.
//
// With kByKeys, `input` holds items when kFromItems (else keys already); the
// passes between move keys, and the last one writes items. Without it,
// items move throughout and are keyed on every pass.
template <unsigned kPasses, class T, bool kByKeys, bool kFromItems, class Count>
void lsd_passes(const Bits<T>* input, Bits<T>* a, Bits<T>* b, Bits<T>* out, std::size_t n, Bits<T> lo, unsigned width,
                Count* counts) {
    using U = Bits<T>;
    const unsigned passes = kPasses;
    const std::size_t radix = std::size_t(1) << width;
    const U mask = U(radix - 1);
    constexpr bool kInputItems = !kByKeys || kFromItems;
    auto input_key = [](U x) { return kInputItems ? key_of<T>(x) : x; };

    std::fill(counts, counts + passes * radix, Count(0));
    for (std::size_t i = 0; i < n; ++i) {
        U k = U(input_key(input[i]) - lo);
        for (unsigned d = 0; d < kPasses; ++d) ++counts[d * radix + ((k >> (d * width)) & mask)];
    }
    const U first = U(input_key(input[0]) - lo);
    unsigned digits[kMaxPasses];
    unsigned active = 0;
    for (unsigned d = 0; d < passes; ++d) {
        if (counts[d * radix + ((first >> (d * width)) & mask)] != n) digits[active++] = d;  // else one bucket holds all
    }

    // Each pass: read items or keys, write items or keys.
    auto scatter = [&]<bool kReadItems, bool kWriteItems>(const U* src, U* dst, unsigned d) {
        const unsigned shift = d * width;
        Count* offsets = counts + d * radix;
        Count total = 0;
        for (std::size_t j = 0; j < radix; ++j) total += std::exchange(offsets[j], total);
        for (std::size_t i = 0; i < n; ++i) {
            U x = src[i];
            U k = kReadItems ? key_of<T>(x) : x;
            U v = kWriteItems ? (kByKeys ? item_of_float_key<T>(k) : x) : k;
            dst[offsets[(U(k - lo) >> shift) & mask]++] = v;
        }
    };
    const U* src = input;
    U* dst = a;
    U* other = b;
    for (unsigned j = 0; j < active; ++j) {
        const bool read_items = j == 0 && kInputItems;
        const bool write_items = j + 1 == active || !kByKeys;
        if constexpr (kByKeys) {
            if (read_items && write_items) scatter.template operator()<true, true>(src, dst, digits[j]);
            else if (read_items) scatter.template operator()<true, false>(src, dst, digits[j]);
            else if (write_items) scatter.template operator()<false, true>(src, dst, digits[j]);
            else scatter.template operator()<false, false>(src, dst, digits[j]);
        } else {
            scatter.template operator()<true, true>(src, dst, digits[j]);
        }
        src = dst;
        std::swap(dst, other);
    }
    if (src != out) {
        // No pass (one key throughout, keys to be made items) or the passes
        // ended in the other buffer.
        if constexpr (kByKeys && !kFromItems) {
            if (active == 0) {
                for (std::size_t i = 0; i < n; ++i) out[i] = item_of_float_key<T>(src[i]);
                return;
            }
        }
        std::memmove(out, src, n * sizeof(U));
    }
}

template <class T, bool kByKeys, bool kFromItems, class Count>
void lsd_sort(const Bits<T>* input, Bits<T>* a, Bits<T>* b, Bits<T>* out, std::size_t n, Bits<T> lo, unsigned bits,
              Count* counts) {
    const unsigned most = n >= kWideDigitsFrom ? 11 : 8;
    const unsigned passes = (bits + most - 1) / most;
    const unsigned width = (bits + passes - 1) / passes;  // every digit as narrow as can be
    switch (passes) {
        case 1: return lsd_passes<1, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 2: return lsd_passes<2, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 3: return lsd_passes<3, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 4: return lsd_passes<4, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 5: return lsd_passes<5, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 6: return lsd_passes<6, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        case 7: return lsd_passes<7, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
        default: return lsd_passes<kMaxPasses, T, kByKeys, kFromItems>(input, a, b, out, n, lo, width, counts);
    }
}

// One MSD pass splits the items by the top kSplitBits<T> of (key - lo) into
// `spare` (as keys with kByKeys); each bucket is then sorted by LSD passes
// on its own range, between its part of `spare` and its part of `out`, and
// ends in `out`. `out` may be `input`, which the split has read in full
// before any bucket is sorted.
template <class T, bool kByKeys>
void split_sort(const Bits<T>* input, Bits<T>* out, Bits<T>* spare, std::size_t n, Bits<T> lo, unsigned bits,
                std::size_t* counts) {
    using U = Bits<T>;
    const unsigned shift = bits - kSplitBits<T>;
    constexpr std::size_t radix = std::size_t(1) << kSplitBits<T>;
    std::size_t* starts = counts;  // radix + 1 entries
    std::fill(starts, starts + radix + 1, std::size_t(0));
    for (std::size_t i = 0; i < n; ++i) ++starts[(U(key_of<T>(input[i]) - lo) >> shift) + 1];
    for (std::size_t d = 0; d < radix; ++d) starts[d + 1] += starts[d];
    std::size_t* at = starts + radix + 1;
    std::copy(starts, starts + radix, at);
    for (std::size_t i = 0; i < n; ++i) {
        U x = input[i];
        U k = key_of<T>(x);
        spare[at[U(k - lo) >> shift]++] = kByKeys ? k : x;
    }
    std::size_t* histograms = at + radix;
    for (std::size_t d = 0; d < radix; ++d) {
        const std::size_t begin = starts[d];
        const std::size_t c = starts[d + 1] - begin;
        if (c == 0) continue;
        U* from = spare + begin;
        U* to = out + begin;
        if (c <= kInsertionLimit) {
            if constexpr (kByKeys) {
                insertion_sort(from, c, [](U x) { return x; });
                for (std::size_t i = 0; i < c; ++i) to[i] = item_of_float_key<T>(from[i]);
            } else {
                insertion_sort<T>(from, c);
                std::memcpy(to, from, c * sizeof(U));
            }
            continue;
        }
        auto own = [](U x) { return kByKeys ? x : key_of<T>(x); };
        KeyRange<U> range = key_range(from, c, own);
        const unsigned own_bits = unsigned(std::bit_width(U(range.hi - range.lo)));
        if (own_bits == 0) {
            for (std::size_t i = 0; i < c; ++i) to[i] = kByKeys ? item_of_float_key<T>(from[i]) : from[i];
            continue;
        }
        lsd_sort<T, kByKeys, false>(from, to, from, to, c, range.lo, own_bits, histograms);
    }
}

// MSD radix sort, for inputs too small for the split but whose keys would
// take LSD passes over all of them for every digit. A pass over the items
// of one bucket finds their key range, counts the top digit of (key - least
// key) and scatters the items stably into sub-buckets, each sorted by the
// next pass (or, when small, by insertion). Each bucket's range is its own,
// so a pass always splits its items, and keys bunched in a narrow band
// (floats of a few exponents) are split by the bits that tell them apart;
// the passes stop as soon as buckets are small, instead of running over
// every digit of the key.
//
// Passes move items between `a` and `b` alternately, and each bucket's
// result is left in whichever buffer its caller asks for. With kByKeys the
// first pass stores keys instead of items, later passes read them directly,
// and every item is made from its key when its bucket is finished.
template <class T, bool kByKeys>
class MsdSort {
public:
    using U = Bits<T>;

    // `counts` has room for the histograms of one pass per level at once:
    // see Plan::workspace_bytes.
    explicit MsdSort(std::size_t* counts) : counts_(counts) {}

    // Sorts the n items of `from` into `to` (which may be `from`), using
    // `spare` (room for n, neither of them) on the way.
    void sort(const U* from, U* to, U* spare, std::size_t n, KeyRange<U> range) {
        pass<true>(from, spare, to, n, range, counts_, false);
    }

private:
    static U read_key(U x) {
        if constexpr (kByKeys) return x;
        return key_of<T>(x);
    }

    static unsigned width_for(std::size_t n, unsigned bits, unsigned most) {
        unsigned w = unsigned(std::bit_width(n));
        w = w > kMsdBucketShift + kMsdMinWidth ? w - kMsdBucketShift : kMsdMinWidth;
        return std::min({w, most, bits});
    }

    // Makes the finished keys of a bucket items again.
    static void finish(U* xs, std::size_t n) {
        if constexpr (kByKeys) {
            for (std::size_t i = 0; i < n; ++i) xs[i] = item_of_float_key<T>(xs[i]);
        }
    }

    // Scatters the n items (or keys) of `src` into `dst` by their top digit;
    // each bucket then ends sorted in `first_to` (kFirst: `src` holds items
    // and is only read), else in `src` when `in_src` or in `dst`.
    template <bool kFirst>
    void pass(const U* src, U* dst, U* first_to, std::size_t n, KeyRange<U> range, std::size_t* counts,
              bool in_src) {
        auto key = [](U x) { return kFirst ? key_of<T>(x) : read_key(x); };
        const unsigned bits = unsigned(std::bit_width(U(range.hi - range.lo)));
        const unsigned width = width_for(n, bits, kFirst ? kMsdFirstMaxWidth : kMsdMaxWidth);
        const std::size_t radix = std::size_t(1) << width;

        // Digits by the key's top bits split any bucket, but float keys
        // crowd where exponents are few. Floats given as keys (no -0.0, no
        // NaN) are split by value instead, into equal parts of their range:
        // subtraction and multiplication by a positive number round
        // monotonically, so values in order get buckets in order, and equal
        // values the same bucket. When that leaves every item in one bucket
        // (values too close for the arithmetic), the bits decide after all.
        if constexpr (kByKeys) {
            const double low = value_of(range.lo);
            const double scale = double(radix) / (value_of(range.hi) - low);
            if (std::isfinite(low) && std::isfinite(scale) && scale > 0) {
                auto by_value = [=](U k) {
                    return std::min(std::size_t((value_of(k) - low) * scale), radix - 1);
                };
                if (split<kFirst>(src, dst, first_to, n, counts, in_src, radix, key, by_value)) return;
            }
        }
        const unsigned shift = bits - width;
        const U lo = range.lo;
        split<kFirst>(src, dst, first_to, n, counts, in_src, radix, key,
                      [=](U k) { return std::size_t(U(k - lo) >> shift); });
    }

    static double value_of(U key) { return double(std::bit_cast<T>(item_of_float_key<T>(key))); }

    // Counts, scatters by `digit` and sorts the buckets; returns false,
    // having moved nothing, when one bucket would hold every item.
    template <bool kFirst, class Key, class Digit>
    bool split(const U* src, U* dst, U* first_to, std::size_t n, std::size_t* counts, bool in_src,
               std::size_t radix, Key key, Digit digit) {
        std::fill(counts, counts + radix + 1, std::size_t(0));
        for (std::size_t i = 0; i < n; ++i) ++counts[digit(key(src[i])) + 1];
        if (counts[digit(key(src[0])) + 1] == n) return false;
        for (std::size_t d = 0; d < radix; ++d) counts[d + 1] += counts[d];
        // counts[d] is where bucket d starts; the scatter moves it to where
        // bucket d ends, so counts[d - 1] (or 0) is then its start.
        for (std::size_t i = 0; i < n; ++i) {
            U x = src[i];
            U k = key(x);
            std::size_t& at = counts[digit(k)];
            if constexpr (kFirst && kByKeys) dst[at++] = k;
            else dst[at++] = x;
        }
        std::size_t* below = counts + radix + 1;
        std::size_t start = 0;
        for (std::size_t d = 0; d < radix; ++d) {
            const std::size_t end = counts[d];
            if constexpr (kFirst) {
                bucket(dst + start, first_to + start, end - start, below, false);
            } else {
                // After the first pass `src` is this sort's own scratch,
                // read here as the pass's source and free to be written.
                bucket(dst + start, const_cast<U*>(src) + start, end - start, below,  // NOLINT(cppcoreguidelines-pro-type-const-cast)
                       !in_src);
            }
            start = end;
        }
        return true;
    }

    // A bucket of c items (or keys) in `at`, to end sorted in `at` when
    // `in_at`, else in `other`; the other one is scratch.
    void bucket(U* at, U* other, std::size_t c, std::size_t* counts, bool in_at) {
        if (c == 0) return;
        U* result = in_at ? at : other;
        if (c <= kInsertionLimit) {
            if (!in_at) std::memcpy(other, at, c * sizeof(U));
            insertion_sort(result, c, [](U x) { return read_key(x); });
            finish(result, c);
            return;
        }
        KeyRange<U> range = key_range(at, c, [](U x) { return read_key(x); });
        if (range.lo == range.hi) {  // one key: input order is the order
            if (!in_at) std::memcpy(other, at, c * sizeof(U));
            finish(result, c);
            return;
        }
        pass<false>(at, other, nullptr, c, range, counts, in_at);
    }

    std::size_t* counts_;
};

// Integer keys only: counts every key of the range, then writes each key's
// item as many times as it occurs. `out` may be `input`: the counting pass
// is over before the first write. Most keys occur a few times, so each is
// written eight times over (the extra copies are overwritten by the next
// key's) rather than counted out in a loop whose length changes each time.
template <class T>
void counting_sort(const Bits<T>* input, Bits<T>* out, std::size_t n, const Plan& plan, std::size_t* counts) {
    using U = Bits<T>;
    const U lo = U(plan.lo);
    const std::size_t range = std::size_t(plan.span) + 1;
    std::fill(counts, counts + range, std::size_t(0));
    for (std::size_t i = 0; i < n; ++i) ++counts[U(key_of<T>(input[i]) - lo)];
    std::size_t o = 0;
    for (std::size_t j = 0; j < range; ++j) {
        const U item = item_of_key<T>(U(lo + U(j)));
        const std::size_t c = counts[j];
        if (c <= 8 && o + 8 <= n) {
            for (std::size_t t = 0; t < 8; ++t) out[o + t] = item;
        } else {
            for (std::size_t t = 0; t < c; ++t) out[o + t] = item;
        }
        o += c;
    }
}

// Sorts the n items of `input` stably by key, following `plan` (made from
// the same items), into `out`, which may be `input`. `spare` has room for n
// items when the plan needs one, and is neither; `workspace` has
// plan.workspace_bytes(n).
template <class T>
void sort_into(const Bits<T>* input, Bits<T>* out, Bits<T>* spare, std::size_t n, const Plan& plan,
               void* workspace) {
    using U = Bits<T>;
    auto* counts = static_cast<std::size_t*>(workspace);
    switch (plan.kind) {
        case Plan::kInsertion:
        case Plan::kNone:
            if (out != input && n > 0) std::memmove(out, input, n * sizeof(U));
            if (plan.kind == Plan::kInsertion) insertion_sort<T>(out, n);
            return;
        case Plan::kCounting:
            if constexpr (std::is_integral_v<T>) counting_sort<T>(input, out, n, plan, counts);
            return;
        case Plan::kRadix: {
            const U lo = U(plan.lo);
            const unsigned bits = unsigned(std::bit_width(plan.span));
            if constexpr (std::is_floating_point_v<T>) {
                if (plan.by_keys && plan.msd) {
                    MsdSort<T, true>(counts).sort(input, out, spare, n, KeyRange<U>{lo, U(lo + U(plan.span))});
                    return;
                }
                if (plan.by_keys) {
                    if (plan.split) split_sort<T, true>(input, out, spare, n, lo, bits, counts);
                    else lsd_sort<T, true, true>(input, spare, out, out, n, lo, bits, counts);
                    return;
                }
            }
            if (plan.msd) MsdSort<T, false>(counts).sort(input, out, spare, n, KeyRange<U>{lo, U(lo + U(plan.span))});
            else if (plan.split) split_sort<T, false>(input, out, spare, n, lo, bits, counts);
            else lsd_sort<T, false, true>(input, spare, out, out, n, lo, bits, counts);
            return;
        }
    }
}

}  // namespace telvaran::radix
