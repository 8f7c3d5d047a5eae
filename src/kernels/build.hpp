// The kernel table of one instruction set. Included once, by the build file
// of that instruction set, after it has defined TV_KERNEL_TARGET (its name),
// TV_VECTOR_BYTES and TV_KERNEL_TABLE (the table's variable).
#pragma once

#include "kernels/elementwise.hpp"
#include "kernels/partition.hpp"
#include "kernels/reduce.hpp"
#if defined(TV_VECTOR_SORT)
#include "kernels/ordering/vector_sort.hpp"
#endif

namespace telvaran::kernels::TV_KERNEL_TARGET {

template <class T>
constexpr KernelSet<T> set_of() {
    KernelSet<T> set{sum<T>, min<T>, max<T>, squared_deviations<T>, add<T>, multiply<T>, scale<T>, clamp<T>};
    if constexpr (std::is_floating_point_v<T>) {
        set.normalize = normalize<T>;
        set.keep_keys_between = keep_keys_between<T>;
    }
    if constexpr (sizeof(T) == 1) {
        set.count_below = count_below<T>;
#if defined(__AVX512F__)
        if constexpr (kWideSmall) set.keep_between = keep_between<T>;
#endif
    } else {
        set.keep_between = keep_between<T>;
    }
#if defined(TV_VECTOR_SORT)
    set.sort = vsort::sort_of<T>();
#endif
    return set;
}

template <class... T>
constexpr KernelTable table_of(const char* name, TypeList<T...>) {
    return KernelTable{name, {set_of<T>()...}};
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET

#define TV_STRINGIFY_(x) #x
#define TV_STRINGIFY(x) TV_STRINGIFY_(x)

namespace telvaran::kernels {
extern const KernelTable TV_KERNEL_TABLE;
constinit const KernelTable TV_KERNEL_TABLE =
    TV_KERNEL_TARGET::table_of(TV_STRINGIFY(TV_KERNEL_TARGET), NativeTypes{});
}  // namespace telvaran::kernels
