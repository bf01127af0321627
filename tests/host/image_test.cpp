#include "host/host_testing.h"
#include "host/image.h"
#include "host/image_memory.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>
#if !defined(__FLT16_MANT_DIG__)
#define IMATH_HALF_NO_LOOKUP_TABLE
#include <Imath/half.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace {

using qualvex::testing::FloatsEqual;

Pixel Colour(float r, float g, float b, float a)
{
    Pixel p;
    p.R = r;
    p.G = g;
    p.B = b;
    p.A = a;
    return p;
}

// Writes a colour and reads it back through the image's own writer and reader.
Pixel RoundTrip(PixelStorage storage, const Pixel& in)
{
    Image image(1, 1, storage);
    image.SetPixel(0, 0, in);
    return image.GetPixel(0, 0);
}

TEST(ImageStorage, EightBitRoundsToTheNearestStepAndClamps)
{
    const Pixel out = RoundTrip(PixelStorage::UInt8, Colour(0.5f, -0.25f, 1.5f, std::nanf("")));
    EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B, out.A}, {128.0f / 255.0f, 0.0f, 1.0f, 0.0f}));
    const Pixel steps = RoundTrip(PixelStorage::UInt8, Colour(0.3f / 255.0f, 0.6f / 255.0f, 254.4f / 255.0f, 1.0f));
    EXPECT_TRUE(FloatsEqual({steps.R, steps.G, steps.B, steps.A}, {0.0f, 1.0f / 255.0f, 254.0f / 255.0f, 1.0f}));
}

TEST(ImageStorage, SixteenBitRoundsToTheNearestStepAndClamps)
{
    const Pixel out = RoundTrip(PixelStorage::UInt16, Colour(0.5f, -1.0f, 2.0f, 1.0f));
    EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B, out.A}, {32768.0f / 65535.0f, 0.0f, 1.0f, 1.0f}));
}

TEST(ImageStorage, HalfKeepsValuesOutsideZeroToOne)
{
    const Pixel out = RoundTrip(PixelStorage::Half, Colour(0.1f, -2.0f, 3.5f, 1.0f));
    EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B, out.A}, {0.0999755859f, -2.0f, 3.5f, 1.0f}));
}

// The compiler's own IEEE half conversions where it has the type (clang before 15 has none on
// x86: Imath's conversions there, round to nearest even as well).
#if defined(__FLT16_MANT_DIG__)
float HalfValue(std::uint16_t bits) { return static_cast<float>(std::bit_cast<_Float16>(bits)); }
float NearestHalf(float value) { return static_cast<float>(static_cast<_Float16>(value)); }
#else
float HalfValue(std::uint16_t bits) { return imath_half_to_float(bits); }
float NearestHalf(float value) { return imath_half_to_float(imath_float_to_half(value)); }
#endif

// Half storage against independent IEEE half conversions: every half value read back, and
// every rounding boundary (the midpoints between neighbouring halves and the floats on either
// side of them) written.
TEST(ImageStorage, HalfConvertsLikeIeeeHalfAtEveryValueAndBoundary)
{
    Image image(1, 1, PixelStorage::Half);
    auto stored = [&](float value) {
        image.SetPixel(0, 0, Colour(value, 0, 0, 0));
        return image.GetPixel(0, 0).R;
    };
    auto same = [](float a, float b) { return std::isnan(a) ? std::isnan(b) : std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); };
    int failures = 0;
    for (std::uint32_t bits = 0; bits < 0x10000 && failures < 10; ++bits) {
        const float value = HalfValue(static_cast<std::uint16_t>(bits));
        if (!same(stored(value), value)) {
            ADD_FAILURE() << "half " << std::hex << bits << " does not come back as itself";
            ++failures;
        }
        if (std::isnan(value) || std::isinf(value) || bits == 0x7bff || bits == 0xfbff)
            continue;
        const float next = HalfValue(static_cast<std::uint16_t>(bits + 1));
        const float midpoint = value + (next - value) * 0.5f;
        for (float probe : {midpoint, std::nextafter(midpoint, -INFINITY), std::nextafter(midpoint, INFINITY)}) {
            const float expected = NearestHalf(probe);
            if (!same(stored(probe), expected)) {
                ADD_FAILURE() << "float " << probe << " stores as " << stored(probe) << ", expected " << expected;
                ++failures;
            }
        }
    }
    for (float beyond : {65520.0f, -65520.0f, 1e10f, std::numeric_limits<float>::infinity()})
        EXPECT_TRUE(std::isinf(stored(beyond))) << beyond;
    EXPECT_EQ(stored(65519.99f), 65504.0f);
    EXPECT_TRUE(std::isnan(stored(std::numeric_limits<float>::quiet_NaN())));
}

