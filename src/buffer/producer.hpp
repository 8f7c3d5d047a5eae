// Arrow data from any library: objects that are none of the other input
// kinds but hand out Arrow C data through __arrow_c_array__ (one array) or
// __arrow_c_stream__ (a stream of chunks), such as a polars or pandas Series,
// nanoarrow and arro3 arrays, or a class of the user's own. They are read
// like pyarrow's arrays; what pyarrow's arrays tell through their
// attributes, these tell through their export: the element type is the
// schema's format, and the length, for an object without len(), the
// export's.
#pragma once

#include "core/elements.hpp"
#include "core/result.hpp"

namespace telvaran::producer {

// Whether the object's type has __arrow_c_array__ or __arrow_c_stream__.
Result<bool> exports_arrow(PyObject* obj);

// The element type named by the exported schema's format. Every other
// format is refused, with a hint for a struct (a table or record batch).
Result<ElementType> resolve(PyObject* obj);

// len(obj), or when its type has no length, the number of elements the
// export holds.
Result<Py_ssize_t> length(PyObject* obj);

}  // namespace telvaran::producer
