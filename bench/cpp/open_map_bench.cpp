// OpenMap against std::unordered_map and absl::flat_hash_map on the attrs
// cache's key and hasher: hit and miss lookups in a full cache, filling an
// empty map of the cache's capacity, and clearing a full one.
//
// All three maps get ShapeCheckHasher (OpenMap mixes its result once more, as
// it always does) and the same keys: addresses of live heap blocks, as the
// cache sees types and shape tuples. Each benchmark reports the time of one
// iteration and, in the counter "ops", how many operations that iteration did.

#include "quillet/utils/attrs.hpp"

#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

namespace {

using quillet::attrs::CACHE_CAPACITY;
using quillet::attrs::ShapeCheckHasher;
using quillet::attrs::ShapeCheckKey;

// Maps filled or cleared per timed region, so that the clock is read rarely.
constexpr std::size_t BATCH = 32;

// Refilling the maps between clears costs far more than the clears, so a
// minimum of timed clearing could take minutes; a fixed count keeps it short.
constexpr benchmark::IterationCount CLEAR_ITERATIONS = 2000;

// A type has a few shapes checked against it, as callers probe a handful of
// protocols per class.
constexpr std::size_t SHAPES_PER_TYPE = 4;

struct Keys {
    std::vector<ShapeCheckKey> stored;   // what a full cache holds
    std::vector<ShapeCheckKey> lookups;  // the stored keys in another order
    std::vector<ShapeCheckKey> misses;   // absent, from the same kind of addresses
};

// Keeps the blocks alive for the whole run so that no address is reused.
class AddressSource {
public:
    ShapeCheckKey next(std::size_t index) {
        if (index % SHAPES_PER_TYPE == 0) {
            type_ = reinterpret_cast<PyTypeObject *>(block(sizeof(PyTypeObject)));
        }
        return {type_, reinterpret_cast<PyObject *>(block(64))};
    }

private:
    std::byte *block(std::size_t size) {
        blocks_.push_back(std::make_unique<std::byte[]>(size));
        return blocks_.back().get();
    }

    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    PyTypeObject *type_ = nullptr;
};

const Keys &keys() {
    static const Keys built = [] {
        static AddressSource addresses;
        Keys k;
        for (std::size_t i = 0; i < 2 * CACHE_CAPACITY; ++i) {
            (i % 2 == 0 ? k.stored : k.misses).push_back(addresses.next(i));
        }
        k.lookups = k.stored;
        std::shuffle(k.lookups.begin(), k.lookups.end(), std::mt19937(20240601));
        return k;
    }();
    return built;
}

struct OpenMapSide {
    using Map = Cobble::Core::OpenMap<ShapeCheckKey, bool, ShapeCheckHasher>;
    static Map make() { return Map(CACHE_CAPACITY); }
    static const bool *find(const Map &map, const ShapeCheckKey &key) { return map.get(key); }
    static void insert(Map &map, const ShapeCheckKey &key) { map.insert(key, true); }
};

// std::unordered_map and absl::flat_hash_map share one interface.
template <typename MapType>
struct StandardInterfaceSide {
    using Map = MapType;
    static Map make() {
        Map map;
        map.reserve(CACHE_CAPACITY);
        return map;
    }
    static const bool *find(const Map &map, const ShapeCheckKey &key) {
        auto it = map.find(key);
        return it == map.end() ? nullptr : &it->second;
    }
    static void insert(Map &map, const ShapeCheckKey &key) { map.insert_or_assign(key, true); }
};

using UnorderedMapSide = StandardInterfaceSide<std::unordered_map<ShapeCheckKey, bool, ShapeCheckHasher>>;
using FlatHashMapSide = StandardInterfaceSide<absl::flat_hash_map<ShapeCheckKey, bool, ShapeCheckHasher>>;

template <typename Side>
typename Side::Map full_map() {
    auto map = Side::make();
    for (const ShapeCheckKey &key : keys().stored) {
        Side::insert(map, key);
    }
    return map;
}

template <typename Side>
void lookup(benchmark::State &state, const std::vector<ShapeCheckKey> &probes) {
    const auto map = full_map<Side>();
    for (auto _ : state) {
        for (const ShapeCheckKey &key : probes) {
            benchmark::DoNotOptimize(Side::find(map, key));
        }
    }
    state.counters["ops"] = static_cast<double>(probes.size());
}

template <typename Side>
void hit_lookup(benchmark::State &state) {
    lookup<Side>(state, keys().lookups);
}

template <typename Side>
void miss_lookup(benchmark::State &state) {
    lookup<Side>(state, keys().misses);
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Only the inserts are timed: the empty maps, capacity reserved, are built
// before the clock starts and destroyed after it stops.
template <typename Side>
void insert_into_empty(benchmark::State &state) {
    const std::vector<ShapeCheckKey> &stored = keys().stored;
    for (auto _ : state) {
        std::vector<typename Side::Map> maps;
        maps.reserve(BATCH);
        for (std::size_t i = 0; i < BATCH; ++i) {
            maps.push_back(Side::make());
        }
        const Clock::time_point start = Clock::now();
        for (auto &map : maps) {
            for (const ShapeCheckKey &key : stored) {
                Side::insert(map, key);
            }
        }
        benchmark::ClobberMemory();
        state.SetIterationTime(seconds_since(start));
    }
    state.counters["ops"] = static_cast<double>(BATCH * stored.size());
}

// Only clear() is timed; the maps are filled before the clock starts.
template <typename Side>
void clear(benchmark::State &state) {
    for (auto _ : state) {
        std::vector<typename Side::Map> maps;
        maps.reserve(BATCH);
        for (std::size_t i = 0; i < BATCH; ++i) {
            maps.push_back(full_map<Side>());
        }
        const Clock::time_point start = Clock::now();
        for (auto &map : maps) {
            map.clear();
        }
        benchmark::ClobberMemory();
        state.SetIterationTime(seconds_since(start));
    }
    state.counters["ops"] = static_cast<double>(BATCH);
}

template <typename Side>
void register_side(const char *side) {
    const std::string suffix = std::string("/") + side;
    benchmark::RegisterBenchmark(("hit lookup" + suffix).c_str(), hit_lookup<Side>);
    benchmark::RegisterBenchmark(("miss lookup" + suffix).c_str(), miss_lookup<Side>);
    benchmark::RegisterBenchmark(("insert into empty" + suffix).c_str(), insert_into_empty<Side>)->UseManualTime();
    benchmark::RegisterBenchmark(("clear" + suffix).c_str(), clear<Side>)
        ->UseManualTime()
        ->Iterations(CLEAR_ITERATIONS);
}

}  // namespace

int main(int argc, char **argv) {
    register_side<OpenMapSide>("OpenMap");
    register_side<UnorderedMapSide>("std::unordered_map");
    register_side<FlatHashMapSide>("absl::flat_hash_map");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
