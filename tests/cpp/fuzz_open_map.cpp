// libFuzzer target: OpenMap and the reference model (std::unordered_map plus
// insertion order) run the same stream of operations decoded from the input,
// and every answer, the size and the order must agree. The first byte picks
// the hasher (colliding ones make long probe runs), the second the capacity;
// then each operation is an opcode byte and a key. Built with
// COBBLE_DEBUG_INVARIANTS, so the map checks its own invariants after every
// mutation; any disagreement aborts, which libFuzzer reports as a crash.
#include "map_model.hpp"
#include "test_support.hpp"

#include <cobble/collections/core/open_map.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <utility>

namespace {

using cobble_test::Model;

[[noreturn]] void disagree(const char *what, int line) {
    std::fprintf(stderr, "fuzz_open_map.cpp:%d: OpenMap disagrees with the model: %s\n", line, what);
    std::abort();
}

#define AGREE(cond) ((cond) ? static_cast<void>(0) : disagree(#cond, __LINE__))

// The input a byte at a time; zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    [[nodiscard]] bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t word() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

template <typename Map>
void agree_on_order(Map &map, const Model &model) {
    auto it = map.begin();
    for (std::uint64_t key : model.order()) {
        AGREE(it != map.end());
        AGREE((*it).first == key);
        AGREE((*it).second == *model.get(key));
        ++it;
    }
    AGREE(it == map.end());
    if (model.size() == 0) {
        bool threw = false;
        try {
            (void)map.oldest();
        } catch (const std::out_of_range &) {
            threw = true;
        }
        AGREE(threw);
    } else {
        AGREE(map.oldest().first == model.order().front());
        AGREE(map.newest().first == model.order().back());
    }
}

template <typename Map>
void agree_on_lookup(Map &map, const Model &model, std::uint64_t key) {
    const std::uint64_t *expected = model.get(key);
    const std::uint64_t *found = map.get(key);
    const std::uint64_t *found_const = static_cast<const Map &>(map).get(key);
    AGREE((found == nullptr) == (expected == nullptr));
    AGREE(found == found_const);
    AGREE(map.contains(key) == (expected != nullptr));
    if (found != nullptr) {
        AGREE(*found == *expected);
        AGREE(&map.at(key) == found);
        return;
    }
    bool threw = false;
    try {
        (void)map.at(key);
    } catch (const std::out_of_range &) {
        threw = true;
    }
    AGREE(threw);
}

template <typename Hasher>
void run(Input &in, std::size_t capacity) {
    using Map = Cobble::Core::OpenMap<std::uint64_t, std::uint64_t, Hasher>;
    Map map(capacity);
    Model model(capacity);
    const std::size_t initial_buckets = map.bucket_count();
    while (!in.done()) {
        const std::uint8_t op = in.byte();
        // Mostly one-byte keys, so that keys repeat; now and then a wide one.
        const std::uint64_t key = op & 0x80 ? in.word() : in.byte();
        switch (op & 0x0f) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            AGREE(map.insert(key, op) == model.insert(key, op));
            break;
        case 5:
        case 6:
            AGREE(map.remove(key) == model.remove(key));
            break;
        case 7:
        case 8:
            agree_on_lookup(map, model, key);
            break;
        case 9:
            map.touch(key);
            model.touch(key);
            break;
        case 10:
            AGREE(map.evict_oldest() == model.evict_oldest());
            break;
        case 11:
            agree_on_order(map, model);
            break;
        case 12:
            map.maybe_compact();
            break;
        case 13: {
            Map moved(std::move(map));
            map = std::move(moved);
            break;
        }
        case 14:
            // Rare, so that most runs build up state.
            if ((key & 0x0f) == 0) {
                map.clear();
                model.clear();
            }
            break;
        default:
            AGREE(map.find_empty_bucket(key) != Cobble::Hashlib::EMPTY_SLOT);
            break;
        }
        AGREE(map.size() == model.size());
        AGREE(map.empty() == (model.size() == 0));
        AGREE(map.full() == (model.size() == capacity));
        // Compaction keeps a map with removals from doubling more than once.
        AGREE(map.bucket_count() <= 2 * initial_buckets);
    }
    agree_on_order(map, model);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t hasher = in.byte();
    // 1 to 80 nodes: small pools fill and refuse, 64 is the attrs cache.
    const std::size_t capacity = 1 + in.byte() % 80;
    switch (hasher % 5) {
    case 0:
        run<cobble_test::IdentityHasher>(in, capacity);
        break;
    case 1:
        run<cobble_test::HomeHasher>(in, capacity);
        break;
    case 2:
        run<cobble_test::ConstantHasher>(in, capacity);
        break;
    case 3:
        run<cobble_test::FewHashesHasher>(in, capacity);
        break;
    default:
        run<std::hash<std::uint64_t>>(in, capacity);
        break;
    }
    return 0;
}
