// The kernels whose 8- and 16-bit forms need the byte and 16-bit compress
// of AVX-512 VBMI2: the vector sort of 16-bit keys and median's selection
// passes. Compiled for that extension alone, so that the other AVX-512
// kernels run on processors without it; chosen at import when the
// processor has it.
#define TV_KERNEL_TARGET avx512vbmi2
#define TV_VECTOR_BYTES 64
#include "kernels/ordering/vector_sort.hpp"
#include "kernels/partition.hpp"

#include <cstddef>
#include <cstdint>

namespace telvaran::kernels {

bool sort_16bit(std::int16_t* xs, std::size_t n, InPlaceSort<std::int16_t> fallback) {
    return avx512vbmi2::vsort::sort_items<std::int16_t, std::uint16_t>(xs, n, fallback);
}

bool sort_16bit(std::uint16_t* xs, std::size_t n, InPlaceSort<std::uint16_t> fallback) {
    return avx512vbmi2::vsort::sort_items<std::uint16_t, std::uint16_t>(xs, n, fallback);
}

template <class T>
void take_narrow_selection(KernelSet<T>& set) {
    set.keep_between = avx512vbmi2::keep_between<T>;
}
template void take_narrow_selection(KernelSet<std::int8_t>&);
template void take_narrow_selection(KernelSet<std::uint8_t>&);
template void take_narrow_selection(KernelSet<std::int16_t>&);
template void take_narrow_selection(KernelSet<std::uint16_t>&);

}  // namespace telvaran::kernels
