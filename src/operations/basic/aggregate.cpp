// sum, mean, min and max: reductions over an input's memory in the element's
// own type.
#include "buffer/access.hpp"
#include "core/pyapi.hpp"
#include "operations/operations.hpp"
#include "operations/basic/reduce_kernels.hpp"

#include <string>

namespace telvaran::ops {
namespace {

// The sum of an empty input, of the type sum() returns for its elements.
Result<Ref> zero_of(ElementType type) {
    return made(is_float(type) ? PyFloat_FromDouble(0.0) : PyLong_FromLong(0));
}

Error empty_array(const char* function) {
    return Error::raise(PyExc_ValueError, std::string(function) + "() of empty array");
}

template <class Kernel>
Result<Ref> extreme_of(PyObject* obj, const char* function, Kernel kernel) {
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_array(function);
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        if (xs.empty()) return empty_array(function);
        return made(to_python(kernel(xs)));
    });
}

}  // namespace

Result<Ref> sum(const Args& args) {
    PyObject* obj = args.object(0);
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) {
        if (has_variable_width(ex.input.type)) TV_TRY(query_itemsize(obj));
        return zero_of(ex.input.type);
    }
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        return made(to_python(kernels::blocked_sum(xs, static_cast<std::size_t>(ex.length))));
    });
}

Result<std::optional<double>> mean_value(PyObject* obj) {
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_array("mean");
    TV_ASSIGN(NativeType native, select_native_type(obj, ex.input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<std::optional<double>> {
        // Divided by the elements actually summed: for a 2-D memoryview the
        // Python length counts rows, not elements.
        if (xs.empty()) return std::optional<double>();
        double total = static_cast<double>(kernels::blocked_sum(xs, static_cast<std::size_t>(ex.length)));
        return std::optional<double>(total / static_cast<double>(xs.size()));
    });
}

Result<Ref> mean_of(PyObject* obj) {
    TV_ASSIGN(std::optional<double> value, mean_value(obj));
    if (!value) return empty_array("mean");
    return made(PyFloat_FromDouble(*value));
}

Result<Ref> min_of(PyObject* obj) {
    return extreme_of(obj, "min", []<class T>(std::span<const T> xs) { return kernels::minimum(xs); });
}

Result<Ref> max_of(PyObject* obj) {
    return extreme_of(obj, "max", []<class T>(std::span<const T> xs) { return kernels::maximum(xs); });
}

Result<Ref> mean(const Args& args) { return mean_of(args.object(0)); }
Result<Ref> min(const Args& args) { return min_of(args.object(0)); }
Result<Ref> max(const Args& args) { return max_of(args.object(0)); }

}  // namespace telvaran::ops
