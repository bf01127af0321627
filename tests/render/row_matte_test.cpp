// The row matte on every instruction set this processor has, against the pixel matte (itself
// checked against the golden tables): the same bits for every colour space and every setting,
// odd ones included, over random, edge-case and special pixels.
#include "render/power_series.h"
#include "render/row_matte.h"
#include "render/row_matte_kernel.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace qualvex {
namespace {

using testing::FloatBitsEqual;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kNanD = std::numeric_limits<double>::quiet_NaN();
constexpr float kTiniest = std::numeric_limits<float>::denorm_min();  // 2^-149

struct Pixels {
    std::vector<float> R, G, B, A;
    void Add(float r, float g, float b, float a = 1.0f)
    {
        R.push_back(r);
        G.push_back(g);
        B.push_back(b);
        A.push_back(a);
    }
};

// The pixel matte of every pixel: what the row matte must give, bit for bit.
Pixels PixelMattes(const Pixels& input, const KeyReference& ref, const MatteFrame& frame)
{
    Pixels expected = input;
    for (std::size_t i = 0; i < input.R.size(); ++i) {
        ColorVec pixel{input.B[i], input.G[i], input.R[i], input.A[i]};
        ApplyMatte(pixel, ref, frame);
        expected.R[i] = pixel.R;
        expected.G[i] = pixel.G;
        expected.B[i] = pixel.B;
        expected.A[i] = pixel.A;
    }
    return expected;
}

// The row matte as the render runs it, with the frame's power series where the exponent has one,
// or (withSeries false) by the logarithm and exponential.
Pixels RowMatte(const Pixels& input, const KeyReference& ref, const MatteFrame& frame, MatteIsa isa,
                bool withSeries = true)
{
    Pixels row = input;
    std::vector<std::uint8_t> scratch(row.R.size());
    const std::shared_ptr<const row_kernel::PowerSeries> series =
        withSeries ? PowerSeriesFor(frame.InverseGamma) : nullptr;
    ApplyMatteToRow({row.R.data(), row.G.data(), row.B.data(), row.A.data(), scratch.data(),
                     static_cast<int>(row.R.size())},
                    ref, frame, isa, series.get());
    return row;
}

// Random colours over and beyond 0..1, greys, the reference colour and its windows' ends, and
// special values in every channel. Not a multiple of any lane count, so the row's tail is tried.
Pixels TestPixels(const FrameSettings& settings, std::uint32_t seed)
{
    Pixels p;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> wide(-0.5f, 1.5f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 700; ++i)
        p.Add(wide(random), wide(random), wide(random));
    for (int i = 0; i < 300; ++i) {
        const float v = unit(random);
        p.Add(v, v, v);  // grey: no hue
        p.Add(v, v + 0.000001f, v);
    }
    const float special[] = {0.0f, -0.0f, 1.0f, -1.0f, kNan, kInf, -kInf, 1e-40f, -1e-40f, kTiniest, 3e38f, 0.5f};
    for (float r : special)
        for (float g : special)
            for (float b : special)
                p.Add(r, g, b, r);
    // At the window ends, in RGB terms (exactly the edges when the space is RGB).
    for (int i = 0; i < 3; ++i) {
        const float v[3] = {static_cast<float>(settings.Value[0]), static_cast<float>(settings.Value[1]),
                            static_cast<float>(settings.Value[2])};
        for (double end : {settings.Value[i] - settings.Min[i], settings.Value[i] + settings.Max[i]}) {
            float c[3] = {v[0], v[1], v[2]};
            c[i] = static_cast<float>(end);
            p.Add(c[0], c[1], c[2]);
            c[i] = std::nextafter(c[i], kInf);
            p.Add(c[0], c[1], c[2]);
        }
        p.Add(v[0], v[1], v[2]);
    }
    return p;
}

struct SettingsCase {
    const char* What;
    FrameSettings Settings;
};

FrameSettings Base(std::int32_t mode)
{
    FrameSettings s;
    s.Mode = mode;
    const double value[3] = {0.3, 0.6, 0.2};
    for (int i = 0; i < 3; ++i) {
        s.Value[i] = value[i];
        s.Min[i] = 0.15;
        s.Max[i] = 0.2;
    }
    s.Fade = 0.4;
    s.CCAmount = 0.7;
    s.Desaturate = 0.3;
    return s;
}

std::vector<SettingsCase> Cases()
{
    std::vector<SettingsCase> cases;
    for (std::int32_t mode : {0, 1, 2, 3, 4, -1, 5, 1000}) {
        auto add = [&](const char* what, auto change) {
            FrameSettings s = Base(mode);
            change(s);
            cases.push_back({what, s});
        };
        add("plain", [](FrameSettings&) {});
        add("gamma 1.4", [](FrameSettings& s) { s.Gamma = 1.4; });
        add("gamma 0.5, offset, mult", [](FrameSettings& s) {
            s.Gamma = 0.5;
            s.Offset = -0.25;
            s.Mult = 3.0;
        });
        add("gamma 0", [](FrameSettings& s) { s.Gamma = 0.0; });
        add("negative gamma", [](FrameSettings& s) { s.Gamma = -2.0; });
        add("NaN gamma", [](FrameSettings& s) { s.Gamma = kNanD; });
        add("inverted", [](FrameSettings& s) { s.Invert = 1; });
        add("invert 2 is off", [](FrameSettings& s) { s.Invert = 2; });
        add("colour correction", [](FrameSettings& s) { s.ColorCorrect = 1; });
        add("colour correction, gamma 1.4, inverted", [](FrameSettings& s) {
            s.ColorCorrect = 1;
            s.Gamma = 1.4;
            s.Invert = 1;
        });
        // Amounts that are 0 or powers of two keep every product a float, and the correction is
        // taken in float; the others, and those whose products leave the normal floats, in double.
        const auto corrected = [&](const char* what, double amount, double desaturate, auto more) {
            add(what, [&](FrameSettings& s) {
                s.ColorCorrect = 1;
                s.CCAmount = amount;
                s.Desaturate = desaturate;
                more(s);
            });
        };
        const auto nothingMore = [](FrameSettings&) {};
        corrected("colour correction, CC Amount 1, Desaturate 0", 1.0, 0.0, nothingMore);
        corrected("colour correction, CC Amount 0.5, Desaturate 4, inverted", 0.5, 4.0,
                  [](FrameSettings& s) { s.Invert = 1; });
        corrected("colour correction, CC Amount -0, Desaturate -0.25", -0.0, -0.25, nothingMore);
        corrected("colour correction, CC Amount 2^-98 and Desaturate 2^-102: the smallest kept in float",
                  std::ldexp(1.0, -98), std::ldexp(1.0, -102), nothingMore);
        corrected("colour correction, CC Amount 2^-120 and Desaturate 2^-103: products below the normal floats",
                  std::ldexp(1.0, -120), std::ldexp(1.0, -103), nothingMore);
        corrected("colour correction, CC Amount 0.75 and Desaturate 0.375: floats, not powers of two", 0.75, 0.375,
                  nothingMore);
        // No fade: alpha 0, so w = 1, and a reference of 0.5 takes 2^-150 off. The tiniest float
        // less that is a tie, which rounds to 0; the product rounded first is a tie too, rounded
        // to 0, and the tiniest less it stays the tiniest.
        corrected("colour correction, no fade, CC Amount 2^-149, a reference of 0.5", std::ldexp(1.0, -149), 0.3,
                  [](FrameSettings& s) {
                      s.Fade = 0.0;
                      s.Value[0] = 0.5;
                  });
        corrected("colour correction, CC Amount and Desaturate 2^127", std::ldexp(1.0, 127), std::ldexp(1.0, 127),
                  nothingMore);
        corrected("colour correction, CC Amount and Desaturate 2^128, beyond the floats", std::ldexp(1.0, 128),
                  std::ldexp(1.0, 128), nothingMore);
        // 2 x 2^127 is 2^128, past the largest float: a pixel of 3e38 less it is finite in double.
        corrected("colour correction, CC Amount 2, a reference of 2^127", 2.0, 0.3,
                  [](FrameSettings& s) { s.Value[0] = std::ldexp(1.0, 127); });
        corrected("colour correction, CC Amount 0, an infinite reference", 0.0, 0.3,
                  [](FrameSettings& s) { s.Value[1] = 1e39; });
        add("zero widths", [](FrameSettings& s) {
            for (int i = 0; i < 3; ++i)
                s.Min[i] = s.Max[i] = 0.0;
        });
        add("NaN widths", [](FrameSettings& s) {
            s.Min[0] = kNanD;
            s.Max[2] = kNanD;
        });
        add("negative widths", [](FrameSettings& s) {
            s.Min[1] = -0.3;
            s.Max[1] = 0.1;
        });
        add("wide open", [](FrameSettings& s) {
            for (int i = 0; i < 3; ++i)
                s.Min[i] = s.Max[i] = 4.0;
        });
        add("NaN fade and value", [](FrameSettings& s) {
            s.Fade = kNanD;
            s.Value[1] = kNanD;
        });
        add("no fade", [](FrameSettings& s) { s.Fade = 0.0; });
        add("huge offset and mult", [](FrameSettings& s) {
            s.Offset = 1e300;
            s.Mult = -1e300;
        });
    }
    return cases;
}

TEST(RowMatte, EveryInstructionSetGivesThePixelMattesBits)
{
    std::vector<MatteIsa> sets;
    for (MatteIsa isa : {MatteIsa::Scalar, MatteIsa::Avx2, MatteIsa::Avx512})
        if (MatteIsaAvailable(isa))
            sets.push_back(isa);
    ::testing::Test::RecordProperty("instruction_sets", static_cast<int>(sets.size()));
    std::uint32_t seed = 1;
    for (const SettingsCase& c : Cases()) {
        const MatteFrame frame = PrepareMatteFrame(c.Settings);
        const KeyReference ref = SliderReference(frame);
        const Pixels input = TestPixels(c.Settings, seed++);
        const Pixels expected = PixelMattes(input, ref, frame);
        for (MatteIsa isa : sets)
            for (bool withSeries : {true, false}) {
                const Pixels row = RowMatte(input, ref, frame, isa, withSeries);
                const std::string label = std::string(MatteIsaName(isa)) + ", space " +
                                          std::to_string(c.Settings.Mode) + ", " + c.What +
                                          (withSeries ? "" : ", log and exp");
                EXPECT_TRUE(FloatBitsEqual(row.A, expected.A)) << label << ": alpha";
                EXPECT_TRUE(FloatBitsEqual(row.R, expected.R)) << label << ": red";
                EXPECT_TRUE(FloatBitsEqual(row.G, expected.G)) << label << ": green";
                EXPECT_TRUE(FloatBitsEqual(row.B, expected.B)) << label << ": blue";
            }
    }
}

// Where Offset, Mult and the clamp give 0 or 1 whatever the power gives, a block of such pixels
// takes no power. The clamp's ends by hand: with Offset -0.25 and Mult 3, raised alphas up to 0.25
// shape to 0 and from 0.25 + 1/3 on to 1; with Offset 0 and Mult 1, from 1 on to 1, and only 0
// to 0 (so nothing below is decided). Pixels swept a float at a time across the alphas where the
// clamp starts, for Gammas, Offsets and Mults on both sides of what lets the matte decide, take
// the pixel matte's bits on every instruction set.
TEST(RowMatte, BlocksTheClampDecidesTakeThePixelMattesBitsAcrossItsEnds)
{
    {
        FrameSettings s;
        s.Gamma = 1.4;
        s.Offset = -0.25;
        s.Mult = 3.0;
        const MatteFrame frame = PrepareMatteFrame(s);
        EXPECT_EQ(frame.PowerLowRaised, 0.25f);
        EXPECT_NEAR(frame.PowerHighRaised, 0.25 + 1.0 / 3.0, 1e-7);
        EXPECT_NEAR(frame.PowerLow, std::pow(0.25, 1.4), 1e-6);
        EXPECT_NEAR(frame.PowerHigh, std::pow(0.25 + 1.0 / 3.0, 1.4), 1e-6);
        s.Offset = 0.0;
        s.Mult = 1.0;
        const MatteFrame plain = PrepareMatteFrame(s);
        EXPECT_EQ(plain.PowerHighRaised, 1.0f);
        EXPECT_EQ(plain.PowerLow, -1.0);
        s.Gamma = 1.0;
        EXPECT_TRUE(std::isnan(PrepareMatteFrame(s).PowerHigh)) << "no power, nothing to decide";
    }
    struct Case {
        double Gamma, Offset, Mult;
        std::int32_t Invert, ColorCorrect;
    };
    const Case cases[] = {
        {1.4, 0.0, 1.0, 0, 0},    {1.4, -0.25, 3.0, 0, 1}, {0.45, 0.1, 1.5, 1, 0}, {2.2, -0.5, 1.0, 0, 1},
        {1.4, -0.25, 0.5, 0, 0},  // Mult below 1: nothing decided below
        {999.0, -0.2, 2.0, 0, 0}, {0.002, -0.3, 4.0, 0, 1}, {1.4, 0.3, 1.0, 0, 0}, {-1.4, 0.0, 1.0, 0, 0},
    };
    std::vector<MatteIsa> sets;
    for (MatteIsa isa : {MatteIsa::Scalar, MatteIsa::Avx2, MatteIsa::Avx512})
        if (MatteIsaAvailable(isa))
            sets.push_back(isa);
    for (const Case& c : cases) {
        FrameSettings s = Base(ColorSpaceRGB);
        for (int i = 0; i < 3; ++i) {
            s.Value[i] = 0.5;
            s.Min[i] = s.Max[i] = 0.1;
        }
        s.Fade = 1.0;  // alpha 1.41 at the window's middle, falling below 0.01 as red leaves it
        s.Gamma = c.Gamma;
        s.Offset = c.Offset;
        s.Mult = c.Mult;
        s.Invert = c.Invert;
        s.ColorCorrect = c.ColorCorrect;
        const MatteFrame frame = PrepareMatteFrame(s);
        const KeyReference ref = SliderReference(frame);
        const auto reference = [&](float red) {
            ColorVec pixel{0.5f, 0.5f, red, 1.0f};
            ApplyMatte(pixel, ref, frame);
            return pixel;
        };
        // Red from the window's middle down to -60, coarsely; then a float at a time around each
        // place where the reference's alpha leaves or reaches an end of 0..1.
        std::vector<float> reds;
        for (double t = 1e-4; t < 60.0; t *= 1.01)
            reds.push_back(static_cast<float>(0.5 - t));
        std::vector<float> swept;
        for (std::size_t i = 1; i < reds.size(); ++i) {
            const auto atEnd = [](float a) { return a == 0.0f || a == 1.0f; };
            if (atEnd(reference(reds[i - 1]).A) == atEnd(reference(reds[i]).A))
                continue;
            float red = reds[i - 1];
            for (int k = 0; k < 3000 && red > reds[i]; ++k) {
                swept.push_back(red);
                red = std::nextafter(red, -kInf);
            }
        }
        reds.insert(reds.end(), swept.begin(), swept.end());
        Pixels input;
        for (float red : reds)
            input.Add(red, 0.5f, 0.5f);
        const Pixels expected = PixelMattes(input, ref, frame);
        const std::string label = "gamma " + std::to_string(c.Gamma) + ", offset " + std::to_string(c.Offset) +
                                  ", mult " + std::to_string(c.Mult) + ", " + std::to_string(swept.size()) + " swept";
        for (MatteIsa isa : sets) {
            const Pixels row = RowMatte(input, ref, frame, isa);
            EXPECT_TRUE(FloatBitsEqual(row.A, expected.A)) << MatteIsaName(isa) << ", " << label << ": alpha";
            EXPECT_TRUE(FloatBitsEqual(row.R, expected.R)) << MatteIsaName(isa) << ", " << label << ": red";
            EXPECT_TRUE(FloatBitsEqual(row.B, expected.B)) << MatteIsaName(isa) << ", " << label << ": blue";
        }
    }
}

// Rows shorter than a vector, and one exactly a vector long, take the same results.
TEST(RowMatte, ShortRowsAndExactBlocks)
{
    const FrameSettings settings = Base(ColorSpaceHSV);
    const MatteFrame frame = PrepareMatteFrame(settings);
    const KeyReference ref = SliderReference(frame);
    for (int count : {1, 7, 8, 9, 15, 16, 17, 32}) {
        Pixels input;
        for (int i = 0; i < count; ++i)
            input.Add(0.1f * static_cast<float>(i % 10), 0.6f, 0.05f * static_cast<float>(i));
        std::vector<float> expected;
        for (int i = 0; i < count; ++i) {
            ColorVec pixel{input.B[static_cast<std::size_t>(i)], input.G[static_cast<std::size_t>(i)],
                           input.R[static_cast<std::size_t>(i)], 1.0f};
            ApplyMatte(pixel, ref, frame);
            expected.push_back(pixel.A);
        }
        for (MatteIsa isa : {MatteIsa::Scalar, MatteIsa::Avx2, MatteIsa::Avx512}) {
            if (!MatteIsaAvailable(isa))
                continue;
            Pixels row = input;
            std::vector<std::uint8_t> scratch(static_cast<std::size_t>(count));
            ApplyMatteToRow({row.R.data(), row.G.data(), row.B.data(), row.A.data(), scratch.data(), count}, ref,
                            frame, isa, PowerSeriesFor(frame.InverseGamma).get());
            EXPECT_TRUE(FloatBitsEqual(row.A, expected)) << MatteIsaName(isa) << ", " << count << " pixels";
        }
    }
}

// Raises `alphas` to `inverseGamma` on every instruction set this processor has, by the
// exponent's series where it has one and by the logarithm and exponential always, and expects
// `expected`'s bits from each. Returns whether the exponent had a series.
bool ExpectEveryWayRaisesAs(const std::vector<float>& alphas, const std::vector<float>& expected, double inverseGamma)
{
    const row_kernel::Kernel* kernels[] = {MatteIsaAvailable(MatteIsa::Avx2) ? &row_kernel::kAvx2 : nullptr,
                                           MatteIsaAvailable(MatteIsa::Avx512) ? &row_kernel::kAvx512 : nullptr};
    const std::shared_ptr<const row_kernel::PowerSeries> owned = PowerSeriesFor(inverseGamma);
    const row_kernel::PowerSeries* const series = owned.get();
    const std::vector<std::uint8_t> none(alphas.size(), 0);
    // First the logarithm and exponential, then the series.
    for (const row_kernel::PowerSeries* way : {static_cast<const row_kernel::PowerSeries*>(nullptr), series}) {
        row_kernel::Params params{};
        params.Power = true;
        params.InverseGamma = inverseGamma;
        params.Series = way;
        for (const row_kernel::Kernel* kernel : kernels) {
            if (kernel == nullptr)
                continue;
            std::vector<float> raised = alphas;
            kernel->Power(params, raised.data(), none.data(), static_cast<int>(raised.size()));
            EXPECT_TRUE(FloatBitsEqual(raised, expected))
                << kernel->Lanes << " lanes, exponent " << inverseGamma << (way ? ", series" : ", log and exp");
        }
        if (series == nullptr)
            break;  // no series: the logarithm and exponential were the only way
    }
    return series != nullptr;
}

// The vector pow against libm's, rounded to float, over alphas from the smallest float to beyond
// any the matte makes, and the exponents Gamma gives (1 / Gamma, from 1 / 0.0001 to negative),
// by the series and by the logarithm and exponential.
TEST(RowMatte, VectorPowerRoundsAsLibmDoes)
{
    std::vector<float> alphas;
    std::mt19937 random(11);
    std::uniform_int_distribution<std::uint32_t> bits(0x00000001u, 0x4b000000u);  // up to 2^23
    for (int i = 0; i < 400000; ++i) {
        const std::uint32_t pattern = bits(random);
        float a;
        std::memcpy(&a, &pattern, sizeof a);
        alphas.push_back(a);
    }
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 200000; ++i)
        alphas.push_back(unit(random));
    for (float special : {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 0.25f, 2.0f, kNan, kInf, -kInf, 1e-45f, 1e-38f, 3e38f})
        alphas.push_back(special);
    alphas.resize(alphas.size() / 16 * 16);
    int withSeries = 0;
    for (double inverseGamma : {1.0 / 1.4, 1.0 / 2.2, 2.0, 1.0 / 0.3, 1.0 / 0.0001, -0.5, -3.0, 0.999999, 1e-9, 0.25,
                                1.0 / 0.45, 4.5, -1.0, 1.0 / 3.0}) {
        std::vector<float> expected(alphas.size());
        for (std::size_t i = 0; i < alphas.size(); ++i)
            expected[i] = static_cast<float>(std::pow(static_cast<double>(alphas[i]), inverseGamma));
        withSeries += ExpectEveryWayRaisesAs(alphas, expected, inverseGamma) ? 1 : 0;
    }
    EXPECT_GE(withSeries, 9);  // the exponents of everyday Gammas have one
}

