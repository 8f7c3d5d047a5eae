// The element a stable sort would put at one index, found without sorting.
// No Python here.
//
// Usually one pass over the elements settles it: a small sample gives two
// elements that bracket the wanted one, the pass counts the elements below
// the lower one and keeps those between the two (in input order), and a
// selection among the few kept finds the wanted value (see
// select_by_sample). When the sample misleads, or a NaN is present (NaN
// compares with nothing, but has its place in the sort's key order), rounds
// of a radix select on the sort's keys take over (select_by_counting).
//
// Either way the result is the wanted key and its rank among the equal
// keys. Every key but that of the float zeros and of NaN belongs to one
// item; the items sharing one of those two keys come in a stable sort in
// input order, so the wanted one is found by counting them in the input.
// The item returned is exactly the one the stable sort puts at the index.
#pragma once

#include "core/result.hpp"
#include "kernels/kernels.hpp"
#include "kernels/ordering/radix_sort.hpp"
#include "kernels/ordering/sorted_copy.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

namespace telvaran::radix {

// Below this many items a copy sorted by insertion is cheaper than a
// sample. It also bounds the stack copy below.
inline constexpr std::size_t kSelectBySortBelow = 32;

// Counting rounds over at least this many items count 11-bit digits;
// smaller ones 8-bit digits, whose 256 counts live on the stack.
inline constexpr std::size_t kSelectWideFrom = 1 << 14;

namespace detail {

struct Bucket {
    std::size_t digit;
    std::size_t below;  // items in the buckets before it
    std::size_t count;
};

// Counts the digits (key - lo) >> shift, which are below `radix`, of the n
// keys that key_at gives, and finds the bucket holding index k.
template <class U, class KeyAt>
Bucket count_digit(KeyAt key_at, std::size_t n, U lo, unsigned shift, std::size_t radix, std::size_t k,
                   std::size_t* counts) {
    std::fill(counts, counts + radix, std::size_t(0));
    for (std::size_t i = 0; i < n; ++i) ++counts[U(key_at(i) - lo) >> shift];
    std::size_t below = 0;
    std::size_t d = 0;
    for (; below + counts[d] <= k; ++d) below += counts[d];
    return {d, below, counts[d]};
}

// Writes to `out`, in order, the keys whose digit is `digit`, and narrows
// `range` to them; `out` may be where the keys come from. Without branches:
// each key is written, and the write position moves on only for a kept one,
// so `out` needs room for one key past those kept.
template <class U, class KeyAt>
std::size_t keep_digit(KeyAt key_at, std::size_t n, KeyRange<U>& range, unsigned shift, std::size_t digit,
                       U* out) {
    const U lo = range.lo;
    U kept_lo = U(~U(0));
    U kept_hi = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        U key = key_at(i);
        bool keep = std::size_t(U(key - lo) >> shift) == digit;
        out[kept] = key;
        kept += keep;
        U low = keep ? key : U(~U(0));
        U high = keep ? key : U(0);
        kept_lo = low < kept_lo ? low : kept_lo;
        kept_hi = high > kept_hi ? high : kept_hi;
    }
    range = {kept_lo, kept_hi};
    return kept;
}

// The item whose key is `key` and that comes j-th among the items with that
// key in input order. Every key but that of the float zeros and of NaN
// belongs to one item only, which the key gives back without a search.
template <class T>
Bits<T> item_with_key(const Bits<T>* input, std::size_t n, Bits<T> key, std::size_t j) {
    using U = Bits<T>;
    constexpr U sign = U(1) << (8 * sizeof(U) - 1);
    if constexpr (std::is_floating_point_v<T>) {
        if (key == zero_key<T>() || is_nan_key<T>(key)) {
            for (std::size_t i = 0; i < n; ++i) {
                if (key_of<T>(input[i]) == key && j-- == 0) return input[i];
            }
        }
        return (key & sign) ? U(key ^ sign) : U(~key);  // a number of either sign, see key_of
    } else {
        (void)input;
        (void)n;
        (void)j;
        return item_of_key<T>(key);
    }
}


// The wanted key, and how many keys equal to it come before the wanted
// one in a stable sort.
template <class U>
struct Found {
    U key;
    std::size_t rank;
};

// Sampling: a pass keeps, in kept[0, m), the elements that lie between two
// elements of a sample, when the wanted index falls among them. The sample
// is kSampleSize elements spread evenly over those in question; its
// elements kSampleGap places either side of the wanted index's place in it
// bracket the wanted element unless the input is very unevenly spread, and
// then the caller falls back on rounds of counting. Passes repeat while
// they keep more than kSettleBelow elements, which are then settled by
// selection.
//
// For a sample of 64 the wanted element's place in it varies by about 4
// (the square root of 64 / 4), so a gap of 10 misses it rarely, and a pass
// keeps about 20 / 64 of its elements.
//
// The passes compare elements as numbers, which is cheaper than making
// their keys, and agrees with the key order when no NaN is present (the
// two zeros compare equal, and have one key). The first pass looks for NaN
// and gives up when it sees one.
inline constexpr std::size_t kSampleSize = 64;
inline constexpr std::size_t kSampleGap = 10;
inline constexpr std::size_t kSettleBelow = 128;

template <class T>
bool is_nan(T x) {
    if constexpr (std::is_floating_point_v<T>) return x != x;
    (void)x;
    return false;
}

// One pass over the m elements of xs: returns how many it keeps, in
// kept_values (which may be xs), with k moved among them, or nothing when k
// falls outside them or a NaN was seen.
template <class T>
std::optional<std::size_t> keep_between_samples(const T* xs, std::size_t m, std::size_t& k, T* kept_values) {
    constexpr std::size_t s = kSampleSize;
    T sample[s];
    bool nan = false;
    for (std::size_t i = 0; i < s; ++i) {
        sample[i] = xs[(2 * i + 1) * m / (2 * s)];
        nan |= is_nan(sample[i]);
    }
    if (nan) return std::nullopt;  // a NaN would upset the sample's selection
    const std::size_t place = k * s / m;
    T lo = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                : std::numeric_limits<T>::lowest();
    T hi = std::numeric_limits<T>::has_infinity ? std::numeric_limits<T>::infinity() : std::numeric_limits<T>::max();
    if (place >= kSampleGap) {
        std::nth_element(sample, sample + (place - kSampleGap), sample + s);
        lo = sample[place - kSampleGap];
    }
    if (place + kSampleGap < s) {
        std::nth_element(sample, sample + (place + kSampleGap), sample + s);
        hi = sample[place + kSampleGap];
    }
    std::size_t below = 0;
    const std::size_t kept = kernels::keep_between<T>(xs, m, lo, hi, kept_values, &below, &nan);
    if (nan || k < below || k - below >= kept) return std::nullopt;
    k -= below;
    return kept;
}

template <class T>
std::optional<Found<Bits<T>>> select_by_sample(const T* input, std::size_t n, std::size_t k, T* values) {
    auto m = keep_between_samples<T>(input, n, k, values);
    while (m && *m > kSettleBelow) {
        auto fewer = keep_between_samples<T>(values, *m, k, values);
        if (fewer && *fewer == *m) break;  // no progress: mostly one value
        m = fewer;
    }
    if (!m) return std::nullopt;
    std::nth_element(values, values + k, values + *m);
    const T value = values[k];
    std::size_t less = 0;
    for (std::size_t i = 0; i < *m; ++i) less += values[i] < value;
    return Found<Bits<T>>{key_of<T>(std::bit_cast<Bits<T>>(value)), k - less};
}

// Rounds of counting: each splits the range of the keys still in question
// into 256 (or, for many keys, 2,048) buckets by its top bits, so a round
// over keys bunched in a narrow band (floats of a few exponents) still
// splits them. The first round reads the items; the keys of the bucket it
// keeps go to `keys` (room for n), and later rounds narrow them in place.
template <class T>
Result<Found<Bits<T>>> select_by_counting(const Bits<T>* input, std::size_t n, std::size_t k, Bits<T>* keys) {
    using U = Bits<T>;
    KeyRange<U> range = key_range<T>(input, n);
    if (range.lo == range.hi) return Found<U>{range.lo, k};  // one key

    scratch::ItemBuffer wide_counts = {};
    std::size_t narrow_counts[256];
    if (n >= kSelectWideFrom) {
        TV_ASSIGN(wide_counts, scratch::ItemBuffer::allocate(sizeof(std::size_t) << 11));
    }
    // Counts the top digit of the m keys' range, moves k into the bucket
    // holding it and keeps that bucket's keys in `keys`; returns how many.
    // The least and the greatest key fall in different buckets, so every
    // round keeps fewer keys than it had.
    auto round = [&](auto key_at, std::size_t m) {
        const unsigned bits = unsigned(std::bit_width(U(range.hi - range.lo)));
        const unsigned width = std::min(bits, m >= kSelectWideFrom ? 11u : 8u);
        const unsigned shift = bits - width;
        std::size_t* counts = width > 8 ? wide_counts.as<std::size_t>() : narrow_counts;
        detail::Bucket b = detail::count_digit<U>(key_at, m, range.lo, shift, std::size_t(1) << width, k, counts);
        k -= b.below;
        return detail::keep_digit<U>(key_at, m, range, shift, b.digit, keys);
    };
    std::size_t m = round([input](std::size_t i) { return key_of<T>(input[i]); }, n);
    while (range.lo != range.hi && m >= kSelectBySortBelow) {
        m = round([keys](std::size_t i) { return keys[i]; }, m);
    }
    if (range.lo == range.hi) return Found<U>{range.lo, k};
    std::sort(keys, keys + m);
    return Found<U>{keys[k], k - std::size_t(std::lower_bound(keys, keys + m, keys[k]) - keys)};
}

}  // namespace detail

// The item at index k (< n) of the stable sort of the n elements.
template <class T>
Result<Bits<T>> select_stable(const T* elements, std::size_t n, std::size_t k) {
    using U = Bits<T>;
    // The elements as raw items: only read, never written through either.
    const U* items = reinterpret_cast<const U*>(elements);
    if (n < kSelectBySortBelow) {
        U copy[kSelectBySortBelow];
        std::memcpy(copy, items, n * sizeof(U));
        insertion_sort<T>(copy, n);
        return copy[k];
    }
    // Room for every element and one more: the kept ones are written
    // without branches, one place past the last kept.
    std::optional<detail::Found<U>> found;
    {
        TV_ASSIGN(scratch::ItemBuffer values, scratch::ItemBuffer::allocate((n + 1) * sizeof(T)));
        found = detail::select_by_sample<T>(elements, n, k, values.as<T>());
    }
    if (!found) {
        TV_ASSIGN(scratch::ItemBuffer keys, scratch::ItemBuffer::allocate((n + 1) * sizeof(U)));
        TV_ASSIGN(found, detail::select_by_counting<T>(items, n, k, keys.as<U>()));
    }
    return detail::item_with_key<T>(items, n, found->key, found->rank);
}

}  // namespace telvaran::radix
