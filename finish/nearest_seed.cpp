#include "finish/nearest_seed.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
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

bool FindSeedsNearby(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                     double maxSquaredDistance, NearbySeedScratch& scratch, std::vector<PixelSeed>& found)
{
    found.clear();
    // No limit (NaN or infinite) or a window wider than any frame needs: the transform.
    constexpr double kWidestWindow = 64.0 * 64.0;
    if (!(maxSquaredDistance >= 0.0) || maxSquaredDistance > kWidestWindow)
        return false;
    if (width < 1 || height < 1)
        return true;
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    if (seeds.size() != w * h)
        throw std::invalid_argument("FindSeedsNearby: the seed flags do not match the size");

    // The widest offset along a row or column whose square is within the limit.
    auto reach = static_cast<std::int32_t>(std::sqrt(maxSquaredDistance));
    while (static_cast<double>(reach + 1) * static_cast<double>(reach + 1) <= maxSquaredDistance)
        ++reach;
    while (reach > 0 && static_cast<double>(reach) * static_cast<double>(reach) > maxSquaredDistance)
        --reach;

    // The seeds' columns, row by row; eight flags are looked at at once where they are all clear.
    scratch.RowStart.resize(h + 1);
    scratch.Columns.clear();
    scratch.RowStart[0] = 0;
    for (std::size_t y = 0; y < h; ++y) {
        const unsigned char* const row = seeds.data() + y * w;
        std::size_t x = 0;
        while (x < w) {
            if (x + 8 <= w) {
                std::uint64_t eight = 0;
                std::memcpy(&eight, row + x, 8);
                if (eight == 0) {
                    x += 8;
                    continue;
                }
            }
            if (row[x] != 0)
                scratch.Columns.push_back(static_cast<std::int32_t>(x));
            ++x;
        }
        scratch.RowStart[y + 1] = static_cast<std::int64_t>(scratch.Columns.size());
    }
    const double window = static_cast<double>(2 * reach + 1) * static_cast<double>(2 * reach + 1);
    if (static_cast<double>(scratch.Columns.size()) * window > static_cast<double>(w * h))
        return false;

    // Row by row, every seed within reach of the row offers itself to the columns its window
    // spans; the nearest wins, and among as near ones the lowest column, then the lowest row:
    // the transform's choice.
    constexpr std::int32_t kNone = std::numeric_limits<std::int32_t>::max();
    scratch.BestSquared.assign(w, kNone);
    scratch.BestColumn.resize(w);
    scratch.BestRow.resize(w);
    scratch.Touched.clear();
    std::int32_t* const bestSquared = scratch.BestSquared.data();
    std::int32_t* const bestColumn = scratch.BestColumn.data();
    std::int32_t* const bestRow = scratch.BestRow.data();
    // Per row offset dy: the widest offset along the row that stays within the limit (-1: none).
    std::vector<std::int32_t>& across = scratch.Across;
    across.resize(static_cast<std::size_t>(reach) + 1);
    for (std::int32_t dy = 0; dy <= reach; ++dy) {
        std::int32_t dx = reach;
        while (dx >= 0 && static_cast<double>(dx * dx + dy * dy) > maxSquaredDistance)
            --dx;
        across[static_cast<std::size_t>(dy)] = dx;
    }
    for (std::int32_t y = 0; y < height; ++y) {
        const std::int32_t top = std::max(y - reach, 0);
        const std::int32_t bottom = std::min(y + reach, height - 1);
        for (std::int32_t sy = top; sy <= bottom; ++sy) {
            const std::int32_t dy2 = (sy - y) * (sy - y);
            const std::int32_t reachX = across[static_cast<std::size_t>(std::abs(sy - y))];
            if (reachX < 0)
                continue;
            const auto sr = static_cast<std::size_t>(sy);
            for (std::int64_t k = scratch.RowStart[sr]; k < scratch.RowStart[sr + 1]; ++k) {
                const std::int32_t sx = scratch.Columns[static_cast<std::size_t>(k)];
                const std::int32_t left = std::max(sx - reachX, 0);
                const std::int32_t right = std::min(sx + reachX, width - 1);
                for (std::int32_t x = left; x <= right; ++x) {
                    const std::int32_t d2 = (x - sx) * (x - sx) + dy2;
                    const std::int32_t best = bestSquared[x];
                    if (best == kNone) {
                        scratch.Touched.push_back(x);
                    } else {
                        const bool after = sx > bestColumn[x] || (sx == bestColumn[x] && sy > bestRow[x]);
                        if (d2 > best || (d2 == best && after))
                            continue;
                    }
                    bestSquared[x] = d2;
                    bestColumn[x] = sx;
                    bestRow[x] = sy;
                }
            }
        }
        for (const std::int32_t x : scratch.Touched) {
            found.push_back({x, y, bestColumn[x], bestRow[x]});
            bestSquared[x] = kNone;
        }
        scratch.Touched.clear();
    }
    return true;
}

}  // namespace qualvex::finish
