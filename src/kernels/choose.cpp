// The choice of kernels, made once at import by the processor's features.
#include "kernels/kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#if defined(TV_KERNELS_X86)
#include <cpuid.h>
#endif

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
template <class T>
void take_narrow_selection(KernelSet<T>& set);

namespace {
// On processors with AVX-512 each kernel comes from the build where it is
// faster: the 512-bit min, max and clamp (about 0.6 of the 256-bit time for
// 64-bit min and max and for clamp, over 20,000 elements in cache, on a
// Sapphire Rapids; 0.85 for 64-bit min and max on a Zen 4), the float
// sums (whose blocks it sums a vector of them at a time: 0.7 of the time for
// 10,000,000 float32 on the Sapphire Rapids, 0.83 to 0.92 for float64 on
// the Zen 4), and the selection passes (which compress kept elements
// together, an instruction only AVX-512 has); the 256-bit rest (512-bit add
// and multiply measured 5-20% slower, 8-bit scale 40% slower; integer sums
// and variance the same on the Zen 4).
//
// Zen 4 (AMD family 19h) runs a 512-bit operation as two 256-bit halves,
// so the register transposes of the float32 sums cost more than the
// lanes save: 1.3 times the time of the 256-bit build's scalar chains over
// 1,000,000 and 10,000,000 float32 on an EPYC of that family. There the
// float32 sums stay with the 256-bit build.
KernelTable g_mixed{"avx2+avx512", {}};

bool halves_512_bit_operations() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return false;
    const bool amd = ebx == 0x68747541 && edx == 0x69746E65 && ecx == 0x444D4163;  // "AuthenticAMD"
    if (!amd || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    unsigned family = (eax >> 8) & 0xF;
    if (family == 0xF) family += (eax >> 20) & 0xFF;
    return family == 0x19;
}

template <class T>
void take_wider(KernelSet<T>& set, bool halves) {
    const KernelSet<T>& wider = kAvx512Kernels.of<T>();
    set.min = wider.min;
    set.max = wider.max;
    set.clamp = wider.clamp;
    set.keep_between = wider.keep_between;
    set.keep_keys_between = wider.keep_keys_between;
    set.count_below = wider.count_below;
    if constexpr (std::is_floating_point_v<T>) {
        if (!(halves && std::is_same_v<T, float>)) set.sum = wider.sum;
    }
    set.sort = wider.sort;
}

// The vector sort of 16-bit keys, on processors with AVX-512 VBMI2:
// measured 1.8 to 2.3 times as fast as the radix sort's LSD passes over
// 1,000 to 10,000 keys spread over the whole range (wider ranges for their
// count than the counting sort takes).
const KernelTable* mixed(bool vbmi2) {
    g_mixed.sets = kAvx2Kernels.sets;
    const bool halves = halves_512_bit_operations();
    std::apply([halves]<class... T>(KernelSet<T>&... sets) { (take_wider(sets, halves), ...); }, g_mixed.sets);
    if (vbmi2) {
        auto& sets = g_mixed.sets;
        std::get<KernelSet<std::int16_t>>(sets).sort = sort_16bit;
        std::get<KernelSet<std::uint16_t>>(sets).sort = sort_16bit;
        take_narrow_selection(std::get<KernelSet<std::int8_t>>(sets));
        take_narrow_selection(std::get<KernelSet<std::uint8_t>>(sets));
        take_narrow_selection(std::get<KernelSet<std::int16_t>>(sets));
        take_narrow_selection(std::get<KernelSet<std::uint16_t>>(sets));
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
