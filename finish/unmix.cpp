#include "finish/unmix.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace qualvex::finish {

namespace {

// Below this difference of excess (linear light) screen and subject are too alike for the colour
// to say how much of each a pixel holds.
constexpr double kLeastContrast = 0.02;
// A pixel the key calls screen (0) is given an alpha only from this up: below it, a screen's grain
// and compression noise beside an edge would read as faint specks of subject.
constexpr double kNoiseFloor = 0.1;
// Pixels within this distance (a square) of a matte above 0 are unmixed.
constexpr std::int32_t kBand = 2;
// Sums kept per pixel class: R, G, B and the count, for screen and for subject.
constexpr std::size_t kSums = 8;

bool Finite(const float* c)
{
    return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
}

// Marks the pixels to unmix: matte below 1 with a matte above 0 within kBand pixels. A row pass
// then a column pass of "any above 0", each a running count over a window of 2 kBand + 1.
void MarkBand(const AlphaPlane& matte, std::vector<unsigned char>& across, std::vector<unsigned char>& nearEdge)
{
    const std::int32_t width = matte.Width;
    const std::int32_t height = matte.Height;
    across.resize(matte.Values.size());  // every value is written below
    for (std::int32_t y = 0; y < height; ++y) {
        const float* row = &matte.Values[matte.Index(0, y)];
        unsigned char* out = &across[matte.Index(0, y)];
        int count = 0;
        for (std::int32_t x = 0; x < std::min(kBand, width); ++x)
            count += row[x] > 0.0f ? 1 : 0;
        for (std::int32_t x = 0; x < width; ++x) {
            if (x + kBand < width)
                count += row[x + kBand] > 0.0f ? 1 : 0;
            if (x - kBand - 1 >= 0)
                count -= row[x - kBand - 1] > 0.0f ? 1 : 0;
            out[x] = count > 0 ? 1 : 0;
        }
    }
    nearEdge.assign(matte.Values.size(), 0);
    const auto w = static_cast<std::size_t>(width);
    std::vector<int> counts(w, 0);
    for (std::int32_t y = 0; y < std::min(kBand, height); ++y)
        for (std::size_t x = 0; x < w; ++x)
            counts[x] += across[matte.Index(0, y) + x];
    for (std::int32_t y = 0; y < height; ++y) {
        if (y + kBand < height)
            for (std::size_t x = 0; x < w; ++x)
                counts[x] += across[matte.Index(0, y + kBand) + x];
        if (y - kBand - 1 >= 0)
            for (std::size_t x = 0; x < w; ++x)
                counts[x] -= across[matte.Index(0, y - kBand - 1) + x];
        const float* alpha = &matte.Values[matte.Index(0, y)];
        unsigned char* out = &nearEdge[matte.Index(0, y)];
        for (std::size_t x = 0; x < w; ++x)
            out[x] = counts[x] > 0 && alpha[x] < 1.0f ? 1 : 0;
    }
}

// Adds (sign 1) or takes away (sign -1) one row's screen and subject colours to the column sums.
// Without branches, so that it runs in vectors: a colour that is not finite counts as nothing.
void AddRow(const AlphaPlane& matte, const std::vector<float>& colour, std::int32_t y, double sign, double* columns)
{
    const std::size_t first = matte.Index(0, y);
    for (std::size_t x = 0; x < static_cast<std::size_t>(matte.Width); ++x) {
        const float a = matte.Values[first + x];
        const float* c = &colour[3 * (first + x)];
        const bool finite = Finite(c);
        const double screen = a <= 0.0f && finite ? sign : 0.0;
        const double subject = a >= 1.0f && finite ? sign : 0.0;
        const double r = finite ? static_cast<double>(c[0]) : 0.0;
        const double g = finite ? static_cast<double>(c[1]) : 0.0;
        const double b = finite ? static_cast<double>(c[2]) : 0.0;
        double* sums = columns + kSums * x;
        sums[0] += screen * r;
        sums[1] += screen * g;
        sums[2] += screen * b;
        sums[3] += screen;
        sums[4] += subject * r;
        sums[5] += subject * g;
        sums[6] += subject * b;
        sums[7] += subject;
    }
}

}  // namespace

float DecodedLight(float value, UnmixLight light)
{
    if (!(value > 0.0f))
        return value;  // 0, below 0 or NaN: as it is
    switch (light) {
    case UnmixLight::Srgb:
        return value <= 0.04045f ? value / 12.92f : std::pow((value + 0.055f) / 1.055f, 2.4f);
    case UnmixLight::Rec709:
        return value < 0.081f ? value / 4.5f : std::pow((value + 0.099f) / 1.099f, 1.0f / 0.45f);
    case UnmixLight::Off:
    case UnmixLight::AsGiven:
        break;
    }
    return value;
}