TEST(ImageStorage, FloatStoresValuesExactly)
{
    const Pixel in = Colour(0.1f, -0.2075499f, 7.25f, std::numeric_limits<float>::denorm_min());
    const Pixel out = RoundTrip(PixelStorage::Float, in);
    EXPECT_TRUE(FloatsEqual({out.R, out.G, out.B, out.A}, {in.R, in.G, in.B, in.A}));
}

TEST(ImageStorage, FurtherChannelsTravelInTheSecondPlaneUnchanged)
{
    for (PixelStorage storage : {PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half, PixelStorage::Float}) {
        Pixel in = Colour(0, 0, 0, 1);
        in.Z = -123.5f;
        in.Coverage = 0.25f;
        in.ObjectID = 0xdeadbeef;
        in.MaterialID = 42;
        const Pixel out = RoundTrip(storage, in);
        EXPECT_TRUE(FloatsEqual({out.Z, out.Coverage}, {in.Z, in.Coverage})) << PixelStorageName(storage);
        EXPECT_EQ(out.ObjectID, in.ObjectID);
        EXPECT_EQ(out.MaterialID, in.MaterialID);
    }
}

TEST(ImageStorage, WithoutFurtherChannelsTheSecondPlaneIsAbsent)
{
    Image image(2, 2, PixelStorage::Float, false);
    EXPECT_EQ(image.PlaneRows[1], nullptr);
    Pixel in = Colour(0.5f, 0.5f, 0.5f, 1);
    in.Z = 9.0f;
    in.ObjectID = 7;
    image.SetPixel(1, 1, in);
    const Pixel out = image.GetPixel(1, 1);
    EXPECT_EQ(out.Z, 0.0f);
    EXPECT_EQ(out.Coverage, 1.0f);
    EXPECT_EQ(out.ObjectID, 0u);
    EXPECT_EQ(out.R, 0.5f);
}

TEST(ImageGeometry, RowsComeFromTheRowTableAndPixelsByStep)
{
    Image image(3, 2, PixelStorage::UInt16);
    EXPECT_EQ(image.PixelStep[0], 8);
    EXPECT_EQ(image.PixelStep[1], 16);
    image.SetPixel(2, 1, Colour(1, 0, 0, 1));
    // The last pixel of row 1, found the way a tool finds it.
    Pixel p;
    image.ReadPixel(&p, image.PlaneRows[0][1] + 2 * image.PixelStep[0], image.PlaneRows[1][1] + 2 * image.PixelStep[1],
                    &image);
    EXPECT_EQ(p.R, 1.0f);
    EXPECT_THROW(image.GetPixel(3, 0), std::out_of_range);
    EXPECT_THROW(image.GetPixel(0, -1), std::out_of_range);
}

// Rows move the colour exactly as the pixel reader and writer do, for every storage kind: values
// on, between and beyond the steps, outside 0..1, infinities and NaN, in a run that starts inside
// the row and stops short of its end; the pixels around the run and the further channels stay.
// Small images, and one large enough (over 16 MB of float colour) that its rows are streamed.
class ImageRows : public ::testing::TestWithParam<PixelStorage> {};

std::string StorageKindName(const ::testing::TestParamInfo<PixelStorage>& info)
{
    const char* const names[] = {"UInt8", "UInt16", "Half", "Float"};
    return names[static_cast<int>(info.param)];
}

