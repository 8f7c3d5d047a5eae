// The vector sort of 16-bit keys, whose partitions need the 16-bit compress
// stores of AVX-512 VBMI2. Compiled for that extension alone, so that the
// other AVX-512 kernels run on processors without it; chosen at import
// when the processor has it.
#define TV_KERNEL_TARGET avx512vbmi2
#define TV_VECTOR_BYTES 64
#include "kernels/ordering/vector_sort.hpp"

#include <cstddef>
#include <cstdint>

namespace telvaran::kernels {

bool sort_16bit(std::int16_t* xs, std::size_t n, InPlaceSort<std::int16_t> fallback) {
    return avx512vbmi2::vsort::sort_items<std::int16_t, std::uint16_t>(xs, n, fallback);
}

bool sort_16bit(std::uint16_t* xs, std::size_t n, InPlaceSort<std::uint16_t> fallback) {
    return avx512vbmi2::vsort::sort_items<std::uint16_t, std::uint16_t>(xs, n, fallback);
}

}  // namespace telvaran::kernels
