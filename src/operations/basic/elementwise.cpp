// add and multiply: two arrays of one element type combined element by
// element into a new array.
#include "buffer/access.hpp"
#include "buffer/result.hpp"
#include "core/pyapi.hpp"
#include "operations/operations.hpp"
#include "operations/basic/elementwise_kernels.hpp"

#include <cstdint>
#include <span>

namespace telvaran::ops {
namespace {

// 'l' and 'L' are read at the width both inputs share: both 4-byte or both
// 8-byte items. Any other pair cannot be combined element by element.
Result<NativeType> common_native_type(PyObject* a, PyObject* b, ElementType type) {
    if (!has_variable_width(type)) return info(type).native;
    TV_ASSIGN(std::uint64_t size_a, query_itemsize(a));
    TV_ASSIGN(std::uint64_t size_b, query_itemsize(b));
    if (size_a == 4 && size_b == 4) return info(type).native_narrow;
    if (size_a == 8 && size_b == 8) return info(type).native;
    return Error::raise(PyExc_TypeError, "Array itemsizes must match");
}

template <class Op>
Result<Ref> elementwise(const Args& args, Op op) {
    PyObject* a = args.object(0);
    PyObject* b = args.object(1);
    TV_ASSIGN(Input first, examine_input(a, Access::Read));
    TV_ASSIGN(Input second, examine_input(b, Access::Read));
    if (first.type != second.type)
        return Error::raise(PyExc_TypeError, "Arrays must have the same type for element-wise operations");
    TV_ASSIGN(Py_ssize_t length_a, py::length(a));
    TV_ASSIGN(Py_ssize_t length_b, py::length(b));
    if (length_a != length_b)
        return Error::raise(PyExc_ValueError, "Arrays must have the same length for element-wise operations");

    // Only two numpy inputs give a numpy result; every other pair, memoryviews
    // and Arrow objects included, gives an array.array.
    const bool both_numpy = first.kind == InputKind::NdArray && second.kind == InputKind::NdArray;
    const InputKind out_kind = both_numpy ? InputKind::NdArray : InputKind::Array;
    const ElementType type = first.type;
    if (length_a == 0) return empty_result(type, out_kind);

    TV_ASSIGN(NativeType native, common_native_type(a, b, type));
    return visit_native(native, [&]<class T>(Tag<T>) -> Result<Ref> {
        TV_ASSIGN(auto view_a, TypedBufferView<T>::acquire(a));
        TV_ASSIGN(auto view_b, TypedBufferView<T>::acquire(b));
        TV_ASSIGN(std::span<const T> xs, view_a.read_slice());
        TV_ASSIGN(std::span<const T> ys, view_b.read_slice());
        const std::size_t count = xs.size() < ys.size() ? xs.size() : ys.size();
        return fill_result<T>(type, out_kind, count,
                              [&]<class Out>(std::span<Out> out) { kernels::combine(xs, ys, out, op); });
    });
}

}  // namespace

Result<Ref> add(const Args& args) { return elementwise(args, kernels::Add{}); }
Result<Ref> multiply(const Args& args) { return elementwise(args, kernels::Multiply{}); }

}  // namespace telvaran::ops
