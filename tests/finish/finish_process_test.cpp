// Rendering through the host with the loaded finishing tool: plates with known spill and known
// alpha, the masks, the output modes, the further channels and every storage kind.
#include "finish/loaded_finisher.h"
#include "finish/plates.h"
#include "host/host_testing.h"
#include "host/image.h"
#include "host/request.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <cstring>
#include <string>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace qualvex::finish::testing {
namespace {

using qualvex::testing::FloatsEqual;
using qualvex::testing::FloatBitsEqual;

// A pixel with further channels that tell pixels apart.
Pixel MakePixel(float r, float g, float b, float a, int index)
{
    Pixel p;
    p.R = r;
    p.G = g;
    p.B = b;
    p.A = a;
    p.Z = 10.0f + static_cast<float>(index);
    p.Coverage = 0.25f + 0.0625f * static_cast<float>(index % 8);
    p.ObjectID = 500u + static_cast<std::uint32_t>(index);
    p.MaterialID = 3u * static_cast<std::uint32_t>(index) + 1u;
    return p;
}

struct Colour {
    float R, G, B, A;
};

// The spill plate, one row: a subject under green spill, the same subject without spill, a
// lighter subject under spill, and the backing (alpha 0).
const std::array<Colour, 4> kSpillPlate = {{
    {0.5f, 0.875f, 0.125f, 1.0f},
    {0.5f, 0.25f, 0.125f, 1.0f},
    {0.25f, 0.625f, 0.25f, 1.0f},
    {0.125f, 0.5f, 0.125f, 0.0f},
}};

class FinishProcess : public LoadedFinisher {
protected:
    void SetUp() override
    {
        LoadedFinisher::SetUp();
        m_Live = host::testing::LiveImages();
        m_Op = NewInstance();
    }

    void TearDown() override
    {
        m_Op.reset();
        m_Images.clear();
        EXPECT_EQ(host::testing::LiveImages(), m_Live);
        LoadedFinisher::TearDown();
    }

    Image* Keep(std::unique_ptr<Image> image)
    {
        m_Images.push_back(std::move(image));
        return m_Images.back().get();
    }

    Image* Row(const std::vector<Colour>& colours, PixelStorage storage = PixelStorage::Float)
    {
        auto image = std::make_unique<Image>(static_cast<std::int32_t>(colours.size()), 1, storage);
        for (std::size_t i = 0; i < colours.size(); ++i) {
            const Colour& c = colours[i];
            image->SetPixel(static_cast<std::int32_t>(i), 0, MakePixel(c.R, c.G, c.B, c.A, static_cast<int>(i)));
        }
        return Keep(std::move(image));
    }

    // A w x h image whose alpha is `alpha(x, y)` and colour a fixed grey.
    template <typename F>
    Image* Matte(std::int32_t w, std::int32_t h, F alpha)
    {
        auto image = std::make_unique<Image>(w, h, PixelStorage::Float);
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                image->SetPixel(x, y, MakePixel(0.5f, 0.5f, 0.5f, alpha(x, y), y * w + x));
        return Keep(std::move(image));
    }

    void Connect(const char* id, Image* image) { m_Op->FindInput(id)->ConnectImage(image); }
    std::unique_ptr<Image> Render() { return host::RenderFrame(*m_Op, 0.0); }

    static AlphaPlane AlphaOf(const Image& image)
    {
        AlphaPlane plane(image.Width, image.Height);
        for (std::int32_t y = 0; y < image.Height; ++y)
            for (std::int32_t x = 0; x < image.Width; ++x)
                plane.At(x, y) = image.GetPixel(x, y).A;
        return plane;
    }

