// The pixel path on arbitrary bit patterns: a pixel and a key-image pixel through every colour
// space and back, and through the matte under arbitrary frame settings. The input is read as raw
// floats, doubles and integers, so not-a-number values, infinities and subnormals all arrive.
#include "fuzz_check.h"

#include "color/color_vec.h"
#include "color/conversions.h"
#include "render/pixel_matte.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using qualvex::fuzz::ByteReader;
using qualvex::fuzz::Require;

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool SameBits(const ColorVec& a, const ColorVec& b)
{
    return SameBits(a.R, b.R) && SameBits(a.G, b.G) && SameBits(a.B, b.B) && SameBits(a.A, b.A);
}
// The same bits, except that any not-a-number matches any other: where two NaN operands meet, the
// compiler may swap them, and which payload survives is not part of a result.
bool SameResult(float a, float b) { return SameBits(a, b) || (std::isnan(a) && std::isnan(b)); }
bool SameResult(const ColorVec& a, const ColorVec& b)
{
    return SameResult(a.R, b.R) && SameResult(a.G, b.G) && SameResult(a.B, b.B) && SameResult(a.A, b.A);
}

ColorVec TakeColour(ByteReader& in)
{
    ColorVec c;
    c.R = in.Take<float>();
    c.G = in.Take<float>();
    c.B = in.Take<float>();
    c.A = in.Take<float>();
    return c;
}

// Mostly one of the selector's meaningful values and its neighbours; now and then any integer.
std::int32_t TakeSelector(ByteReader& in, std::int32_t span)
{
    const std::uint8_t choice = in.Take<std::uint8_t>();
    if (choice < 240)
        return static_cast<std::int32_t>(choice % (span + 2)) - 1;
    return in.Take<std::int32_t>();
}

qualvex::FrameSettings TakeSettings(ByteReader& in)
{
    qualvex::FrameSettings s;
    s.Mode = TakeSelector(in, 5);
    for (double& v : s.Value)
        v = in.Take<double>();
    for (double& v : s.Min)
        v = in.Take<double>();
    for (double& v : s.Max)
        v = in.Take<double>();
    s.Fade = in.Take<double>();
    s.Gamma = in.Take<double>();
    s.Mult = in.Take<double>();
    s.Offset = in.Take<double>();
    s.Invert = TakeSelector(in, 2);
    s.ColorCorrect = TakeSelector(in, 2);
    s.CCAmount = in.Take<double>();
    s.Desaturate = in.Take<double>();
    return s;
}

void CheckConversions(const ColorVec& c, std::int32_t space)
{
    const bool converts = space >= ColorSpaceHSV && space <= ColorSpaceYCbCr;
    const ColorVec there = qualvex::RgbToSpace(c, space);
    const ColorVec back = qualvex::SpaceToRgb(c, space);
    const std::string which = "colour space " + std::to_string(space);
    if (converts) {
        Require(there.A == 1.0f, which + ": a converted colour has A = 1");
        Require(back.A == 1.0f, which + ": a colour converted back has A = 1");
    } else {
        Require(SameBits(there, c) && SameBits(back, c), which + ": a space outside 0..4 is RGB, unchanged");
    }
    // Pure: the same bits in give the same bits out.
    Require(SameResult(there, qualvex::RgbToSpace(c, space)) && SameResult(back, qualvex::SpaceToRgb(c, space)),
            which + ": conversions are repeatable");
    if (converts)
        Require(qualvex::SpaceToRgb(there, space).A == 1.0f, which + ": a round trip ends with A = 1");
}

void CheckMatte(const ColorVec& pixel, const qualvex::KeyReference& ref, const qualvex::MatteFrame& frame)
{
    ColorVec keyed = pixel;
    qualvex::ApplyMatte(keyed, ref, frame);
    Require(keyed.A >= 0.0f && keyed.A <= 1.0f, "alpha lies in 0..1, got " + std::to_string(keyed.A));
    if (!frame.ColorCorrect)
        Require(SameBits(keyed.R, pixel.R) && SameBits(keyed.G, pixel.G) && SameBits(keyed.B, pixel.B),
                "without colour correction the pixel keeps its colour, bit for bit");
    ColorVec again = pixel;
    qualvex::ApplyMatte(again, ref, frame);
    Require(SameResult(keyed, again), "the matte is repeatable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ByteReader in(data, size);
    const ColorVec pixel = TakeColour(in);
    const ColorVec key = TakeColour(in);
    const qualvex::FrameSettings settings = TakeSettings(in);

    for (std::int32_t space = -1; space <= 5; ++space) {
        CheckConversions(pixel, space);
        CheckConversions(key, space);
    }
    CheckConversions(pixel, settings.Mode);

    const qualvex::MatteFrame frame = qualvex::PrepareMatteFrame(settings);
    for (int i = 0; i < 3; ++i)
        Require(frame.Width[i] != 0.0 && !std::isnan(frame.Width[i]), "a window always has a width");
    Require(frame.Invert == (settings.Invert == 1) && frame.ColorCorrect == (settings.ColorCorrect == 1),
            "inversion and colour correction are on only at exactly 1");

    CheckMatte(pixel, qualvex::SliderReference(frame), frame);
    CheckMatte(pixel, qualvex::KeyPixelReference(key, frame), frame);
    return 0;
}
