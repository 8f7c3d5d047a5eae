// The access state of a class instance: any number of shared accesses at a
// time, or one exclusive access. A method takes a guard for its own duration;
// Python code it calls that comes back into the same object is then refused
// instead of seeing it half-way through a step or an evaluation.
#pragma once

#include "core/result.hpp"

#include <cstdint>
#include <utility>

namespace telvaran {

class AccessState {
public:
    // Releases its access when dropped; move-only.
    class Guard {
    public:
        Guard(Guard&& other) noexcept : state_(std::exchange(other.state_, nullptr)), exclusive_(other.exclusive_) {}
        Guard& operator=(Guard&&) = delete;
        Guard(const Guard&) = delete;
        ~Guard() {
            if (!state_) return;
            if (exclusive_) state_->count_ = 0;
            else --state_->count_;
        }

    private:
        friend class AccessState;
        Guard(AccessState* state, bool exclusive) noexcept : state_(state), exclusive_(exclusive) {}
        AccessState* state_;
        bool exclusive_;
    };

    Result<Guard> shared() {
        if (count_ == kExclusive) return Error::raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++count_;
        return Guard(this, false);
    }

    Result<Guard> exclusive() {
        if (count_ != 0) return Error::raise(PyExc_RuntimeError, "Already borrowed");
        count_ = kExclusive;
        return Guard(this, true);
    }

private:
    static constexpr std::intptr_t kExclusive = -1;
    std::intptr_t count_ = 0;  // shared accesses held, or kExclusive
};

}  // namespace telvaran
