// sort, reverse and unique: reordering an input's elements through scratch
// copies of their raw items.
#include "buffer/access.hpp"
#include "buffer/result.hpp"
#include "core/pyapi.hpp"
#include "operations/basic/sorted_copy.hpp"
#include "operations/operations.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace telvaran::ops {
namespace {

Ref none() { return Ref::borrow(Py_None); }

// The whole input is rewritten only after its sorted copy is complete, so a
// failed allocation leaves it untouched.
template <class T>
Status sort_in_place(std::span<T> xs) {
    if (xs.size() < 2) return {};
    TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(std::span<const T>(xs)));
    std::memcpy(xs.data(), sorted.items().data(), xs.size_bytes());
    return {};
}

// One routine per item width: the items are reversed as unsigned integers.
template <class U>
void reverse_items(U* items, std::size_t n) {
    std::reverse(items, items + n);
}

template <class T>
Status reverse_in_place(std::span<T> xs) {
    if (xs.empty()) return {};
    TV_ASSIGN(scratch::ItemBuffer copy, scratch::copy_of(std::span<const T>(xs)));
    reverse_items(copy.as<radix::Bits<T>>(), xs.size());
    std::memcpy(xs.data(), copy.bytes(), xs.size_bytes());
    return {};
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
    TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(xs));
    std::size_t kept = keep_distinct<T>(sorted.items(), sorted.spare());
    // The memcpy calls above made T items of the spare buffer's bytes.
    const T* values = reinterpret_cast<const T*>(sorted.spare());
    return result_from_values<T>(input.type, input.kind, std::span<const T>(values, kept));
}

// The prologue and the writable view shared by sort and reverse.
template <class Rearrange>
Result<Ref> rearrange(PyObject* obj, Rearrange rearrange_elements) {
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::InPlace));
    if (ex.length == 0) return none();
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_write_slice(obj, native, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        TV_TRY(rearrange_elements(xs));
        return none();
    });
}

}  // namespace

Result<Ref> sort(const Args& args) {
    return rearrange(args.object(0), []<class T>(std::span<T> xs) { return sort_in_place(xs); });
}

Result<Ref> reverse(const Args& args) {
    return rearrange(args.object(0), []<class T>(std::span<T> xs) { return reverse_in_place(xs); });
}

Result<Ref> unique(const Args& args) {
    PyObject* obj = args.object(0);
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_result(ex.input.type, ex.input.kind);
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native,
                           [&]<class T>(std::span<const T> xs) -> Result<Ref> { return unique_of(xs, ex.input); });
}

}  // namespace telvaran::ops
