// var, std and median: one Python number summarising an input's elements.
#include "buffer/genuine.hpp"
#include "buffer/prologue.hpp"
#include "kernels/ordering/select.hpp"
#include "operations/basic/aggregate.hpp"
#include "operations/table.hpp"

#include <bit>
#include <cmath>
#include <optional>
#include <span>
#include <type_traits>

namespace telvaran {
namespace {

// Whether the mean's own prologue would run no Python code and find what
// ours found: so for an object of exactly array.array, numpy.ndarray or
// memoryview, and for pyarrow's own arrays (immutable, read by compiled code
// alone). The mean's value is then taken from our view, exactly as mean()
// computes it, and the input is read or exported once. Any other Arrow
// producer is exported once per call by rule.
bool mean_from_same_view(const SizedInput& input) {
    if (input.input.exact || input.input.read_ahead) return true;
    return input.input.kind == InputKind::Arrow && input.input.by_type &&
           genuine::is_pyarrow_object(input.input.object);
}

Result<double> variance_in_one_view(const Call& call, const SizedInput& input) {
    return with_elements(input, [&]<class T>(Runs<T> xs) -> Result<double> {
        if (xs.empty()) return empty_input(call);
        const double n = static_cast<double>(xs.size());
        const double mean = static_cast<double>(element_sum(xs, input)) / n;
        return kernels::squared_deviations(xs, mean) / n;
    });
}

// The population variance about the value mean() returns: the complete
// mean first, with its own view, then a second pass over a view of ours. An
// input whose length is not 0 but whose view holds no element is reported
// here, not by mean().
Result<double> variance(const Call& call) {
    TV_ASSIGN(SizedInput input, examine(call.args.object(0), Access::Read));
    if (input.length == 0) return empty_input(call);
    if (mean_from_same_view(input)) return variance_in_one_view(call, input);
    TV_ASSIGN(std::optional<double> mean, complete_mean(input.input.object));
    if (!mean) return empty_input(call);
    return with_elements(input, [&]<class T>(Runs<T> xs) -> Result<double> {
        if (xs.empty()) return empty_input(call);  // the input changed under the mean
        return kernels::squared_deviations(xs, *mean) / static_cast<double>(xs.size());
    });
}

// Integer types take the lower of two middle elements, floats the upper.
template <class T>
std::size_t middle_index(std::size_t count) {
    return std::is_floating_point_v<T> ? count / 2 : (count - 1) / 2;
}

}  // namespace

namespace ops {

Result<Ref> var(const Call& call) {
    TV_ASSIGN(double v, variance(call));
    return made(PyFloat_FromDouble(v));
}

Result<Ref> std(const Call& call) {
    TV_ASSIGN(double v, variance(call));
    return made(PyFloat_FromDouble(std::sqrt(v)));
}

// The element that sort() puts at the middle index, found by selection on
// the same keys and with the same tie order, so which of -0.0 and +0.0 (or
// which NaN) it is agrees too.
Result<Ref> median(const Call& call) {
    return run(call, [&]<class T>(std::span<const T> xs) -> Result<Ref> {
        if (xs.empty()) return empty_input(call);
        TV_ASSIGN(radix::Bits<T> item, radix::select_stable<T>(xs.data(), xs.size(), middle_index<T>(xs.size())));
        return made(to_python(std::bit_cast<T>(item)));
    });
}

}  // namespace ops
}  // namespace telvaran
