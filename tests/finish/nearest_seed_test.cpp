// The distance transform: exact squared distances to the nearest seed, checked by hand on small
// frames and against a direct search over every seed on a larger one.
#include "finish/nearest_seed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace qualvex::finish {
namespace {

TEST(NearestSeed, OneSeedGivesSquaredDistancesAndItsIndexEverywhere)
{
    // 4 x 3, the seed at (1, 1), index 5.
    std::vector<unsigned char> seeds(12, 0);
    seeds[5] = 1;
    const NearestSeeds result = FindNearestSeeds(seeds, 4, 3);
    const std::vector<double> expected = {2, 1, 2, 5,  //
                                          1, 0, 1, 4,  //
                                          2, 1, 2, 5};
    EXPECT_EQ(result.SquaredDistance, expected);
    EXPECT_EQ(result.Seed, std::vector<std::int64_t>(12, 5));
}

TEST(NearestSeed, TwoSeedsSplitTheFrame)
{
    // One row of 7: seeds at 0 and 6; ties (at 3) go to the lower column.
    const std::vector<unsigned char> seeds = {1, 0, 0, 0, 0, 0, 1};
    const NearestSeeds result = FindNearestSeeds(seeds, 7, 1);
    EXPECT_EQ(result.SquaredDistance, (std::vector<double>{0, 1, 4, 9, 4, 1, 0}));
    EXPECT_EQ(result.Seed, (std::vector<std::int64_t>{0, 0, 0, 0, 6, 6, 6}));
}

TEST(NearestSeed, TiesWithinAColumnGoToTheSeedAbove)
{
    // One column of 5: seeds at rows 0 and 4; row 2 is as near to both.
    const std::vector<unsigned char> seeds = {1, 0, 0, 0, 1};
    const NearestSeeds result = FindNearestSeeds(seeds, 1, 5);
    EXPECT_EQ(result.SquaredDistance, (std::vector<double>{0, 1, 4, 1, 0}));
    EXPECT_EQ(result.Seed, (std::vector<std::int64_t>{0, 0, 0, 4, 4}));
}

TEST(NearestSeed, NoSeedGivesInfinityAndNoIndex)
{
    const NearestSeeds result = FindNearestSeeds(std::vector<unsigned char>(6, 0), 3, 2);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(result.SquaredDistance[i], std::numeric_limits<double>::infinity());
        EXPECT_EQ(result.Seed[i], -1);
    }
}

TEST(NearestSeed, EmptyFrameAndMismatchedFlags)
{
    EXPECT_TRUE(FindNearestSeeds({}, 0, 5).Seed.empty());
    EXPECT_THROW(FindNearestSeeds(std::vector<unsigned char>(5, 0), 2, 3), std::invalid_argument);
}

TEST(NearestSeed, MatchesADirectSearchOnScatteredSeeds)
{
    const std::int32_t w = 37, h = 23;
    std::mt19937 random(11);
    std::bernoulli_distribution seed(0.03);
    std::vector<unsigned char> seeds(static_cast<std::size_t>(w * h));
    for (auto& s : seeds)
        s = seed(random) ? 1 : 0;
    const NearestSeeds result = FindNearestSeeds(seeds, w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            double best = std::numeric_limits<double>::infinity();
            for (std::int32_t sy = 0; sy < h; ++sy)
                for (std::int32_t sx = 0; sx < w; ++sx)
                    if (seeds[static_cast<std::size_t>(sy * w + sx)] != 0)
                        best = std::min(best, static_cast<double>((x - sx) * (x - sx) + (y - sy) * (y - sy)));
            const std::size_t i = static_cast<std::size_t>(y * w + x);
            ASSERT_EQ(result.SquaredDistance[i], best) << "(" << x << ", " << y << ")";
            // The index names a seed at that distance.
            const std::int64_t s = result.Seed[i];
            ASSERT_GE(s, 0);
            ASSERT_NE(seeds[static_cast<std::size_t>(s)], 0);
            const auto sx = static_cast<std::int32_t>(s % w);
            const auto sy = static_cast<std::int32_t>(s / w);
            EXPECT_EQ(static_cast<double>((x - sx) * (x - sx) + (y - sy) * (y - sy)), best);
        }
}

}  // namespace
}  // namespace qualvex::finish
