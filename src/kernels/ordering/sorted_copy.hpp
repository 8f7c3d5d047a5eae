// Scratch buffers for raw items, a stably sorted copy and a stable sort in
// place, shared by sort, unique and median.
#pragma once

#include "core/result.hpp"
#include "kernels/kernels.hpp"
#include "kernels/ordering/radix_sort.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace telvaran::scratch {

// A block of scratch memory: where its items start, how many bytes it has,
// and, for a block mapped from the system, the whole mapping.
struct Block {
    std::byte* bytes = nullptr;
    std::size_t capacity = 0;
    void* mapping = nullptr;
    std::size_t mapped_length = 0;
};

// Returns a block to where it came from.
inline void free_block(const Block& block) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block.mapping) {
        munmap(block.mapping, block.mapped_length);
        return;
    }
#endif
    delete[] block.bytes;
}

// Uninitialised storage for raw items. Items are copied in and out with
// memcpy, so the same bytes may hold the items of any element type.
//
// A block of several megabytes is mapped directly and, on Linux, asked for
// transparent huge pages, so that its first writes take a few dozen faults
// instead of thousands.
class ItemBuffer {
public:
    static Result<ItemBuffer> allocate(std::size_t bytes) {
        ItemBuffer buffer = try_allocate(bytes);
        if (!buffer.bytes()) {
            PyErr_NoMemory();
            return Error::fetch();
        }
        return buffer;
    }

    // An empty buffer (null bytes()) when the memory cannot be had, with no
    // Python error set.
    static ItemBuffer try_allocate(std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kMappedFrom) {
            // Room to start the items on a huge-page boundary.
            std::size_t length = bytes + kHugePage;
            void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base != MAP_FAILED) {
                const auto address = reinterpret_cast<std::uintptr_t>(base);
                const std::size_t skip = ((address + kHugePage - 1) & ~(kHugePage - 1)) - address;
                std::byte* start = static_cast<std::byte*>(base) + skip;
                madvise(start, bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
                return ItemBuffer(Block{start, bytes, base, length});
            }
        }
#endif
        std::byte* storage = new (std::nothrow) std::byte[bytes == 0 ? 1 : bytes];
        if (!storage) return ItemBuffer();
        return ItemBuffer(Block{storage, bytes, nullptr, 0});
    }

    ItemBuffer() noexcept = default;
    ItemBuffer(ItemBuffer&& other) noexcept : block_(std::exchange(other.block_, Block{})) {}
    ItemBuffer& operator=(ItemBuffer&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, Block{});
        }
        return *this;
    }
    ~ItemBuffer() { release(); }

    std::byte* bytes() const noexcept { return block_.bytes; }
    template <class U>
    U* as() const noexcept {
        return reinterpret_cast<U*>(block_.bytes);
    }

private:
    static constexpr std::size_t kHugePage = std::size_t(2) << 20;
    static constexpr std::size_t kMappedFrom = std::size_t(4) << 20;

    explicit ItemBuffer(Block block) : block_(block) {}

    void release() noexcept {
        if (!block_.bytes) return;
        free_block(block_);
        block_ = Block{};
    }

    Block block_;
};

// Sorts the n items of xs stably in place by the radix sort, with buffers
// of its own; returns false, having changed nothing, when it cannot have
// them. Also the vector sort's fallback, which must not raise.
template <class T>
bool radix_sort_in_place(T* xs, std::size_t n) noexcept {
    using U = radix::Bits<T>;
    U* items = reinterpret_cast<U*>(xs);
    const radix::Plan plan = radix::plan_for<T>(items, n);
    const std::size_t counts = plan.workspace_bytes(n);
    ItemBuffer workspace = counts ? ItemBuffer::try_allocate(counts) : ItemBuffer();
    ItemBuffer spare = plan.needs_spare() ? ItemBuffer::try_allocate(n * sizeof(T)) : ItemBuffer();
    if ((counts && !workspace.bytes()) || (plan.needs_spare() && !spare.bytes())) return false;
    radix::sort_into<T>(items, items, spare.as<U>(), n, plan, workspace.bytes());
    return true;
}

// The items of xs sorted stably in element order (see radix::key_of).
// `spare()` is a second buffer with room for n items, free for the caller's
// own use.
template <class T>
class SortedCopy {
public:
    using U = radix::Bits<T>;

    static Result<SortedCopy> of(std::span<const T> xs) {
        const std::size_t n = xs.size();
        const U* input = reinterpret_cast<const U*>(xs.data());
        TV_ASSIGN(ItemBuffer first, ItemBuffer::allocate(xs.size_bytes()));
        TV_ASSIGN(ItemBuffer second, ItemBuffer::allocate(xs.size_bytes()));
        if (auto vector_sort = kernels::active<T>().sort; vector_sort && n >= 2) {
            std::memcpy(first.bytes(), xs.data(), xs.size_bytes());
            if (vector_sort(first.as<T>(), n, radix_sort_in_place<T>)) {
                return SortedCopy(std::move(first), std::move(second), n);
            }
        }
        radix::Plan plan = radix::plan_for<T>(input, n);
        TV_ASSIGN(ItemBuffer workspace, ItemBuffer::allocate(plan.workspace_bytes(n)));
        radix::sort_into<T>(input, first.as<U>(), second.as<U>(), n, plan, workspace.bytes());
        return SortedCopy(std::move(first), std::move(second), n);
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

// Sorts xs stably in place. A MemoryError leaves xs untouched: the radix
// sort has its buffers before it writes the first item, and the vector
// sort, which needs none, heap-sorts a part whose fallback could not have
// them.
template <class T>
Status sort_in_place(std::span<T> xs) {
    const std::size_t n = xs.size();
    if (n < 2) return {};
    if (auto vector_sort = kernels::active<T>().sort; vector_sort && vector_sort(xs.data(), n, radix_sort_in_place<T>)) {
        return {};
    }
    if (radix_sort_in_place(xs.data(), n)) return {};
    PyErr_NoMemory();
    return Error::fetch();
}

}  // namespace telvaran::scratch
