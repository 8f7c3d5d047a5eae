// Stable sorting of raw items by order-preserving integer keys: an LSD radix
// sort shared by sort, unique and median. No Python here.
//
// Items are moved as unsigned integers of their own width and never converted,
// so NaN payloads and the sign of zero survive every move. An element type
// contributes only its key: an unsigned integer of the same width whose
// unsigned order is the element order. Every item has a key and integers are
// totally ordered, so whatever the data (NaN included) the result is a
// permutation of the input and no index leaves the buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
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

template <class T>
struct KeyOf {
    constexpr Bits<T> operator()(Bits<T> raw) const noexcept { return key_of<T>(raw); }
};

// Below this many items an insertion sort beats the histogram set-up.
inline constexpr std::size_t kInsertionLimit = 64;

// Digit width: 11 bits give 32-bit keys three passes with histograms that
// still fit the L1 cache; 8 bits keep the set-up small for other keys, and
// long runs of 64-bit keys take 11 bits too, saving two of eight passes
// over memory once the larger histograms are paid for.
inline constexpr std::size_t kWideDigitsFrom = 1 << 16;

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

template <class Count, unsigned kBits, class U>
struct Histograms {
    static constexpr unsigned kDigits = (8 * sizeof(U) + kBits - 1) / kBits;
    static constexpr std::size_t kRadix = std::size_t(1) << kBits;
    std::array<std::array<Count, kRadix>, kDigits> counts;
};

// The largest histogram table any sort needs (8-byte keys, 11-bit digits,
// 64-bit counts: 48 KiB). It lives on the heap, never on the stack: a
// thread may run with as little as 32 KiB of stack.
inline constexpr std::size_t kHistogramBytes = sizeof(Histograms<std::size_t, 11, std::uint64_t>);

// One histogram pass counts every digit of every key at once; then one
// stable scatter pass per digit, skipping digits that are the same in all
// keys, alternates between the two buffers. `workspace` has room for
// kHistogramBytes. Returns the buffer holding the sorted items.
template <class Count, unsigned kBits, class U, class Key>
U* radix_passes(U* items, U* spare, std::size_t n, Key key, void* workspace) {
    using Table = Histograms<Count, kBits, U>;
    constexpr unsigned kDigits = Table::kDigits;
    constexpr U kMask = U(Table::kRadix - 1);
    static_assert(sizeof(Table) <= kHistogramBytes);

    auto& counts = (new (workspace) Table{})->counts;
    for (std::size_t i = 0; i < n; ++i) {
        U k = key(items[i]);
        for (unsigned d = 0; d < kDigits; ++d) ++counts[d][(k >> (d * kBits)) & kMask];
    }

    const U first = key(items[0]);
    U* src = items;
    U* dst = spare;
    for (unsigned d = 0; d < kDigits; ++d) {
        const unsigned shift = d * kBits;
        auto& offsets = counts[d];
        if (offsets[(first >> shift) & kMask] == n) continue;  // one bucket holds every item
        Count total = 0;
        for (Count& c : offsets) total += std::exchange(c, total);
        for (std::size_t i = 0; i < n; ++i) {
            U item = src[i];
            dst[offsets[(key(item) >> shift) & kMask]++] = item;
        }
        std::swap(src, dst);
    }
    return src;
}

// Sorts the n items stably by key. `spare` must have room for n items and
// `workspace` for kHistogramBytes when n >= kInsertionLimit. Returns `items`
// or `spare`, whichever holds the sorted items; the other one's contents are
// then unspecified.
template <class U, class Key>
U* sort_by_key(U* items, U* spare, std::size_t n, Key key, void* workspace) {
    static_assert(std::is_unsigned_v<U>);
    if (n < kInsertionLimit) {
        insertion_sort(items, n, key);
        return items;
    }
    const bool wide = sizeof(U) == 4 || (sizeof(U) == 8 && n >= kWideDigitsFrom);
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        return wide ? radix_passes<std::uint32_t, 11>(items, spare, n, key, workspace)
                    : radix_passes<std::uint32_t, 8>(items, spare, n, key, workspace);
    }
    return wide ? radix_passes<std::size_t, 11>(items, spare, n, key, workspace)
                : radix_passes<std::size_t, 8>(items, spare, n, key, workspace);
}

}  // namespace telvaran::radix
