// var, std and median: one Python number summarising an input's elements.
#include "buffer/access.hpp"
#include "core/pyapi.hpp"
#include "operations/basic/sorted_copy.hpp"
#include "operations/operations.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <type_traits>

namespace telvaran::ops {
namespace {

Error empty_array(const char* function) {
    return Error::raise(PyExc_ValueError, std::string(function) + "() of empty array");
}

// Examines the input and refuses an empty one (by its Python length) before
// any memory is touched.
Result<Input> examine_nonempty(PyObject* obj, const char* function) {
    TV_ASSIGN(SizedInput ex, examine_sized_input(obj, Access::Read));
    if (ex.length == 0) return empty_array(function);
    return ex.input;
}

// Squared deviations about m, added one at a time in element order.
template <class T>
double squared_deviations(std::span<const T> xs, double m) {
    double s = 0.0;
    for (T x : xs) {
        double d = static_cast<double>(x) - m;
        s += d * d;
    }
    return s;
}

// The population variance about the value mean() returns: the complete
// mean first, with its own view, then a second pass over a view of ours. An
// input whose length is non-zero but whose view holds no element is
// reported here, not by mean().
Result<double> variance_of(PyObject* obj) {
    TV_ASSIGN(Input input, examine_nonempty(obj, "var"));
    TV_ASSIGN(std::optional<double> mean, mean_value(obj));
    if (!mean) return empty_array("var");
    TV_ASSIGN(NativeType native, select_native_type(obj, input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<double> {
        if (xs.empty()) return empty_array("var");  // the input changed under the mean
        return squared_deviations(xs, *mean) / static_cast<double>(xs.size());
    });
}

// Integer types take the lower of two middle elements, floats the upper.
template <class T>
std::size_t middle_index(std::size_t count) {
    return std::is_floating_point_v<T> ? count / 2 : (count - 1) / 2;
}

}  // namespace

Result<Ref> var(const Args& args) {
    TV_ASSIGN(double variance, variance_of(args.object(0)));
    return made(PyFloat_FromDouble(variance));
}

Result<Ref> std(const Args& args) {
    TV_ASSIGN(double variance, variance_of(args.object(0)));
    return made(PyFloat_FromDouble(std::sqrt(variance)));
}

// The element that sort() puts at the middle index, found by the same
// stable sort, so which of -0.0 and +0.0 (or which NaN) it is agrees too.
Result<Ref> median(const Args& args) {
    PyObject* obj = args.object(0);
    TV_ASSIGN(Input input, examine_nonempty(obj, "median"));
    TV_ASSIGN(NativeType native, select_native_type(obj, input.type));
    return with_read_slice(obj, native, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        if (xs.empty()) return empty_array("median");
        TV_ASSIGN(auto sorted, scratch::SortedCopy<T>::of(xs));
        return made(to_python(sorted.at(middle_index<T>(xs.size()))));
    });
}

}  // namespace telvaran::ops
