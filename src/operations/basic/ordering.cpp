// sort, reverse and unique: reordering an input's elements as raw items.
#include "buffer/prologue.hpp"
#include "buffer/result.hpp"
#include "kernels/ordering/distinct.hpp"
#include "kernels/ordering/sorted_copy.hpp"
#include "operations/table.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

namespace telvaran {
namespace {

// Elements i and n-1-i trade places, as raw items of the element's width, in
// place: the two halves are walked towards each other, so each item is read
// and written once and nothing needs a scratch copy.
template <class U>
void reverse_items(U* items, std::size_t n) {
    std::size_t i = 0;
    if constexpr (sizeof(U) == 1) {
        // Bytes have no vector shuffle in the baseline instruction set: they
        // trade places eight at a time as the bytes of a 64-bit word, whose
        // byte order a single instruction reverses.
        for (; i + 8 <= n / 2; i += 8) {
            std::uint64_t front = 0;
            std::uint64_t back = 0;
            std::memcpy(&front, items + i, 8);
            std::memcpy(&back, items + n - i - 8, 8);
            front = __builtin_bswap64(front);
            back = __builtin_bswap64(back);
            std::memcpy(items + i, &back, 8);
            std::memcpy(items + n - i - 8, &front, 8);
        }
    }
    for (std::size_t half = n / 2; i < half; ++i) {
        U x = items[i];
        items[i] = items[n - 1 - i];
        items[n - 1 - i] = x;
    }
}

template <class T>
void reverse_in_place(std::span<T> xs) {
    reverse_items(reinterpret_cast<radix::Bits<T>*>(xs.data()), xs.size());
}

// Copies into `out` each sorted item that is not == (in the element type) to
// the item kept last, and returns how many were kept. NaN equals nothing, so
// every NaN is kept; of -0.0 and +0.0 the first one in sorted order is kept.
template <class T>
std::size_t keep_distinct(std::span<const radix::Bits<T>> items, std::byte* out) {
    if (items.empty()) return 0;
    std::memcpy(out, &items[0], sizeof(T));
    T last = std::bit_cast<T>(items[0]);
    std::size_t kept = 1;
    for (std::size_t k = 1; k < items.size(); ++k) {
        T x = std::bit_cast<T>(items[k]);
        if (x == last) continue;
        std::memcpy(out + kept * sizeof(T), &items[k], sizeof(T));
        last = x;
        ++kept;
    }
    return kept;
}

template <class T>
Result<Ref> unique_of(std::span<const T> xs, const Input& input) {
    // An exact array.array input has run no Python code, and the distinct
    // values are never more than its items: the result may be sliced from it.
    PyObject* like = input.kind == InputKind::Array && input.exact ? input.object : nullptr;
    if constexpr (std::is_floating_point_v<T>) {
        scratch::ItemBuffer values;
        TV_ASSIGN(std::optional<std::size_t> kept, distinct::sorted_distinct(xs, values));
        if (kept) return result_from_values<T>(input.type, input.kind, std::span<const T>(values.as<T>(), *kept), like);
    }
    TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(xs));
    std::size_t kept = keep_distinct<T>(sorted.items(), sorted.spare());
    // The memcpy calls above made T items of the spare buffer's bytes.
    const T* values = reinterpret_cast<const T*>(sorted.spare());
    return result_from_values<T>(input.type, input.kind, std::span<const T>(values, kept), like);
}

}  // namespace

namespace ops {

Result<Ref> sort(const Call& call) {
    return run(call, []<class T>(std::span<T> xs) -> Result<Ref> {
        TV_TRY(scratch::sort_in_place(xs));
        return Ref::none();
    });
}

Result<Ref> reverse(const Call& call) {
    return run(call, []<class T>(std::span<T> xs) -> Result<Ref> {
        reverse_in_place(xs);
        return Ref::none();
    });
}

Result<Ref> unique(const Call& call) {
    return run(call, []<class T>(std::span<const T> xs, const SizedInput& input) -> Result<Ref> {
        return unique_of(xs, input.input);
    });
}

}  // namespace ops
}  // namespace telvaran
