// Rendering through the host with the loaded plug-in: what Process reads, which key pixels it
// samples, what it hands to the output, for images of every storage kind.
#include "host/host_testing.h"
#include "host/image.h"
#include "host/request.h"
#include "render/pixel_matte.h"
#include "render/pixel_record.h"
#include "support/float_compare.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <memory>
#include <vector>

namespace qualvex::testing {
namespace {

Pixel MakePixel(float r, float g, float b, float a, int index)
{
    Pixel p;
    p.R = r;
    p.G = g;
    p.B = b;
    p.A = a;
    p.Z = 100.0f + static_cast<float>(index);
    p.Coverage = 0.5f + 0.01f * static_cast<float>(index);
    p.ObjectID = 1000u + static_cast<std::uint32_t>(index);
    p.MaterialID = 7u * static_cast<std::uint32_t>(index);
    return p;
}

// A varied source: a ramp through the key window and out of it, with distinct further channels.
std::unique_ptr<Image> Source(std::int32_t width, std::int32_t height, PixelStorage storage, bool channels = true)
{
    auto image = std::make_unique<Image>(width, height, storage, channels);
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const int i = y * width + x;
            const float t = static_cast<float>(i) / static_cast<float>(width * height);
            image->SetPixel(x, y, MakePixel(t, 0.5f + 0.4f * t, 1.0f - t, 1.0f - 0.5f * t, i));
        }
    return image;
}

// A key whose pixels all differ, so that each output alpha shows which key pixel was used.
std::unique_ptr<Image> DistinctKey(std::int32_t width, std::int32_t height)
{
    auto image = std::make_unique<Image>(width, height, PixelStorage::Float);
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const float v = 0.66f + 0.02f * static_cast<float>(y * width + x);
            image->SetPixel(x, y, MakePixel(v, v, v, 1.0f, 0));
        }
    return image;
}

class KeyingProcess : public LoadedSondrel {
protected:
    void SetUp() override
    {
        LoadedSondrel::SetUp();
        m_Op = NewInstance();
        // A window of 0.1 either side of grey 0.5, a soft fall-off that does not clamp.
        for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"})
            Set(*m_Op, id, 0.5);
        for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue"})
            Set(*m_Op, id, 0.1);
        Set(*m_Op, "FadeRed", 0.2);
        Set(*m_Op, "ColCor", 0.0);
    }

    void TearDown() override
    {
        m_Op.reset();
        EXPECT_EQ(host::testing::LiveImages(), m_Images.size());
        m_Images.clear();
        LoadedSondrel::TearDown();
    }

    Image* Keep(std::unique_ptr<Image> image)
    {
        m_Images.push_back(std::move(image));
        return m_Images.back().get();
    }

    void Connect(const char* id, Image* image) { m_Op->FindInput(id)->ConnectImage(image); }

    std::unique_ptr<Image> Render() { return host::RenderFrame(*m_Op, 0.0); }

    // The frame settings as the controls hold them now.
    MatteFrame Frame() const
    {
        auto value = [&](const char* id) { return m_Op->FindInput(id)->NumberValue(); };
        FrameSettings s;
        s.Mode = RoundIndex(value("Colorspace"));
        s.ColorCorrect = RoundIndex(value("ColCor"));
        s.Invert = RoundIndex(value("InvAlpha"));
        s.CCAmount = value("CCAmount");
        s.Desaturate = value("DesaturateAlpha");
        const char* values[] = {"ValueRed", "ValueGreen", "ValueBlue"};
        const char* mins[] = {"MiRedn", "MinGreen", "MinBlue"};
        const char* maxes[] = {"MaxRed", "MaxGreen", "MaxBlue"};
        for (int i = 0; i < 3; ++i) {
            s.Value[i] = value(values[i]);
            s.Min[i] = value(mins[i]);
            s.Max[i] = value(maxes[i]);
        }
        s.Fade = value("FadeRed");
        s.Gamma = value("GammaAlpha");
        s.Mult = value("MultAlpha");
        s.Offset = value("OffAlpha");
        return PrepareMatteFrame(s);
    }

    // The pixel the render must write at (x, y): the source record with the matte applied
    // against `reference`, stored in an image of the source's kind.
    static Pixel ExpectedPixel(const Image& source, std::int32_t x, std::int32_t y, const KeyReference& reference,
                               const MatteFrame& frame)
    {
        Pixel record = source.GetPixel(x, y);
        ColorVec colour = ColourOf(record);
        ApplyMatte(colour, reference, frame);
        SetColour(record, colour);
        Image stored(1, 1, source.Storage(), source.HasFurtherChannels());
        stored.SetPixel(0, 0, record);
        return stored.GetPixel(0, 0);
    }

