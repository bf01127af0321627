#include "finish/soften.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qualvex::finish {

namespace {

// Normalised weights for offsets -radius..radius, sigma > 0.
std::vector<double> GaussianWeights(double sigma, std::int32_t radius)
{
    std::vector<double> weights(static_cast<std::size_t>(2 * radius + 1));
    // 0 < sigma <= 50 here, so 2 sigma^2 is positive and finite.
    const double twoSigma2 = 2.0 * sigma * sigma;
    double sum = 0.0;
    for (std::int32_t k = -radius; k <= radius; ++k) {
        const double w = std::exp(-static_cast<double>(k) * static_cast<double>(k) / twoSigma2);
        weights[static_cast<std::size_t>(k + radius)] = w;
        sum += w;
    }
    // The middle weight is exp(0) = 1, so the sum is at least 1.
    for (double& w : weights)
        w /= sum;
    return weights;
}

}  // namespace

void Soften(AlphaPlane& matte, double sigma)
{
    if (!(sigma > 0.0) || matte.Values.empty())
        return;
    // ceil(3 sigma): at most 150 taps either side, as sigma is at most 50.
    const std::int32_t w = matte.Width;
    const std::int32_t h = matte.Height;
    const double s = std::min(sigma, kMaxSoftenSigma);
    const auto radius = static_cast<std::int32_t>(std::ceil(3.0 * s));
    const std::vector<double> weights = GaussianWeights(s, radius);

    std::vector<float> pass(matte.Values.size());
    // Rows, through a copy of each row padded with its edge pixels; each tap is added across the
    // whole row in turn, in the same order as the columns' taps below.
    const std::size_t taps = weights.size();
    const auto width = static_cast<std::size_t>(w);
    std::vector<double> padded(width + taps - 1);
    std::vector<double> sums(width);
    for (std::int32_t y = 0; y < h; ++y) {
        const float* in = matte.Values.data() + matte.Index(0, y);
        for (std::size_t i = 0; i < padded.size(); ++i) {
            const auto sx = std::clamp(static_cast<std::int64_t>(i) - radius, std::int64_t{0}, std::int64_t{w} - 1);
            padded[i] = static_cast<double>(in[sx]);
        }
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::size_t k = 0; k < taps; ++k) {
            const double weight = weights[k];
            const double* window = padded.data() + k;
            for (std::size_t x = 0; x < width; ++x)
                sums[x] += weight * window[x];
        }
        float* out = pass.data() + matte.Index(0, y);
        for (std::size_t x = 0; x < width; ++x)
            out[x] = static_cast<float>(sums[x]);
    }
    // Columns, a whole row of sums at a time.
    for (std::int32_t y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0);
        for (std::int32_t k = -radius; k <= radius; ++k) {
            const float* in = pass.data() + matte.Index(0, std::clamp(y + k, 0, h - 1));
            const double weight = weights[static_cast<std::size_t>(k + radius)];
            for (std::int32_t x = 0; x < w; ++x)
                sums[static_cast<std::size_t>(x)] += weight * static_cast<double>(in[x]);
        }
        float* out = matte.Values.data() + matte.Index(0, y);
        for (std::int32_t x = 0; x < w; ++x)
            out[x] = static_cast<float>(sums[static_cast<std::size_t>(x)]);
    }
}

}  // namespace qualvex::finish
