// The same kernels compiled for AVX2 (built with -mavx2, x86-64 only).
#define TV_KERNEL_TARGET avx2
#define TV_VECTOR_BYTES 32
#define TV_KERNEL_TABLE kAvx2Kernels
#include "kernels/build.hpp"
