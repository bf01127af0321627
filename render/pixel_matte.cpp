#include "render/pixel_matte.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace qualvex {
namespace {

float FloatAt(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// With Mult above 0 and Offset finite, shaping never lowers the alpha as the raised alpha grows
// (each step rounds monotonically), so the raised alphas shaped to 0 are the floats up to some
// p0 and those shaped to 1 the floats from some p1; both are found by bisection over the
// non-negative floats' bit patterns, which order as their values do. An alpha a reaches them
// when a^(1 / Gamma), exactly, lies 1e-6 of itself inside them: for Gamma in 1e-3 .. 1e3 the
// rounding of 1 / InverseGamma and of pow moves the bound by under 3e-13 of itself, and libm's
// and the vector power's errors are far below the margin too.
void DecidePower(MatteFrame& frame)
{
    frame.PowerLow = -1.0;
    frame.PowerLowRaised = 0.0f;
    frame.PowerHigh = std::numeric_limits<double>::quiet_NaN();
    frame.PowerHighRaised = 1.0f;
    const double offset = frame.Settings.Offset;
    const double mult = frame.Settings.Mult;
    if (!NeedsPower(frame) || !std::isfinite(offset) || !std::isfinite(mult) || !(mult > 0.0) ||
        !(frame.InverseGamma > 0.0))
        return;
    const double gamma = 1.0 / frame.InverseGamma;  // InverseGamma is above 0 here
    if (!(gamma >= 1e-3 && gamma <= 1e3))
        return;
    const std::uint32_t largest = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::max());
    if (OffsetMultClamp(FloatAt(largest), frame.Settings) == 1.0f) {
        std::uint32_t lo = 0, hi = largest;  // the first pattern shaped to 1 lies in lo .. hi
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (OffsetMultClamp(FloatAt(mid), frame.Settings) == 1.0f)
                hi = mid;
            else
                lo = mid + 1;
        }
        const double high = std::pow(static_cast<double>(FloatAt(lo)) * (1.0 + 1e-6), gamma);
        if (std::isfinite(high)) {
            frame.PowerHigh = high;
            frame.PowerHighRaised = FloatAt(lo);
        }
    }
    // Below, a product rounding to -0 would keep its sign through the clamp; with Mult at least 1
    // none can (a negative float times it is at least the smallest float away from 0), so every
    // raised alpha shaped to 0 is shaped to +0.
    if (mult >= 1.0 && std::bit_cast<std::uint32_t>(OffsetMultClamp(0.0f, frame.Settings)) == 0) {
        std::uint32_t lo = 0, hi = largest;  // the last pattern shaped to 0 lies in lo .. hi
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo + 1) / 2;
            if (OffsetMultClamp(FloatAt(mid), frame.Settings) == 0.0f)
                lo = mid;
            else
                hi = mid - 1;
        }
        const double low = std::pow(static_cast<double>(FloatAt(lo)) * (1.0 - 1e-6), gamma);
        if (low > 0.0 && std::isfinite(low)) {
            frame.PowerLow = low;
            frame.PowerLowRaised = FloatAt(lo);
        }
    }
}

}  // namespace

MatteFrame PrepareMatteFrame(const FrameSettings& settings)
{
    MatteFrame frame{};
    frame.Settings = settings;
    double widest = 0.0;
    for (int i = 0; i < 3; ++i) {
        double width = settings.Min[i] + settings.Max[i];
        // A window of no width (or a NaN one) would key nothing and divide by zero: 0.001 instead.
        if (width == 0.0 || std::isnan(width))
            width = 0.001;
        frame.Width[i] = width;
        if (i == 0 || width > widest)
            widest = width;
    }
    frame.FadeExtent = widest * settings.Fade;
    frame.ApplyGamma = settings.Gamma != 0.0 && !std::isnan(settings.Gamma);
    // Gamma 0 skips the step, so the division only happens for other values.
    frame.InverseGamma = frame.ApplyGamma ? 1.0 / settings.Gamma : 1.0;
    frame.GammaIsOne = frame.InverseGamma == 1.0;
    frame.Invert = settings.Invert == 1;
    frame.ColorCorrect = settings.ColorCorrect == 1;
    DecidePower(frame);
    return frame;
}

}  // namespace qualvex
