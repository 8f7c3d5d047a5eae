// The hot loops, as the operations call them.
//
// Every kernel is written once, in plain C++ over raw contiguous memory
// (kernels/reduce.hpp, kernels/elementwise.hpp), and compiled once per
// instruction set: a reference build for the target's baseline (SSE2 on
// x86-64, NEON on aarch64), which every compiler vectorises, and on x86-64
// again for AVX2 and for AVX-512. One table of function pointers per build
// holds the kernels of all ten machine types; the table for the processor
// is chosen once, when the module is imported. A build configured with
// TELVARAN_REFERENCE_KERNELS has the reference table only, so that tests can
// compare the two builds bit for bit.
#pragma once

#include "core/elements.hpp"
#include "core/runs.hpp"
#include "kernels/ordering/radix_sort.hpp"

#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>

namespace telvaran::kernels {

// Float sums are rounded after every addition, strictly left to right from
// +0.0, in blocks of this many elements once the input is longer than one
// block; the block sums are then added in order. The rounding must be
// reproduced exactly, so a block is never split or regrouped: one that
// spans two runs of the input is continued from one into the next.
inline constexpr std::size_t kSumBlock = 8192;

// Sorts n items stably in place; returns false, having changed nothing, when
// it cannot have the memory it needs.
template <class T>
using InPlaceSort = bool (*)(T* xs, std::size_t n);

template <class T>
struct KernelSet {
    // Sum in T of the elements of `count` runs, in order: integers wrap;
    // floats by the rule above, in blocks when `by_blocks` (the input's
    // Python length exceeds one block).
    T (*sum)(const Run* runs, std::size_t count, bool by_blocks);
    // The least or greatest element of the runs (at least one element);
    // with NaN or both zeros present, one of the elements, the same however
    // the elements are split into runs.
    T (*min)(const Run* runs, std::size_t count);
    T (*max)(const Run* runs, std::size_t count);
    // The sum of (x - m)^2 over the elements, in double, added in element
    // order onto `s`.
    double (*squared_deviations)(const T* xs, std::size_t n, double m, double s);
    // out[k] = a[k] op b[k] in T (integers wrap).
    void (*add)(const T* a, const T* b, T* out, std::size_t n);
    void (*multiply)(const T* a, const T* b, T* out, std::size_t n);
    // x *= factor in T; x limited to [lo, hi]; floats: x = (x - mn) / d.
    void (*scale)(T* xs, std::size_t n, T factor);
    void (*clamp)(T* xs, std::size_t n, T lo, T hi);
    void (*normalize)(T* xs, std::size_t n, T mn, T d);  // null for integers
    // The passes of median's selection (see kernels/partition.hpp): the
    // elements x with lo <= x <= hi written to out in order, *below counting
    // those under lo; for floats the same by their sort keys; for 8-bit
    // types the count of the elements under t. keep_between is null for
    // 8-bit types where the build cannot compress bytes in registers (their
    // selection then counts), keep_keys_between for integers, count_below
    // for the wider types.
    std::size_t (*keep_between)(const T* xs, std::size_t n, T lo, T hi, T* out, std::size_t* below);
    std::size_t (*keep_keys_between)(const T* xs, std::size_t n, radix::Bits<T> lo, radix::Bits<T> hi, T* out,
                                     std::size_t* below);
    std::size_t (*count_below)(const T* xs, std::size_t n, T t);
    // Sorts xs ascending in place, not stably, where that gives the stable
    // order (for floats: no item is -0.0 or NaN) and is faster than the
    // radix sort, and returns true; else returns false having changed
    // nothing. A part of xs whose partitions keep going badly is handed to
    // `fallback`. Null where the build has no such sort.
    bool (*sort)(T* xs, std::size_t n, InPlaceSort<T> fallback);
};

namespace detail {
template <class... T>
std::tuple<KernelSet<T>...> sets_of(TypeList<T...>);
}  // namespace detail

struct KernelTable {
    const char* name;  // "reference", "avx2", "avx512"
    decltype(detail::sets_of(NativeTypes{})) sets;

    template <class T>
    const KernelSet<T>& of() const {
        return std::get<KernelSet<T>>(sets);
    }
};

// The table in use; the reference table until choose() runs at import.
extern const KernelTable* g_active;

// Picks the fastest table the processor runs.
void choose();

template <class T>
const KernelSet<T>& active() {
    return g_active->of<T>();
}

template <class T>
T sum(const Runs<T>& xs, bool by_blocks) {
    return active<T>().sum(xs.list(), xs.count(), by_blocks);
}
template <class T>
T minimum(const Runs<T>& xs) {
    return active<T>().min(xs.list(), xs.count());
}
template <class T>
T maximum(const Runs<T>& xs) {
    return active<T>().max(xs.list(), xs.count());
}
template <class T>
double squared_deviations(const Runs<T>& xs, double m) {
    double s = 0.0;  // one chain of additions, from one run into the next
    for (std::size_t k = 0; k < xs.count(); ++k) s = active<T>().squared_deviations(xs[k].data(), xs[k].size(), m, s);
    return s;
}
template <class T>
std::size_t keep_between(const T* xs, std::size_t n, T lo, T hi, T* out, std::size_t* below) {
    return active<T>().keep_between(xs, n, lo, hi, out, below);
}
template <class T>
std::size_t keep_keys_between(const T* xs, std::size_t n, radix::Bits<T> lo, radix::Bits<T> hi, T* out,
                              std::size_t* below) {
    return active<T>().keep_keys_between(xs, n, lo, hi, out, below);
}
template <class T>
std::size_t count_below(const T* xs, std::size_t n, T t) {
    return active<T>().count_below(xs, n, t);
}

}  // namespace telvaran::kernels
