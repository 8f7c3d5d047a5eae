// The element a stable sort would put at one index, found without sorting.
// No Python here.
//
// Rounds narrow the candidates (at first every element) down to the wanted
// one. A round draws a sample of the candidates' keys, takes the two that
// lie a few places either side of the wanted index's place in it, and
// passes over the candidates keeping, in input order, those whose keys lie
// between the two (a kernel pass, see kernels/partition.hpp); the count of
// those below moves the wanted index among the kept. The last few hundred
// candidates are settled by a selection.
//
// Every round writes what it keeps to a buffer other than the one it reads,
// so a round whose sample misled it (the wanted index fell outside what it
// kept) has lost nothing: its count says on which side of what it kept the
// wanted key lies, and the next round keeps that whole side. A round that
// keeps most of its candidates has met runs of equal keys at its bounds:
// the next keeps what lies strictly between them, cutting the runs away,
// or finds that the wanted key is one of them. A round over a single key
// is the last: every item it keeps has the wanted key. After the rounds have
// read six times the input's length, whatever is left is settled by a
// selection on its keys: no input costs more than that and one selection.
//
// Keys are compared as the sort compares them, so which of -0.0 and +0.0,
// or which NaN, is found agrees with the stable sort: items with the wanted
// key stay in input order among the candidates, and the one returned is
// the one that comes at its rank among them. Float passes compare the
// elements as numbers where that agrees with the keys (between two numbers,
// with denormals read as they are), and the keys themselves elsewhere.
//
// Bytes, where the processor cannot compress them in registers, are found
// by counting instead: eight passes over the input, each a vector count of
// the elements under a key, halve the keys the wanted one can have.
#pragma once

#include "core/result.hpp"
#include "kernels/kernels.hpp"
#include "kernels/ordering/radix_sort.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace telvaran::radix {

// Below this many items a copy sorted by insertion is cheaper than a
// sample. It also bounds the stack copy below.
inline constexpr std::size_t kSelectBySortBelow = 32;

namespace detail {

// This many candidates or fewer are settled by a selection: below it, a
// round's sample costs more than it saves.
inline constexpr std::size_t kSettleBelow = 256;
// The rounds stop once they have read this many times the input's length.
inline constexpr std::size_t kRoundsRead = 6;

// A round's sample of `size` keys, and how many places either side of the
// wanted index's place in it the round's bounds lie. That place varies by
// at most the square root of the size over 2; the gap is 4 of those
// deviations for rounds over many candidates (a misled round in about
// 16,000), whose retries cost the most, down to 2.5 for the smallest (one in
// about 80), whose retries cost less than more rounds would. A round keeps
// about 2 gap / size of its candidates: larger samples for more candidates,
// so that the first round writes less.
struct SampleShape {
    std::size_t size;
    std::size_t gap;
};

inline SampleShape sample_shape(std::size_t candidates) {
    if (candidates >= (std::size_t(1) << 22)) return {4096, 128};
    if (candidates >= (std::size_t(1) << 18)) return {1024, 64};
    if (candidates >= (std::size_t(1) << 14)) return {256, 32};
    if (candidates >= (std::size_t(1) << 11)) return {128, 16};
    return {64, 10};
}

// Whether float comparisons in this thread read a denormal as zero (MXCSR's
// DAZ bit on x86, FPCR's FZ bit on Arm), which a library built for speed may
// have set: then they disagree with the sort's order.
template <class T>
bool denormals_read_as_zero() {
    volatile T tiny = std::numeric_limits<T>::denorm_min();
    return !(tiny > T(0));
}

template <class X>
Result<std::unique_ptr<X[]>> allocate(std::size_t count) {
    std::unique_ptr<X[]> block(new (std::nothrow) X[count]);
    if (!block) {
        PyErr_NoMemory();
        return Error::fetch();
    }
    return block;
}

// Room for candidates: a stretch of the call's one block of heap memory,
// or a block of its own once it has had to grow. A round writes about a
// tenth of what it reads; heap memory is reused by the next call, where
// fresh pages would each be cleared by the system on first touch, which
// costs as much as the pass itself.
template <class T>
class Room {
public:
    T* data() const noexcept { return items_; }
    std::size_t capacity() const noexcept { return capacity_; }

