// A fixed set of nodes allocated once, handed out and taken back without ever
// touching the allocator again. Free nodes are chained through their own
// `next` links (last in, first out); a node in use belongs to its caller.
//
// Invariant: in_use_ + (length of the free list) == capacity_.
#pragma once

#include "intrusive_list.hpp"

#include <concepts>
#include <cstddef>
#include <functional>
#include <memory>

namespace Cobble::Core {

template <typename T>
    requires std::derived_from<T, ListNode>
class NodePool {
public:
    // All nodes are value-initialised; a capacity of 0 gives a pool that is
    // always full.
    explicit NodePool(std::size_t capacity) : storage_(std::make_unique<T[]>(capacity)), capacity_(capacity) {
        build_freelist();
    }

    NodePool(const NodePool &) = delete;
    NodePool &operator=(const NodePool &) = delete;
    NodePool(NodePool &&) noexcept = default;
    NodePool &operator=(NodePool &&) noexcept = default;

    // Chains every node into the free list in array order, so that a fresh
    // pool hands nodes out front to back.
    void build_freelist() noexcept {
        for (std::size_t i = 0; i < capacity_; ++i) {
            storage_[i].prev = nullptr;
            storage_[i].next = i + 1 < capacity_ ? &storage_[i + 1] : nullptr;
        }
        freelist_ = capacity_ > 0 ? &storage_[0] : nullptr;
    }

    // A free node, or null when the pool is full.
    [[nodiscard]] T *alloc() noexcept {
        T *n = freelist_;
        if (n != nullptr) {
            freelist_ = node_cast<T>(n->next);
            n->next = nullptr;
            ++in_use_;
        }
        return n;
    }

    // n must have come from this pool's alloc(); null is ignored.
    void release(T *n) noexcept {
        if (n == nullptr) {
            return;
        }
        COBBLE_INVARIANT(in_use_ > 0);
        COBBLE_INVARIANT(owns(n));
        n->prev = nullptr;
        n->next = freelist_;
        freelist_ = n;
        --in_use_;
    }

    // Takes every node back at once; callers must hold none of them any more.
    void reset() noexcept {
        in_use_ = 0;
        build_freelist();
    }

    [[nodiscard]] bool full() const noexcept { return freelist_ == nullptr; }
    [[nodiscard]] bool empty() const noexcept { return in_use_ == 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] std::size_t in_use() const noexcept { return in_use_; }
    [[nodiscard]] std::size_t available() const noexcept { return capacity_ - in_use_; }

    [[nodiscard]] bool owns(const T *n) const noexcept {
        const std::less<const T *> before;
        return !before(n, storage_.get()) && before(n, storage_.get() + capacity_);
    }

private:
    std::unique_ptr<T[]> storage_;
    T *freelist_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t in_use_ = 0;
};

}  // namespace Cobble::Core
