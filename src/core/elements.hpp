// The ten element types and everything the module knows about each: one
// record per element type and one per machine type, generated from the one
// list of machine types, with compile-time checks wherever two facts about
// the same type must agree.
//
// An ElementType is what an input says it holds (its typecode letter). A
// NativeType is the machine type its memory is read as: the same except that
// 'l' and 'L' are read 32 bits wide when the input's item size is 4.
#pragma once

#include "python.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
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

// The machine types, in NativeType order. Every operation is instantiated
// from this list.
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

// ---------------------------------------------------------------------------
// Machine types

// The facts about one machine type, all derived from the type itself.
struct NativeFacts {
    std::string_view name;  // "i8" ... "f64", as messages name the type
    unsigned width;         // bytes, a power of two
    bool is_signed;
    bool is_float;
    // The struct-module format character that every exporter of such
    // elements gives: array.array, numpy and memoryview alike. 'l' is the
    // C long, 8 bytes wide on the 64-bit Unix platforms the module targets.
    char usual_format;
};

namespace detail {
template <class T>
constexpr NativeFacts facts_of() {
    constexpr bool is_float = std::is_floating_point_v<T>;
    constexpr bool is_signed = std::is_signed_v<T> && !is_float;
    constexpr unsigned width = sizeof(T);
    constexpr std::string_view names[2][4] = {{"u8", "u16", "u32", "u64"}, {"i8", "i16", "i32", "i64"}};
    constexpr unsigned log2 = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
    constexpr char formats[2][4] = {{'B', 'H', 'I', 'L'}, {'b', 'h', 'i', 'l'}};
    if constexpr (is_float)
        return {width == 4 ? "f32" : "f64", width, true, true, width == 4 ? 'f' : 'd'};
    else
        return {names[is_signed][log2], width, is_signed, false, formats[is_signed][log2]};
}

template <class... T>
constexpr std::array<NativeFacts, sizeof...(T)> all_facts(TypeList<T...>) {
    return {facts_of<T>()...};
}
}  // namespace detail

inline constexpr auto kNativeFacts = detail::all_facts(NativeTypes{});

constexpr const NativeFacts& facts(NativeType t) { return kNativeFacts[static_cast<int>(t)]; }

static_assert(sizeof(long) == 8, "'l' and 'L' are read as the 8-byte C long");

// ---------------------------------------------------------------------------
// Element types

struct ElementFacts {
    char typecode;              // the array typecode, numpy dtype character and memoryview format
    NativeType native;          // the machine type used unless the item size says 4
    NativeType narrow;          // 'l'/'L' with 4-byte items; otherwise == native
    std::string_view numpy_dtype;
    // The Arrow C data interface format of the element type, and the names
    // that a pyarrow type's text is searched for.
    std::string_view arrow_format;
    std::array<std::string_view, 3> arrow_names;
    // pyarrow's published type id, used when the type's text names no type.
    std::int32_t arrow_type_id;
};

inline constexpr std::array<ElementFacts, kElementTypeCount> kElementFacts = {{
    {'b', NativeType::i8, NativeType::i8, "int8", "c", {"Int8", "int8"}, 3},
    {'h', NativeType::i16, NativeType::i16, "int16", "s", {"Int16", "int16"}, 5},
    {'i', NativeType::i32, NativeType::i32, "int32", "i", {"Int32", "int32"}, 7},
    {'l', NativeType::i64, NativeType::i32, "int64", "l", {"Int64", "int64"}, 9},
    {'B', NativeType::u8, NativeType::u8, "uint8", "C", {"UInt8", "uint8"}, 2},
    {'H', NativeType::u16, NativeType::u16, "uint16", "S", {"UInt16", "uint16"}, 4},
    {'I', NativeType::u32, NativeType::u32, "uint32", "I", {"UInt32", "uint32"}, 6},
    {'L', NativeType::u64, NativeType::u32, "uint64", "L", {"UInt64", "uint64"}, 8},
    {'f', NativeType::f32, NativeType::f32, "float32", "f", {"Float32", "float32"}, 11},
    {'d', NativeType::f64, NativeType::f64, "float64", "g", {"Float64", "float64", "Double"}, 12},
}};

