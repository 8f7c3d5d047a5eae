// add and multiply: two arrays of one element type combined element by
// element into a new array.
#include "buffer/prologue.hpp"
#include "buffer/result.hpp"
#include "core/pyapi.hpp"
#include "kernels/kernels.hpp"
#include "operations/table.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>

namespace telvaran {
namespace {

// 'l' and 'L' are read at the width both inputs share: both 4-byte or both
// 8-byte items. Any other pair cannot be combined element by element.
Result<NativeType> common_native_type(const Input& a, const Input& b) {
    const ElementType type = a.type;
    if (!has_variable_width(type)) return facts(type).native;
    TV_ASSIGN(std::uint64_t size_a, item_size(a));
    TV_ASSIGN(std::uint64_t size_b, item_size(b));
    if (size_a == 4 && size_b == 4) return facts(type).narrow;
    if (size_a == 8 && size_b == 8) return facts(type).native;
    return Error::raise(PyExc_TypeError, "Array itemsizes must match");
}

enum class Operator : unsigned char { Add, Multiply };

// The result's elements from the inputs'. 'l'/'L' read 4 bytes wide have
// 8-byte results: the pairs are combined in 32 bits, then widened.
template <class T, class Out>
void combine(Operator op, const T* a, const T* b, std::span<Out> out) {
    const kernels::KernelSet<T>& k = kernels::active<T>();
    auto* kernel = op == Operator::Add ? k.add : k.multiply;
    if constexpr (std::is_same_v<T, Out>) {
        kernel(a, b, out.data(), out.size());
    } else {
        constexpr std::size_t kChunk = 256;
        T staged[kChunk];
        for (std::size_t start = 0; start < out.size(); start += kChunk) {
            const std::size_t n = std::min(kChunk, out.size() - start);
            kernel(a + start, b + start, staged, n);
            for (std::size_t k = 0; k < n; ++k) out[start + k] = static_cast<Out>(staged[k]);
        }
    }
}

// The first `count` pairs of elements, in pieces along which neither input
// leaves one of its runs: the two inputs may be split into runs differently
// (chunked Arrow columns), but the pairs are those of equal indices.
template <class T, class Out>
void combine(Operator op, const Runs<T>& xs, const Runs<T>& ys, std::span<Out> out) {
    std::size_t i = 0;  // the run of each input, and the elements of it passed
    std::size_t j = 0;
    std::size_t in_i = 0;
    std::size_t in_j = 0;
    for (std::size_t at = 0; at < out.size();) {
        const std::span<const T> a = xs[i];
        const std::span<const T> b = ys[j];
        const std::size_t n = std::min({a.size() - in_i, b.size() - in_j, out.size() - at});
        combine<T, Out>(op, a.data() + in_i, b.data() + in_j, out.subspan(at, n));
        at += n;
        in_i += n;
        in_j += n;
        if (in_i == a.size()) {
            ++i;
            in_i = 0;
        }
        if (in_j == b.size()) {
            ++j;
            in_j = 0;
        }
    }
}

// An input the array.array result can be sliced from (see
// NativeResult::allocate): when both inputs are exact, their examination
// and lengths ran no Python code, and both have the result's element type
// and length.
PyObject* result_template(const Input& a, const Input& b) {
    if (!a.exact || !b.exact) return nullptr;
    for (const Input* input : {&a, &b})
        if (input->kind == InputKind::Array) return input->object;
    return nullptr;
}

Result<Ref> elementwise(const Call& call, Operator op) {
    // An exact array.array, numpy array or memoryview answers the prologue
    // from one buffer request, which its view can then use, as long as no
    // Python code runs in between. After an exact first input, nothing in the
    // second's examination or the lengths can, if the second is of the same
    // type (its examination then takes the same course), and after the
    // second's examination nothing can at all.
    BufferView held_a;
    BufferView held_b;
    PyObject* a = call.args.object(0);
    PyObject* b = call.args.object(1);
    TV_ASSIGN(Input first, examine_input(a, Access::Read, &held_a));
    if (!first.exact || Py_TYPE(b) != Py_TYPE(a)) {
        held_a.release();
        first.exported = nullptr;
    }
    TV_ASSIGN(Input second, examine_input(b, Access::Read, first.exact ? &held_b : nullptr));
    if (first.type != second.type)
        return Error::raise(PyExc_TypeError, "Arrays must have the same type for element-wise operations");
    TV_ASSIGN(Py_ssize_t length_a, input_length(first));
    TV_ASSIGN(Py_ssize_t length_b, input_length(second));
    if (length_a != length_b)
        return Error::raise(PyExc_ValueError, "Arrays must have the same length for element-wise operations");

    // Only two numpy inputs give a numpy result; every other pair, memoryviews
    // and Arrow objects included, gives an array.array.
    const bool both_numpy = first.kind == InputKind::NdArray && second.kind == InputKind::NdArray;
    const Input result_like{nullptr, both_numpy ? InputKind::NdArray : InputKind::Array, first.type};
    if (length_a == 0) {
        held_a.release();
        held_b.release();
        return settle_empty(call, result_like);
    }

    TV_ASSIGN(NativeType native, common_native_type(first, second));
    return visit_native(native, [&]<class T>(Tag<T>) -> Result<Ref> {
        TypedBufferView<T> view_a;
        TypedBufferView<T> view_b;
        TV_TRY(acquire_view(view_a, first));
        TV_TRY(acquire_view(view_b, second));
        TV_ASSIGN(Runs<T> xs, view_a.read_runs());
        TV_ASSIGN(Runs<T> ys, view_b.read_runs());
        const std::size_t count = std::min(xs.size(), ys.size());
        return fill_result<T>(result_like.type, result_like.kind, count, result_template(first, second),
                              [&]<class Out>(std::span<Out> out) { combine<T, Out>(op, xs, ys, out); });
    });
}

}  // namespace

namespace ops {
Result<Ref> add(const Call& call) { return elementwise(call, Operator::Add); }
Result<Ref> multiply(const Call& call) { return elementwise(call, Operator::Multiply); }
}  // namespace ops

}  // namespace telvaran
