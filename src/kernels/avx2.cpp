// The same kernels compiled for AVX2 (built with -mavx2, x86-64 only).
#define TV_KERNEL_TARGET avx2
#define TV_VECTOR_BYTES 32
#include "kernels/build.hpp"

namespace telvaran::kernels {
extern const KernelTable kAvx2Kernels;
constinit const KernelTable kAvx2Kernels = avx2::table_of("avx2", NativeTypes{});
}  // namespace telvaran::kernels
