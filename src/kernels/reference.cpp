// The reference kernels: plain C++ compiled for the target's baseline
// (SSE2 on x86-64, NEON on aarch64), on every platform.
#define TV_KERNEL_TARGET reference
#define TV_VECTOR_BYTES 16
#include "kernels/build.hpp"

namespace telvaran::kernels {
extern const KernelTable kReferenceKernels;
constinit const KernelTable kReferenceKernels = reference::table_of("reference", NativeTypes{});
}  // namespace telvaran::kernels
