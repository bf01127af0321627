#include "color/matrices.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qualvex {
namespace {

using testing::FloatsEqual;

TEST(ColorMatrices, ChromaticityZRowIsOneMinusXMinusYInSinglePrecision)
{
    EXPECT_TRUE(FloatsEqual({Chromaticity[2][0], Chromaticity[2][1], Chromaticity[2][2]},
                            {0.0300000012f, 0.0999999642f, 0.790000021f}));
    EXPECT_EQ(PrimariesDet, 0.224099994f);
}

TEST(ColorMatrices, RgbToXyzEqualsThePrintedTable)
{
    const auto& m = Matrices.RgbToXyz;
    EXPECT_TRUE(FloatsEqual({m[0][0], m[0][1], m[0][2]}, {0.412390798f, 0.357584327f, 0.180480793f}));
    EXPECT_TRUE(FloatsEqual({m[1][0], m[1][1], m[1][2]}, {0.212639019f, 0.715168655f, 0.0721923113f}));
    EXPECT_TRUE(FloatsEqual({m[2][0], m[2][1], m[2][2]}, {0.0193308201f, 0.119194731f, 0.950532198f}));
}

TEST(ColorMatrices, XyzToRgbEqualsThePrintedTable)
{
    const auto& n = Matrices.XyzToRgb;
    EXPECT_TRUE(FloatsEqual({n[0][0], n[0][1], n[0][2]}, {3.2409699f, -1.5373832f, -0.498610765f}));
    EXPECT_TRUE(FloatsEqual({n[1][0], n[1][1], n[1][2]}, {-0.969243824f, 1.87596774f, 0.0415550843f}));
    EXPECT_TRUE(FloatsEqual({n[2][0], n[2][1], n[2][2]}, {0.0556300394f, -0.20397687f, 1.05697155f}));
}

TEST(ColorMatrices, AreInversesToSinglePrecisionRounding)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += static_cast<double>(Matrices.XyzToRgb[i][k]) * Matrices.RgbToXyz[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-6) << "element " << i << ", " << j;
        }
}

TEST(ColorMatrices, WhiteScaleIsTheAdjugateAppliedToTheD65WhitePoint)
{
    const double white[3] = {0.3127 / 0.3290, 1.0, (1.0 - 0.3127 - 0.3290) / 0.3290};
    for (int i = 0; i < 3; ++i) {
        double dot = 0.0;
        for (int j = 0; j < 3; ++j)
            dot += static_cast<double>(ChromaticityAdjugate[i][j]) * white[j];
        EXPECT_NEAR(dot, WhiteScale[i], 1e-7) << "primary " << i;
    }
}

}  // namespace
}  // namespace qualvex
