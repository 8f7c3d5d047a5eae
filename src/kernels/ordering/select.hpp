// The element a stable sort would put at one index, found without sorting:
// a radix select on the keys of radix_sort.hpp. No Python here.
//
// One pass finds the range of the keys. Each round then counts one digit of
// (key - least key), from the top, over the items still in question, finds
// the bucket holding the wanted index and keeps only that bucket's items,
// in input order, so that after the last digit (or once a few items are
// left and an insertion sort settles them) the items still in question are
// the ones with the wanted key in input order, which is the order a stable
// sort leaves them in. Only the first round reads the whole input; the
// items it keeps are copied out, and later rounds narrow that copy in place.
#pragma once

#include "core/result.hpp"
#include "kernels/ordering/radix_sort.hpp"
#include "kernels/ordering/sorted_copy.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace telvaran::radix {

// Below this many items a copy sorted by insertion is cheaper than rounds of
// counting. It also bounds the stack copy below.
inline constexpr std::size_t kSelectBySortBelow = 32;

// Rounds over at least this many items count 11-bit digits; smaller ones
// 8-bit digits, whose 256 counts live on the stack.
inline constexpr std::size_t kSelectWideFrom = 1 << 14;

namespace detail {

struct Bucket {
    std::size_t digit;
    std::size_t below;  // items in the buckets before it
    std::size_t count;
};

template <class T>
Bucket count_digit(const Bits<T>* items, std::size_t n, Bits<T> lo, unsigned shift, std::size_t radix,
                   std::size_t k, std::size_t* counts) {
    using U = Bits<T>;
    const U mask = U(radix - 1);
    std::fill(counts, counts + radix, std::size_t(0));
    for (std::size_t i = 0; i < n; ++i) ++counts[(U(key_of<T>(items[i]) - lo) >> shift) & mask];
    std::size_t below = 0;
    std::size_t d = 0;
    for (; below + counts[d] <= k; ++d) below += counts[d];
    return {d, below, counts[d]};
}

// Copies to `out`, in order, the items of `items` whose digit is `digit`;
// `out` may be `items`. Without branches: each item is written, and the
// write position moves on only for a kept one, so `out` needs room for one
// item past those kept.
template <class T>
std::size_t keep_digit(const Bits<T>* items, std::size_t n, Bits<T> lo, unsigned shift, Bits<T> mask,
                       std::size_t digit, Bits<T>* out) {
    using U = Bits<T>;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        U item = items[i];
        out[kept] = item;
        kept += ((U(key_of<T>(item) - lo) >> shift) & mask) == digit;
    }
    return kept;
}

}  // namespace detail

// The item at index k (< n) of the stable sort of the n items.
template <class T>
Result<Bits<T>> select_stable(const Bits<T>* input, std::size_t n, std::size_t k) {
    using U = Bits<T>;
    if (n < kSelectBySortBelow) {
        U copy[kSelectBySortBelow];
        std::memcpy(copy, input, n * sizeof(U));
        insertion_sort<T>(copy, n);
        return copy[k];
    }
    auto [lo, hi] = key_range<T>(input, n);
    unsigned bits = unsigned(std::bit_width(U(hi - lo)));
    if (bits == 0) return input[k];  // one key: input order is the order

    scratch::ItemBuffer wide_counts = {};
    std::size_t narrow_counts[256];
    if (n >= kSelectWideFrom) {
        TV_ASSIGN(wide_counts, scratch::ItemBuffer::allocate(sizeof(std::size_t) << 11));
    }

    const U* items = input;
    U* kept = nullptr;
    scratch::ItemBuffer copy = {};
    while (bits > 0) {
        const unsigned width = std::min(bits, n >= kSelectWideFrom ? 11u : 8u);
        const unsigned shift = bits - width;
        const std::size_t radix = std::size_t(1) << width;
        std::size_t* counts = width > 8 ? wide_counts.as<std::size_t>() : narrow_counts;
        detail::Bucket b = detail::count_digit<T>(items, n, lo, shift, radix, k, counts);
        bits = shift;
        k -= b.below;
        if (b.count == n) continue;  // every item has this digit: nothing to drop
        if (!kept) {
            TV_ASSIGN(copy, scratch::ItemBuffer::allocate((b.count + 1) * sizeof(U)));
            kept = copy.as<U>();
        }
        n = detail::keep_digit<T>(items, n, lo, shift, U(radix - 1), b.digit, kept);
        items = kept;
        if (n < kSelectBySortBelow) {
            insertion_sort<T>(kept, n);
            break;
        }
    }
    return items[k];
}

}  // namespace telvaran::radix
