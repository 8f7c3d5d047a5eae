// The complete mean operation as a number, for the operations built on it.
#pragma once

#include "core/result.hpp"

#include <optional>

namespace telvaran {

// mean(obj) as a double, running mean's whole prologue with its own view.
// No value when the input's Python length is not 0 but its view holds no
// element, so that the caller can report that in its own words.
Result<std::optional<double>> complete_mean(PyObject* obj);

}  // namespace telvaran
