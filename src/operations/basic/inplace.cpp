// scale, clip and normalize: rewrite an array's elements in its own memory.
//
// Every check that can fail runs before the writable slice is taken, and the
// kernels cannot fail, so an array is either untouched or completely
// rewritten.
#include "buffer/prologue.hpp"
#include "core/pyapi.hpp"
#include "kernels/conversions.hpp"
#include "kernels/kernels.hpp"
#include "operations/table.hpp"

#include <cmath>
#include <limits>
#include <span>

namespace telvaran {
namespace {

// A spread below the double-precision epsilon counts as all elements equal.
bool all_equal(double spread) { return std::fabs(spread) < std::numeric_limits<double>::epsilon(); }

// The complete min() or max() operation, as a double.
Result<double> extreme_of(const Call& call, const char* name) {
    const Row& row = table::kRows[table::row_index(name)];
    TV_ASSIGN(Ref value, row.impl(Call{row, call.args, call.self}));
    return py::as_double(value.get());
}

}  // namespace

namespace ops {

Result<Ref> scale(const Call& call) {
    const double factor = call.args.real(1);
    return run(call, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        // Converted once, so integer arrays are scaled by the truncated (and
        // saturated) factor.
        kernels::active<T>().scale(xs.data(), xs.size(), kernels::from_double<T>(factor));
        return Ref::none();
    });
}

Result<Ref> clip(const Call& call) {
    const double min_val = call.args.real(1);
    const double max_val = call.args.real(2);
    // Bounds out of order are refused only for an input that is not empty.
    auto ordered = [&](const SizedInput&) -> Status {
        if (min_val > max_val) return Error::raise(PyExc_ValueError, "min_val must be <= max_val");
        return {};
    };
    return run(
        call,
        [&]<class T>(std::span<T> xs) -> Result<Ref> {
            auto bounds = kernels::clip_bounds<T>(min_val, max_val);
            kernels::active<T>().clamp(xs.data(), xs.size(), bounds.lo, bounds.hi);
            return Ref::none();
        },
        ordered);
}

Result<Ref> normalize(const Call& call) {
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), Access::InPlace));
    if (input.length == 0) return settle_empty(call, input.input);
    // The complete min() and max() operations, each with its own prologue.
    TV_ASSIGN(double mn, extreme_of(call, "min"));
    TV_ASSIGN(double mx, extreme_of(call, "max"));
    const double d = mx - mn;
    if (!is_float(input.input.type)) {
        if (all_equal(d))
            return Error::raise(PyExc_ValueError, "Cannot normalize integer array where all values are the same");
        return Error::raise(PyExc_ValueError, "normalize() requires float arrays (use 'f' or 'd' typecode)");
    }
    return with_elements(input, [&]<class T>(std::span<T> xs) -> Result<Ref> {
        if constexpr (std::is_floating_point_v<T>) {
            // Equal elements become +0.0 instead of being divided by almost nothing.
            if (all_equal(d)) std::fill(xs.begin(), xs.end(), T(0));
            else kernels::active<T>().normalize(xs.data(), xs.size(), static_cast<T>(mn), static_cast<T>(d));
        }
        return Ref::none();
    });
}

}  // namespace ops
}  // namespace telvaran