    std::unique_ptr<Operator> m_Op;
    std::vector<std::unique_ptr<Image>> m_Images;
    std::size_t m_Live = 0;
};

struct DespillCase {
    const char* Name;
    double Method;  // Despill entry
    double Amount;
    double ToGrey;
    std::array<Colour, 4> Out;
};

// Hand-computed from kSpillPlate. Average and Maximum agree on the last two pixels (their red and
// blue are equal): limit 0.25, spill 0.375; and 0.125, spill 0.375.
const DespillCase kDespillCases[] = {
    {"Off", 0.0, 1.0, 0.0, kSpillPlate},
    // Average: the subject's limit is (0.5 + 0.125) / 2 = 0.3125.
    {"Average", 1.0, 1.0, 0.0,
     {{{0.5f, 0.3125f, 0.125f, 1.0f}, {0.5f, 0.25f, 0.125f, 1.0f}, {0.25f, 0.25f, 0.25f, 1.0f},
       {0.125f, 0.125f, 0.125f, 0.0f}}}},
    // Maximum: the subject's limit is 0.5.
    {"Maximum", 2.0, 1.0, 0.0,
     {{{0.5f, 0.5f, 0.125f, 1.0f}, {0.5f, 0.25f, 0.125f, 1.0f}, {0.25f, 0.25f, 0.25f, 1.0f},
       {0.125f, 0.125f, 0.125f, 0.0f}}}},
    // Half the spill: 0.875 - 0.28125, 0.625 - 0.1875, 0.5 - 0.1875.
    {"AverageHalf", 1.0, 0.5, 0.0,
     {{{0.5f, 0.59375f, 0.125f, 1.0f}, {0.5f, 0.25f, 0.125f, 1.0f}, {0.25f, 0.4375f, 0.25f, 1.0f},
       {0.125f, 0.3125f, 0.125f, 0.0f}}}},
    // To grey: spills 0.375 (subject), 0.375, 0.375; a third, 0.125, back to each channel.
    {"MaximumToGrey", 2.0, 1.0, 1.0,
     {{{0.625f, 0.625f, 0.25f, 1.0f}, {0.5f, 0.25f, 0.125f, 1.0f}, {0.375f, 0.375f, 0.375f, 1.0f},
       {0.25f, 0.25f, 0.25f, 0.0f}}}},
    // Average to grey: the subject's spill 0.5625, a third 0.1875.
    {"AverageToGrey", 1.0, 1.0, 1.0,
     {{{0.6875f, 0.5f, 0.3125f, 1.0f}, {0.5f, 0.25f, 0.125f, 1.0f}, {0.375f, 0.375f, 0.375f, 1.0f},
       {0.25f, 0.25f, 0.25f, 0.0f}}}},
};

class DespillPlate : public FinishProcess, public ::testing::WithParamInterface<DespillCase> {};

TEST_P(DespillPlate, BringsTheScreenChannelDownToTheLimitAndLeavesTheRest)
{
    const DespillCase& c = GetParam();
    Set(*m_Op, "Despill", c.Method);
    Set(*m_Op, "DespillAmount", c.Amount);
    Set(*m_Op, "SpillToGrey", c.ToGrey);
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    std::unique_ptr<Image> out = Render();
    ASSERT_NE(out, nullptr);
    for (std::int32_t x = 0; x < 4; ++x) {
        const Pixel p = out->GetPixel(x, 0);
        const Colour& e = c.Out[static_cast<std::size_t>(x)];
        EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {e.R, e.G, e.B, e.A})) << "pixel " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DespillPlate, ::testing::ValuesIn(kDespillCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FinishProcess, OtherScreenChannelsTakeOnlyTheirOwnSpill)
{
    // Maximum. Blue never exceeds the larger of red and green on the plate: nothing changes. Red
    // exceeds the larger of green and blue only on the clean subject (0.5 over 0.25): it comes
    // down to 0.25.
    struct Case {
        double Screen;
        std::array<Colour, 4> Out;
    };
    std::array<Colour, 4> redScreen = kSpillPlate;
    redScreen[1].R = 0.25f;
    const Case cases[] = {{2.0, kSpillPlate}, {0.0, redScreen}};
    Set(*m_Op, "Despill", 2.0);
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    for (const Case& c : cases) {
        Set(*m_Op, "ScreenChannel", c.Screen);
        std::unique_ptr<Image> out = Render();
        for (std::int32_t x = 0; x < 4; ++x) {
            const Pixel p = out->GetPixel(x, 0);
            const Colour& e = c.Out[static_cast<std::size_t>(x)];
            EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B}, {e.R, e.G, e.B})) << "screen " << c.Screen << ", pixel " << x;
        }
    }
}