// The series is kept for the exponents whose eight terms leave under 2^-40 at |r| = 1/32: worked
// by hand, 1 / 1.4 leaves about 1e-14 and whole exponents up to 7 leave nothing; 1 / 0.1 leaves
// C(10, 8) 2^-40 = 45 2^-40 and -3 leaves C(10, 2) 2^-40, too much; not-a-numbers and infinities
// have none.
TEST(RowMatte, ThePowerSeriesIsKeptForTheExponentsItServesExactly)
{
    for (double kept : {1.0 / 1.4, 1.0 / 2.2, 0.5, 1.0, 2.0, 4.0, 7.0, -0.5, 1e-9, 1.0 / 0.3})
        EXPECT_NE(PowerSeriesFor(kept), nullptr) << kept;
    for (double refused : {10.0, -3.0, 1.0 / 0.0001, 1e300, kNanD, std::numeric_limits<double>::infinity()})
        EXPECT_EQ(PowerSeriesFor(refused), nullptr) << refused;
}

// Squaring (Gamma 0.5) is exact in double, so the float it rounds to is known without any pow:
// every alpha whose square lies on a float rounding midpoint, or within 2^-34 of one (both sides
// of the vector pow's margin), rounds as the exact square does. Exact midpoints: a = 1 + m 2^-23
// with m = 2^11 (2j + 1) gives a^2 = 1 + 2m 2^-23 + (2j + 1)^2 2^-24, half a float step past a
// float; nearby m come within a few 2^-46 of one. Scaled by powers of two into 0..1.
TEST(RowMatte, VectorPowerRoundsSquaresOnAndNearFloatMidpointsExactly)
{
    std::vector<float> alphas, expected;
    int onMidpoint = 0;
    for (std::uint32_t m = 0; m < 3474675u; ++m) {  // a^2 below 2: m below (sqrt 2 - 1) 2^23
        const std::uint64_t square = std::uint64_t{m} * m;
        const std::int64_t fromMidpoint =
            static_cast<std::int64_t>(square % (std::uint64_t{1} << 23)) - (std::int64_t{1} << 22);
        if (fromMidpoint < -4096 || fromMidpoint > 4096)
            continue;
        onMidpoint += fromMidpoint == 0 ? 1 : 0;
        const float a = 1.0f + static_cast<float>(m) * 0x1p-23f;
        for (const float scale : {0.5f, 0x1p-5f}) {
            const float alpha = a * scale;  // exact: a power of two
            alphas.push_back(alpha);
            const double exact = static_cast<double>(alpha) * static_cast<double>(alpha);  // 48 bits: exact
            expected.push_back(static_cast<float>(exact));
        }
    }
    ASSERT_GT(onMidpoint, 400);
    ASSERT_GT(alphas.size(), 2000u);
    while (alphas.size() % 16 != 0) {
        alphas.push_back(0.5f);
        expected.push_back(0.25f);
    }
    EXPECT_TRUE(ExpectEveryWayRaisesAs(alphas, expected, 2.0));  // squaring has a series
}

}  // namespace
}  // namespace qualvex
