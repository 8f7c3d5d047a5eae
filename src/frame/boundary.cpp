// Outcome translation at the boundary.
#include "frame/boundary.hpp"

#include <exception>
#include <new>

namespace telvaran::frame {

PyObject* fail(Error&& error) noexcept {
    std::move(error).restore();
    return nullptr;
}

PyObject* fail_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        fail(Error::panic(e.what()));
    } catch (...) {
        fail(Error::panic(""));
    }
    return nullptr;
}

}  // namespace telvaran::frame