TEST_F(FinishProcess, ScreenColourDespillWorksAgainstItsThreeSliders)
{
    // Until set, the sliders make a green screen: Maximum's result. Yellow (1, 1, 0): min(R, G)
    // over B comes out of R and G: 0.375 on the subject, 0.125 on the clean subject, nothing on
    // the grey-green pixels. Red (1, 0, 0) is Maximum on red: the clean subject's R to 0.25.
    std::array<Colour, 4> maximum = kSpillPlate;
    for (Colour& c : maximum)
        c.G = std::min(c.G, std::max(c.R, c.B));
    std::array<Colour, 4> yellow = kSpillPlate;
    yellow[0] = {0.125f, 0.5f, 0.125f, 1.0f};
    yellow[1] = {0.375f, 0.125f, 0.125f, 1.0f};
    std::array<Colour, 4> red = kSpillPlate;
    red[1].R = 0.25f;
    struct Case {
        std::optional<std::array<double, 3>> Screen;
        std::array<Colour, 4> Out;
    };
    const Case cases[] = {{std::nullopt, maximum}, {std::array<double, 3>{1.0, 1.0, 0.0}, yellow},
                          {std::array<double, 3>{1.0, 0.0, 0.0}, red}};
    Set(*m_Op, "Despill", 3.0);
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    for (const Case& c : cases) {
        if (c.Screen) {
            Set(*m_Op, "ScreenRed", (*c.Screen)[0]);
            Set(*m_Op, "ScreenGreen", (*c.Screen)[1]);
            Set(*m_Op, "ScreenBlue", (*c.Screen)[2]);
        }
        std::unique_ptr<Image> out = Render();
        ASSERT_NE(out, nullptr);
        for (std::int32_t x = 0; x < 4; ++x) {
            const Pixel p = out->GetPixel(x, 0);
            const Colour& e = c.Out[static_cast<std::size_t>(x)];
            EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B}, {e.R, e.G, e.B})) << "pixel " << x;
        }
    }
}

TEST_F(FinishProcess, SpillOutputShowsTheRemovedLightPerChannel)
{
    Set(*m_Op, "Despill", 2.0);
    Set(*m_Op, "OutputMode", 2.0);
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    // Maximum, no grey: green loses 0.375 on each spilled pixel, nothing on the clean one.
    const Colour plain[4] = {{0.0f, 0.375f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}, {0.0f, 0.375f, 0.0f, 1.0f},
                             {0.0f, 0.375f, 0.0f, 1.0f}};
    std::unique_ptr<Image> out = Render();
    for (std::int32_t x = 0; x < 4; ++x) {
        const Pixel p = out->GetPixel(x, 0);
        const Colour& e = plain[x];
        EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {e.R, e.G, e.B, e.A})) << "pixel " << x;
    }
    // To grey: green loses 0.375 - 0.125; red and blue gain, which is no removed light.
    Set(*m_Op, "SpillToGrey", 1.0);
    out = Render();
    for (std::int32_t x = 0; x < 4; ++x) {
        const Pixel p = out->GetPixel(x, 0);
        const float g = x == 1 ? 0.0f : 0.25f;
        EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {0.0f, g, 0.0f, 1.0f})) << "pixel " << x;
    }
}

TEST_F(FinishProcess, ClipMapsBlackToWhiteOntoZeroToOne)
{
    Set(*m_Op, "ClipBlack", 0.25);
    Set(*m_Op, "ClipWhite", 0.75);
    Set(*m_Op, "OutputMode", 1.0);  // the matte in every channel
    const float in[] = {0.0f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 1.0f};
    const float expected[] = {0.0f, 0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.0f};
    std::vector<Colour> row;
    for (float a : in)
        row.push_back({0.75f, 0.5f, 0.25f, a});
    Connect("Image", Row(row));
    std::unique_ptr<Image> out = Render();
    for (std::int32_t x = 0; x < 7; ++x) {
        const Pixel p = out->GetPixel(x, 0);
        const float e = expected[x];
        EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {e, e, e, e})) << "alpha " << in[x];
    }
}

