// sum, mean, min and max: reductions over an input's memory in the element's
// own type.
#include "buffer/prologue.hpp"
#include "kernels/kernels.hpp"
#include "operations/basic/aggregate.hpp"
#include "operations/table.hpp"

#include <optional>

namespace telvaran {

Result<std::optional<double>> complete_mean(PyObject* obj) {
    TV_ASSIGN(SizedInput input, examine(obj, Access::Read));
    if (input.length == 0) return Error::raise(PyExc_ValueError, "mean() of empty array");
    return with_elements(input, [&]<class T>(Runs<T> xs) -> Result<std::optional<double>> {
        // Divided by the elements actually summed: for a 2-D memoryview the
        // Python length counts rows, not elements.
        if (xs.empty()) return std::optional<double>();
        double total = static_cast<double>(element_sum(xs, input));
        return std::optional<double>(total / static_cast<double>(xs.size()));
    });
}

namespace ops {

Result<Ref> sum(const Call& call) {
    return run(call, [&]<class T>(Runs<T> xs, const SizedInput& input) -> Result<Ref> {
        return made(to_python(element_sum(xs, input)));
    });
}

Result<Ref> mean(const Call& call) {
    TV_ASSIGN(std::optional<double> value, complete_mean(call.args.object(0)));
    if (!value) return empty_input(call);
    return made(PyFloat_FromDouble(*value));
}

// A length that is not 0 over a buffer without elements has no element to
// return: it is refused like an empty input.
Result<Ref> min(const Call& call) {
    return run(call, [&]<class T>(Runs<T> xs) -> Result<Ref> {
        if (xs.empty()) return empty_input(call);
        return made(to_python(kernels::minimum(xs)));
    });
}

Result<Ref> max(const Call& call) {
    return run(call, [&]<class T>(Runs<T> xs) -> Result<Ref> {
        if (xs.empty()) return empty_input(call);
        return made(to_python(kernels::maximum(xs)));
    });
}

}  // namespace ops
}  // namespace telvaran
