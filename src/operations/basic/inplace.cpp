// PLACEHOLDER: scale, clip, normalize (being written)
#include "operations/operations.hpp"
namespace telvaran::ops {
Result<Ref> scale(const Args&) { return Error::raise(PyExc_NotImplementedError, "scale"); }
Result<Ref> clip(const Args&) { return Error::raise(PyExc_NotImplementedError, "clip"); }
Result<Ref> normalize(const Args&) { return Error::raise(PyExc_NotImplementedError, "normalize"); }
}
