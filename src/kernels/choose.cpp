// The choice of kernel table, made once at import.
#include "kernels/kernels.hpp"

namespace telvaran::kernels {

extern const KernelTable kReferenceKernels;
#if defined(TV_KERNELS_X86)
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;
#endif

constinit const KernelTable* g_active = &kReferenceKernels;

void choose() {
#if defined(TV_KERNELS_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        g_active = &kAvx512Kernels;
    } else if (__builtin_cpu_supports("avx2")) {
        g_active = &kAvx2Kernels;
    }
#endif
}

}  // namespace telvaran::kernels