TEST_P(ImageRows, MoveTheColourExactlyAsThePixelReaderAndWriterDo)
{
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {0.0f,     -0.0f,           1.0f,         0.5f,          0.3f / 255.0f,
                                       0.5f / 255.0f, 0.7f / 255.0f, 254.5f / 255.0f, 32767.5f / 65535.0f, 1e-8f,
                                       -0.25f,   1.5f,            65504.0f,     65520.0f,      1e30f,
                                       inf,      -inf,            std::nanf(""), 0.1f,          0.999f};
    const auto count = static_cast<std::int32_t>(values.size());
    const std::int32_t width = count + 3;
    std::vector<float> b(values), g(values.rbegin(), values.rend()), r(values), a(values);
    std::rotate(r.begin(), r.begin() + 5, r.end());
    std::rotate(a.begin(), a.begin() + 11, a.end());

    for (const std::int32_t height : {2, 46000})
        for (const bool further : {true, false}) {
            SCOPED_TRACE("height " + std::to_string(height));
            Image byRow(width, height, GetParam(), further);
            Image byPixel(width, height, GetParam(), further);
            for (Image* image : {&byRow, &byPixel})
                for (std::int32_t x = 0; x < width; ++x) {
                    Pixel around = Colour(0.25f, 0.75f, 0.5f, 1.0f);
                    around.Z = 3.0f;
                    around.ObjectID = 9;
                    image->SetPixel(x, 1, around);
                    image->SetPixel(x, 0, around);
                }
            ASSERT_NE(byRow.WriteRow, nullptr);
            byRow.WriteRow(&byRow, 1, 2, count, b.data(), g.data(), r.data(), a.data());
            for (std::int32_t i = 0; i < count; ++i) {
                Pixel p = byPixel.GetPixel(2 + i, 1);  // keeps the further channels as they are
                const auto k = static_cast<std::size_t>(i);
                p.B = b[k];
                p.G = g[k];
                p.R = r[k];
                p.A = a[k];
                byPixel.SetPixel(2 + i, 1, p);
            }
            for (int plane = 0; plane < (further ? 2 : 1); ++plane)
                for (std::int32_t y = 0; y < 2; ++y)
                    EXPECT_EQ(std::memcmp(byRow.PlaneRows[plane][y], byPixel.PlaneRows[plane][y],
                                          static_cast<std::size_t>(width * byRow.PixelStep[plane])),
                              0)
                        << "plane " << plane << ", row " << y << (further ? "" : " (no further channels)");

            std::vector<float> rb(static_cast<std::size_t>(width)), rg(rb), rr(rb), ra(rb);
            ASSERT_NE(byRow.ReadRow, nullptr);
            byRow.ReadRow(&byRow, 1, 1, count + 1, rb.data(), rg.data(), rr.data(), ra.data());
            for (std::int32_t i = 0; i < count + 1; ++i) {
                const Pixel p = byRow.GetPixel(1 + i, 1);
                const auto k = static_cast<std::size_t>(i);
                EXPECT_EQ(std::bit_cast<std::uint32_t>(rb[k]), std::bit_cast<std::uint32_t>(p.B)) << "B at " << 1 + i;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(rg[k]), std::bit_cast<std::uint32_t>(p.G)) << "G at " << 1 + i;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(rr[k]), std::bit_cast<std::uint32_t>(p.R)) << "R at " << 1 + i;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(ra[k]), std::bit_cast<std::uint32_t>(p.A)) << "A at " << 1 + i;
            }
        }
}

// Row 0 of `image` read by rows gives every value's bits as the pixel reader gives them.
void ExpectRowReadsAsPixels(const Image& image)
{
    std::vector<float> b(static_cast<std::size_t>(image.Width)), g(b), r(b), a(b);
    image.ReadRow(&image, 0, 0, image.Width, b.data(), g.data(), r.data(), a.data());
    for (std::int32_t i = 0; i < image.Width; ++i) {
        const Pixel p = image.GetPixel(i, 0);
        const auto k = static_cast<std::size_t>(i);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(b[k]), std::bit_cast<std::uint32_t>(p.B)) << "pixel " << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(g[k]), std::bit_cast<std::uint32_t>(p.G)) << "pixel " << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(r[k]), std::bit_cast<std::uint32_t>(p.R)) << "pixel " << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(a[k]), std::bit_cast<std::uint32_t>(p.A)) << "pixel " << i;
    }
}

