// Scratch copies of an input's raw items and a stably sorted copy, shared by
// sort, reverse, unique and median.
#pragma once

#include "core/result.hpp"
#include "kernels/ordering/radix_sort.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace telvaran::scratch {

// Uninitialised storage for raw items. Items are copied in and out with
// memcpy, so the same bytes may hold the items of any element type.
class ItemBuffer {
public:
    static Result<ItemBuffer> allocate(std::size_t bytes) {
        std::unique_ptr<std::byte[]> storage(new (std::nothrow) std::byte[bytes == 0 ? 1 : bytes]);
        if (!storage) {
            PyErr_NoMemory();
            return Error::fetch();
        }
        return ItemBuffer(std::move(storage));
    }

    std::byte* bytes() const noexcept { return storage_.get(); }
    template <class U>
    U* as() const noexcept {
        return reinterpret_cast<U*>(storage_.get());
    }

private:
    explicit ItemBuffer(std::unique_ptr<std::byte[]> storage) : storage_(std::move(storage)) {}
    std::unique_ptr<std::byte[]> storage_;
};

// The raw items of xs in a fresh buffer.
template <class T>
Result<ItemBuffer> copy_of(std::span<const T> xs) {
    TV_ASSIGN(ItemBuffer copy, ItemBuffer::allocate(xs.size_bytes()));
    if (!xs.empty()) std::memcpy(copy.bytes(), xs.data(), xs.size_bytes());
    return copy;
}

// The items of xs sorted stably in element order (see radix::key_of). The
// radix sort alternates between two buffers; `spare()` is the one that does
// not hold the result, free for the caller's own use (room for n items).
template <class T>
class SortedCopy {
public:
    using U = radix::Bits<T>;

    static Result<SortedCopy> of(std::span<const T> xs) {
        TV_ASSIGN(ItemBuffer first, copy_of(xs));
        TV_ASSIGN(ItemBuffer second, ItemBuffer::allocate(xs.size_bytes()));
        TV_ASSIGN(ItemBuffer histograms, ItemBuffer::allocate(radix::kHistogramBytes));
        U* sorted = radix::sort_by_key(first.as<U>(), second.as<U>(), xs.size(), radix::KeyOf<T>{},
                                       histograms.bytes());
        if (sorted != first.as<U>()) std::swap(first, second);
        return SortedCopy(std::move(first), std::move(second), xs.size());
    }

    std::span<const U> items() const noexcept { return {sorted_.as<U>(), size_}; }
    std::byte* spare() const noexcept { return spare_.bytes(); }
    T at(std::size_t k) const noexcept { return std::bit_cast<T>(items()[k]); }

private:
    SortedCopy(ItemBuffer sorted, ItemBuffer spare, std::size_t size)
        : sorted_(std::move(sorted)), spare_(std::move(spare)), size_(size) {}
    ItemBuffer sorted_;
    ItemBuffer spare_;
    std::size_t size_;
};

}  // namespace telvaran::scratch