    void place(T* items, std::size_t capacity) noexcept {
        items_ = items;
        capacity_ = capacity;
    }

    // Room for at least `wanted` items, keeping the first `keep`.
    Status reserve(std::size_t wanted, std::size_t keep) {
        if (wanted <= capacity_) return {};
        TV_ASSIGN(std::unique_ptr<T[]> larger, allocate<T>(wanted));
        if (keep) std::memcpy(larger.get(), items_, keep * sizeof(T));
        owned_ = std::move(larger);
        place(owned_.get(), wanted);
        return {};
    }

private:
    T* items_ = nullptr;
    std::size_t capacity_ = 0;
    std::unique_ptr<T[]> owned_;
};

// A pass is cut into stretches that fit the room left, and the room grows
// when less than this is left: the least a room holds.
inline constexpr std::size_t kLeastStretch = 1024;

// What a round over m candidates usually keeps, twice over.
inline std::size_t usual_room(std::size_t m) {
    const auto [s, gap] = sample_shape(m);
    return std::min(m, 4 * gap * (m / s) + kLeastStretch);
}

template <class T>
class Selection {
public:
    using U = Bits<T>;

    Selection(const T* input, std::size_t n, std::size_t k)
        : n_(n), src_(input), m_(n), k_(k),
          numbers_agree_(!std::is_floating_point_v<T> || !denormals_read_as_zero<T>()) {}

    // The item at index k of the stable sort.
    Result<U> run() {
        // One block for the largest sample (its elements and their keys)
        // and two rooms.
        const std::size_t s = sample_shape(n_).size;
        const std::size_t room = usual_room(n_);
        TV_ASSIGN(block_, allocate<std::byte>(s * (sizeof(T) + sizeof(U)) + 2 * room * sizeof(T)));
        drawn_ = reinterpret_cast<T*>(block_.get());
        keys_ = reinterpret_cast<U*>(block_.get() + s * sizeof(T));
        first_.place(reinterpret_cast<T*>(block_.get() + s * (sizeof(T) + sizeof(U))), room);
        second_.place(first_.data() + room, room);
        std::size_t budget = kRoundsRead * n_;
        bool crowded = false;
        std::optional<Bounds> forced;
        while (m_ > kSettleBelow && budget >= m_) {
            budget -= m_;
            const bool sampled = !forced && !crowded;
            const Bounds b = forced ? *forced : crowded ? inner() : bracket();
            forced.reset();
            Room<T>& out = destination();
            std::size_t below = 0;
            TV_ASSIGN(const std::size_t kept, pass(b, out, &below));
            if (k_ < below) {
                forced = Bounds{low_, U(b.lo - 1)};  // every candidate under the kept
                continue;
            }
            if (k_ - below >= kept) {
                forced = Bounds{U(b.hi + 1), high_};  // every candidate over them
                continue;
            }
            if (b.lo == b.hi) {  // every item kept has the wanted key
                if (const auto item = only_item(b.lo)) return *item;
                return std::bit_cast<U>(out.data()[k_ - below]);
            }
            crowded = sampled && 4 * kept > 3 * m_;
            src_ = out.data();
            m_ = kept;
            k_ -= below;
            low_ = b.lo;
            high_ = b.hi;
        }
        return settle();
    }

private:
    struct Bounds {
        U lo;
        U hi;
    };

    static U key(T x) { return key_of<T>(std::bit_cast<U>(x)); }

    // s of the candidates, one from each of s equal stretches, at a place in
    // it that a hash of the stretch and the round chooses, so that no
    // regular pattern in the input can line up with the sample. The hashes
    // do not wait on one another, as a sequence of random numbers would.
    void draw(std::size_t s) {
        const unsigned shift = unsigned(std::countr_zero(s));  // s is a power of two
        const std::uint64_t round = ++rounds_ * 0xD1B54A32D192ED03ull;
        std::size_t start = 0;
        for (std::size_t i = 0; i < s; ++i) {
            const std::size_t end = ((i + 1) * m_) >> shift;
            const std::uint64_t hash = (std::uint64_t(i) ^ round) * 0x9E3779B97F4A7C15ull;
            const std::size_t offset = std::size_t(((hash >> 32) * std::uint64_t(end - start)) >> 32);
            drawn_[i] = src_[start + offset];
            start = end;
        }
    }

