// The module's operations as the call frame sees them: each takes its bound
// and converted arguments and returns a new reference or an Error.
#pragma once

#include "frame.hpp"

#include <optional>

namespace telvaran::ops {

// Aggregations
Result<Ref> sum(const Args& args);
Result<Ref> mean(const Args& args);
Result<Ref> min(const Args& args);
Result<Ref> max(const Args& args);
// The complete operations on one array, for operations built on them.
Result<Ref> mean_of(PyObject* array);
// mean_of as a double; no value when the input's Python length is non-zero
// but its view holds no element, so that the caller can report it.
Result<std::optional<double>> mean_value(PyObject* array);
Result<Ref> min_of(PyObject* array);
Result<Ref> max_of(PyObject* array);

// Element-wise arithmetic
Result<Ref> add(const Args& args);
Result<Ref> multiply(const Args& args);

// In-place numeric transforms
Result<Ref> scale(const Args& args);
Result<Ref> clip(const Args& args);
Result<Ref> normalize(const Args& args);

// Ordering
Result<Ref> sort(const Args& args);
Result<Ref> reverse(const Args& args);
Result<Ref> unique(const Args& args);

// Zero-copy slice
Result<Ref> slice(const Args& args);

// Statistics
Result<Ref> var(const Args& args);
Result<Ref> std(const Args& args);
Result<Ref> median(const Args& args);

// Callback operations
Result<Ref> map(const Args& args);
Result<Ref> filter(const Args& args);
Result<Ref> reduce(const Args& args);
Result<Ref> map_inplace(const Args& args);

}  // namespace telvaran::ops
