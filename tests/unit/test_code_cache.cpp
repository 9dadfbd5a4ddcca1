#include "module/code_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

TEST(SortedCache, FindsWhatWasInsertedInAnyOrder) {
    qv::SortedCache<long> cache;
    std::vector<int> keys;
    for (int k = -150; k <= 150; k += 3) keys.push_back(k);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    for (int k : keys) EXPECT_EQ(cache.insert(k, k * 10L), 0L);
    for (int k : keys) EXPECT_EQ(cache.find(k), k * 10L);
    EXPECT_EQ(cache.find(1), 0L);  // between two keys
    EXPECT_EQ(cache.find(-1000), 0L);
    EXPECT_EQ(cache.find(1000), 0L);
    for (int i = 1; i < cache.size(); ++i) EXPECT_LT(cache.key_at(i - 1), cache.key_at(i));
}

TEST(SortedCache, GrowsInChunksOf64) {
    qv::SortedCache<long> cache;
    EXPECT_EQ(cache.capacity(), 0);
    cache.insert(5, 1);
    EXPECT_EQ(cache.capacity(), 64);
    for (int k = 0; k < 64; ++k) cache.insert(100 + k, 1);
    EXPECT_EQ(cache.size(), 65);
    EXPECT_EQ(cache.capacity(), 128);
}

TEST(SortedCache, ReplacingAKeyHandsBackTheOldValue) {
    qv::SortedCache<long> cache;
    cache.insert(3, 30);
    EXPECT_EQ(cache.insert(3, 31), 30);
    EXPECT_EQ(cache.find(3), 31);
    EXPECT_EQ(cache.size(), 1);
}

}  // namespace