TEST_F(FinishProcess, GarbageZeroesAndCoreForcesWhateverTheKey)
{
    const std::int32_t w = 12, h = 8;
    // A key with every alpha from 0 to 1 in eighths, scattered.
    auto key = [](std::int32_t x, std::int32_t y) { return static_cast<float>((x * 5 + y * 3) % 9) / 8.0f; };
    auto inGarbage = [](std::int32_t x, std::int32_t y) { return x >= 2 && x < 7 && y >= 1 && y < 6; };
    auto inCore = [](std::int32_t x, std::int32_t y) { return x >= 5 && x < 10 && y >= 3 && y < 8; };
    Connect("Image", Matte(w, h, key));
    Connect("GarbageMatte", Matte(w, h, [&](std::int32_t x, std::int32_t y) { return inGarbage(x, y) ? 1.0f : 0.0f; }));
    Connect("CoreMatte", Matte(w, h, [&](std::int32_t x, std::int32_t y) { return inCore(x, y) ? 1.0f : 0.0f; }));
    // Whatever the matte steps before them do.
    Set(*m_Op, "Shrink", -1.5);
    Set(*m_Op, "Soften", 1.25);
    std::unique_ptr<Image> out = Render();
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const float a = out->GetPixel(x, y).A;
            if (inCore(x, y)) {
                EXPECT_EQ(a, 1.0f) << "(" << x << ", " << y << ")";  // the core matte wins
            } else if (inGarbage(x, y)) {
                EXPECT_EQ(a, 0.0f) << "(" << x << ", " << y << ")";
            }
        }
}

TEST_F(FinishProcess, MasksWithoutStepsLeaveTheKeyElsewhere)
{
    const std::int32_t w = 12, h = 8;
    auto key = [](std::int32_t x, std::int32_t y) { return static_cast<float>((x * 5 + y * 3) % 9) / 8.0f; };
    Connect("Image", Matte(w, h, key));
    Connect("GarbageMatte", Matte(w, h, [](std::int32_t x, std::int32_t) { return x < 3 ? 1.0f : 0.0f; }));
    Connect("CoreMatte", Matte(w, h, [](std::int32_t x, std::int32_t) { return x >= 9 ? 1.0f : 0.0f; }));
    std::unique_ptr<Image> out = Render();
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const float expected = x < 3 ? 0.0f : (x >= 9 ? 1.0f : key(x, y));
            EXPECT_EQ(out->GetPixel(x, y).A, expected) << "(" << x << ", " << y << ")";
        }
}

TEST_F(FinishProcess, MasksOfAnotherSizeAreSampledAtScaledCoordinates)
{
    // A 5 x 3 garbage matte over a 12 x 8 frame: x_mask = trunc(x * 5 / 12), y_mask = trunc(y * 3 / 8).
    // Mask pixel (2, 1) stands for frame columns 5, 6, 7 (2.08, 2.5, 2.92) and rows 3, 4, 5
    // (1.125, 1.5, 1.875).
    Connect("Image", Matte(12, 8, [](std::int32_t, std::int32_t) { return 1.0f; }));
    Connect("GarbageMatte", Matte(5, 3, [](std::int32_t x, std::int32_t y) { return x == 2 && y == 1 ? 1.0f : 0.0f; }));
    std::unique_ptr<Image> out = Render();
    for (std::int32_t y = 0; y < 8; ++y)
        for (std::int32_t x = 0; x < 12; ++x) {
            const bool dropped = x >= 5 && x <= 7 && y >= 3 && y <= 5;
            EXPECT_EQ(out->GetPixel(x, y).A, dropped ? 0.0f : 1.0f) << "(" << x << ", " << y << ")";
        }
}

TEST_F(FinishProcess, ShrinkGrowAndSoftenReachTheMatte)
{
    struct Case {
        double Shrink;
        double Soften;
        double Radius;  // expected from the area
    };
    const Case cases[] = {{3.0, 0.0, 17.3}, {-2.5, 0.0, 22.8}, {0.0, 2.0, 20.3}, {1.5, 2.0, 18.8}};
    const AlphaPlane disc = Disc(96, 96, 47.6, 48.3, 20.3);
    Connect("Image", Matte(96, 96, [&](std::int32_t x, std::int32_t y) { return disc.At(x, y); }));
    for (const Case& c : cases) {
        Set(*m_Op, "Shrink", c.Shrink);
        Set(*m_Op, "Soften", c.Soften);
        std::unique_ptr<Image> out = Render();
        // The soften keeps the area (the border is clear), so the radius is the shrink's.
        EXPECT_NEAR(RadiusFromArea(AlphaOf(*out)), c.Radius, 0.1) << "shrink " << c.Shrink << ", soften " << c.Soften;
    }
}