    // The sample's keys `gap` places either side of the wanted index's
    // place in it; the known bounds where that runs past an end.
    Bounds bracket() {
        const auto [s, gap] = sample_shape(m_);
        draw(s);
        const std::size_t place = k_ * s / m_;
        const bool low_end = place >= gap;
        const bool high_end = place + gap < s;
        const auto [lo, hi] = sample_ranks(s, low_end ? place - gap : 0, high_end ? place + gap : s - 1);
        return {low_end ? lo : low_, high_end ? hi : high_};
    }

    // The keys of the sample's elements of ranks r1 < r2. Floats are ranked
    // as numbers where that is the keys' order (no NaN drawn, denormals read
    // as they are), which spares making a key of each.
    std::pair<U, U> sample_ranks(std::size_t s, std::size_t r1, std::size_t r2) {
        if constexpr (std::is_floating_point_v<T>) {
            if (numbers_agree_ && std::none_of(drawn_, drawn_ + s, [](T x) { return x != x; })) {
                const auto [lo, hi] = ranks(drawn_, s, r1, r2);
                return {key(lo), key(hi)};
            }
        }
        for (std::size_t i = 0; i < s; ++i) keys_[i] = key(drawn_[i]);
        return ranks(keys_, s, r1, r2);
    }

    template <class V>
    static std::pair<V, V> ranks(V* xs, std::size_t s, std::size_t r1, std::size_t r2) {
        std::nth_element(xs, xs + r1, xs + s);
        std::nth_element(xs + r1 + 1, xs + r2, xs + s);
        return {xs[r1], xs[r2]};
    }

    // The keys strictly between the candidates' bounds, after a sampled
    // round kept nearly all its candidates: runs of equal keys at its bounds,
    // which this round cuts away (or, missing, finds the wanted key to be
    // one of them, which the next round then keeps alone).
    Bounds inner() const {
        if (high_ - low_ < 2) return {low_, low_};
        return {U(low_ + 1), U(high_ - 1)};
    }

    // The item of a key that belongs to one item only: every key but the
    // float zeros' (-0.0 and +0.0) and NaN's.
    static std::optional<U> only_item(U key) {
        if constexpr (std::is_floating_point_v<T>) {
            if (key == zero_key<T>() || is_nan_key<T>(key)) return std::nullopt;
            return item_of_float_key<T>(key);
        } else {
            return item_of_key<T>(key);
        }
    }

    // Keeps in `out` the candidates whose keys lie in [b.lo, b.hi], in
    // stretches no longer than the room left, so that none can overflow it;
    // the room doubles when it runs short. A single key whose item the key
    // gives only needs counting: every stretch goes to the room's start.
    Result<std::size_t> pass(Bounds b, Room<T>& out, std::size_t* below) const {
        const bool counting = b.lo == b.hi && only_item(b.lo);
        std::size_t kept = 0;
        for (std::size_t at = 0; at < m_;) {
            const std::size_t room = out.capacity() - (counting ? 0 : kept);
            if (room < std::min(kLeastStretch, m_ - at)) {
                TV_TRY(out.reserve(std::min(m_, 2 * out.capacity() + kLeastStretch), kept));
                continue;
            }
            const std::size_t stretch = std::min(room, m_ - at);
            kept += keep(b, src_ + at, stretch, out.data() + (counting ? 0 : kept), below);
            at += stretch;
        }
        return kept;
    }

    std::size_t keep(Bounds b, const T* xs, std::size_t count, T* out, std::size_t* below) const {
        if constexpr (std::is_floating_point_v<T>) {
            if (const auto numbers = as_numbers(b)) {
                return kernels::keep_between<T>(xs, count, numbers->first, numbers->second, out, below);
            }
            return kernels::keep_keys_between<T>(xs, count, b.lo, b.hi, out, below);
        } else {
            return kernels::keep_between<T>(xs, count, std::bit_cast<T>(item_of_key<T>(b.lo)),
                                            std::bit_cast<T>(item_of_key<T>(b.hi)), out, below);
        }
    }

