// The distance transform: exact squared distances to the nearest seed, checked by hand on small
// frames and against a direct search over every seed on a larger one.
#include "finish/nearest_seed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
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

// The search around the seeds against a direct search over every seed: the nearest within the
// limit, as near ones broken by the lowest column, then the lowest row (what the transform picks);
// pixels with no seed that near are not listed. Scattered seeds and a ring of ties, limits on and between
// whole squares, frames narrower than the window.
TEST(NearbySeeds, PickTheTransformsSeedForEveryPixelWithinTheLimit)
{
    struct Case {
        std::int32_t Width, Height;
        double Density, Limit;
        unsigned Seed;
    };
    const Case cases[] = {
        {61, 43, 0.005, 24.1, 1}, {61, 43, 0.01, 9.0, 2},  {60, 60, 0.005, 25.0, 3}, {3, 300, 0.008, 16.0, 4},
        {100, 2, 0.05, 2.0, 5},   {80, 80, 0.02, 6.83, 9},    {80, 80, 0.01, 11.66, 10},  {100, 100, 0.1, 2.0, 11},
        {100, 100, 0.035, 6.83, 12}, {100, 100, 0.2, 0.5, 13}, {33, 31, 0.02, 0.0, 6},   {33, 31, 0.02, 0.5, 7},
        {30, 30, 0.0, 24.1, 8},
    };
    for (const Case& c : cases) {
        std::mt19937 random(c.Seed);
        std::bernoulli_distribution flag(c.Density);
        std::vector<unsigned char> seeds(static_cast<std::size_t>(c.Width * c.Height));
        for (auto& s : seeds)
            s = flag(random) ? 1 : 0;
        // A cluster of ties: a ring of seeds around one centre, everything on it as near.
        if (c.Width > 10 && c.Height > 10)
            for (const auto& [dx, dy] : {std::pair{-3, 0}, {3, 0}, {0, -3}, {0, 3}, {-2, -2}, {2, 2}, {2, -2}, {-2, 2}})
                seeds[static_cast<std::size_t>((c.Height / 2 + dy) * c.Width + c.Width / 2 + dx)] = 1;

        NearbySeedScratch scratch;
        std::vector<PixelSeed> found;
        ASSERT_TRUE(FindSeedsNearby(seeds, c.Width, c.Height, c.Limit, scratch, found)) << c.Seed;
        std::map<std::int64_t, std::int64_t> listed;
        for (const PixelSeed& p : found) {
            const std::int64_t pixel = static_cast<std::int64_t>(p.Y) * c.Width + p.X;
            ASSERT_TRUE(listed.emplace(pixel, static_cast<std::int64_t>(p.SeedY) * c.Width + p.SeedX).second)
                << "(" << p.X << ", " << p.Y << ") listed twice";
        }

        const NearestSeeds transform = FindNearestSeeds(seeds, c.Width, c.Height, c.Limit);
        for (std::int32_t y = 0; y < c.Height; ++y)
            for (std::int32_t x = 0; x < c.Width; ++x) {
                std::int64_t expected = -1;
                std::int32_t best = 0, bestX = 0, bestY = 0;
                for (std::int32_t sy = 0; sy < c.Height; ++sy)
                    for (std::int32_t sx = 0; sx < c.Width; ++sx) {
                        if (seeds[static_cast<std::size_t>(sy * c.Width + sx)] == 0)
                            continue;
                        const std::int32_t d2 = (x - sx) * (x - sx) + (y - sy) * (y - sy);
                        if (static_cast<double>(d2) > c.Limit)
                            continue;
                        if (expected < 0 || d2 < best || (d2 == best && (sx < bestX || (sx == bestX && sy < bestY)))) {
                            expected = static_cast<std::int64_t>(sy) * c.Width + sx;
                            best = d2;
                            bestX = sx;
                            bestY = sy;
                        }
                    }
                const std::int64_t pixel = static_cast<std::int64_t>(y) * c.Width + x;
                const auto it = listed.find(pixel);
                const std::int64_t got = it == listed.end() ? -1 : it->second;
                ASSERT_EQ(got, expected) << "case " << c.Seed << " at (" << x << ", " << y << ")";
                ASSERT_EQ(transform.Seed[static_cast<std::size_t>(pixel)], expected)
                    << "case " << c.Seed << " at (" << x << ", " << y << ")";
            }
    }
}

TEST(NearbySeeds, LeaveNoLimitAndSeedsThatCoverTheFrameToTheTransform)
{
    std::vector<unsigned char> seeds(20 * 20, 0);
    seeds[42] = 1;
    NearbySeedScratch scratch;
    std::vector<PixelSeed> found;
    EXPECT_FALSE(FindSeedsNearby(seeds, 20, 20, std::numeric_limits<double>::infinity(), scratch, found));
    EXPECT_FALSE(FindSeedsNearby(seeds, 20, 20, std::nan(""), scratch, found));
    // Every pixel a seed: 400 windows of 81 pixels each are far more than the frame's 400.
    EXPECT_FALSE(FindSeedsNearby(std::vector<unsigned char>(400, 1), 20, 20, 16.0, scratch, found));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(FindSeedsNearby({}, 0, 3, 4.0, scratch, found));
    EXPECT_TRUE(found.empty());
    EXPECT_THROW(FindSeedsNearby(std::vector<unsigned char>(5, 0), 2, 3, 4.0, scratch, found), std::invalid_argument);
}

}  // namespace
}  // namespace qualvex::finish