// An instance keeps its working memory from frame to frame: frames of other sizes in between
// leave no trace in the next one. Each frame must match what a fresh instance renders.
TEST_F(FinishProcess, FramesOfChangingSizesRenderAsOnAFreshInstance)
{
    Set(*m_Op, "Shrink", 2.0);
    Set(*m_Op, "Soften", 1.5);
    const AlphaPlane big = Disc(90, 70, 44.2, 35.1, 24.6);
    const AlphaPlane small = Disc(31, 57, 15.3, 28.4, 9.8);
    Image* bigImage = Matte(90, 70, [&](std::int32_t x, std::int32_t y) { return big.At(x, y); });
    Image* smallImage = Matte(31, 57, [&](std::int32_t x, std::int32_t y) { return small.At(x, y); });

    auto alphaOnFreshInstance = [&](Image* image) {
        std::unique_ptr<Operator> fresh = NewInstance();
        Set(*fresh, "Shrink", 2.0);
        Set(*fresh, "Soften", 1.5);
        fresh->FindInput("Image")->ConnectImage(image);
        std::unique_ptr<Image> out = host::RenderFrame(*fresh, 0.0);
        AlphaPlane alpha = AlphaOf(*out);
        out.reset();
        fresh.reset();
        return alpha;
    };
    const AlphaPlane bigExpected = alphaOnFreshInstance(bigImage);
    const AlphaPlane smallExpected = alphaOnFreshInstance(smallImage);
    for (Image* image : {bigImage, smallImage, bigImage, smallImage}) {
        Connect("Image", image);
        const AlphaPlane alpha = AlphaOf(*Render());
        const AlphaPlane& expected = image == bigImage ? bigExpected : smallExpected;
        EXPECT_TRUE(FloatBitsEqual(alpha.Values, expected.Values)) << image->Width << " x " << image->Height;
    }
}

TEST_F(FinishProcess, OutputModesAndFurtherChannels)
{
    Set(*m_Op, "Despill", 1.0);
    Set(*m_Op, "ClipWhite", 0.5);  // alpha 0.25 becomes 0.5
    const std::vector<Colour> plate = {{0.5f, 0.875f, 0.125f, 0.25f}, {0.5f, 0.25f, 0.125f, 1.0f}};
    Image* source = Row(plate);
    Connect("Image", source);
    struct Mode {
        double Value;
        Colour Out[2];
    };
    const Mode modes[] = {
        {0.0, {{0.5f, 0.3125f, 0.125f, 0.5f}, {0.5f, 0.25f, 0.125f, 1.0f}}},  // Result
        {1.0, {{0.5f, 0.5f, 0.5f, 0.5f}, {1.0f, 1.0f, 1.0f, 1.0f}}},          // Matte
        {2.0, {{0.0f, 0.5625f, 0.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 1.0f}}},       // Spill
        {7.0, {{0.5f, 0.3125f, 0.125f, 0.5f}, {0.5f, 0.25f, 0.125f, 1.0f}}},  // no such entry: Result
    };
    for (const Mode& mode : modes) {
        Set(*m_Op, "OutputMode", mode.Value);
        std::unique_ptr<Image> out = Render();
        for (std::int32_t x = 0; x < 2; ++x) {
            const Pixel p = out->GetPixel(x, 0);
            const Pixel in = source->GetPixel(x, 0);
            const Colour& e = mode.Out[x];
            EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {e.R, e.G, e.B, e.A})) << "mode " << mode.Value;
            EXPECT_TRUE(FloatsEqual({p.Z, p.Coverage}, {in.Z, in.Coverage}));
            EXPECT_EQ(p.ObjectID, in.ObjectID);
            EXPECT_EQ(p.MaterialID, in.MaterialID);
        }
    }
}

TEST_F(FinishProcess, ComboValuesThatNameNoEntryCountAsTheDefault)
{
    Set(*m_Op, "Despill", 7.0);  // Off
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    std::unique_ptr<Image> out = Render();
    EXPECT_EQ(out->GetPixel(0, 0).G, 0.875f);
    Set(*m_Op, "Despill", 2.0);
    Set(*m_Op, "ScreenChannel", -4.0);  // Green
    out = Render();
    EXPECT_EQ(out->GetPixel(0, 0).G, 0.5f);
}

