// A fixed-capacity hash map that remembers insertion order: open addressing
// with linear probing over a power-of-two bucket array, nodes from a pool
// allocated up front, and an intrusive list through the nodes in insertion
// order (rehashing walks it, so the order survives growth).
//
// Invariants: every live node sits in exactly one OCCUPIED bucket, reachable
// from its home bucket (hash & mask_) without crossing an EMPTY bucket, and is
// linked in order_; count_ == order_.size() == pool_.in_use(); tombstones_
// counts the TOMBSTONE buckets; after every operation (count_ + tombstones_)
// stays within the load factor. Removal leaves a tombstone so that probe runs
// through the removed bucket stay intact.
#pragma once

#include "intrusive_list.hpp"
#include "node_pool.hpp"

#include "../../hashlib/utils.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace Cobble::Core {

namespace detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void throw_missing(const char *what) {
    throw std::out_of_range(what);
}

}  // namespace detail

template <typename K, typename V, typename Hash = std::hash<K>, typename KeyEqual = std::equal_to<K>>
class OpenMap {
public:
    struct Node : ListNode {
        std::uint64_t hash = 0;  // the final hash, as used for bucket selection
        K key{};
        V value{};
    };

    struct Bucket {
        enum class State : std::uint8_t { EMPTY = 0, OCCUPIED = 1, TOMBSTONE = 2 };
        State state = State::EMPTY;
        Node *node = nullptr;  // set only while OCCUPIED
    };

    using State = typename Bucket::State;

    class iterator {
    public:
        iterator() = default;
        explicit iterator(IntrusiveList::iterator it) noexcept : it_(it) {}

        [[nodiscard]] std::pair<const K &, V &> operator*() const noexcept {
            Node *n = node_cast<Node>(*it_);
            return {n->key, n->value};
        }
        iterator &operator++() noexcept {
            ++it_;
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator before = *this;
            ++it_;
            return before;
        }
        [[nodiscard]] bool operator==(const iterator &) const noexcept = default;

    private:
        IntrusiveList::iterator it_;
    };

    class const_iterator {
    public:
        const_iterator() = default;
        explicit const_iterator(IntrusiveList::iterator it) noexcept : it_(it) {}

        [[nodiscard]] std::pair<const K &, const V &> operator*() const noexcept {
            const Node *n = node_cast<Node>(*it_);
            return {n->key, n->value};
        }
        const_iterator &operator++() noexcept {
            ++it_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator before = *this;
            ++it_;
            return before;
        }
        [[nodiscard]] bool operator==(const const_iterator &) const noexcept = default;

    private:
        IntrusiveList::iterator it_;
    };

    // capacity: the most entries the map will ever hold (its node pool).
    explicit OpenMap(std::size_t capacity, const Hash &hasher = Hash(), const KeyEqual &eq = KeyEqual())
        : pool_(capacity), hasher_(hasher), eq_(eq) {
        num_buckets_ = Hashlib::buckets_for_capacity(capacity);
        mask_ = Hashlib::mask_for(num_buckets_);
        buckets_ = std::make_unique<Bucket[]>(num_buckets_);
    }

    OpenMap(const OpenMap &) = delete;
    OpenMap &operator=(const OpenMap &) = delete;
    // A moved-from map may only be destroyed or assigned to.
    OpenMap(OpenMap &&) noexcept = default;
    OpenMap &operator=(OpenMap &&) noexcept = default;
    ~OpenMap() = default;

