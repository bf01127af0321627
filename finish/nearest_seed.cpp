#include "finish/nearest_seed.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

namespace qualvex::finish {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Scratch for one line, kept across lines.
struct Envelope {
    std::vector<std::int32_t> Site;  // positions of the parabolas in the lower envelope
    std::vector<double> Bound;       // Bound[k]..Bound[k + 1]: where parabola k is lowest

    explicit Envelope(std::int32_t n) : Site(static_cast<std::size_t>(n)), Bound(static_cast<std::size_t>(n) + 1) {}
};

// One line of n values: cost[i] is the squared distance already known at i (+infinity where
// none). Writes, for every i, min over q of (i - q)^2 + cost[q] and the q that gives it (-1 when
// every cost is infinite).
void TransformLine(const double* cost, std::int32_t n, double* distance, std::int32_t* from, Envelope& env)
{
    std::int32_t k = -1;
    for (std::int32_t q = 0; q < n; ++q) {
        if (cost[q] == kInfinity)
            continue;
        const double lift = cost[q] + static_cast<double>(q) * static_cast<double>(q);
        double s = -kInfinity;
        while (k >= 0) {
            const std::int32_t v = env.Site[static_cast<std::size_t>(k)];
            const double liftV = cost[v] + static_cast<double>(v) * static_cast<double>(v);
            // Sites are visited in increasing order, so q > v and the divisor is at least 2.
            s = (lift - liftV) / (2.0 * static_cast<double>(q - v));
            if (s > env.Bound[static_cast<std::size_t>(k)])
                break;
            --k;  // parabola v is nowhere lowest
            s = -kInfinity;
        }
        ++k;
        env.Site[static_cast<std::size_t>(k)] = q;
        env.Bound[static_cast<std::size_t>(k)] = s;
        env.Bound[static_cast<std::size_t>(k) + 1] = kInfinity;
    }
    if (k < 0) {
        for (std::int32_t i = 0; i < n; ++i) {
            distance[i] = kInfinity;
            from[i] = -1;
        }
        return;
    }
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        while (env.Bound[static_cast<std::size_t>(j) + 1] < static_cast<double>(i))
            ++j;
        const std::int32_t v = env.Site[static_cast<std::size_t>(j)];
        const double d = static_cast<double>(i - v);
        distance[i] = d * d + cost[v];
        from[i] = v;
    }
}

}  // namespace

NearestSeeds FindNearestSeeds(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                              double maxSquaredDistance)
{
    NearestSeeds result;
    std::vector<std::int32_t> columnRow;
    FindNearestSeeds(seeds, width, height, maxSquaredDistance, result, columnRow);
    return result;
}

void FindNearestSeeds(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                      double maxSquaredDistance, NearestSeeds& result, std::vector<std::int32_t>& columnRow)
{
    const double limit = std::isnan(maxSquaredDistance) ? kInfinity : maxSquaredDistance;
    if (width < 1 || height < 1) {
        result.Seed.clear();
        result.SquaredDistance.clear();
        return;
    }
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    if (seeds.size() != w * h)
        throw std::invalid_argument("FindNearestSeeds: the seed flags do not match the size");

    // Columns: the nearest seed row in each pixel's own column (-1 for none). Two sweeps over
    // whole rows (down, then up) keep every column's nearest seed so far; ties go to the seed
    // above.
    columnRow.resize(w * h);  // every entry is written by the first sweep
    {
        std::vector<std::int32_t> last(w, -1);  // per column: the last seed row met, -1 for none
        for (std::size_t y = 0; y < h; ++y) {
            const std::size_t row = y * w;
            for (std::size_t x = 0; x < w; ++x) {
                if (seeds[row + x] != 0)
                    last[x] = static_cast<std::int32_t>(y);
                columnRow[row + x] = last[x];
            }
        }
        std::fill(last.begin(), last.end(), -1);
        for (std::size_t y = h; y-- > 0;) {
            const std::size_t row = y * w;
            const auto yi = static_cast<std::int32_t>(y);
            for (std::size_t x = 0; x < w; ++x) {
                if (seeds[row + x] != 0)
                    last[x] = yi;
                const std::int32_t above = columnRow[row + x];
                const std::int32_t below = last[x];
                // The nearer of the seeds above and below; the one above when both are as near.
                std::int32_t nearest = above;
                if (below >= 0 && (above < 0 || below - yi < yi - above))
                    nearest = below;
                columnRow[row + x] = nearest;
            }
        }
    }

    // Rows: the best column for each pixel, over the squared column distances.
    result.Seed.resize(w * h);
    result.SquaredDistance.resize(w * h);
    {
        Envelope env(width);
        std::vector<std::int32_t> from(w);
        std::vector<double> cost(w);
        for (std::size_t y = 0; y < h; ++y) {
            const std::size_t row = y * w;
            const auto yi = static_cast<std::int32_t>(y);
            for (std::size_t x = 0; x < w; ++x) {
                const std::int32_t seedRow = columnRow[row + x];
                const double d = static_cast<double>(seedRow - yi);
                // A seed beyond the limit in its own column is beyond it for the whole row too.
                cost[x] = (seedRow >= 0 && d * d <= limit) ? d * d : kInfinity;
            }
            TransformLine(cost.data(), width, result.SquaredDistance.data() + row, from.data(), env);
            for (std::size_t x = 0; x < w; ++x) {
                const std::int32_t column = from[x];
                if (column < 0 || result.SquaredDistance[row + x] > limit) {
                    result.SquaredDistance[row + x] = kInfinity;
                    result.Seed[row + x] = -1;
                    continue;
                }
                const std::int32_t seedRow = columnRow[row + static_cast<std::size_t>(column)];
                result.Seed[row + x] = static_cast<std::int64_t>(seedRow) * width + column;
            }
        }
    }
}

}  // namespace qualvex::finish
