// A doubly linked list threaded through its elements' own links. The list owns
// nothing: elements live elsewhere (a node pool) and derive from ListNode.
//
// Invariant: head_ has no prev, tail_ has no next, and count_ is the number of
// elements reachable from head_. clear() forgets the elements without touching
// their links, so a link is only meaningful while its node is in a list.
//
// COBBLE_DEBUG_INVARIANTS switches on the library's internal consistency
// checks; they walk whole containers, so only test builds define it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace Cobble::Core::detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void invariant_failed(const char *what, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: Cobble invariant violated: %s\n", file, line, what);
    std::abort();
}

}  // namespace Cobble::Core::detail

#if defined(COBBLE_DEBUG_INVARIANTS)
#define COBBLE_INVARIANT(cond) \
    ((cond) ? static_cast<void>(0) : ::Cobble::Core::detail::invariant_failed(#cond, __FILE__, __LINE__))
#else
#define COBBLE_INVARIANT(cond) static_cast<void>(0)
#endif

namespace Cobble::Core {

struct ListNode {
    ListNode *prev = nullptr;
    ListNode *next = nullptr;
};

// Element type of a link; T must derive from ListNode.
template <typename T>
[[nodiscard]] T *node_cast(ListNode *link) noexcept {
    return static_cast<T *>(link);
}

template <typename T>
[[nodiscard]] const T *node_cast(const ListNode *link) noexcept {
    return static_cast<const T *>(link);
}

class IntrusiveList {
public:
    class iterator {
    public:
        iterator() = default;
        explicit iterator(ListNode *current) noexcept : current_(current) {}

        [[nodiscard]] ListNode *operator*() const noexcept { return current_; }
        iterator &operator++() noexcept {
            current_ = current_->next;
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator before = *this;
            ++*this;
            return before;
        }
        [[nodiscard]] bool operator==(const iterator &) const noexcept = default;

    private:
        ListNode *current_ = nullptr;
    };

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] ListNode *head() const noexcept { return head_; }
    [[nodiscard]] ListNode *tail() const noexcept { return tail_; }
    [[nodiscard]] iterator begin() const noexcept { return iterator(head_); }
    [[nodiscard]] iterator end() const noexcept { return iterator(); }

    void push_back(ListNode *n) noexcept {
        n->prev = tail_;
        n->next = nullptr;
        if (tail_ != nullptr) {
            tail_->next = n;
        } else {
            head_ = n;
        }
        tail_ = n;
        ++count_;
    }

    void push_front(ListNode *n) noexcept {
        n->prev = nullptr;
        n->next = head_;
        if (head_ != nullptr) {
            head_->prev = n;
        } else {
            tail_ = n;
        }
        head_ = n;
        ++count_;
    }

    // n must be an element of this list; its links are reset.
    void unlink(ListNode *n) noexcept {
        COBBLE_INVARIANT(count_ > 0);
        if (n->prev != nullptr) {
            n->prev->next = n->next;
        } else {
            head_ = n->next;
        }
        if (n->next != nullptr) {
            n->next->prev = n->prev;
        } else {
            tail_ = n->prev;
        }
        n->prev = nullptr;
        n->next = nullptr;
        --count_;
    }

    void move_to_back(ListNode *n) noexcept {
        if (n != tail_) {
            unlink(n);
            push_back(n);
        }
    }

    void move_to_front(ListNode *n) noexcept {
        if (n != head_) {
            unlink(n);
            push_front(n);
        }
    }

    // The removed element, or null when the list is empty.
    ListNode *pop_front() noexcept {
        ListNode *n = head_;
        if (n != nullptr) {
            unlink(n);
        }
        return n;
    }

    ListNode *pop_back() noexcept {
        ListNode *n = tail_;
        if (n != nullptr) {
            unlink(n);
        }
        return n;
    }

    void clear() noexcept {
        head_ = nullptr;
        tail_ = nullptr;
        count_ = 0;
    }

private:
    ListNode *head_ = nullptr;
    ListNode *tail_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace Cobble::Core
