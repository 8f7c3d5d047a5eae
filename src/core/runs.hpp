// The elements of one input as a sequence of contiguous runs of memory.
//
// A buffer is one run; a chunked Arrow column is one run per non-empty
// chunk, read where each chunk lies. Operations that only walk the elements
// in order take the runs as they are instead of a gathered copy.
#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <span>

namespace telvaran {

// One run of elements whose machine type is known to whoever holds it: the
// kernels of every type take the same list.
struct Run {
    const void* data;
    std::size_t count;  // elements, never 0 in a list of several runs
};

// The runs of one input as elements of T, in order. Holds either one run of
// its own or a list that someone else owns (the Arrow view the elements
// were read from), which must outlive it.
template <class T>
class Runs {
public:
    explicit Runs(std::span<const T> only) noexcept : single_{only.data(), only.size()}, total_(only.size()) {}
    Runs(const Run* list, std::size_t count, std::size_t total) noexcept
        : list_(list), single_{nullptr, 0}, count_(count), total_(total) {}

    const Run* list() const noexcept { return list_ ? list_ : &single_; }
    std::size_t count() const noexcept { return count_; }
    std::size_t size() const noexcept { return total_; }  // elements in all runs
    bool empty() const noexcept { return total_ == 0; }
    std::span<const T> operator[](std::size_t k) const noexcept {
        const Run& run = list()[k];
        return {static_cast<const T*>(run.data), run.count};
    }

    // Calls f(x) for every element, in order, until f returns a failure.
    template <class F>
    auto each(F&& f) const -> decltype(f(T{})) {
        for (std::size_t k = 0; k < count_; ++k)
            for (T x : (*this)[k]) TV_TRY(f(x));
        return {};
    }

private:
    const Run* list_ = nullptr;  // null for the one run of single_
    Run single_;
    std::size_t count_ = 1;
    std::size_t total_;
};

}  // namespace telvaran
