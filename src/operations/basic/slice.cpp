// PLACEHOLDER: slice (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> slice(const Args&) { return Error::raise(PyExc_NotImplementedError, "slice"); }
}
