// Result<T> and Status: a value or an Error, returned by every fallible
// function of the module. TV_TRY and TV_ASSIGN propagate an Error to the
// caller, which is how failures travel up to the call frame.
#pragma once

#include "error.hpp"

#include <optional>
#include <type_traits>
#include <utility>
#include <new>

namespace telvaran {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }
    Result(Error error) : ok_(false) { new (&error_) Error(std::move(error)); }
    Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T> &&
                                    std::is_nothrow_move_constructible_v<Error>)
        : ok_(other.ok_) {
        if (ok_) new (&value_) T(std::move(other.value_));
        else new (&error_) Error(std::move(other.error_));
    }
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) value_.~T();
        else error_.~Error();
    }

    explicit operator bool() const noexcept { return ok_; }
    T& operator*() & { return value_; }
    T&& operator*() && { return std::move(value_); }
    T* operator->() { return &value_; }
    Error&& error() && { return std::move(error_); }

private:
    bool ok_;
    union {
        T value_;
        Error error_;
    };
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error)) {}

    explicit operator bool() const noexcept { return !error_.has_value(); }
    // Only called on a failed status, which holds its error.
    Error&& error() && { return std::move(*error_); }  // NOLINT(bugprone-unchecked-optional-access)
    // The error, or else `value`: for a step whose failure means "no".
    template <class T>
    Result<T> then(T value) && {
        if (error_) return std::move(*error_);
        return value;
    }

private:
    std::optional<Error> error_;
};

// A new reference from an interpreter call that may fail with an exception.
inline Result<Ref> checked(PyObject* p) {
    if (!p) return Error::fetch();
    return Ref::steal(p);
}

// A new reference from a constructor that is not expected to fail (numbers,
// strings, lists, tuples): a null is an internal failure.
inline Result<Ref> made(PyObject* p) {
    if (!p) return Error::api_failed();
    return Ref::steal(p);
}

// An int-returning interpreter call: -1 means failure.
inline Status checked_status(int rc) {
    if (rc < 0) return Error::fetch();
    return {};
}

}  // namespace telvaran

#define TV_CONCAT_(a, b) a##b
#define TV_CONCAT(a, b) TV_CONCAT_(a, b)

// Evaluates a Status or Result expression and returns its Error on failure.
#define TV_TRY(expr)                                                          \
    do {                                                                      \
        if (auto tv_status_ = (expr); !tv_status_)                            \
            return std::move(tv_status_).error();                             \
    } while (0)

// Declares `decl` from the value of a Result expression, or returns its Error.
// `decl` is a declaration and `tmp` a name, neither of which may be
// parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TV_ASSIGN(decl, expr) TV_ASSIGN_(TV_CONCAT(tv_result_, __LINE__), decl, expr)
#define TV_ASSIGN_(tmp, decl, expr)                                           \
    auto tmp = (expr);                                                        \
    if (!tmp) return std::move(tmp).error();                                  \
    decl = std::move(*tmp)
// NOLINTEND(bugprone-macro-parentheses)
