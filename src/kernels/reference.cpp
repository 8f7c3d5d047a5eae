// The reference kernels: plain C++ compiled for the target's baseline
// (SSE2 on x86-64, NEON on aarch64), on every platform.
#define TV_KERNEL_TARGET reference
#define TV_VECTOR_BYTES 16
#define TV_KERNEL_TABLE kReferenceKernels
#include "kernels/build.hpp"
