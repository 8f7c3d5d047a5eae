// The complete mean operation as a number, for the operations built on it.
#pragma once

#include "buffer/input.hpp"
#include "core/result.hpp"
#include "core/runs.hpp"
#include "kernels/kernels.hpp"

#include <optional>

namespace telvaran {

// mean(obj) as a double, running mean's whole prologue with its own view.
// No value when the input's Python length is not 0 but its view holds no
// element, so that the caller can report that in its own words.
Result<std::optional<double>> complete_mean(PyObject* obj);

// The sum of sum() and mean(): in the element's type, by 8192-element
// blocks when the Python length (which decides a float sum's rounding)
// exceeds one block.
template <class T>
T element_sum(const Runs<T>& xs, const SizedInput& input) {
    return kernels::sum(xs, static_cast<std::size_t>(input.length) > kernels::kSumBlock);
}

}  // namespace telvaran