TEST_F(FinishProcess, NoSourceGivesNoOutputAndAnEmptySourceAnEmptyOutput)
{
    EXPECT_EQ(Render(), nullptr);
    Connect("Image", Keep(std::make_unique<Image>(0, 0, PixelStorage::Half)));
    std::unique_ptr<Image> out = Render();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Width, 0);
    EXPECT_EQ(out->Height, 0);
    EXPECT_EQ(out->Storage(), PixelStorage::Half);
}

TEST_F(FinishProcess, ReadsEveryControlThenItsImages)
{
    Connect("Image", Row({kSpillPlate.begin(), kSpillPlate.end()}));
    Request request(*m_Op, 0.0);
    m_Op->Process(&request);
    const std::vector<std::string> expected = {"Despill",    "ScreenChannel", "DespillAmount", "SpillToGrey",
                                               "ScreenRed",  "ScreenGreen",   "ScreenBlue",    "ClipBlack",
                                               "ClipWhite",  "UnmixEdges",    "UnmixReach",    "Shrink",
                                               "Soften",     "OutputMode",    "Image"};
    EXPECT_EQ(request.ReadLog(), expected);  // masks that are not connected are not read
}

// Unmixing the edges through the tool: a green screen (0.3, 0.8, 0.1), a subject (0.6, 0.2, 0.1)
// and between them mixes holding 1/4, 1/2 and 3/4 of the subject, keyed 0.5: the matte comes
// back as those shares (worked by hand: excess G - R of 0.5, -0.4 and 0.275, 0.05, -0.175), before
// the shrink, which then moves that edge; the colour is left as it came.
TEST_F(FinishProcess, UnmixesTheEdgesAgainstTheScreenColourBeforeTheShrink)
{
    const std::vector<Colour> plate = {{0.3f, 0.8f, 0.1f, 0.0f},    {0.3f, 0.8f, 0.1f, 0.0f},
                                       {0.375f, 0.65f, 0.1f, 0.5f}, {0.45f, 0.5f, 0.1f, 0.5f},
                                       {0.525f, 0.35f, 0.1f, 0.5f}, {0.6f, 0.2f, 0.1f, 1.0f},
                                       {0.6f, 0.2f, 0.1f, 1.0f}};
    Connect("Image", Row(plate));
    Set(*m_Op, "ScreenRed", 0.3);
    Set(*m_Op, "ScreenGreen", 0.8);
    Set(*m_Op, "ScreenBlue", 0.1);
    std::unique_ptr<Image> kept = Render();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->GetPixel(3, 0).A, 0.5f);  // Off, the default: the matte as it came
    Set(*m_Op, "UnmixEdges", 1.0);
    std::unique_ptr<Image> out = Render();
    ASSERT_NE(out, nullptr);
    const float expected[7] = {0.0f, 0.0f, 0.25f, 0.5f, 0.75f, 1.0f, 1.0f};
    for (std::int32_t x = 0; x < 7; ++x) {
        const Pixel p = out->GetPixel(x, 0);
        EXPECT_NEAR(p.A, expected[x], 1e-6f) << "pixel " << x;
        EXPECT_EQ(p.G, plate[static_cast<std::size_t>(x)].G) << "pixel " << x;
    }
    // A reach of 1 leaves the middle mix without a screen pixel near: its matte stays.
    Set(*m_Op, "UnmixReach", 1.0);
    EXPECT_EQ(Render()->GetPixel(3, 0).A, 0.5f);
    // Shrunk by a pixel after unmixing: the 0.5 contour, at the middle mix, moves one pixel in.
    Set(*m_Op, "UnmixReach", 20.0);
    Set(*m_Op, "Shrink", 1.0);
    std::unique_ptr<Image> shrunk = Render();
    EXPECT_LT(shrunk->GetPixel(3, 0).A, 0.1f);
    EXPECT_NEAR(shrunk->GetPixel(4, 0).A, 0.5f, 0.3f);
}

// Every storage kind: a plate of 0s and 1s, whose despilled values (0, 0.5, 1) each storage
// narrows in its own way; the expected value is the hand value stored in that kind.
class EveryStorage : public FinishProcess, public ::testing::WithParamInterface<PixelStorage> {};