    // Float bounds that keep exactly the keys in [b.lo, b.hi], where number
    // comparisons can: both keys no higher than that of +inf (NaN keys lie
    // above), and denormals read as they are. The key just under that of
    // the zeros belongs to no item (-0.0 takes the zeros' key).
    std::optional<std::pair<T, T>> as_numbers(Bounds b) const {
        constexpr T inf = std::numeric_limits<T>::infinity();
        constexpr U lowest = key_of<T>(std::bit_cast<U>(-inf));
        constexpr U highest = key_of<T>(std::bit_cast<U>(inf));
        constexpr U no_item = U(zero_key<T>() - 1);
        if (!numbers_agree_ || b.hi > highest || b.hi < lowest) return std::nullopt;
        U lo = std::max(b.lo, lowest);
        U hi = b.hi;
        if (lo == no_item) ++lo;
        if (hi == no_item) --hi;
        if (lo > hi) return std::nullopt;
        return std::pair{std::bit_cast<T>(item_of_float_key<T>(lo)), std::bit_cast<T>(item_of_float_key<T>(hi))};
    }

    // Where a round keeps its candidates: the room it does not read.
    Room<T>& destination() { return src_ == first_.data() ? second_ : first_; }

    // The candidates selected in a spare room: as numbers where that is the
    // keys' order (no NaN among them, denormals read as they are) and the
    // element found is no zero (whose key two items share); else by their
    // keys, and where the key has several items, the candidate that comes
    // at the wanted key's rank among those with it.
    Result<U> settle() {
        Room<T>& spare = destination();
        TV_TRY(spare.reserve(m_, 0));
        if constexpr (std::is_floating_point_v<T>) {
            if (numbers_agree_ && std::none_of(src_, src_ + m_, [](T x) { return x != x; })) {
                T* values = spare.data();
                std::copy(src_, src_ + m_, values);
                std::nth_element(values, values + k_, values + m_);
                if (values[k_] != T(0)) return std::bit_cast<U>(values[k_]);
            }
        }
        U* keys = reinterpret_cast<U*>(spare.data());
        for (std::size_t i = 0; i < m_; ++i) keys[i] = key(src_[i]);
        std::nth_element(keys, keys + k_, keys + m_);
        const U wanted = keys[k_];
        if (const auto item = only_item(wanted)) return *item;
        std::size_t rank = k_;
        for (std::size_t i = 0; i < m_; ++i) rank -= keys[i] < wanted;
        for (std::size_t i = 0;; ++i) {
            if (key(src_[i]) == wanted && rank-- == 0) return std::bit_cast<U>(src_[i]);
        }
    }

    std::size_t n_;
    const T* src_;  // the candidates, in input order
    std::size_t m_;
    std::size_t k_;  // the wanted index among them
    U low_ = 0;      // bounds of the candidates' keys
    U high_ = U(~U(0));
    std::unique_ptr<std::byte[]> block_;
    T* drawn_ = nullptr;
    U* keys_ = nullptr;
    Room<T> first_;
    Room<T> second_;
    bool numbers_agree_;
    std::uint64_t rounds_ = 0;
};

// Bytes by counting: the wanted key is the greatest key v for which no more
// than k elements lie under v.
template <class T>
Bits<T> select_by_counting(const T* xs, std::size_t n, std::size_t k) {
    using U = Bits<T>;
    unsigned lo = 0;
    unsigned hi = 1u << (8 * sizeof(T));  // the wanted key lies in [lo, hi)
    while (hi - lo > 1) {
        const unsigned middle = (lo + hi) / 2;
        const T item = std::bit_cast<T>(item_of_key<T>(U(middle)));
        if (kernels::count_below<T>(xs, n, item) <= k) lo = middle;
        else hi = middle;
    }
    return item_of_key<T>(U(lo));
}

}  // namespace detail

// The item at index k (< n) of the stable sort of the n elements.
template <class T>
Result<Bits<T>> select_stable(const T* elements, std::size_t n, std::size_t k) {
    using U = Bits<T>;
    if (n < kSelectBySortBelow) {
        U copy[kSelectBySortBelow];
        std::memcpy(copy, elements, n * sizeof(U));
        insertion_sort<T>(copy, n);
        return copy[k];
    }
    if constexpr (sizeof(T) == 1) {
        if (!kernels::active<T>().keep_between) return detail::select_by_counting<T>(elements, n, k);
    }
    detail::Selection<T> selection(elements, n, k);
    return selection.run();
}

}  // namespace telvaran::radix
