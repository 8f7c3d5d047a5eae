// Ref: the owner of one strong reference to a Python object.
//
// Every new reference the module receives goes straight into a Ref, made with
// Ref::steal (takes over a reference the caller owns) or Ref::borrow (takes a
// new one). Moving a Ref empties the source, and release() hands the reference
// back to the interpreter at the call boundary. Reference counts change only
// here.
#pragma once

#include "python.hpp"

#include <utility>

namespace telvaran {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference that the caller owns (may be null).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be null).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // A new reference to None.
    [[nodiscard]] static Ref none() noexcept { return borrow(Py_None); }

    // Gives the reference back to the caller, leaving this Ref empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A new strong reference to the same object.
    [[nodiscard]] Ref clone() const noexcept { return borrow(ptr_); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace telvaran
