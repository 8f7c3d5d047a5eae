// PLACEHOLDER: LazyArray (being written)
#include "classes.hpp"
namespace telvaran {
Result<PyObject*> lazy_array_type() { return reinterpret_cast<PyObject*>(&PyBaseObject_Type); }
namespace ops {
Result<Ref> lazy_array(const Args&) { return Error::raise(PyExc_NotImplementedError, "lazy_array"); }
}
}