// Every stored value of the integer kinds reads by rows as the pixel reader reads it, and the
// floats at, just below and just above every step and every midpoint between two steps store by
// rows as the pixel writer stores them (runs of four pixels and the rest one by one).
TEST(ImageRows, IntegerKindsMatchThePixelReaderAndWriterAtEveryStep)
{
    for (const PixelStorage storage : {PixelStorage::UInt8, PixelStorage::UInt16}) {
        const std::int32_t largest = storage == PixelStorage::UInt8 ? 255 : 65535;
        SCOPED_TRACE(largest);
        // Reading: pixel i holds the values i, i + 1, i + 2 and i + 3 (modulo the range), so that
        // each channel meets every stored value.
        const std::int32_t width = largest + 2;  // not a multiple of four
        Image stored(width, 1, storage, false);
        for (std::int32_t i = 0; i < width; ++i) {
            for (int c = 0; c < 4; ++c) {
                const auto value = static_cast<std::uint32_t>((i + c) % (largest + 1));
                unsigned char* at = stored.PlaneRows[0][0] + static_cast<std::size_t>(i) * stored.PixelStep[0];
                if (storage == PixelStorage::UInt8) {
                    at[c] = static_cast<std::uint8_t>(value);
                } else {
                    const auto word = static_cast<std::uint16_t>(value);
                    std::memcpy(at + 2 * c, &word, sizeof word);
                }
            }
        }
        ExpectRowReadsAsPixels(stored);

        // Writing: at, below and above each step k / largest and each midpoint (k + 0.5) / largest.
        std::vector<float> values;
        for (std::int32_t k = 0; k <= largest; ++k)
            for (const double at : {static_cast<double>(k), k + 0.5}) {
                const auto v = static_cast<float>(at / largest);
                values.insert(values.end(), {std::nextafter(v, -1.0f), v, std::nextafter(v, 2.0f)});
            }
        const auto count = static_cast<std::int32_t>(values.size());
        Image byRow(count, 1, storage, false);
        Image byPixel(count, 1, storage, false);
        std::vector<float> shifted(values);
        std::rotate(shifted.begin(), shifted.begin() + 7, shifted.end());
        byRow.WriteRow(&byRow, 0, 0, count, values.data(), shifted.data(), values.data(), shifted.data());
        for (std::int32_t i = 0; i < count; ++i) {
            const auto k = static_cast<std::size_t>(i);
            byPixel.SetPixel(i, 0, Colour(values[k], shifted[k], values[k], shifted[k]));
        }
        EXPECT_EQ(std::memcmp(byRow.PlaneRows[0][0], byPixel.PlaneRows[0][0],
                              static_cast<std::size_t>(count) * static_cast<std::size_t>(byRow.PixelStep[0])),
                  0);
    }
}

// Every half, NaNs and infinities included, reads by rows as the pixel reader reads it; the floats
// at, below and above every half and every midpoint between neighbouring halves (subnormals and
// the overflow to infinity among them), and NaNs quiet and signalling, store by rows as the pixel
// writer stores them.
TEST(ImageRows, HalfMatchesThePixelReaderAndWriterAtEveryValue)
{
    const std::int32_t width = 65536 / 4 + 1;  // each channel meets every half; not a multiple of four
    Image stored(width, 1, PixelStorage::Half, false);
    for (std::int32_t i = 0; i < width; ++i)
        for (int c = 0; c < 4; ++c) {
            const auto bits = static_cast<std::uint16_t>((4 * i + c) % 65536);
            std::memcpy(stored.PlaneRows[0][0] + static_cast<std::size_t>(i) * 8 + 2 * c, &bits, sizeof bits);
        }
    ExpectRowReadsAsPixels(stored);

    std::vector<float> values;
    for (std::uint32_t bits = 0; bits < 0x7c00; ++bits) {
        const float half = HalfValue(static_cast<std::uint16_t>(bits));
        const float next = HalfValue(static_cast<std::uint16_t>(bits + 1));
        const float midpoint = static_cast<float>((static_cast<double>(half) + next) / 2.0);
        for (const float v : {half, midpoint})
            for (const float s : {1.0f, -1.0f})
                values.insert(values.end(),
                              {s * std::nextafter(v, -1.0f), s * v, s * std::nextafter(v, 1e6f)});
    }
    for (const std::uint32_t nan : {0x7fc00000u, 0x7f800001u, 0xffbfe000u, 0x7fa02000u, 0x7f801fffu})
        values.push_back(std::bit_cast<float>(nan));
    values.insert(values.end(), {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                 1e30f, -1e30f, 1e-30f, 0x1p-25f, 0x1.000002p-25f});
    const auto count = static_cast<std::int32_t>(values.size());
    Image byRow(count, 1, PixelStorage::Half, false);
    Image byPixel(count, 1, PixelStorage::Half, false);
    std::vector<float> shifted(values);
    std::rotate(shifted.begin(), shifted.begin() + 5, shifted.end());
    byRow.WriteRow(&byRow, 0, 0, count, values.data(), shifted.data(), shifted.data(), values.data());
    for (std::int32_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::size_t>(i);
        byPixel.SetPixel(i, 0, Colour(shifted[k], shifted[k], values[k], values[k]));
    }
    for (std::int32_t i = 0; i < count; ++i)
        ASSERT_EQ(std::memcmp(byRow.PlaneRows[0][0] + 8 * i, byPixel.PlaneRows[0][0] + 8 * i, 8), 0)
            << "pixel " << i << ": " << values[static_cast<std::size_t>(i)] << ", "
            << shifted[static_cast<std::size_t>(i)];
}

INSTANTIATE_TEST_SUITE_P(Storage, ImageRows,
                         ::testing::Values(PixelStorage::UInt8, PixelStorage::UInt16, PixelStorage::Half,
                                           PixelStorage::Float),
                         StorageKindName);

