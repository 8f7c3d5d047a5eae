// PLACEHOLDER: var, std, median (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> var(const Args&) { return Error::raise(PyExc_NotImplementedError, "var"); }
Result<Ref> std(const Args&) { return Error::raise(PyExc_NotImplementedError, "std"); }
Result<Ref> median(const Args&) { return Error::raise(PyExc_NotImplementedError, "median"); }
}
