// Scratch buffers for raw items, a stably sorted copy and a stable sort in
// place, shared by sort, unique and median.
#pragma once

#include "core/result.hpp"
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

// Large scratch blocks are fresh memory from the system, whose pages the
// kernel faults in and zeroes one at a time as a sort first writes them: for
// a sort of a million items that costs more than a pass over them. So a few
// blocks freed on a thread are kept for its next calls, and a call that
// needs no more than one of them holds takes it instead of fresh memory.
// Per thread, so no two calls ever share one.
class BlockCache {
public:
    static constexpr std::size_t kCachedFrom = std::size_t(64) << 10;
    static constexpr std::size_t kMostBytes = std::size_t(32) << 20;  // kept in all
    static constexpr std::size_t kMostBlocks = 8;

    BlockCache() = default;
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;
    ~BlockCache() {
        for (std::size_t i = 0; i < count_; ++i) free(blocks_[i]);
    }

    // The smallest kept block of at least `bytes` and not four times more.
    Block take(std::size_t bytes) {
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t c = blocks_[i].capacity;
            if (c >= bytes && c / 4 <= bytes && (best == count_ || c < blocks_[best].capacity)) best = i;
        }
        if (best == count_) return {};
        Block block = blocks_[best];
        remove(best);
        return block;
    }

    // Keeps the block, dropping the oldest ones beyond the limits.
    void give(Block block) {
        if (block.capacity > kMostBytes) {
            free(block);
            return;
        }
        blocks_[count_++] = block;
        held_ += block.capacity;
        while (count_ > kMostBlocks || held_ > kMostBytes) {
            free(blocks_[0]);
            remove(0);
        }
    }

    static void free(const Block& block) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (block.mapping) {
            munmap(block.mapping, block.mapped_length);
            return;
        }
#endif
        delete[] block.bytes;
    }

private:
    void remove(std::size_t i) {
        held_ -= blocks_[i].capacity;
        for (std::size_t j = i + 1; j < count_; ++j) blocks_[j - 1] = blocks_[j];
        --count_;
    }

    Block blocks_[kMostBlocks + 1];
    std::size_t count_ = 0;
    std::size_t held_ = 0;
};

inline thread_local BlockCache t_block_cache;

// Uninitialised storage for raw items. Items are copied in and out with
// memcpy, so the same bytes may hold the items of any element type.
//
// A block of several megabytes is mapped directly and, on Linux, asked for
// transparent huge pages, so that its first writes take a few dozen faults
// instead of thousands.
class ItemBuffer {
public:
    static Result<ItemBuffer> allocate(std::size_t bytes) {
        if (bytes >= BlockCache::kCachedFrom) {
            Block kept = t_block_cache.take(bytes);
            if (kept.bytes) return ItemBuffer(kept);
        }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kMappedFrom) {
            // Room to start the items on a huge-page boundary.
            std::size_t length = bytes + kHugePage;
            void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base != MAP_FAILED) {
                auto start = (reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) & ~(kHugePage - 1);
                madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
                return ItemBuffer(Block{reinterpret_cast<std::byte*>(start), bytes, base, length});
            }
        }
#endif
        std::byte* storage = new (std::nothrow) std::byte[bytes == 0 ? 1 : bytes];
        if (!storage) {
            PyErr_NoMemory();
            return Error::fetch();
        }
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
        if (block_.capacity >= BlockCache::kCachedFrom) t_block_cache.give(block_);
        else BlockCache::free(block_);
        block_ = Block{};
    }

    Block block_;
};

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
        radix::Plan plan = radix::plan_for<T>(input, n);
        TV_ASSIGN(ItemBuffer first, ItemBuffer::allocate(xs.size_bytes()));
        TV_ASSIGN(ItemBuffer second, ItemBuffer::allocate(xs.size_bytes()));
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

// Sorts xs stably in place. Every buffer the sort needs is allocated before
// the first item is written, so a failed allocation leaves xs untouched.
template <class T>
Status sort_in_place(std::span<T> xs) {
    using U = radix::Bits<T>;
    const std::size_t n = xs.size();
    if (n < 2) return {};
    U* items = reinterpret_cast<U*>(xs.data());
    radix::Plan plan = radix::plan_for<T>(items, n);
    if (plan.kind == radix::Plan::kInsertion) {
        radix::insertion_sort<T>(items, n);
        return {};
    }
    if (plan.kind == radix::Plan::kNone) return {};
    TV_ASSIGN(ItemBuffer workspace, ItemBuffer::allocate(plan.workspace_bytes(n)));
    ItemBuffer spare;
    if (plan.needs_spare()) {
        TV_ASSIGN(spare, ItemBuffer::allocate(xs.size_bytes()));
    }
    radix::sort_into<T>(items, items, spare.as<U>(), n, plan, workspace.bytes());
    return {};
}

}  // namespace telvaran::scratch