TEST_P(EveryStorage, RendersAnImageOfTheSameSizeAndKind)
{
    const PixelStorage storage = GetParam();
    Set(*m_Op, "Despill", 1.0);
    Set(*m_Op, "ClipBlack", 0.25);
    Set(*m_Op, "ClipWhite", 0.75);
    const std::vector<Colour> plate = {
        {0.0f, 1.0f, 0.0f, 1.0f}, {1.0f, 1.0f, 0.0f, 0.0f}, {1.0f, 0.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
    // Average limits 0, 0.5, 1, 0: green 1 comes down to 0 and 0.5.
    const Colour expected[] = {
        {0.0f, 0.0f, 0.0f, 1.0f}, {1.0f, 0.5f, 0.0f, 0.0f}, {1.0f, 0.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f, 0.0f}};
    Image* source = Row(plate, storage);
    Connect("Image", source);
    std::unique_ptr<Image> out = Render();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Width, 4);
    EXPECT_EQ(out->Height, 1);
    EXPECT_EQ(out->Storage(), storage);
    for (std::int32_t x = 0; x < 4; ++x) {
        const Colour& e = expected[x];
        Image stored(1, 1, storage);
        stored.SetPixel(0, 0, MakePixel(e.R, e.G, e.B, e.A, x));
        const Pixel want = stored.GetPixel(0, 0);
        const Pixel got = out->GetPixel(x, 0);
        EXPECT_TRUE(FloatsEqual({got.R, got.G, got.B, got.A, got.Z, got.Coverage},
                                {want.R, want.G, want.B, want.A, want.Z, want.Coverage}))
            << PixelStorageName(storage) << ", pixel " << x;
        EXPECT_EQ(got.ObjectID, want.ObjectID);
    }
}

TEST_P(EveryStorage, ImagesWithoutFurtherChannelsRenderToo)
{
    auto image = std::make_unique<Image>(3, 2, GetParam(), false);
    for (std::int32_t y = 0; y < 2; ++y)
        for (std::int32_t x = 0; x < 3; ++x)
            image->SetPixel(x, y, MakePixel(0.0f, 1.0f, 0.0f, 1.0f, 0));
    Connect("Image", Keep(std::move(image)));
    Set(*m_Op, "Despill", 2.0);
    std::unique_ptr<Image> out = Render();
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(out->HasFurtherChannels());
    for (std::int32_t y = 0; y < 2; ++y)
        for (std::int32_t x = 0; x < 3; ++x) {
            const Pixel p = out->GetPixel(x, y);
            EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A, p.Z, p.Coverage}, {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 1.0f}));
        }
}

std::string StorageTestName(const ::testing::TestParamInfo<PixelStorage>& info)
{
    switch (info.param) {
    case PixelStorage::UInt8: return "UInt8";
    case PixelStorage::UInt16: return "UInt16";
    case PixelStorage::Half: return "Half";
    case PixelStorage::Float: return "Float";
    }
    return "Unknown";
}

