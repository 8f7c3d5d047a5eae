// The choice of kernels, made once at import by the processor's features.
#include "kernels/kernels.hpp"

#include <tuple>

namespace telvaran::kernels {

extern const KernelTable kReferenceKernels;
// The address of a table is a constant, whatever the order in which the
// tables themselves are initialised.
constinit const KernelTable* g_active = &kReferenceKernels;  // NOLINT(cppcoreguidelines-interfaces-global-init)

#if defined(TV_KERNELS_X86)
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;

namespace {
// On processors with AVX-512 each kernel comes from the build where it is
// faster: the 512-bit min, max and clamp (about 0.6 of the 256-bit time for
// 64-bit min and max and for clamp, over 20,000 elements in cache), the
// 256-bit rest (512-bit add and multiply measured 5-20% slower, 8-bit scale
// 40% slower).
KernelTable g_mixed{"avx2+avx512", {}};

template <class T>
void take_wider(KernelSet<T>& set) {
    const KernelSet<T>& wider = kAvx512Kernels.of<T>();
    set.min = wider.min;
    set.max = wider.max;
    set.clamp = wider.clamp;
    set.sort = wider.sort;
}

const KernelTable* mixed() {
    g_mixed.sets = kAvx2Kernels.sets;
    std::apply([]<class... T>(KernelSet<T>&... sets) { (take_wider(sets), ...); }, g_mixed.sets);
    return &g_mixed;
}
}  // namespace
#endif

void choose() {
#if defined(TV_KERNELS_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        g_active = mixed();
    } else if (__builtin_cpu_supports("avx2")) {
        g_active = &kAvx2Kernels;
    }
#endif
}

}  // namespace telvaran::kernels