    static ::testing::AssertionResult SamePixel(const Pixel& got, const Pixel& want)
    {
        ::testing::AssertionResult colour =
            FloatsEqual({got.B, got.G, got.R, got.A, got.Z, got.Coverage}, {want.B, want.G, want.R, want.A, want.Z, want.Coverage});
        if (!colour)
            return colour;
        if (got.ObjectID != want.ObjectID || got.MaterialID != want.MaterialID)
            return ::testing::AssertionFailure() << "IDs differ: " << got.ObjectID << "/" << got.MaterialID << " vs "
                                                 << want.ObjectID << "/" << want.MaterialID;
        return ::testing::AssertionSuccess();
    }

    // Every output pixel equals the matte against the key pixel that `keyColumn` and `keyRow`
    // name for its column and row.
    void ExpectKeySampling(const Image& source, const Image& key, const Image& output,
                           const std::vector<int>& keyColumn, const std::vector<int>& keyRow)
    {
        const MatteFrame frame = Frame();
        for (std::int32_t y = 0; y < source.Height; ++y)
            for (std::int32_t x = 0; x < source.Width; ++x) {
                const Pixel k = key.GetPixel(keyColumn[static_cast<std::size_t>(x)], keyRow[static_cast<std::size_t>(y)]);
                const KeyReference reference = KeyPixelReference(ColourOf(k), frame);
                EXPECT_TRUE(SamePixel(output.GetPixel(x, y), ExpectedPixel(source, x, y, reference, frame)))
                    << "pixel (" << x << ", " << y << ")";
            }
    }

    // Renders a source of one size against a distinct key of another and checks the sampling.
    void ExpectKeyedRender(std::pair<int, int> sourceSize, std::pair<int, int> keySize, PixelStorage storage,
                           const std::vector<int>& keyColumn, const std::vector<int>& keyRow)
    {
        Image* source = Keep(Source(sourceSize.first, sourceSize.second, storage));
        Image* key = Keep(DistinctKey(keySize.first, keySize.second));
        Connect("Image", source);
        Connect("KeyImage", key);
        std::unique_ptr<Image> output = Render();
        ASSERT_NE(output, nullptr);
        ExpectKeySampling(*source, *key, *output, keyColumn, keyRow);
    }

    std::unique_ptr<Operator> m_Op;
    std::vector<std::unique_ptr<Image>> m_Images;
};

class KeyingEveryStorage : public KeyingProcess, public ::testing::WithParamInterface<PixelStorage> {};

TEST_P(KeyingEveryStorage, SliderReferenceKeysEveryPixelAndCarriesTheFurtherChannels)
{
    Set(*m_Op, "ColCor", 1.0);
    Set(*m_Op, "CCAmount", 0.8);
    Set(*m_Op, "DesaturateAlpha", 0.3);
    Image* source = Keep(Source(7, 5, GetParam()));
    Connect("Image", source);
    std::unique_ptr<Image> output = Render();
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->Width, 7);
    EXPECT_EQ(output->Height, 5);
    EXPECT_EQ(output->Storage(), GetParam());
    const MatteFrame frame = Frame();
    const KeyReference sliders = SliderReference(frame);
    for (std::int32_t y = 0; y < 5; ++y)
        for (std::int32_t x = 0; x < 7; ++x) {
            const Pixel got = output->GetPixel(x, y);
            const Pixel in = source->GetPixel(x, y);
            EXPECT_TRUE(SamePixel(got, ExpectedPixel(*source, x, y, sliders, frame))) << "(" << x << ", " << y << ")";
            EXPECT_EQ(got.Z, in.Z);
            EXPECT_EQ(got.ObjectID, in.ObjectID);
        }
}

// Rows and pixels give the same bytes: a source whose rows the render reads and writes, and the
// same source without rows (pixel by pixel through its reader and writer), each with and without
// further channels and colour correction, over an odd width (vector tails) holding values outside
// 0..1, infinities and NaN.
TEST_P(KeyingEveryStorage, RowsAndPixelsGiveTheSameBytes)
{
    const float inf = std::numeric_limits<float>::infinity();
    for (const bool further : {true, false})
        for (const double colourCorrect : {0.0, 1.0}) {
            SCOPED_TRACE(std::string(further ? "further channels" : "no further channels") +
                         (colourCorrect != 0.0 ? ", colour correction" : ""));
            Set(*m_Op, "ColCor", colourCorrect);
            std::unique_ptr<Image> output[2];
            for (const bool rows : {true, false}) {
                Image* source = Keep(Source(37, 3, GetParam(), further));
                source->SetPixel(1, 0, MakePixel(-0.5f, 1.5f, 0.25f, 2.0f, 1));
                source->SetPixel(5, 1, MakePixel(inf, 0.5f, -inf, 1.0f, 2));
                source->SetPixel(36, 2, MakePixel(std::nanf(""), 0.5f, 0.5f, 0.5f, 3));
                if (!rows)
                    source->ReadRow = nullptr;
                Connect("Image", source);
                output[rows ? 0 : 1] = Render();
                ASSERT_NE(output[rows ? 0 : 1], nullptr);
            }
            for (int plane = 0; plane < (further ? 2 : 1); ++plane)
                for (std::int32_t y = 0; y < 3; ++y)
                    EXPECT_EQ(std::memcmp(output[0]->PlaneRows[plane][y], output[1]->PlaneRows[plane][y],
                                          static_cast<std::size_t>(37 * output[0]->PixelStep[plane])),
                              0)
                        << "plane " << plane << ", row " << y;
        }
}