constexpr const ElementFacts& facts(ElementType t) { return kElementFacts[static_cast<int>(t)]; }

namespace detail {
// Element types by typecode character; -1 where there is none.
inline constexpr std::array<signed char, 256> kTypeByChar = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (int k = 0; k < kElementTypeCount; ++k)
        table[static_cast<unsigned char>(kElementFacts[k].typecode)] = static_cast<signed char>(k);
    return table;
}();
}  // namespace detail

// The element type whose typecode is `c`; false for every other character.
constexpr bool element_type_of(char c, ElementType& out) {
    const signed char k = detail::kTypeByChar[static_cast<unsigned char>(c)];
    if (k < 0) return false;
    out = static_cast<ElementType>(k);
    return true;
}
constexpr char typecode(ElementType t) { return facts(t).typecode; }
constexpr bool is_float(ElementType t) { return t == ElementType::f || t == ElementType::d; }
constexpr bool has_variable_width(ElementType t) { return facts(t).native != facts(t).narrow; }

// The checks that tie the records together.
namespace detail {
constexpr std::string_view digits_of(unsigned bits) {
    return bits == 8 ? "8" : bits == 16 ? "16" : bits == 32 ? "32" : "64";
}

constexpr bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

constexpr bool consistent(const ElementFacts& e) {
    const NativeFacts& n = facts(e.native);
    // The numpy dtype name says the same kind and width.
    const std::string_view kind = n.is_float ? "float" : n.is_signed ? "int" : "uint";
    if (e.numpy_dtype.substr(0, kind.size()) != kind || !ends_with(e.numpy_dtype, digits_of(8 * n.width)))
        return false;
    if (e.numpy_dtype.size() != kind.size() + digits_of(8 * n.width).size()) return false;
    // The typecode is the format character of the machine type.
    if (e.typecode != n.usual_format) return false;
    // The Arrow names include the numpy name, and the Arrow format is one
    // letter: lower case for signed and float types, upper case for unsigned.
    if (e.arrow_names[1] != e.numpy_dtype || e.arrow_format.size() != 1) return false;
    const char letter = e.arrow_format[0];
    if (!n.is_float && n.is_signed != (letter >= 'a' && letter <= 'z')) return false;
    // Only 'l' and 'L' have a narrow reading, of the same signedness.
    const NativeFacts& narrow = facts(e.narrow);
    if (e.narrow != e.native && (narrow.width != 4 || narrow.is_signed != n.is_signed || narrow.is_float))
        return false;
    return true;
}

template <std::size_t... K>
constexpr bool all_consistent(std::index_sequence<K...>) {
    return (consistent(kElementFacts[K]) && ...);
}

// Arrow's format characters for the integer widths and the two floats.
constexpr bool arrow_formats_distinct() {
    for (std::size_t a = 0; a < kElementFacts.size(); ++a)
        for (std::size_t b = a + 1; b < kElementFacts.size(); ++b)
            if (kElementFacts[a].arrow_format == kElementFacts[b].arrow_format) return false;
    return true;
}
}  // namespace detail

static_assert(detail::all_consistent(std::make_index_sequence<kElementTypeCount>{}),
              "an element type's facts disagree with its machine type");
static_assert(detail::arrow_formats_distinct());
static_assert(facts(NativeType::f32).width == 4 && facts(NativeType::u64).usual_format == 'L');

// ---------------------------------------------------------------------------
// Values

// The Python value of one element: int for the integer types, float for f32
// (widened exactly) and f64. Null only on memory exhaustion. A denormal f32
// is widened from its bits, into a double that is no denormal: the
// processor's own conversion reads it as zero when a library has told it to
// (MXCSR's DAZ bit).
template <class T>
inline PyObject* to_python(T value) {
    if constexpr (std::is_same_v<T, float>) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        if ((bits & 0x7F800000u) == 0 && (bits & 0x007FFFFFu) != 0) {
            const double magnitude = static_cast<double>(bits & 0x007FFFFFu) * 0x1p-149;
            return PyFloat_FromDouble((bits >> 31) ? -magnitude : magnitude);
        }
        return PyFloat_FromDouble(static_cast<double>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(static_cast<double>(value));
    } else if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(static_cast<long long>(value));
    } else {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
    }
}

}  // namespace telvaran
