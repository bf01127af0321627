// Samples read from regions of a frame: the key colour of a region is its median channel by
// channel, worked by hand here for one, two, three and four pixels, with what cannot be ordered
// left out and the mean of two middles rounded to single precision as the tool holds a colour.
#include "base/errors.h"
#include "jobs/fit_samples.h"
#include "support/float_compare.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// One row of pixels, R, G and B given per pixel.
ImageFile Row(const std::vector<float>& r, const std::vector<float>& g, const std::vector<float>& b)
{
    ImageFile file;
    const int width = static_cast<int>(r.size());
    file.Pixels = std::make_unique<Image>(width, 1, PixelStorage::Float);
    for (int x = 0; x < width; ++x) {
        Pixel p;
        p.R = r[static_cast<std::size_t>(x)];
        p.G = g[static_cast<std::size_t>(x)];
        p.B = b[static_cast<std::size_t>(x)];
        p.A = 1.0f;
        file.Pixels->SetPixel(x, 0, p);
    }
    file.Layout.FullWidth = width;
    file.Layout.FullHeight = 1;
    return file;
}

TEST(MedianKeyColor, IsTheMiddleValueOrTheMeanOfTheTwoMiddlesChannelByChannel)
{
    const float one = 1.0f;
    const float aboveOne = std::nextafter(1.0f, 2.0f);  // 1 + 2^-23
    const struct {
        const char* Name;
        std::vector<float> R, G, B;
        float Expected[3];
    } cases[] = {
        {"one pixel", {0.3f}, {0.6f}, {0.1f}, {0.3f, 0.6f, 0.1f}},
        // Two: the mean of both, exact in binary.
        {"two pixels", {0.25f, 0.75f}, {1.0f, 0.0f}, {-1.0f, 3.0f}, {0.5f, 0.5f, 1.0f}},
        // Three, unsorted, each channel's middle from another pixel.
        {"three pixels", {0.2f, 0.1f, 0.3f}, {0.9f, 0.8f, 0.7f}, {0.1f, 0.3f, 0.2f}, {0.2f, 0.8f, 0.2f}},
        {"four pixels", {0.0f, 1.0f, 0.25f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.5f}, {4.0f, -4.0f, 2.0f, 0.0f},
         {0.375f, 0.5f, 1.0f}},
        // A NaN has no place in an ordering: left out, the rest's median.
        {"a NaN left out", {kNaN, 0.25f, 0.75f}, {0.4f, kNaN, 0.6f}, {0.1f, 0.2f, kNaN}, {0.5f, 0.5f, 0.15f}},
        // 1 + 2^-24 lies halfway between two floats: it rounds to the even one, 1.
        {"a mean between two floats", {one, aboveOne}, {aboveOne, aboveOne}, {one, one}, {1.0f, aboveOne, 1.0f}},
    };
    for (const auto& c : cases) {
        const ImageFile file = Row(c.R, c.G, c.B);
        const Region all{0, 0, file.Pixels->Width, 1, "--key-color-from", {}};
        const std::vector<ControlValue> colour = MedianKeyColor(file, all, "row.exr");
        ASSERT_EQ(colour.size(), 3u) << c.Name;
        EXPECT_EQ(colour[0].ID, "CRed");
        EXPECT_EQ(colour[1].ID, "CGreen");
        EXPECT_EQ(colour[2].ID, "CBlue");
        EXPECT_TRUE(testing::DoublesEqual({colour[0].Value, colour[1].Value, colour[2].Value},
                                          {c.Expected[0], c.Expected[1], c.Expected[2]}))
            << c.Name;
    }
}

TEST(MedianKeyColor, RefusesARegionWithoutAFiniteValueOrOutsideTheImage)
{
    const ImageFile file = Row({kNaN, kNaN}, {0.5f, 0.5f}, {0.5f, 0.5f});
    try {
        MedianKeyColor(file, {0, 0, 2, 1, "--key-color-from 0,0,2,1"}, "row.exr");
        FAIL() << "a region without a finite red value was taken";
    } catch (const UsageError& error) {
        EXPECT_EQ(std::string(error.what()), "--key-color-from 0,0,2,1: no finite CRed value in the region of row.exr");
    }
    EXPECT_THROW(MedianKeyColor(file, {1, 0, 2, 1, "--key-color-from 1,0,2,1", {}}, "row.exr"), UsageError);
}

