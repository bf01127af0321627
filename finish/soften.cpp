#include "finish/soften.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qualvex::finish {

namespace {

// One pass: weight 1 for offsets -Radius..Radius, EndWeight (0..1) at +-(Radius + 1), all
// multiplied by Scale, one over their sum.
struct ExtendedBox {
    std::int32_t Radius = 0;
    double EndWeight = 0.0;
    double Scale = 1.0;
};

// The box whose variance is `variance` (> 0). A plain box of radius r has variance r(r + 1) / 3;
// r is the largest whose variance is within the target, and the end weights make up the rest.
ExtendedBox BoxOfVariance(double variance)
{
    auto plain = [](double r) { return r * (r + 1.0) / 3.0; };
    // The square root's argument is above 1 for a positive variance.
    auto r = static_cast<std::int32_t>(std::floor((std::sqrt(12.0 * variance + 1.0) - 1.0) / 2.0));
    while (r > 0 && plain(r) > variance)
        --r;
    while (plain(r + 1) <= variance)
        ++r;
    const double rr = static_cast<double>(r);
    // plain(r) <= variance < plain(r + 1) < (r + 1)^2, so the divisor is negative, never 0, and
    // the end weight lands in 0..1.
    const double end = (2.0 * rr + 1.0) * (plain(rr) - variance) / (2.0 * (variance - (rr + 1.0) * (rr + 1.0)));
    const double norm = 2.0 * rr + 1.0 + 2.0 * end;
    // The norm is at least 1 (the middle weight alone).
    return {r, end, 1.0 / norm};
}

// Blurs columns first..last - 1 of a plane of `height` rows of `width` floats with the box,
// pixels beyond the top and bottom repeating the edge rows. A running sum per column, a run of
// columns at a time: the cost per pixel does not depend on the radius.
void BoxColumns(const float* in, float* out, std::size_t width, std::int32_t height, const ExtendedBox& box,
                std::size_t first, std::size_t last, std::vector<double>& sums)
{
    const auto row = [&](std::int64_t y) {
        return in + static_cast<std::size_t>(std::clamp<std::int64_t>(y, 0, height - 1)) * width;
    };
    std::fill(sums.begin() + static_cast<std::ptrdiff_t>(first), sums.begin() + static_cast<std::ptrdiff_t>(last), 0.0);
    for (std::int64_t k = -box.Radius; k <= box.Radius; ++k) {
        const float* r = row(k);
        for (std::size_t x = first; x < last; ++x)
            sums[x] += static_cast<double>(r[x]);
    }
    for (std::int64_t y = 0; y < height; ++y) {
        const float* before = row(y - box.Radius - 1);
        const float* after = row(y + box.Radius + 1);
        const float* leaving = row(y - box.Radius);
        float* target = out + static_cast<std::size_t>(y) * width;
        for (std::size_t x = first; x < last; ++x) {
            const double a = static_cast<double>(before[x]);
            const double b = static_cast<double>(after[x]);
            target[x] = static_cast<float>((sums[x] + box.EndWeight * (a + b)) * box.Scale);
            sums[x] += b - static_cast<double>(leaving[x]);
        }
    }
}

// Blurs one row of `width` values in place with the box, values beyond either end repeating the
// end values; `padded` is scratch of width + 2 (radius + 1). A running sum: the cost per pixel
// does not depend on the radius.
void BoxRow(double* values, std::size_t width, const ExtendedBox& box, std::vector<double>& padded)
{
    const auto reach = static_cast<std::size_t>(box.Radius) + 1;
    for (std::size_t i = 0; i < reach; ++i) {
        padded[i] = values[0];
        padded[reach + width + i] = values[width - 1];
    }
    std::copy(values, values + width, padded.begin() + static_cast<std::ptrdiff_t>(reach));
    // padded[x + reach] is values[x]: the window around x spans padded[x + 1 .. x + 2 reach - 1],
    // its ends padded[x] and padded[x + 2 reach].
    double sum = 0.0;
    for (std::size_t i = 1; i < 2 * reach; ++i)
        sum += padded[i];
    for (std::size_t x = 0; x < width; ++x) {
        values[x] = (sum + box.EndWeight * (padded[x] + padded[x + 2 * reach])) * box.Scale;
        sum += padded[x + 2 * reach] - padded[x + 1];
    }
}

}  // namespace

void Soften(AlphaPlane& matte, double sigma)
{
    std::vector<float> spare;
    Soften(matte, sigma, spare);
}

void Soften(AlphaPlane& matte, double sigma, std::vector<float>& spare)
{
    if (!(sigma > 0.0) || matte.Values.empty())
        return;
    const double s = std::min(sigma, kMaxSoftenSigma);
    const ExtendedBox box = BoxOfVariance(s * s / static_cast<double>(kSoftenPasses));
    const auto w = static_cast<std::size_t>(matte.Width);
    const auto h = static_cast<std::size_t>(matte.Height);

    // Rows: each row's passes in double, in a scratch row that stays in cache.
    std::vector<double> row(w);
    std::vector<double> padded(w + 2 * (static_cast<std::size_t>(box.Radius) + 1));
    for (std::size_t y = 0; y < h; ++y) {
        float* values = matte.Values.data() + y * w;
        for (std::size_t x = 0; x < w; ++x)
            row[x] = static_cast<double>(values[x]);
        for (int pass = 0; pass < kSoftenPasses; ++pass)
            BoxRow(row.data(), w, box, padded);
        for (std::size_t x = 0; x < w; ++x)
            values[x] = static_cast<float>(row[x]);
    }
    // Columns, in strips narrow enough that a strip's passes stay in cache. Every strip takes
    // the same number of passes, so all of them end in the same plane.
    constexpr std::size_t kStrip = 256;
    spare.resize(matte.Values.size());  // every entry is written by the first pass
    std::vector<double> sums(w);
    for (std::size_t first = 0; first < w; first += kStrip) {
        const std::size_t last = std::min(first + kStrip, w);
        float* planes[2] = {matte.Values.data(), spare.data()};
        for (int pass = 0; pass < kSoftenPasses; ++pass)
            BoxColumns(planes[pass % 2], planes[(pass + 1) % 2], w, matte.Height, box, first, last, sums);
    }
    if (kSoftenPasses % 2 == 1)
        matte.Values.swap(spare);
}

}  // namespace qualvex::finish