    // ----- queries ----------------------------------------------------------

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] bool full() const noexcept { return pool_.full(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return pool_.capacity(); }
    [[nodiscard]] std::size_t bucket_count() const noexcept { return num_buckets_; }
    [[nodiscard]] std::size_t tombstone_count() const noexcept { return tombstones_; }

    // The stored value, or null when the key is absent. Never reorders.
    [[nodiscard]] V *get(const K &key) {
        Node *n = find_node(key);
        return n == nullptr ? nullptr : &n->value;
    }

    [[nodiscard]] const V *get(const K &key) const {
        const Node *n = find_node(key);
        return n == nullptr ? nullptr : &n->value;
    }

    [[nodiscard]] bool contains(const K &key) const { return lookup(key) != Hashlib::EMPTY_SLOT; }

    // Throws std::out_of_range when the key is absent.
    [[nodiscard]] V &at(const K &key) {
        V *value = get(key);
        if (value == nullptr) {
            detail::throw_missing("Cobble::OpenMap::at: key not found");
        }
        return *value;
    }

    [[nodiscard]] const V &at(const K &key) const {
        const V *value = get(key);
        if (value == nullptr) {
            detail::throw_missing("Cobble::OpenMap::at: key not found");
        }
        return *value;
    }

    // The entries at either end of the insertion order; throw
    // std::out_of_range on an empty map.
    [[nodiscard]] std::pair<const K &, V &> oldest() { return entry_of(order_.head()); }
    [[nodiscard]] std::pair<const K &, V &> newest() { return entry_of(order_.tail()); }

    [[nodiscard]] IntrusiveList &order() noexcept { return order_; }
    [[nodiscard]] const IntrusiveList &order() const noexcept { return order_; }

    [[nodiscard]] iterator begin() noexcept { return iterator(order_.begin()); }
    [[nodiscard]] iterator end() noexcept { return iterator(order_.end()); }
    [[nodiscard]] const_iterator begin() const noexcept { return const_iterator(order_.begin()); }
    [[nodiscard]] const_iterator end() const noexcept { return const_iterator(order_.end()); }

    // First EMPTY or TOMBSTONE bucket on the probe path of `hash` (a final
    // hash), or EMPTY_SLOT when there is none.
    [[nodiscard]] std::size_t find_empty_bucket(std::size_t hash) const noexcept {
        std::size_t i = hash & mask_;
        for (std::size_t probes = 0; probes < num_buckets_; ++probes) {
            if (buckets_[i].state != State::OCCUPIED) {
                return i;
            }
            i = Hashlib::probe_next(i, mask_);
        }
        return Hashlib::EMPTY_SLOT;
    }

    // ----- modifiers --------------------------------------------------------

    // True if a new entry was created; false if an existing entry was updated
    // (it keeps its place in the order) or the pool is full (nothing stored).
    // If growing the table fails, the entry is withdrawn and std::bad_alloc
    // propagates: the map is as it was.
    bool insert(const K &key, V value) {
        const std::uint64_t h = hash_of(key);
        const std::size_t i = find_bucket(h, key);
        // The load factor leaves EMPTY buckets on every probe run.
        COBBLE_INVARIANT(i != Hashlib::EMPTY_SLOT);
        Bucket &b = buckets_[i];
        if (b.state == State::OCCUPIED) {
            b.node->value = std::move(value);
            return false;
        }
        if (pool_.full()) {
            return false;
        }
        Node *n = pool_.alloc();
        try {
            n->hash = h;
            n->key = key;
            n->value = std::move(value);
        } catch (...) {
            pool_.release(n);
            throw;
        }
        if (b.state == State::TOMBSTONE) {
            --tombstones_;
        }
        b = Bucket{State::OCCUPIED, n};
        order_.push_back(n);
        ++count_;
        try {
            maybe_grow();
        } catch (...) {
            withdraw(i);
            throw;
        }
        debug_check();
        return true;
    }

    // Leaves a tombstone; true if the key was present.
    bool remove(const K &key) {
        const std::size_t i = lookup(key);
        if (i == Hashlib::EMPTY_SLOT) {
            return false;
        }
        erase_at(i);
        maybe_compact();
        debug_check();
        return true;
    }

    // Moves an entry to the newest end of the order; absent keys are ignored.
    void touch(const K &key) {
        const std::size_t i = lookup(key);
        if (i != Hashlib::EMPTY_SLOT) {
            order_.move_to_back(buckets_[i].node);
        }
        debug_check();
    }

    // Removes the oldest entry; false on an empty map.
    bool evict_oldest() {
        if (order_.empty()) {
            return false;
        }
        erase_at(bucket_of(node_cast<Node>(order_.head())));
        maybe_compact();
        debug_check();
        return true;
    }

    // Keeps the table size; every node goes back to the pool.
    void clear() noexcept {
        for (std::size_t i = 0; i < num_buckets_; ++i) {
            Bucket &b = buckets_[i];
            if (b.state == State::OCCUPIED && b.node != nullptr) {
                pool_.release(b.node);
            }
            b = Bucket{};
        }
        order_.clear();
        count_ = 0;
        tombstones_ = 0;
        debug_check();
    }

    // Rebuilds the table at its size without tombstones once they fill a
    // quarter of it. Growth counts tombstones, so without this a fixed pool
    // under steady churn would double the table again and again.
    void maybe_compact() noexcept {
        if (tombstones_ * 4 <= num_buckets_) {
            return;
        }
        try {
            rehash(num_buckets_);
        } catch (const std::bad_alloc &) {
            // The tombstones stay; lookups remain correct, probe runs longer.
        }
    }

private:
    [[nodiscard]] std::uint64_t hash_of(const K &key) const { return Hashlib::compute_hash(hasher_(key)); }

    // The live node holding key, or null. The same probe as lookup(), kept
    // apart because the hit path of get() is the cache's hot path: it tests
    // the node pointer, which is null exactly in the buckets that are not
    // OCCUPIED, and hands back the node without a second bucket read.
    [[nodiscard]] Node *find_node(const K &key) const {
        const std::uint64_t h = hash_of(key);
        std::size_t i = h & mask_;
        for (std::size_t probes = 0; probes < num_buckets_; ++probes) {
            const Bucket &b = buckets_[i];
            if (b.node != nullptr) {
                if (b.node->hash == h && eq_(b.node->key, key)) {
                    return b.node;
                }
            } else if (b.state == State::EMPTY) {
                return nullptr;
            }
            i = Hashlib::probe_next(i, mask_);
        }
        return nullptr;
    }

    // Index of the OCCUPIED bucket holding key, or EMPTY_SLOT.
    [[nodiscard]] std::size_t lookup(const K &key) const {
        const std::uint64_t h = hash_of(key);
        std::size_t i = h & mask_;
        for (std::size_t probes = 0; probes < num_buckets_; ++probes) {
            const Bucket &b = buckets_[i];
            if (b.state == State::EMPTY) {
                return Hashlib::EMPTY_SLOT;
            }
            if (b.state == State::OCCUPIED && b.node->hash == h && eq_(b.node->key, key)) {
                return i;
            }
            i = Hashlib::probe_next(i, mask_);
        }
        return Hashlib::EMPTY_SLOT;
    }

    // The bucket holding key, else the first tombstone on its path, else the
    // EMPTY bucket that ends the path. EMPTY_SLOT when every bucket is
    // occupied by other keys, which the growth rule rules out.
    [[nodiscard]] std::size_t find_bucket(std::uint64_t h, const K &key) const {
        std::size_t i = h & mask_;
        std::size_t first_tombstone = Hashlib::EMPTY_SLOT;
        for (std::size_t probes = 0; probes < num_buckets_; ++probes) {
            const Bucket &b = buckets_[i];
            if (b.state == State::EMPTY) {
                return first_tombstone != Hashlib::EMPTY_SLOT ? first_tombstone : i;
            }
            if (b.state == State::TOMBSTONE) {
                if (first_tombstone == Hashlib::EMPTY_SLOT) {
                    first_tombstone = i;
                }
            } else if (b.node->hash == h && eq_(b.node->key, key)) {
                return i;
            }
            i = Hashlib::probe_next(i, mask_);
        }
        return first_tombstone;
    }

    // The bucket of a live node, found along its probe path.
    [[nodiscard]] std::size_t bucket_of(const Node *n) const noexcept {
        std::size_t i = n->hash & mask_;
        while (buckets_[i].node != n) {
            i = Hashlib::probe_next(i, mask_);
        }
        return i;
    }

    [[nodiscard]] std::pair<const K &, V &> entry_of(ListNode *link) {
        if (link == nullptr) {
            detail::throw_missing("Cobble::OpenMap: the map is empty");
        }
        Node *n = node_cast<Node>(link);
        return {n->key, n->value};
    }

    void erase_at(std::size_t i) noexcept {
        Node *n = buckets_[i].node;
        buckets_[i] = Bucket{State::TOMBSTONE, nullptr};
        ++tombstones_;
        order_.unlink(n);
        pool_.release(n);
        --count_;
    }

    // Undoes the placement of the newest entry in bucket i. Only an entry put
    // in an EMPTY bucket adds load, so only such an entry can trigger growth.
    void withdraw(std::size_t i) noexcept {
        Node *n = buckets_[i].node;
        order_.unlink(n);
        pool_.release(n);
        --count_;
        buckets_[i] = Bucket{};
    }

    void maybe_grow() {
        if (Hashlib::should_grow(count_, tombstones_, num_buckets_)) {
            rehash(num_buckets_ * 2);
        }
    }

    // Re-places every live node, oldest first, from its stored hash. Either
    // completes or throws std::bad_alloc leaving the map untouched.
    void rehash(std::size_t new_count) {
        auto fresh = std::make_unique<Bucket[]>(new_count);
        const std::size_t new_mask = Hashlib::mask_for(new_count);
        for (ListNode *link : order_) {
            Node *n = node_cast<Node>(link);
            std::size_t i = n->hash & new_mask;
            while (fresh[i].state == State::OCCUPIED) {
                i = Hashlib::probe_next(i, new_mask);
            }
            fresh[i] = Bucket{State::OCCUPIED, n};
        }
        buckets_ = std::move(fresh);
        num_buckets_ = new_count;
        mask_ = new_mask;
        tombstones_ = 0;
    }

    // Walks the whole map; compiled only with COBBLE_DEBUG_INVARIANTS.
    void debug_check() const noexcept {
#if defined(COBBLE_DEBUG_INVARIANTS)
        std::size_t occupied = 0;
        std::size_t tombstones = 0;
        for (std::size_t i = 0; i < num_buckets_; ++i) {
            const Bucket &b = buckets_[i];
            if (b.state != State::OCCUPIED) {
                COBBLE_INVARIANT(b.node == nullptr);
                tombstones += b.state == State::TOMBSTONE ? 1 : 0;
                continue;
            }
            ++occupied;
            COBBLE_INVARIANT(b.node != nullptr && pool_.owns(b.node));
            for (std::size_t j = b.node->hash & mask_; j != i; j = Hashlib::probe_next(j, mask_)) {
                COBBLE_INVARIANT(buckets_[j].state != State::EMPTY);
            }
        }
        COBBLE_INVARIANT(occupied == count_);
        COBBLE_INVARIANT(tombstones == tombstones_);
        COBBLE_INVARIANT(order_.size() == count_);
        COBBLE_INVARIANT(pool_.in_use() == count_);
        COBBLE_INVARIANT(count_ <= pool_.capacity());
        COBBLE_INVARIANT(!Hashlib::should_grow(count_, tombstones_, num_buckets_));
        std::size_t linked = 0;
        const ListNode *prev = nullptr;
        for (const ListNode *link : order_) {
            COBBLE_INVARIANT(link->prev == prev);
            COBBLE_INVARIANT(holds_node(node_cast<Node>(link)));
            prev = link;
            ++linked;
        }
        COBBLE_INVARIANT(prev == order_.tail());
        COBBLE_INVARIANT(linked == count_);
#endif
    }

#if defined(COBBLE_DEBUG_INVARIANTS)
    [[nodiscard]] bool holds_node(const Node *n) const noexcept {
        std::size_t i = n->hash & mask_;
        for (std::size_t probes = 0; probes < num_buckets_; ++probes) {
            if (buckets_[i].node == n) {
                return buckets_[i].state == State::OCCUPIED;
            }
            i = Hashlib::probe_next(i, mask_);
        }
        return false;
    }
#endif

    std::unique_ptr<Bucket[]> buckets_;
    std::size_t num_buckets_ = 0;
    std::size_t mask_ = 0;
    NodePool<Node> pool_;
    std::size_t count_ = 0;
    std::size_t tombstones_ = 0;
    IntrusiveList order_;
    [[no_unique_address]] Hash hasher_;
    [[no_unique_address]] KeyEqual eq_;
};

}  // namespace Cobble::Core
