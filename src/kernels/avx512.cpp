// The same kernels compiled for AVX-512 (F, BW, VL and DQ; x86-64 only).
#define TV_KERNEL_TARGET avx512
#define TV_VECTOR_BYTES 64
#define TV_KERNEL_TABLE kAvx512Kernels
#define TV_VECTOR_SORT 1
#include "kernels/build.hpp"
