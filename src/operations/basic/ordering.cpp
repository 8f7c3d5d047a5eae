// PLACEHOLDER: sort, reverse, unique (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> sort(const Args&) { return Error::raise(PyExc_NotImplementedError, "sort"); }
Result<Ref> reverse(const Args&) { return Error::raise(PyExc_NotImplementedError, "reverse"); }
Result<Ref> unique(const Args&) { return Error::raise(PyExc_NotImplementedError, "unique"); }
}
