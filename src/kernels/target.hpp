// The frame of one instruction set's kernels. A kernel build file defines
// TV_KERNEL_TARGET (the namespace of its copies) and TV_VECTOR_BYTES (the
// width of its vectors) and then includes the kernel headers, so that each
// build's copies of the templates have names of their own and can never be
// mixed up with another build's by the linker.
#pragma once

#if !defined(TV_KERNEL_TARGET) || !defined(TV_VECTOR_BYTES)
#error "define TV_KERNEL_TARGET and TV_VECTOR_BYTES before including kernel headers"
#endif

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace telvaran::kernels::TV_KERNEL_TARGET {

inline constexpr std::size_t kVectorBytes = TV_VECTOR_BYTES;

// A vector of the target's native width: one register of T lanes.
template <class T>
using Vec [[gnu::vector_size(kVectorBytes)]] = T;

template <class T>
inline constexpr std::size_t kLanes = kVectorBytes / sizeof(T);

template <class T>
[[gnu::always_inline]] inline Vec<T> load(const T* p) {
    Vec<T> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
[[gnu::always_inline]] inline void store(T* p, Vec<T> v) {
    std::memcpy(p, &v, sizeof v);
}

// Integer arithmetic wraps in the element's own width; done in the unsigned
// type of that width (promoted to at least unsigned int, so that a 16-bit
// product cannot overflow an int), without the undefined behaviour of
// signed overflow.
template <class T>
[[gnu::always_inline]] inline T wrapping_add(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
    } else {
        return a + b;
    }
}

template <class T>
[[gnu::always_inline]] inline T wrapping_mul(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::conditional_t<(sizeof(T) < sizeof(unsigned)), unsigned, std::make_unsigned_t<T>>;
        return static_cast<T>(static_cast<U>(static_cast<U>(a) * static_cast<U>(b)));
    } else {
        return a * b;
    }
}

}  // namespace telvaran::kernels::TV_KERNEL_TARGET
