// scale, clip and normalize: rewrite an array's elements in its own memory.
//
// Every check that can fail runs before the writable slice is taken, and the
// kernels cannot fail, so an array is either untouched or completely
// rewritten.
#include "buffer/access.hpp"
#include "core/pyapi.hpp"
#include "operations/operations.hpp"
#include "operations/basic/elementwise_kernels.hpp"

#include <cmath>
#include <limits>
#include <span>

namespace telvaran::ops {
namespace {

Result<Ref> none() { return Ref::borrow(Py_None); }

// A spread below the double-precision epsilon counts as all elements equal.
bool all_equal(double spread) { return std::fabs(spread) < std::numeric_limits<double>::epsilon(); }

// The double value of the result of min() or max() (an int or a float).
Result<double> extreme_as_double(Result<Ref> extreme) {
    TV_ASSIGN(Ref value, std::move(extreme));
    return py::as_double(value.get());
}

template <class T>
Result<Ref> normalize_floats(PyObject* obj, double mn, double d) {
    TV_ASSIGN(auto view, TypedBufferView<T>::acquire(obj));
    TV_ASSIGN(std::span<T> xs, view.write_slice());
    // Equal elements become +0.0 instead of being divided by almost nothing.
    if (all_equal(d))
        kernels::fill_zero(xs);
    else
        kernels::normalize(xs, static_cast<T>(mn), static_cast<T>(d));
    return none();
}

}  // namespace

Result<Ref> scale(const Args& args) {
    PyObject* obj = args.object(0);
    const double factor = args.real(1);
    TV_ASSIGN(SizedInput target, examine_sized_input(obj, Access::InPlace));
    if (target.length == 0) return none();
    TV_ASSIGN(NativeType native, select_native_type(obj, target.input.type));
    // The factor is converted once, so integer arrays are scaled by the
    // truncated (and saturated) factor.
    return with_write_slice(obj, native, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        kernels::scale(xs, kernels::from_double<T>(factor));
        return none();
    });
}

Result<Ref> clip(const Args& args) {
    PyObject* obj = args.object(0);
    const double min_val = args.real(1);
    const double max_val = args.real(2);
    TV_ASSIGN(SizedInput target, examine_sized_input(obj, Access::InPlace));
    if (target.length == 0) return none();
    if (min_val > max_val) return Error::raise(PyExc_ValueError, "min_val must be <= max_val");
    TV_ASSIGN(NativeType native, select_native_type(obj, target.input.type));
    return with_write_slice(obj, native, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        auto bounds = kernels::clip_bounds<T>(min_val, max_val);
        kernels::clamp(xs, bounds.lo, bounds.hi);
        return none();
    });
}

Result<Ref> normalize(const Args& args) {
    PyObject* obj = args.object(0);
    TV_ASSIGN(SizedInput target, examine_sized_input(obj, Access::InPlace));
    if (target.length == 0) return none();
    // The complete min() and max() operations, each with its own prologue.
    TV_ASSIGN(double mn, extreme_as_double(min_of(obj)));
    TV_ASSIGN(double mx, extreme_as_double(max_of(obj)));
    const double d = mx - mn;
    const ElementType type = target.input.type;
    if (type == ElementType::f) return normalize_floats<float>(obj, mn, d);
    if (type == ElementType::d) return normalize_floats<double>(obj, mn, d);
    if (all_equal(d))
        return Error::raise(PyExc_ValueError, "Cannot normalize integer array where all values are the same");
    return Error::raise(PyExc_ValueError, "normalize() requires float arrays (use 'f' or 'd' typecode)");
}

}  // namespace telvaran::ops