TEST_P(KeyingEveryStorage, SameSizeKeyUsesTheKeyPixelAtTheSamePosition)
{
    ExpectKeyedRender({3, 3}, {3, 3}, GetParam(), {0, 1, 2}, {0, 1, 2});
}

std::string StorageTestName(const ::testing::TestParamInfo<PixelStorage>& info)
{
    const char* names[] = {"UInt8", "UInt16", "Half", "Float"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Storage, KeyingEveryStorage,
                         ::testing::Values(PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half,
                                           PixelStorage::Float),
                         StorageTestName);

TEST_F(KeyingProcess, SmallerKeyIsSampledAtTheNearestPositionBelow)
{
    ExpectKeyedRender({4, 4}, {2, 2}, PixelStorage::Float, {0, 0, 1, 1}, {0, 0, 1, 1});
}

TEST_F(KeyingProcess, LargerKeyIsSampledAtTheScaledPosition)
{
    ExpectKeyedRender({2, 2}, {5, 5}, PixelStorage::Float, {0, 2}, {0, 2});
}

TEST_F(KeyingProcess, WithoutAUsableKeyImageEveryPixelUsesTheSliders)
{
    Image* source = Keep(Source(3, 2, PixelStorage::Float));
    Connect("Image", source);
    const MatteFrame frame = Frame();
    auto expectSliders = [&](const Image& output, const char* why) {
        for (std::int32_t y = 0; y < 2; ++y)
            for (std::int32_t x = 0; x < 3; ++x)
                EXPECT_TRUE(SamePixel(output.GetPixel(x, y), ExpectedPixel(*source, x, y, SliderReference(frame), frame)))
                    << why << " (" << x << ", " << y << ")";
    };
    expectSliders(*Render(), "unconnected");

    // Connected, but delivering no image for this request.
    Image* key = Keep(DistinctKey(3, 2));
    Connect("KeyImage", key);
    {
        Request request(*m_Op, 0.0);
        request.SetInputData(m_Op->FindInput("KeyImage"), nullptr);
        m_Op->Process(&request);
        std::unique_ptr<Parameter> output = request.TakeOutputData(m_Op->FindOutput("Output"));
        ASSERT_NE(output, nullptr);
        expectSliders(static_cast<Image&>(*output), "no key image delivered");
    }

    // Connected, with an image that has no pixels.
    Connect("KeyImage", Keep(std::make_unique<Image>(0, 2, PixelStorage::Float)));
    expectSliders(*Render(), "empty key image");
}

TEST_F(KeyingProcess, SourceWithoutFurtherChannelsRendersWithNullSecondPlane)
{
    Image* source = Keep(Source(3, 2, PixelStorage::Half, false));
    Connect("Image", source);
    std::unique_ptr<Image> output = Render();
    ASSERT_NE(output, nullptr);
    EXPECT_FALSE(output->HasFurtherChannels());
    const MatteFrame frame = Frame();
    for (std::int32_t x = 0; x < 3; ++x)
        EXPECT_TRUE(SamePixel(output->GetPixel(x, 1), ExpectedPixel(*source, x, 1, SliderReference(frame), frame)));
}

TEST_F(KeyingProcess, EmptySourceHandsNothingToTheOutputAndLeaksNothing)
{
    for (auto [width, height] : {std::pair{0, 3}, std::pair{3, 0}, std::pair{0, 0}}) {
        const std::size_t before = host::testing::LiveImages();
        Image* source = Keep(std::make_unique<Image>(width, height, PixelStorage::UInt8));
        Connect("Image", source);
        EXPECT_EQ(Render(), nullptr) << width << " x " << height;
        EXPECT_EQ(host::testing::LiveImages(), before + 1);  // only the source itself
    }
}

TEST_F(KeyingProcess, NoSourceImageGivesNoOutput)
{
    EXPECT_EQ(Render(), nullptr);
}

TEST_F(KeyingProcess, ReadsEachControlOnceInOrderThenTheImages)
{
    Connect("Image", Keep(Source(2, 2, PixelStorage::Float)));
    Connect("KeyImage", Keep(DistinctKey(2, 2)));
    Request request(*m_Op, 0.0);
    m_Op->Process(&request);
    EXPECT_EQ(request.ReadLog(),
              (std::vector<std::string>{"Colorspace", "BGAlphaBlend", "ColCor", "InvAlpha", "CCAmount",
                                        "DesaturateAlpha", "ValueRed", "ValueGreen", "ValueBlue", "MiRedn",
                                        "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue", "FadeRed",
                                        "GammaAlpha", "MultAlpha", "OffAlpha", "Image", "KeyImage"}));
}

TEST_F(KeyingProcess, AFailingHostCallLeavesNoImageBehind)
{
    Connect("Image", Keep(Source(2, 2, PixelStorage::Float)));
    Connect("KeyImage", Keep(DistinctKey(2, 2)));
    const std::size_t before = host::testing::LiveImages();
    for (std::uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 100u);
        host::testing::ArmFailureOnCall(n);
        try {
            std::unique_ptr<Image> output = Render();
            host::testing::Disarm();
            ASSERT_NE(output, nullptr);
            break;
        } catch (const host::testing::InjectedFault&) {
            EXPECT_EQ(host::testing::LiveImages(), before) << "after failing call " << n;
        }
    }
}

