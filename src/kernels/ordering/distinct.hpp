// The distinct float values of an input in sorted order, without sorting
// the whole input when most values repeat. No Python here.
//
// unique() keeps, of each run of == elements in the stable sort, the first
// one, and every NaN. For a float other than zero and NaN, one value has one
// item, so the run's first is any of them; of the zeros, the first in the
// stable sort is the first in input order; NaNs all stay, in the order the
// sort gives them (by key, equal keys in input order). So the result is:
// the distinct numbers, sorted (the zero as the first zero met), then the
// NaNs sorted stably by key.
//
// The distinct numbers are gathered in an open-addressing hash table, which
// grows as they come. When they turn out to be many (more than one in
// kMostDistinctPerItem of the items, or more than the table may hold in the
// caches), sorting the whole input is the cheaper way, and the caller is
// told to take it.
#pragma once

#include "core/result.hpp"
#include "kernels/ordering/radix_sort.hpp"
#include "kernels/ordering/sorted_copy.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

namespace telvaran::distinct {

inline constexpr std::size_t kMostDistinctPerItem = 4;

// A sixteenth of the items (at least kProbeItems) decides early whether the
// table is worth filling: when more than seven eighths of them were new,
// the input is sorted instead. Items drawn from V values are that new when
// V is about four times as many as the items seen, a quarter of all the
// items, the limit above. For 1,000,000 distinct float64 the inserts up to
// that limit, with the table grown twice, took 0.4 of the time of the sort
// after them.
inline constexpr std::size_t kProbeItems = 4096;

// How many items ahead the look-ups' slots are prefetched.
inline constexpr std::size_t kPrefetchAhead = 16;
inline constexpr std::size_t kMostTableSlots = std::size_t(1) << 19;

// The table starts with a slot per item, up to a size that the L2 cache
// holds: growing it step by step while a fifth of the items are new (as in
// 100,000 items of 20,000 values) took as long as sorting the distinct
// numbers. Small inputs get small tables: clearing 1,024 slots was two
// thirds of an 8-element unique.
inline constexpr std::size_t kLeastTableSlots = std::size_t(1) << 4;
inline constexpr std::size_t kFirstTableSlotsAtMost = std::size_t(1) << 17;

// Raw float items in a table of 2^k slots, at most a quarter full (which
// keeps most look-ups to one slot). NaNs are never stored, so the NaN whose
// bits are all ones marks an empty slot. The keys are also kept in the
// order they came, so that they are copied out without a pass over the
// table (100,000 items of 20,000 values: the table has 131,072 slots).
template <class U>
class KeySet {
public:
    static constexpr U kEmpty = U(~U(0));

    // Room for `most` keys in arrival order; call once, before reset.
    Status reserve(std::size_t most) {
        TV_ASSIGN(arrived_, scratch::ItemBuffer::allocate(most * sizeof(U)));
        return {};
    }

    Status reset(std::size_t slots) {
        TV_ASSIGN(scratch::ItemBuffer fresh, scratch::ItemBuffer::allocate(slots * sizeof(U)));
        U* table = fresh.as<U>();
        std::memset(table, 0xFF, slots * sizeof(U));  // every byte of kEmpty is 0xFF
        storage_ = std::move(fresh);
        slots_ = slots;
        shift_ = unsigned(8 * sizeof(std::uint64_t)) - unsigned(std::bit_width(slots - 1));
        size_ = 0;
        return {};
    }

    // Adds the key, which must not make more than the reserved number;
    // returns whether it was new.
    bool insert(U key) {
        if (!place(key)) return false;
        arrived_.as<U>()[size_++] = key;
        return true;
    }

    // Moves every key to a table of twice the slots.
    Status grow() {
        scratch::ItemBuffer old = std::move(storage_);
        const std::size_t old_slots = slots_;
        const std::size_t size = size_;
        TV_TRY(reset(2 * old_slots));
        const U* keys = arrived_.as<U>();
        for (std::size_t i = 0; i < size; ++i) place(keys[i]);
        size_ = size;
        return {};
    }

    // Asks for the slot where the key's search starts to be brought into the
    // cache, so that the look-up a few items later does not wait for it.
    void prefetch(U key) const { __builtin_prefetch(storage_.as<U>() + slot_of(key)); }