// Rows and pixels give the same bytes: a source the finishing tool reads and writes a row at a
// time (float frames in one loop per despill method and screen), and the same source without rows (pixel by
// pixel), with and without further channels, in each output mode, with every despill method and
// every step (unmixing the edges too) at work on an odd-sized frame holding values outside 0..1.
TEST_P(EveryStorage, RowsAndPixelsGiveTheSameBytes)
{
    const std::int32_t w = 23, h = 9;
    struct Despilling {
        double Method, Channel, Grey;
        std::array<double, 3> Screen{0.8, 0.9, 0.1};
    };
    // Screen colour: yellow, green without the grey, cyan, magenta, blue, red, and grey (nothing to
    // take out); average against red; maximum against blue, and green without the grey; off.
    const Despilling despills[] = {{3.0, 1.0, 1.0},
                                   {3.0, 1.0, 0.0, {0.1, 0.8, 0.15}},
                                   {3.0, 1.0, 1.0, {0.1, 0.8, 0.75}},
                                   {3.0, 1.0, 0.0, {0.7, 0.1, 0.8}},
                                   {3.0, 1.0, 1.0, {0.1, 0.2, 0.9}},
                                   {3.0, 1.0, 0.0, {0.9, 0.2, 0.1}},
                                   {3.0, 1.0, 1.0, {0.5, 0.5, 0.5}},
                                   {1.0, 0.0, 1.0},
                                   {2.0, 2.0, 1.0},
                                   {2.0, 1.0, 0.0},
                                   {0.0, 1.0, 0.0}};
    // With steps that need the whole frame, and without (the matte then clipped in the one loop of
    // a frame's result): the clip's default, a range, and an empty range (a step).
    struct Steps {
        double Shrink, Soften, Black, White;
    };
    const Steps stepsList[] = {{1.0, 1.5, 0.1, 1.0}, {0.0, 0.0, 0.0, 1.0}, {0.0, 0.0, 0.1, 0.9}, {0.0, 0.0, 0.6, 0.2}};
    for (const Steps& steps : stepsList)
        for (const Despilling& despill : despills)
            for (const bool further : {true, false})
                for (const double mode : {0.0, 1.0, 2.0}) {
                    SCOPED_TRACE(std::string(further ? "further channels" : "no further channels") +
                                 ", output mode " + std::to_string(mode) + ", despill " +
                                 std::to_string(despill.Method) + " against " + std::to_string(despill.Channel) +
                                 ", grey " + std::to_string(despill.Grey) + ", screen " +
                                 std::to_string(despill.Screen[0]) + "," + std::to_string(despill.Screen[1]) + "," +
                                 std::to_string(despill.Screen[2]) + ", shrink " + std::to_string(steps.Shrink) +
                                 ", clip " + std::to_string(steps.Black) + "-" + std::to_string(steps.White));
                    Set(*m_Op, "Shrink", steps.Shrink);
                    Set(*m_Op, "Soften", steps.Soften);
                    Set(*m_Op, "ClipBlack", steps.Black);
                    Set(*m_Op, "ClipWhite", steps.White);
                    Set(*m_Op, "Despill", despill.Method);
                    Set(*m_Op, "ScreenRed", despill.Screen[0]);
                    Set(*m_Op, "ScreenGreen", despill.Screen[1]);
                    Set(*m_Op, "ScreenBlue", despill.Screen[2]);
                    Set(*m_Op, "ScreenChannel", despill.Channel);
                    Set(*m_Op, "SpillToGrey", despill.Grey);
                    Set(*m_Op, "OutputMode", mode);
                    // The edges unmixed (sRGB) with every other despill, among the steps: the colours
                    // it reads come by each path too.
                    const bool unmix = steps.Shrink > 0.0 && despill.Grey > 0.0 && despill.Method != 1.0;
                    Set(*m_Op, "UnmixEdges", unmix ? 2.0 : 0.0);
                    std::unique_ptr<Image> out[2];
                    for (const bool rows : {true, false}) {
                        auto image = std::make_unique<Image>(w, h, GetParam(), further);
                        for (std::int32_t y = 0; y < h; ++y)
                            for (std::int32_t x = 0; x < w; ++x) {
                                const float t = static_cast<float>(x) / static_cast<float>(w - 1);
                                const float u = static_cast<float>(y) / static_cast<float>(h - 1);
                                image->SetPixel(x, y,
                                                MakePixel(1.2f * t - 0.1f, 0.9f - 0.3f * u, 0.2f + 0.5f * t * u,
                                                          t > 0.4f ? 1.0f : t * 2.5f - 0.05f, y * w + x));
                            }
                        if (!rows)
                            image->ReadRow = nullptr;
                        Connect("Image", Keep(std::move(image)));
                        out[rows ? 0 : 1] = Render();
                        ASSERT_NE(out[rows ? 0 : 1], nullptr);
                    }
                    for (int plane = 0; plane < (further ? 2 : 1); ++plane)
                        for (std::int32_t y = 0; y < h; ++y)
                            EXPECT_EQ(std::memcmp(out[0]->PlaneRows[plane][y], out[1]->PlaneRows[plane][y],
                                                  static_cast<std::size_t>(w * out[0]->PixelStep[plane])),
                                      0)
                                << "plane " << plane << ", row " << y;
                }
}

INSTANTIATE_TEST_SUITE_P(Storages, EveryStorage,
                         ::testing::Values(PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half,
                                           PixelStorage::Float),
                         StorageTestName);

}  // namespace
}  // namespace qualvex::finish::testing
