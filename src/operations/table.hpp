// The module's table: one row per function, class and method, in the order
// in which the module registers them (and lists them in __all__).
//
// A row gives the callable's name, its parameters and their conversions, its
// docstring text, its implementation, and for operations on an array the
// access they need (read, or write in place) and what they do with an empty
// input. The docstring's signature line is generated from the parameters.
#pragma once

#include "operations/row.hpp"

namespace telvaran {

namespace ops {
// Aggregations
Result<Ref> sum(const Call&);
Result<Ref> mean(const Call&);
Result<Ref> min(const Call&);
Result<Ref> max(const Call&);
// Element-wise arithmetic
Result<Ref> add(const Call&);
Result<Ref> multiply(const Call&);
// In-place numeric transforms
Result<Ref> scale(const Call&);
Result<Ref> clip(const Call&);
Result<Ref> normalize(const Call&);
// Ordering
Result<Ref> sort(const Call&);
Result<Ref> reverse(const Call&);
Result<Ref> unique(const Call&);
// Zero-copy slice
Result<Ref> slice(const Call&);
// Statistics
Result<Ref> var(const Call&);
Result<Ref> std(const Call&);
Result<Ref> median(const Call&);
// Callback operations
Result<Ref> map(const Call&);
Result<Ref> filter(const Call&);
Result<Ref> reduce(const Call&);
Result<Ref> map_inplace(const Call&);
}  // namespace ops

namespace classes {
Result<PyObject*> array_iterator_type();
Result<Ref> new_array_iterator(const Call&);  // ArrayIterator(source) and array_iterator(array)
Result<PyObject*> lazy_array_type();
Result<Ref> new_lazy_array(const Call&);  // LazyArray(source) and lazy_array(array)
Result<Ref> lazy_map(const Call&);
Result<Ref> lazy_filter(const Call&);
Result<Ref> lazy_collect(const Call&);
Result<Ref> lazy_source(const Call&);
Result<Ref> lazy_len(const Call&);
}  // namespace classes

namespace table {

inline constexpr Param kArray{"array"};
constexpr Param real(const char* name) { return Param{name, Conversion::Double}; }
constexpr Param index(const char* name) { return Param{name, Conversion::OptionalIndex}; }

constexpr Row klass(const char* name, const char* text, Impl construct, TypeObject type) {
    return Row{RowKind::Class, make_signature("__new__", name, {{"source"}}), text, construct,
               Access::Read, OnEmpty::Proceed, nullptr, type};
}

constexpr Row method(const char* owner, const char* name, std::initializer_list<Param> params, const char* text,
                     Impl impl) {
    const RowKind kind = params.size() == 0 ? RowKind::NoArgsMethod : RowKind::Method;
    return Row{kind, make_signature(name, owner, params), text, impl};
}

#define TV_ON_ARRAYS " for array.array, numpy.ndarray, or memoryview"
using enum Access;
using enum OnEmpty;

inline constexpr Row kRows[] = {
    function("sum", {kArray}, "Sum operation" TV_ON_ARRAYS, ops::sum, Read, Zero),
    function("scale", {kArray, real("factor")}, "Scale operation (in-place)" TV_ON_ARRAYS, ops::scale, InPlace,
             None),
    function("mean", {kArray}, "Mean operation" TV_ON_ARRAYS, ops::mean, Read, Refuse, "mean() of empty array"),
    function("min", {kArray}, "Min operation" TV_ON_ARRAYS, ops::min, Read, Refuse, "min() of empty array"),
    function("max", {kArray}, "Max operation" TV_ON_ARRAYS, ops::max, Read, Refuse, "max() of empty array"),
    function("map", {kArray, {"fn"}}, "Map operation" TV_ON_ARRAYS, ops::map, Read, EmptyArray),
    function("map_inplace", {kArray, {"fn"}}, "Map in-place operation" TV_ON_ARRAYS, ops::map_inplace, InPlace,
             None),
    function("filter", {kArray, {"predicate"}}, "Filter operation" TV_ON_ARRAYS, ops::filter, Read, EmptyArray),
    Row{RowKind::Function,
        make_signature("reduce", nullptr, {kArray, {"fn"}}, {{"initial", Conversion::OptionalObject}}),
        "Reduce operation" TV_ON_ARRAYS, ops::reduce, Read, Initial,
        "reduce() of empty array with no initial value"},
    function("var", {kArray}, "Variance operation" TV_ON_ARRAYS, ops::var, Read, Refuse, "var() of empty array"),
    // std is the square root of var, and an empty input is refused by var.
    function("std", {kArray}, "Standard deviation operation" TV_ON_ARRAYS, ops::std, Read, Refuse,
             "var() of empty array"),
    function("median", {kArray}, "Median operation" TV_ON_ARRAYS, ops::median, Read, Refuse,
             "median() of empty array"),
    function("add", {{"arr1"}, {"arr2"}}, "", ops::add, Read, EmptyArray),
    function("multiply", {{"arr1"}, {"arr2"}}, "", ops::multiply, Read, EmptyArray),
    function("clip", {kArray, real("min_val"), real("max_val")}, "Clip operation (in-place)" TV_ON_ARRAYS,
             ops::clip, InPlace, None),
    function("normalize", {kArray}, "Normalize operation (in-place)" TV_ON_ARRAYS, ops::normalize, InPlace, None),
    function("reverse", {kArray}, "Reverse operation (in-place)" TV_ON_ARRAYS, ops::reverse, InPlace, None),
    function("sort", {kArray}, "Sort operation (in-place)" TV_ON_ARRAYS, ops::sort, InPlace, None),
    function("unique", {kArray}, "Unique operation" TV_ON_ARRAYS, ops::unique, Read, EmptyArray),
    function("slice", {kArray, index("start"), index("end")},
             "Slice operation - returns a zero-copy memoryview of a portion of the array", ops::slice),
    klass("ArrayIterator", "ArrayIterator - Efficient, natively optimised iterator for array types",
          classes::new_array_iterator, classes::array_iterator_type),
    function("array_iterator", {kArray}, "Helper function to create an ArrayIterator", classes::new_array_iterator),
    klass("LazyArray", "Lazy array wrapper for deferred evaluation", classes::new_lazy_array,
          classes::lazy_array_type),
    function("lazy_array", {kArray}, "Helper function to create a LazyArray wrapper", classes::new_lazy_array),
    // The methods of LazyArray; ArrayIterator has none.
    method("LazyArray", "map", {{"function"}}, "Apply a map operation (returns new LazyArray)", classes::lazy_map),
    method("LazyArray", "filter", {{"predicate"}}, "Apply a filter operation (returns new LazyArray)",
           classes::lazy_filter),
    method("LazyArray", "collect", {}, "Evaluate the lazy operations and return the result", classes::lazy_collect),
    method("LazyArray", "source", {}, "Get the source array", classes::lazy_source),
    method("LazyArray", "len", {}, "Get the number of operations in the chain", classes::lazy_len),
};

#undef TV_ON_ARRAYS

inline constexpr std::size_t kRowCount = std::size(kRows);

constexpr bool same_text(const char* a, const char* b) {
    if (!a || !b) return a == b;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// The index of the row of `name` (owned by `owner`, or a module function or
// class when null); kRowCount when there is none.
constexpr std::size_t row_index(const char* name, const char* owner = nullptr) {
    for (std::size_t k = 0; k < kRowCount; ++k) {
        const Row& row = kRows[k];
        const bool methodish = row.kind == RowKind::Method || row.kind == RowKind::NoArgsMethod;
        if (same_text(row.name(), name) && (methodish ? same_text(row.signature.owner, owner) : !owner)) return k;
    }
    return kRowCount;
}

// The rows of the methods of a class, in table order.
template <std::size_t N>
constexpr std::array<std::size_t, N> method_rows(const char* owner) {
    std::array<std::size_t, N> rows{};
    std::size_t found = 0;
    for (std::size_t k = 0; k < kRowCount; ++k) {
        const Row& row = kRows[k];
        if ((row.kind == RowKind::Method || row.kind == RowKind::NoArgsMethod) &&
            same_text(row.signature.owner, owner))
            rows[found++] = k;
    }
    return rows;
}

constexpr std::size_t method_count(const char* owner) {
    std::size_t count = 0;
    for (const Row& row : kRows)
        if ((row.kind == RowKind::Method || row.kind == RowKind::NoArgsMethod) &&
            same_text(row.signature.owner, owner))
            ++count;
    return count;
}

}  // namespace table
}  // namespace telvaran