void UnmixEdges(AlphaPlane& matte, std::vector<float>& colour, const UnmixSettings& settings, UnmixScratch& scratch)
{
    if (settings.Light == UnmixLight::Off || matte.Values.empty())
        return;
    const ScreenChannels channels = ChannelsOfScreen(settings.Screen);
    if (!channels.Red && !channels.Green && !channels.Blue)
        return;  // a grey screen: no excess to measure by
    // A reach below 1 (or NaN) looks at the next pixels only; one beyond 256 pixels is held there.
    const std::int32_t reach =
        settings.Reach >= 1.0 ? static_cast<std::int32_t>(std::min(std::floor(settings.Reach + 0.5), 256.0)) : 1;
    if (settings.Light != UnmixLight::AsGiven)
        for (float& value : colour)
            value = DecodedLight(value, settings.Light);

    // The whole frame's subject, for edge pixels with none near.
    double subject[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < matte.Values.size(); ++i)
        if (matte.Values[i] >= 1.0f && Finite(&colour[3 * i])) {
            for (int k = 0; k < 3; ++k)
                subject[k] += static_cast<double>(colour[3 * i + static_cast<std::size_t>(k)]);
            subject[3] += 1.0;
        }
    double fallbackSubject = 0.0;  // none in the frame: a neutral subject
    if (subject[3] > 0.0) {
        const double mean[3] = {subject[0] / subject[3], subject[1] / subject[3], subject[2] / subject[3]};
        fallbackSubject = ScreenExcess(mean, channels);
    }

    MarkBand(matte, scratch.Across, scratch.Near);
    scratch.Alpha = matte.Values;  // the new values; the window reads the matte as it came
    const std::int32_t width = matte.Width;
    const std::int32_t height = matte.Height;
    const auto w = static_cast<std::size_t>(width);
    scratch.Columns.assign(kSums * w, 0.0);
    scratch.Prefix.assign(kSums * (w + 1), 0.0);
    double* const columns = scratch.Columns.data();
    double* const prefix = scratch.Prefix.data();
    // Running sums down each column over rows y - reach .. y + reach.
    for (std::int32_t k = 0; k <= std::min(reach, height - 1); ++k)
        AddRow(matte, colour, k, 1.0, columns);
    for (std::int32_t y = 0; y < height; ++y) {
        if (y > 0) {
            if (y + reach < height)
                AddRow(matte, colour, y + reach, 1.0, columns);
            if (y - reach - 1 >= 0)
                AddRow(matte, colour, y - reach - 1, -1.0, columns);
        }
        const unsigned char* nearRow = &scratch.Near[matte.Index(0, y)];
        if (std::none_of(nearRow, nearRow + width, [](unsigned char n) { return n != 0; }))
            continue;
        // Sums across the row, so that any window's is a difference of two.
        for (std::size_t x = 0; x < w; ++x)
            for (std::size_t s = 0; s < kSums; ++s)
                prefix[kSums * (x + 1) + s] = prefix[kSums * x + s] + columns[kSums * x + s];
        for (std::int32_t x = 0; x < width; ++x) {
            if (nearRow[x] == 0)
                continue;
            const std::size_t i = matte.Index(x, y);
            const float* c = &colour[3 * i];
            if (!Finite(c))
                continue;
            const auto lo = static_cast<std::size_t>(std::max(0, x - reach));
            const auto hi = static_cast<std::size_t>(std::min(width - 1, x + reach)) + 1;
            double sums[kSums];
            for (std::size_t s = 0; s < kSums; ++s)
                sums[s] = prefix[kSums * hi + s] - prefix[kSums * lo + s];
            // Counts are whole numbers kept exactly; a mean is taken only over at least one pixel.
            if (sums[3] < 0.5)
                continue;  // no screen in reach: nothing to unmix against, the matte stays
            const double screenMean[3] = {sums[0] / sums[3], sums[1] / sums[3], sums[2] / sums[3]};
            const double screen = ScreenExcess(screenMean, channels);
            double held = fallbackSubject;
            if (sums[7] >= 0.5) {
                const double mean[3] = {sums[4] / sums[7], sums[5] / sums[7], sums[6] / sums[7]};
                held = ScreenExcess(mean, channels);
            }
            const double contrast = screen - held;
            if (!(contrast >= kLeastContrast))
                continue;  // too alike (or not a number): the matte stays
            const double pixel[3] = {c[0], c[1], c[2]};
            // contrast >= 0.02, so the division is safe; the result is clamped to 0..1.
            double alpha = (screen - ScreenExcess(pixel, channels)) / contrast;
            // Light is never negative: a pixel holding (1 - alpha) of the screen holds at least
            // that share of each screen channel's light, so alpha >= 1 - c / screen there. A dark
            // subject (hair) is held up by it whatever the subject near it.
            const bool inScreen[3] = {channels.Red, channels.Green, channels.Blue};
            for (int k = 0; k < 3; ++k)
                if (inScreen[k] && screenMean[k] > 0.0)
                    alpha = std::max(alpha, 1.0 - pixel[k] / screenMean[k]);
            if (matte.Values[i] <= 0.0f && alpha < kNoiseFloor)
                continue;  // the screen's own noise: the key's 0 stays
            scratch.Alpha[i] = static_cast<float>(std::clamp(alpha, 0.0, 1.0));
        }
    }
    matte.Values.swap(scratch.Alpha);
}

}  // namespace qualvex::finish
