// Clearing the colour of fully keyed pixels: which pixels count, what they become, and that an
// image read a row at a time and one read pixel by pixel end with the same bytes.
#include "host/image.h"
#include "jobs/frame_render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace qualvex {
namespace {

struct ClearCase {
    float R, G, B, A;
    bool Cleared;
};

// Alpha exactly 0 with any colour but 0 (NaN included) is cleared; -0 colour counts as 0 and
// stays; any other alpha, NaN included, keeps its colour.
const ClearCase kClearCases[] = {
    {0.5f, 0.25f, 0.125f, 0.0f, true},   {0.0f, 0.0f, 0.0f, 0.0f, false},
    {-0.0f, 0.0f, -0.0f, 0.0f, false},   {0.0f, 0.0f, 0.25f, -0.0f, true},
    {NAN, 0.0f, 0.0f, 0.0f, true},       {0.5f, 0.5f, 0.5f, 0.5f, false},
    {0.5f, 0.5f, 0.5f, 1.0f, false},     {0.5f, 0.5f, 0.5f, NAN, false},
    {1.0f, 1.0f, 1.0f, 0.0f, true},      {0.75f, 0.0f, 0.0f, 1.0f / 65535.0f, false},
};

class ClearKeyedColourOn : public ::testing::TestWithParam<PixelStorage> {};

TEST_P(ClearKeyedColourOn, ClearsExactlyTheFullyKeyedPixelsWithOrWithoutRows)
{
    const auto count = static_cast<std::int32_t>(std::size(kClearCases));
    std::unique_ptr<Image> images[2];
    std::uint64_t cleared[2] = {0, 0};
    for (int path = 0; path < 2; ++path) {
        images[path] = std::make_unique<Image>(count, 2, GetParam());
        for (std::int32_t y = 0; y < 2; ++y)
            for (std::int32_t x = 0; x < count; ++x) {
                const ClearCase& c = kClearCases[static_cast<std::size_t>((x + y) % count)];
                Pixel p;
                p.R = c.R;
                p.G = c.G;
                p.B = c.B;
                p.A = c.A;
                p.Z = static_cast<float>(x);
                p.ObjectID = static_cast<std::uint32_t>(y);
                images[path]->SetPixel(x, y, p);
            }
        if (path == 1)
            images[path]->ReadRow = nullptr;  // pixel by pixel
        cleared[path] = ClearKeyedColour(*images[path]);
    }
    // Each case once per row: four cases cleared in half and float. 8- and 16-bit storage holds a
    // NaN as 0, so the NaN colour is 0 there (kept) and the NaN alpha 0 (its colour cleared): four
    // again; and 8 bits hold alpha 1/65535 as 0, a fifth.
    const std::uint64_t expected = GetParam() == PixelStorage::UInt8 ? 10 : 8;
    EXPECT_EQ(cleared[0], expected);
    EXPECT_EQ(cleared[1], expected);
    for (std::int32_t y = 0; y < 2; ++y)
        for (std::int32_t x = 0; x < count; ++x) {
            const Pixel p = images[0]->GetPixel(x, y);
            if (p.A == 0.0f) {
                EXPECT_TRUE(p.R == 0.0f && p.G == 0.0f && p.B == 0.0f) << "(" << x << ", " << y << ")";
            }
            // In float every case is stored as given: cleared exactly where it says.
            const ClearCase& c = kClearCases[static_cast<std::size_t>((x + y) % count)];
            if (GetParam() == PixelStorage::Float && c.Cleared) {
                EXPECT_TRUE(p.R == 0.0f && p.G == 0.0f && p.B == 0.0f) << "(" << x << ", " << y << ")";
            } else if (GetParam() == PixelStorage::Float) {
                EXPECT_TRUE((p.R == c.R || std::isnan(c.R)) && p.G == c.G && p.B == c.B) << "(" << x << ", " << y << ")";
            }
            EXPECT_EQ(p.Z, static_cast<float>(x));
            EXPECT_EQ(p.ObjectID, static_cast<std::uint32_t>(y));
        }
    for (int plane = 0; plane < 2; ++plane)
        for (std::int32_t y = 0; y < 2; ++y)
            EXPECT_EQ(std::memcmp(images[0]->PlaneRows[plane][y], images[1]->PlaneRows[plane][y],
                                  static_cast<std::size_t>(count * images[0]->PixelStep[plane])),
                      0)
                << "plane " << plane << ", row " << y;
}

std::string KindName(const ::testing::TestParamInfo<PixelStorage>& info)
{
    const char* const names[] = {"UInt8", "UInt16", "Half", "Float"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Storage, ClearKeyedColourOn,
                         ::testing::Values(PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half,
                                           PixelStorage::Float),
                         KindName);

}  // namespace
}  // namespace qualvex
