// The module's two classes: their type objects, created once on first use
// and kept for the life of the process, and their module-level helpers.
#pragma once

#include "frame.hpp"

namespace telvaran {

// Borrowed type objects; null with an error set if creation failed.
Result<PyObject*> array_iterator_type();
Result<PyObject*> lazy_array_type();

namespace ops {
Result<Ref> array_iterator(const Args& args);  // array_iterator(array)
Result<Ref> lazy_array(const Args& args);      // lazy_array(array)
}  // namespace ops

}  // namespace telvaran
