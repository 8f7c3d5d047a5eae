// PLACEHOLDER: map, filter, reduce, map_inplace (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> map(const Args&) { return Error::raise(PyExc_NotImplementedError, "map"); }
Result<Ref> filter(const Args&) { return Error::raise(PyExc_NotImplementedError, "filter"); }
Result<Ref> reduce(const Args&) { return Error::raise(PyExc_NotImplementedError, "reduce"); }
Result<Ref> map_inplace(const Args&) { return Error::raise(PyExc_NotImplementedError, "map_inplace"); }
}