TEST(ParseRegion, TakesFourWholeNumbersAndRefusesAnythingElseByName)
{
    const Region region = ParseRegion("+10,20,30,40", "--screen");
    EXPECT_EQ(region.X, 10);
    EXPECT_EQ(region.Y, 20);
    EXPECT_EQ(region.Width, 30);
    EXPECT_EQ(region.Height, 40);
    EXPECT_EQ(region.Name, "--screen +10,20,30,40");
    EXPECT_FALSE(region.Frame.has_value());
    // A frame number before a colon puts the region on that frame of the source alone.
    const Region framed = ParseRegion("240:10,20,30,40", "--screen");
    EXPECT_EQ(framed.Frame, 240);
    EXPECT_EQ(framed.X, 10);
    EXPECT_EQ(framed.Height, 40);
    EXPECT_EQ(framed.Name, "--screen 240:10,20,30,40");
    EXPECT_EQ(ParseRegion("-3:0,0,1,1", "--subject").Frame, -3);
    for (const char* text : {"1,2,3", "1,2,3,4,5", "1,2,3,x", "1.5,2,3,4", "1,2,0,4", "1,2,3,-4", "", ",,,", "1, 2,3,4",
                             "x:1,2,3,4", ":1,2,3,4", "1:2:3,4,5,6", "1.5:1,2,3,4", "7:"}) {
        try {
            ParseRegion(text, "--subject");
            ADD_FAILURE() << "\"" << text << "\" was taken";
        } catch (const UsageError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("--subject ", 0), 0u) << error.what();
        }
    }
}

TEST(CheckApart, NamesTheFirstScreenAndSubjectThatShareAPixel)
{
    const Region screen{0, 0, 10, 10, "--screen 0,0,10,10", {}};
    const Region touching{10, 0, 5, 5, "--subject 10,0,5,5", {}};  // shares an edge, not a pixel
    const Region corner{9, 9, 5, 5, "--subject 9,9,5,5", {}};
    EXPECT_NO_THROW(CheckApart({screen}, {touching}));
    // The same pixels on two frames are apart; on one frame, or on every frame and one, they are not.
    Region onFrame1 = screen, onFrame2 = screen, everyFrame = screen;
    onFrame1.Frame = 1;
    onFrame2.Frame = 2;
    onFrame2.Name = "--subject 2:0,0,10,10";
    EXPECT_NO_THROW(CheckApart({onFrame1}, {onFrame2}));
    EXPECT_THROW(CheckApart({onFrame1}, {everyFrame}), UsageError);
    onFrame2.Frame = 1;
    EXPECT_THROW(CheckApart({onFrame1}, {onFrame2}), UsageError);
    try {
        CheckApart({screen}, {touching, corner});
        FAIL() << "overlapping regions were taken";
    } catch (const UsageError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "--screen 0,0,10,10 and --subject 9,9,5,5 overlap: a pixel is either screen or subject");
    }
}

// The edge band found without --edge regions: on a frame whose left half is screen (green 1 and
// 0.9 on alternate rows: median 0.9, spread 0.1), with a mixed column (0.5, 0.5, 0) and a red
// subject beyond it, and one screen pixel darker than the spread allows (green 0.75), the band is
// by hand the mixed column, the subject's two columns up to three pixels from the screen, and that
// pixel.
TEST(SampleSource, TheEdgeBandIsThePixelsUnlikeTheScreenWithinThreePixelsOfIt)
{
    constexpr int kWidth = 20, kHeight = 4;
    std::vector<float> pixels;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float green = x == 3 && y == 0 ? 0.75f : y % 2 == 0 ? 1.0f : 0.9f;
            const std::vector<float> p = x < 10 ? std::vector<float>{0.0f, green, 0.0f}
                                         : x == 10 ? std::vector<float>{0.5f, 0.5f, 0.0f}
                                                   : std::vector<float>{1.0f, 0.0f, 0.0f};
            pixels.insert(pixels.end(), p.begin(), p.end());
        }
    const std::string file = ::testing::TempDir() + "edge-band.exr";
    auto out = OIIO::ImageOutput::create(file);
    ASSERT_TRUE(out && out->open(file, OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::FLOAT)) &&
                out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) && out->close());
    SampleRequest request{file, "", {{0, 0, 10, 4, "--screen 0,0,10,4", {}}}, {}, "", "", {}, {}, false};
    EXPECT_TRUE(SampleSource(request).Samples.Edge.empty());
    request.AutoEdges = true;
    const std::vector<fit::Rgb> edge = SampleSource(request).Samples.Edge;
    ASSERT_EQ(edge.size(), 13u);
    std::size_t mixed = 0, subject = 0, dark = 0;
    for (const fit::Rgb& e : edge) {
        mixed += e.R == 0.5f && e.G == 0.5f && e.B == 0.0f ? 1 : 0;
        subject += e.R == 1.0f && e.G == 0.0f && e.B == 0.0f ? 1 : 0;
        dark += e.R == 0.0f && e.G == 0.75f && e.B == 0.0f ? 1 : 0;
    }
    EXPECT_EQ(mixed, 4u);
    EXPECT_EQ(subject, 8u);
    EXPECT_EQ(dark, 1u);
    std::remove(file.c_str());
}

}  // namespace
}  // namespace qualvex
