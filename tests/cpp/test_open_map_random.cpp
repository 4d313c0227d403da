// OpenMap against a reference model (std::unordered_map plus a list in
// insertion order) over long random runs of every operation. The test build
// also checks the map's internal invariants after each mutation.
#include "map_model.hpp"
#include "test_support.hpp"

#include <cobble/collections/core/open_map.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <vector>

namespace {

using cobble_test::Model;

enum class HasherKind { Identity, Home, Constant, FewHashes, Std };

struct Scenario {
    const char *name;
    HasherKind hasher;
    std::size_t capacity;
    std::uint64_t key_range;
    int steps;
    bool must_grow;  // the run is expected to reach the growth threshold
};

void PrintTo(const Scenario &s, std::ostream *os) {
    *os << s.name;
}

struct RunStats {
    std::size_t initial_buckets = 0;
    std::size_t max_buckets = 0;
    std::size_t refused = 0;
};

// ASSERT_* needs a void function, hence the out parameter.
template <typename Hasher>
void run(const Scenario &s, std::uint32_t seed, RunStats &stats) {
    Cobble::Core::OpenMap<std::uint64_t, std::uint64_t, Hasher> map(s.capacity);
    Model model(s.capacity);
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<std::uint64_t> any_key(0, s.key_range - 1);
    std::uniform_int_distribution<int> dice(0, 999);
    stats.initial_buckets = stats.max_buckets = map.bucket_count();

    for (int step = 0; step < s.steps; ++step) {
        // Alternate filling and draining phases so that tombstones pile up.
        const bool filling = (step / 300) % 2 == 0;
        const int roll = dice(rng);
        const std::uint64_t key = any_key(rng);
        const std::uint64_t value = rng();
        if (roll < (filling ? 550 : 250)) {
            const bool created = map.insert(key, value);
            if (!created && model.get(key) == nullptr) {
                ++stats.refused;
            }
            ASSERT_EQ(created, model.insert(key, value)) << "insert " << key << " at step " << step;
        } else if (roll < 800) {
            ASSERT_EQ(map.remove(key), model.remove(key)) << "remove " << key << " at step " << step;
        } else if (roll < 920) {
            const std::uint64_t *expected = model.get(key);
            const std::uint64_t *found = map.get(key);
            ASSERT_EQ(found == nullptr, expected == nullptr) << "get " << key << " at step " << step;
            // get() has its own probe loop; contains() shares the one of remove() and touch().
            ASSERT_EQ(found != nullptr, map.contains(key)) << "contains " << key << " at step " << step;
            if (found != nullptr) {
                ASSERT_EQ(*found, *expected);
            }
        } else if (roll < 960) {
            map.touch(key);
            model.touch(key);
        } else if (roll < 998) {
            ASSERT_EQ(map.evict_oldest(), model.evict_oldest()) << "at step " << step;
        } else {
            map.clear();
            model.clear();
        }
        ASSERT_EQ(map.size(), model.size()) << "at step " << step;
        stats.max_buckets = std::max(stats.max_buckets, map.bucket_count());

        if (step % 50 == 0 || step == s.steps - 1) {
            auto it = map.begin();
            for (std::uint64_t expected : model.order()) {
                ASSERT_NE(it, map.end()) << "order too short at step " << step;
                ASSERT_EQ((*it).first, expected) << "order at step " << step;
                ASSERT_EQ((*it).second, *model.get(expected));
                ++it;
            }
            ASSERT_EQ(it, map.end()) << "order too long at step " << step;
            if (!model.order().empty()) {
                ASSERT_EQ(map.oldest().first, model.order().front());
                ASSERT_EQ(map.newest().first, model.order().back());
            }
        }
    }
}

class OpenMapRandom : public ::testing::TestWithParam<Scenario> {};

TEST_P(OpenMapRandom, AgreesWithTheModel) {
    const Scenario &s = GetParam();
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        RunStats stats;
        switch (s.hasher) {
        case HasherKind::Identity:
            run<cobble_test::IdentityHasher>(s, seed, stats);
            break;
        case HasherKind::Home:
            run<cobble_test::HomeHasher>(s, seed, stats);
            break;
        case HasherKind::Constant:
            run<cobble_test::ConstantHasher>(s, seed, stats);
            break;
        case HasherKind::FewHashes:
            run<cobble_test::FewHashesHasher>(s, seed, stats);
            break;
        case HasherKind::Std:
            run<std::hash<std::uint64_t>>(s, seed, stats);
            break;
        }
        if (HasFatalFailure()) {
            return;
        }
        // Removals compact the table, so it grows at most once.
        EXPECT_LE(stats.max_buckets, 2 * stats.initial_buckets) << "seed " << seed;
        EXPECT_GT(stats.refused, 0u) << "seed " << seed << " never filled the pool";
        if (s.must_grow) {
            EXPECT_GT(stats.max_buckets, stats.initial_buckets) << "seed " << seed << " never grew";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios,
                         OpenMapRandom,
                         ::testing::Values(Scenario{"capacity1_identity", HasherKind::Identity, 1, 4, 4000, false},
                                           Scenario{"capacity2_constant", HasherKind::Constant, 2, 6, 4000, false},
                                           Scenario{"capacity3_fewhashes", HasherKind::FewHashes, 3, 12, 4000, false},
                                           Scenario{"capacity8_home_wrapping", HasherKind::Home, 8, 40, 8000, true},
                                           Scenario{"capacity11_identity", HasherKind::Identity, 11, 200, 8000, true},
                                           Scenario{"capacity16_constant", HasherKind::Constant, 16, 40, 8000, false},
                                           Scenario{"capacity16_fewhashes", HasherKind::FewHashes, 16, 60, 8000, false},
                                           Scenario{"capacity64_identity", HasherKind::Identity, 64, 5000, 20000, true},
                                           Scenario{"capacity64_constant", HasherKind::Constant, 64, 150, 10000, false},
                                           Scenario{"capacity100_std", HasherKind::Std, 100, 400, 20000, false}),
                         [](const ::testing::TestParamInfo<Scenario> &info) { return std::string(info.param.name); });

}  // namespace
