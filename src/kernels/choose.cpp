// The choice of kernels, made once at import by the processor's features.
#include "kernels/kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace telvaran::kernels {

extern const KernelTable kReferenceKernels;
// The address of a table is a constant, whatever the order in which the
// tables themselves are initialised.
constinit const KernelTable* g_active = &kReferenceKernels;  // NOLINT(cppcoreguidelines-interfaces-global-init)

#if defined(TV_KERNELS_X86)
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;
bool sort_16bit(std::int16_t* xs, std::size_t n, InPlaceSort<std::int16_t> fallback);
bool sort_16bit(std::uint16_t* xs, std::size_t n, InPlaceSort<std::uint16_t> fallback);

namespace {
// On processors with AVX-512 each kernel comes from the build where it is
// faster: the 512-bit min, max and clamp (about 0.6 of the 256-bit time for
// 64-bit min and max and for clamp, over 20,000 elements in cache), the
// float sums (whose blocks it sums a vector of them at a time: 0.7 of the
// time for 10,000,000 float32) and keep_between (which compresses kept
// elements together, an instruction only AVX-512 has); the 256-bit rest
// (512-bit add and multiply measured 5-20% slower, 8-bit scale 40% slower).
KernelTable g_mixed{"avx2+avx512", {}};

template <class T>
void take_wider(KernelSet<T>& set) {
    const KernelSet<T>& wider = kAvx512Kernels.of<T>();
    set.min = wider.min;
    set.max = wider.max;
    set.clamp = wider.clamp;
    set.keep_between = wider.keep_between;
    if constexpr (std::is_floating_point_v<T>) set.sum = wider.sum;
    set.sort = wider.sort;
}

// The vector sort of 16-bit keys, on processors with AVX-512 VBMI2:
// measured 1.8 to 2.3 times as fast as the radix sort's LSD passes over
// 1,000 to 10,000 keys spread over the whole range (wider ranges for their
// count than the counting sort takes).
const KernelTable* mixed(bool vbmi2) {
    g_mixed.sets = kAvx2Kernels.sets;
    std::apply([]<class... T>(KernelSet<T>&... sets) { (take_wider(sets), ...); }, g_mixed.sets);
    if (vbmi2) {
        std::get<KernelSet<std::int16_t>>(g_mixed.sets).sort = sort_16bit;
        std::get<KernelSet<std::uint16_t>>(g_mixed.sets).sort = sort_16bit;
    }
    return &g_mixed;
}
}  // namespace
#endif

void choose() {
#if defined(TV_KERNELS_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        g_active = mixed(__builtin_cpu_supports("avx512vbmi2"));
    } else if (__builtin_cpu_supports("avx2")) {
        g_active = &kAvx2Kernels;
    }
#endif
}

}  // namespace telvaran::kernels
