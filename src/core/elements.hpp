// Element types and the one list of native machine types from which every
// operation is instantiated.
//
// An ElementType is what an input says it holds (its typecode letter). A
// NativeType is the machine type its memory is read as: the same except that
// 'l' and 'L' are read 32 bits wide when the input's item size is 4.
#pragma once

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace telvaran {

enum class ElementType : unsigned char { b, h, i, l, B, H, I, L, f, d };
inline constexpr int kElementTypeCount = 10;

enum class NativeType : unsigned char { i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

template <class... T>
struct TypeList {
    static constexpr std::size_t size = sizeof...(T);
};

// Indexed by NativeType.
using NativeTypes = TypeList<std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
                             std::uint16_t, std::uint32_t, std::uint64_t, float, double>;

template <class T>
struct Tag {
    using type = T;
};

namespace detail {
template <class T, class... U>
constexpr int index_of(TypeList<U...>) {
    int index = 0;
    bool found = false;
    ((found = found || std::is_same_v<T, U>, index += found ? 0 : 1), ...);
    return index;
}
}  // namespace detail

template <class T>
inline constexpr NativeType native_type_of = static_cast<NativeType>(detail::index_of<T>(NativeTypes{}));

// Calls f(Tag<T>{}) with T the machine type of `type`, through a table of
// function pointers generated from NativeTypes.
template <class F, class... T>
decltype(auto) visit_native_(NativeType type, F&& f, TypeList<T...>) {
    using R = std::common_type_t<decltype(f(Tag<T>{}))...>;
    using Fn = R (*)(F&);
    static constexpr Fn table[] = {[](F& g) -> R { return g(Tag<T>{}); }...};
    return table[static_cast<int>(type)](f);
}

template <class F>
decltype(auto) visit_native(NativeType type, F&& f) {
    return visit_native_(type, f, NativeTypes{});
}

struct ElementInfo {
    char typecode;
    NativeType native;       // the width used unless the item size says 4
    NativeType native_narrow;  // 'l'/'L' with 4-byte items; otherwise == native
    const char* numpy_dtype;
};

inline constexpr std::array<ElementInfo, kElementTypeCount> kElementInfo = {{
    {'b', NativeType::i8, NativeType::i8, "int8"},
    {'h', NativeType::i16, NativeType::i16, "int16"},
    {'i', NativeType::i32, NativeType::i32, "int32"},
    {'l', NativeType::i64, NativeType::i32, "int64"},
    {'B', NativeType::u8, NativeType::u8, "uint8"},
    {'H', NativeType::u16, NativeType::u16, "uint16"},
    {'I', NativeType::u32, NativeType::u32, "uint32"},
    {'L', NativeType::u64, NativeType::u32, "uint64"},
    {'f', NativeType::f32, NativeType::f32, "float32"},
    {'d', NativeType::f64, NativeType::f64, "float64"},
}};

constexpr const ElementInfo& info(ElementType t) { return kElementInfo[static_cast<int>(t)]; }
constexpr char typecode(ElementType t) { return info(t).typecode; }
constexpr bool is_float(ElementType t) { return t == ElementType::f || t == ElementType::d; }
constexpr bool has_variable_width(ElementType t) { return t == ElementType::l || t == ElementType::L; }

// Maps a typecode character to its element type; false for any other character.
constexpr bool element_type_from_char(char c, ElementType& out) {
    for (int k = 0; k < kElementTypeCount; ++k) {
        if (kElementInfo[k].typecode == c) {
            out = static_cast<ElementType>(k);
            return true;
        }
    }
    return false;
}

struct NativeInfo {
    const char* name;
    unsigned width;
};

inline constexpr std::array<NativeInfo, 10> kNativeInfo = {{
    {"i8", 1}, {"i16", 2}, {"i32", 4}, {"i64", 8}, {"u8", 1},
    {"u16", 2}, {"u32", 4}, {"u64", 8}, {"f32", 4}, {"f64", 8},
}};

constexpr const NativeInfo& info(NativeType t) { return kNativeInfo[static_cast<int>(t)]; }

// The Python value of one element: int for the integer types, float for f32
// (widened exactly) and f64. Null only on memory exhaustion.
template <class T>
inline PyObject* to_python(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(static_cast<double>(value));
    } else if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(value));
    } else {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
    }
}

// Wrapping integer arithmetic in the element's own width, without the
// undefined behaviour of signed overflow.
template <class T>
constexpr T wrapping_add(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(a) + static_cast<U>(b)));
    } else {
        return a + b;
    }
}

template <class T>
constexpr T wrapping_mul(T a, T b) {
    if constexpr (std::is_integral_v<T>) {
        // Promote to at least unsigned int so that u16 * u16 cannot overflow an int.
        using U = std::conditional_t<(sizeof(T) < sizeof(unsigned)), unsigned, std::make_unsigned_t<T>>;
        return static_cast<T>(static_cast<U>(static_cast<U>(a) * static_cast<U>(b)));
    } else {
        return a * b;
    }
}

}  // namespace telvaran
