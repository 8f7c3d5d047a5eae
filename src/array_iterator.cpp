// PLACEHOLDER: ArrayIterator (being written)
#include "classes.hpp"
namespace telvaran {
Result<PyObject*> array_iterator_type() { return reinterpret_cast<PyObject*>(&PyBaseObject_Type); }
namespace ops {
Result<Ref> array_iterator(const Args&) { return Error::raise(PyExc_NotImplementedError, "array_iterator"); }
}
}