TEST(ImageGeometry, RefusesNegativeSizes)
{
    EXPECT_THROW(Image(-1, 4, PixelStorage::Float), std::invalid_argument);
    EXPECT_THROW(Image(4, -1, PixelStorage::Float), std::invalid_argument);
    EXPECT_NO_THROW(Image(0, 4, PixelStorage::Float));
}

TEST(NewImageTagList, CopiesSizeStorageAndPlanesOfTheModel)
{
    const std::size_t before = host::testing::LiveImages();
    Image model(5, 3, PixelStorage::Half, false);
    const std::uint64_t words[] = {ImageTag::Model, reinterpret_cast<std::uint64_t>(&model), 0, 0};
    std::unique_ptr<Image> made(NewImageTagList(TagList(words, false)));
    EXPECT_EQ(made->Width, 5);
    EXPECT_EQ(made->Height, 3);
    EXPECT_EQ(made->Storage(), PixelStorage::Half);
    EXPECT_FALSE(made->HasFurtherChannels());
    EXPECT_EQ(host::testing::LiveImages(), before + 2);
    made.reset();
    EXPECT_EQ(host::testing::LiveImages(), before + 1);

    const std::uint64_t none[] = {0, 0};
    EXPECT_THROW(NewImageTagList(TagList(none, false)), std::invalid_argument);
}

// Image memory is kept for the next images: a new image made where an old one lay starts at 0
// in every value all the same, and the kept memory stays within its bounds.
TEST(ImageMemory, ReusedMemoryStartsClearedAndKeptMemoryIsBounded)
{
    host::testing::ReleaseKeptImageMemory();
    Pixel marked;
    marked.B = marked.G = marked.R = marked.A = 0.75f;
    marked.Z = 3.0f;
    marked.Coverage = 0.5f;
    marked.ObjectID = 7;
    marked.MaterialID = 9;
    {
        Image first(64, 32, PixelStorage::Float);
        for (std::int32_t y = 0; y < 32; ++y)
            for (std::int32_t x = 0; x < 64; ++x)
                first.SetPixel(x, y, marked);
    }
    // Both planes of 64 x 32 x 16 bytes are kept.
    EXPECT_EQ(host::testing::KeptImageBytes(), 2u * 64u * 32u * 16u);
    {
        Image second(64, 32, PixelStorage::Float);
        EXPECT_EQ(host::testing::KeptImageBytes(), 0u);  // both taken again
        for (std::int32_t y = 0; y < 32; ++y)
            for (std::int32_t x = 0; x < 64; ++x) {
                const Pixel p = second.GetPixel(x, y);
                ASSERT_EQ(p.R, 0.0f);
                ASSERT_EQ(p.A, 0.0f);
                ASSERT_EQ(p.Z, 0.0f);
                ASSERT_EQ(p.Coverage, 0.0f);
                ASSERT_EQ(p.ObjectID, 0u);
            }
    }
    // More released images than are kept: the oldest go back to the system.
    {
        std::vector<std::unique_ptr<Image>> many;
        for (std::size_t i = 0; i < host::kKeptImageBlocks + 4; ++i)
            many.push_back(std::make_unique<Image>(8 + static_cast<std::int32_t>(i), 8, PixelStorage::UInt8, false));
        for (std::unique_ptr<Image>& image : many)
            image.reset();  // oldest first
    }
    EXPECT_LE(host::testing::KeptImageBytes(), host::kKeptImageBytes);
    std::size_t expected = 0;  // the newest kKeptImageBlocks single-plane 8-bit images
    for (std::size_t i = 4; i < host::kKeptImageBlocks + 4; ++i)
        expected += (8 + i) * 8 * 4;
    EXPECT_EQ(host::testing::KeptImageBytes(), expected);
    host::testing::ReleaseKeptImageMemory();
    EXPECT_EQ(host::testing::KeptImageBytes(), 0u);
}

TEST(ImageMemory, AToolThatWritesEveryPixelMayTakeUnclearedMemory)
{
    // The promise changes nothing a tool can see once it has written its pixels; the image is
    // made like any other.
    Image model(6, 4, PixelStorage::UInt16);
    const std::uint64_t words[] = {ImageTag::Model, reinterpret_cast<std::uint64_t>(&model), ImageTag::Overwritten, 1,
                                   0, 0};
    std::unique_ptr<Image> made(NewImageTagList(TagList(words, false)));
    EXPECT_EQ(made->Width, 6);
    EXPECT_EQ(made->Height, 4);
    EXPECT_EQ(made->Storage(), PixelStorage::UInt16);
    EXPECT_TRUE(made->HasFurtherChannels());
}

}  // namespace
