// PLACEHOLDER: add, multiply (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> add(const Args&) { return Error::raise(PyExc_NotImplementedError, "add"); }
Result<Ref> multiply(const Args&) { return Error::raise(PyExc_NotImplementedError, "multiply"); }
}