    std::size_t size() const { return size_; }
    std::size_t slots() const { return slots_; }
    bool full() const { return 4 * size_ > slots_; }

    // Copies the keys to `out` (room for size()), in the order they came.
    void copy_to(U* out) const { std::memcpy(out, arrived_.as<U>(), size_ * sizeof(U)); }

private:
    // Puts the key in the table; returns whether it was not there yet.
    bool place(U key) {
        U* table = storage_.as<U>();
        std::size_t at = slot_of(key);
        while (true) {
            U here = table[at];
            if (here == key) return false;
            if (here == kEmpty) {
                table[at] = key;
                return true;
            }
            at = (at + 1) & (slots_ - 1);
        }
    }

    std::size_t slot_of(U key) const {
        // Multiplicative hashing: the top bits of the product mix all bits.
        return std::size_t((std::uint64_t(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    scratch::ItemBuffer storage_;
    scratch::ItemBuffer arrived_;
    std::size_t slots_ = 0;
    unsigned shift_ = 0;
    std::size_t size_ = 0;
};

// The distinct values of the float elements, as raw items in the order
// unique() gives them, written to `out`; returns how many there are, or
// nothing when they are too many for this way to pay.
template <class T>
Result<std::optional<std::size_t>> sorted_distinct(std::span<const T> xs, scratch::ItemBuffer& out) {
    static_assert(std::is_floating_point_v<T>);
    using U = radix::Bits<T>;
    const U* items = reinterpret_cast<const U*>(xs.data());
    const std::size_t n = xs.size();
    const std::size_t most = n / kMostDistinctPerItem;
    const std::size_t probe = n >= 2 * kProbeItems ? std::max(kProbeItems, n / 16) : 0;

    // The table holds the numbers' bits, with -0.0 stored as +0.0.
    constexpr U sign = U(1) << (8 * sizeof(U) - 1);
    constexpr U inf = std::bit_cast<U>(std::numeric_limits<T>::infinity());
    KeySet<U> set;
    TV_TRY(set.reserve(most + 1));
    TV_TRY(set.reset(std::clamp(std::bit_ceil(n), kLeastTableSlots, kFirstTableSlotsAtMost)));
    std::optional<U> first_zero;
    std::size_t nans = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kPrefetchAhead < n) set.prefetch(items[i + kPrefetchAhead]);
        const U item = items[i];
        const U magnitude = item & U(~sign);
        if (magnitude > inf) {
            ++nans;
            continue;
        }
        if (i + 1 == probe && 8 * set.size() > 7 * probe) return std::optional<std::size_t>();
        if (!set.insert(magnitude == 0 ? U(0) : item)) continue;
        if (magnitude == 0) first_zero = item;
        if (set.size() > most) return std::optional<std::size_t>();
        if (set.full()) {
            if (set.slots() >= kMostTableSlots) return std::optional<std::size_t>();
            TV_TRY(set.grow());
        }
    }

    // The distinct numbers, zero as +0.0: no -0.0 and no NaN, so their sort
    // moves keys and splits by value. Then the zero becomes the first one met.
    const std::size_t count = set.size();
    TV_ASSIGN(out, scratch::ItemBuffer::allocate((count + nans) * sizeof(U)));
    U* result = out.as<U>();
    set.copy_to(result);
    if (count > 1) {
        TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(std::span<const T>(out.as<T>(), count)));
        std::memcpy(result, sorted.items().data(), count * sizeof(U));
    }
    if (first_zero) *std::find(result, result + count, U(0)) = *first_zero;

    // The NaNs, in input order, then sorted stably by key.
    if (nans > 0) {
        U* tail = result + count;
        std::size_t j = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (radix::is_nan_key<T>(radix::key_of<T>(items[i]))) tail[j++] = items[i];
        }
        if (nans > 1) {
            TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(std::span<const T>(reinterpret_cast<const T*>(tail), nans)));
            std::memcpy(tail, sorted.items().data(), nans * sizeof(U));
        }
    }
    return std::optional<std::size_t>(count + nans);
}

}  // namespace telvaran::distinct
