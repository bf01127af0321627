// Signed distances to the 0.5 contour, on mattes whose contour is known by construction.
#include "finish/edge_distance.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qualvex::finish {
namespace {

using qualvex::testing::FloatsEqual;

AlphaPlane Rows(std::int32_t height, std::initializer_list<float> row)
{
    AlphaPlane matte(static_cast<std::int32_t>(row.size()), height);
    for (std::int32_t y = 0; y < height; ++y) {
        std::int32_t x = 0;
        for (float a : row)
            matte.At(x++, y) = a;
    }
    return matte;
}

TEST(EdgeDistance, StraightSoftEdgeCrossesWhereTheInterpolatedAlphaIsHalf)
{
    // 0.75 at x = 2 and 0.25 at x = 3: the contour is at x = 2.5 on every row.
    const AlphaPlane matte = Rows(4, {1.0f, 1.0f, 0.75f, 0.25f, 0.0f, 0.0f});
    const std::vector<float> d = SignedEdgeDistance(matte);
    for (std::int32_t y = 0; y < 4; ++y)
        EXPECT_TRUE(FloatsEqual(std::span<const float>(d.data() + 6 * y, 6),
                                std::span<const float>(std::vector<float>{2.5f, 1.5f, 0.5f, -0.5f, -1.5f, -2.5f})))
            << "row " << y;
}

TEST(EdgeDistance, UnevenSoftEdge)
{
    // 0.875 then 0.375: the contour lies (0.875 - 0.5) / 0.5 = 0.75 of the way, at x = 1.75.
    const AlphaPlane matte = Rows(2, {1.0f, 0.875f, 0.375f, 0.0f});
    const std::vector<float> d = SignedEdgeDistance(matte);
    EXPECT_TRUE(FloatsEqual(std::span<const float>(d.data(), 4),
                            std::span<const float>(std::vector<float>{1.75f, 0.75f, -0.25f, -1.25f})));
}

TEST(EdgeDistance, OnePixelIsADiamond)
{
    // One opaque pixel at (2, 2): the contour joins (1.5, 2), (2, 1.5), (2.5, 2) and (2, 2.5).
    AlphaPlane matte(5, 5);
    matte.At(2, 2) = 1.0f;
    const std::vector<float> d = SignedEdgeDistance(matte);
    EXPECT_NEAR(d[matte.Index(2, 2)], std::sqrt(2.0) / 4.0, 1e-7);  // to the diamond's sides
    EXPECT_TRUE(FloatsEqual({d[matte.Index(0, 2)], d[matte.Index(4, 2)], d[matte.Index(2, 0)], d[matte.Index(2, 4)]},
                            {-1.5f, -1.5f, -1.5f, -1.5f}));
    // (1, 1) to the side from (1.5, 2) to (2, 1.5): the line x + y = 3.5, sqrt(2) x 1.5 / 2 away.
    EXPECT_NEAR(d[matte.Index(1, 1)], -1.5 / std::sqrt(2.0), 1e-6);
}

TEST(EdgeDistance, SaddleIsSplitByTheMeanAlpha)
{
    // Diagonal corners agree and the mean is 0.5, so the middle is inside: the outside corners
    // (1, 0) and (0, 1) are cut off by segments between the edges' midpoints.
    AlphaPlane matte(2, 2);
    matte.At(0, 0) = 1.0f;
    matte.At(1, 1) = 1.0f;
    const std::vector<float> d = SignedEdgeDistance(matte);
    // Inside corners: nearest points are the segments' ends, half a pixel away.
    EXPECT_TRUE(FloatsEqual({d[matte.Index(0, 0)], d[matte.Index(1, 1)]}, {0.5f, 0.5f}));
    // Outside corners: the segment from (0.5, 0) to (1, 0.5) is sqrt(2) / 4 from (1, 0).
    EXPECT_NEAR(d[matte.Index(1, 0)], -std::sqrt(2.0) / 4.0, 1e-7);
    EXPECT_NEAR(d[matte.Index(0, 1)], -std::sqrt(2.0) / 4.0, 1e-7);
}

TEST(EdgeDistance, NoEdgeIsInfinitelyFar)
{
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(SignedEdgeDistance(AlphaPlane(3, 2, 0.75f)), std::vector<float>(6, inf));
    EXPECT_EQ(SignedEdgeDistance(AlphaPlane(3, 2, 0.25f)), std::vector<float>(6, -inf));
    EXPECT_TRUE(SignedEdgeDistance(AlphaPlane(0, 4)).empty());
}

TEST(EdgeDistance, FarPixelsMeasureToTheNearestPartOfTheEdge)
{
    // A hard vertical edge at x = 9.5 (columns 0..9 opaque) on a tall frame: every pixel's
    // distance is its horizontal distance to it.
    AlphaPlane matte(16, 12);
    for (std::int32_t y = 0; y < 12; ++y)
        for (std::int32_t x = 0; x < 10; ++x)
            matte.At(x, y) = 1.0f;
    const std::vector<float> d = SignedEdgeDistance(matte);
    for (std::int32_t y = 0; y < 12; ++y)
        for (std::int32_t x = 0; x < 16; ++x)
            EXPECT_EQ(d[matte.Index(x, y)], 9.5f - static_cast<float>(x)) << "(" << x << ", " << y << ")";
}

TEST(EdgeDistance, DistancesCertainlyBeyondTheReachAreInfinite)
{
    // The hard edge at x = 9.5; seeds in columns 9 and 10. With reach 2, a pixel whose seed is
    // more than 2 + sqrt(2) away (x <= 5 inside, x >= 14 outside) is certainly beyond it; the
    // others keep their exact distance, 3.5 at x = 6 and x = 13 included.
    AlphaPlane matte(16, 3);
    for (std::int32_t y = 0; y < 3; ++y)
        for (std::int32_t x = 0; x < 10; ++x)
            matte.At(x, y) = 1.0f;
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> expected = {inf,  inf,  inf,  inf,  inf,  inf,  3.5f, 2.5f,
                                         1.5f, 0.5f, -0.5f, -1.5f, -2.5f, -3.5f, -inf, -inf};
    const std::vector<float> d = SignedEdgeDistance(matte, 2.0);
    for (std::int32_t y = 0; y < 3; ++y)
        EXPECT_TRUE(FloatsEqual(std::span<const float>(d.data() + 16 * y, 16), std::span<const float>(expected)))
            << "row " << y;
    // No reach (NaN) measures everything; a negative one counts as 0.
    const std::vector<float> all = SignedEdgeDistance(matte, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(all[0], 9.5f);
    const std::vector<float> none = SignedEdgeDistance(matte, -3.0);
    EXPECT_TRUE(FloatsEqual({none[7], none[8], none[9], none[10], none[11], none[12]},
                            {inf, 1.5f, 0.5f, -0.5f, -1.5f, -inf}));
}

}  // namespace
}  // namespace qualvex::finish