// Renders with one control set to each value and returns the output alphas.
std::vector<float> Alphas(const Image& image)
{
    std::vector<float> alphas;
    for (std::int32_t y = 0; y < image.Height; ++y)
        for (std::int32_t x = 0; x < image.Width; ++x)
            alphas.push_back(image.GetPixel(x, y).A);
    return alphas;
}

TEST_F(KeyingProcess, IndexControlsRoundHalfUp)
{
    Connect("Image", Keep(Source(6, 4, PixelStorage::Float)));
    auto alphasWith = [&](const char* id, double value) {
        Set(*m_Op, id, value);
        return Alphas(*Render());
    };
    // Color Space: 2.5 keys in YUV, 2.49 in Y, x, y, and the two differ.
    const std::vector<float> yuv = alphasWith("Colorspace", 3.0);
    const std::vector<float> xyy = alphasWith("Colorspace", 2.0);
    EXPECT_NE(yuv, xyy);
    EXPECT_EQ(alphasWith("Colorspace", 2.5), yuv);
    EXPECT_EQ(alphasWith("Colorspace", 2.49), xyy);
    Set(*m_Op, "Colorspace", 0.0);

    // Invert Alpha: 0.5 rounds to 1 and inverts, 1.5 rounds to 2 and does not.
    const std::vector<float> plain = alphasWith("InvAlpha", 0.0);
    const std::vector<float> inverted = alphasWith("InvAlpha", 1.0);
    EXPECT_NE(plain, inverted);
    EXPECT_EQ(alphasWith("InvAlpha", 0.5), inverted);
    EXPECT_EQ(alphasWith("InvAlpha", 1.5), plain);
}

TEST_F(KeyingProcess, ColorCorrectRoundsHalfUpToo)
{
    Connect("Image", Keep(Source(6, 4, PixelStorage::Float)));
    Set(*m_Op, "CCAmount", 1.0);
    auto colours = [&](double colCor) {
        Set(*m_Op, "ColCor", colCor);
        std::unique_ptr<Image> out = Render();
        std::vector<float> values;
        for (std::int32_t x = 0; x < out->Width; ++x) {
            const Pixel p = out->GetPixel(x, 0);
            values.insert(values.end(), {p.R, p.G, p.B});
        }
        return values;
    };
    const std::vector<float> off = colours(0.0);
    const std::vector<float> on = colours(1.0);
    EXPECT_NE(off, on);
    EXPECT_EQ(colours(0.5), on);
    EXPECT_EQ(colours(1.5), off);
}

TEST_F(KeyingProcess, BgAlphaBlendChangesNothing)
{
    Connect("Image", Keep(Source(5, 3, PixelStorage::UInt16)));
    Set(*m_Op, "ColCor", 1.0);
    Set(*m_Op, "CCAmount", 0.5);
    const std::unique_ptr<Image> reference = Render();
    for (double blend : {1.0, 2.0, 3.0, 4.7, -3.0}) {
        Set(*m_Op, "BGAlphaBlend", blend);
        const std::unique_ptr<Image> output = Render();
        for (std::int32_t y = 0; y < 3; ++y)
            for (std::int32_t x = 0; x < 5; ++x)
                EXPECT_TRUE(SamePixel(output->GetPixel(x, y), reference->GetPixel(x, y))) << "blend " << blend;
    }
}

}  // namespace
}  // namespace qualvex::testing
