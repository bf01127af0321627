#include "render/power_series.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>

namespace qualvex {
namespace {

using row_kernel::PowerSeries;

// The largest |r| the kernel feeds the series: m in a sixteenth of [1, 2) against its middle c
// gives |m / c - 1| <= (1 / 32) / c < 1 / 32.
constexpr double kLargestR = 1.0 / 32.0;

// What the series leaves past its kept terms at |r| = 1/32: the sum of the dropped terms'
// magnitudes, until they fall below 1e-30 (the coefficients' ratio tends to -1, so past n >
// |inverseGamma| the terms shrink by about 1/32 each). Infinite when the exponent is not finite.
double DroppedTerms(double inverseGamma)
{
    if (!std::isfinite(inverseGamma) || std::fabs(inverseGamma) > 64.0)
        return HUGE_VAL;
    double coefficient = 1.0, power = 1.0, dropped = 0.0;
    for (int n = 1; n < 400; ++n) {
        coefficient *= (inverseGamma - (n - 1)) / n;
        power *= kLargestR;
        if (n < PowerSeries::kTerms)
            continue;
        const double term = std::fabs(coefficient) * power;
        dropped += term;
        if (term < 1e-30 && n > std::fabs(inverseGamma))
            return dropped;
    }
    return HUGE_VAL;
}

void Fill(PowerSeries& series, double inverseGamma)
{
    series.Coefficients[0] = 1.0;
    for (int n = 1; n < PowerSeries::kTerms; ++n)
        series.Coefficients[n] = series.Coefficients[n - 1] * (inverseGamma - (n - 1)) / n;
    for (int j = 0; j < 16; ++j)
        series.Inverse[j] = 1.0 / (1.0 + (2 * j + 1) / 32.0);
    // Negative alphas, exponent fields 0 (zero, subnormals) and 255 (infinities, NaN): NaN, which
    // fails the kernel's range check and sends the alpha to libm.
    std::fill(std::begin(series.Scale), std::end(series.Scale), std::numeric_limits<double>::quiet_NaN());
    for (int e = 1; e < 255; ++e)
        for (int j = 0; j < 16; ++j)
            series.Scale[e * 16 + j] = std::pow(std::ldexp(1.0 / series.Inverse[j], e - 127), inverseGamma);
}

}  // namespace

std::shared_ptr<const row_kernel::PowerSeries> PowerSeriesFor(double inverseGamma)
{
    if (!(DroppedTerms(inverseGamma) <= 0x1p-40))
        return nullptr;
    struct Kept {
        double InverseGamma = 0.0;
        std::shared_ptr<const PowerSeries> Series;
        std::uint64_t Asked = 0;  // when last asked for, in asks
    };
    static std::mutex guard;
    static std::array<Kept, 4> kept;
    static std::uint64_t asks = 0;
    const std::lock_guard<std::mutex> lock(guard);
    ++asks;
    Kept* oldest = &kept[0];
    for (Kept& entry : kept) {
        if (entry.Series && std::memcmp(&entry.InverseGamma, &inverseGamma, sizeof inverseGamma) == 0) {
            entry.Asked = asks;
            return entry.Series;
        }
        if (entry.Asked < oldest->Asked)
            oldest = &entry;
    }
    // 64 KB: on the heap, made under the lock (a few hundred microseconds, once per exponent).
    auto series = std::make_shared<PowerSeries>();
    Fill(*series, inverseGamma);
    *oldest = Kept{inverseGamma, series, asks};
    return series;
}

}  // namespace qualvex
