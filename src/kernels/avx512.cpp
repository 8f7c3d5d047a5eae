// The same kernels compiled for AVX-512 (F, BW, VL and DQ; x86-64 only).
#define TV_KERNEL_TARGET avx512
#define TV_VECTOR_BYTES 64
#include "kernels/build.hpp"

namespace telvaran::kernels {
extern const KernelTable kAvx512Kernels;
constinit const KernelTable kAvx512Kernels = avx512::table_of("avx512", NativeTypes{});
}  // namespace telvaran::kernels
