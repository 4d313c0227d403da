// The reference model OpenMap is checked against: a std::unordered_map for the
// entries plus a list that keeps their insertion order, with the same
// capacity rule (a full map refuses new keys and evicts nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <unordered_map>
#include <utility>

namespace cobble_test {

class Model {
public:
    explicit Model(std::size_t capacity) : capacity_(capacity) {}

    bool insert(std::uint64_t key, std::uint64_t value) {
        if (auto it = values_.find(key); it != values_.end()) {
            it->second.first = value;
            return false;
        }
        if (values_.size() == capacity_) {
            return false;
        }
        order_.push_back(key);
        values_.emplace(key, std::make_pair(value, std::prev(order_.end())));
        return true;
    }

    bool remove(std::uint64_t key) {
        auto it = values_.find(key);
        if (it == values_.end()) {
            return false;
        }
        order_.erase(it->second.second);
        values_.erase(it);
        return true;
    }

    const std::uint64_t *get(std::uint64_t key) const {
        auto it = values_.find(key);
        return it == values_.end() ? nullptr : &it->second.first;
    }

    void touch(std::uint64_t key) {
        if (auto it = values_.find(key); it != values_.end()) {
            order_.splice(order_.end(), order_, it->second.second);
        }
    }

    bool evict_oldest() { return !order_.empty() && remove(order_.front()); }

    void clear() {
        values_.clear();
        order_.clear();
    }

    std::size_t size() const { return values_.size(); }
    const std::list<std::uint64_t> &order() const { return order_; }

private:
    std::size_t capacity_;
    std::list<std::uint64_t> order_;
    std::unordered_map<std::uint64_t, std::pair<std::uint64_t, std::list<std::uint64_t>::iterator>> values_;
};

}  // namespace cobble_test
