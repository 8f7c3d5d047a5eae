// Arrow data from any library: objects that are none of the other input
// kinds but hand out Arrow C data through __arrow_c_array__ (one array) or
// __arrow_c_stream__ (a stream of chunks), such as a polars or pandas Series,
// nanoarrow and arro3 arrays, or a class of the user's own. They are read
// like pyarrow's arrays; what pyarrow's arrays tell through their
// attributes, these tell through their export, which is made once per
// examination and then read (ArrowView::acquire_any): the element type is
// the schema's format, and the length, for an object without len(), the
// number of elements exported.
#pragma once

#include "core/result.hpp"

namespace telvaran::producer {

// Whether the object's type has __arrow_c_array__ or __arrow_c_stream__ (a
// method set to None does not count).
Result<bool> exports_arrow(PyObject* obj);

// Whether the object's type has a length (len() works on it).
bool has_length(PyObject* obj) noexcept;

}  // namespace telvaran::producer
