#include "finish/edge_distance.h"

#include "finish/nearest_seed.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>

namespace qualvex::finish {

namespace {

struct Point {
    double X;
    double Y;
};

bool Inside(float alpha) { return alpha >= 0.5f; }

// Where the edge crosses the way from pixel centre a to pixel centre b (on opposite sides).
Point Crossing(Point a, float alphaA, Point b, float alphaB)
{
    const double da = static_cast<double>(alphaA);
    const double db = static_cast<double>(alphaB);
    // One alpha is at least 0.5 and the other below it, so the difference is not 0; should it
    // be anyway, the crossing is taken half way.
    const double span = da - db;
    const double t = span != 0.0 ? (da - 0.5) / span : 0.5;
    return {a.X + (b.X - a.X) * t, a.Y + (b.Y - a.Y) * t};
}

double SquaredDistanceToSegment(Point p, Point a, Point b)
{
    const double ex = b.X - a.X;
    const double ey = b.Y - a.Y;
    const double length2 = ex * ex + ey * ey;
    double t = 0.0;
    // A segment of no length is its end point; otherwise the projection, kept on the segment.
    if (length2 > 0.0)
        t = std::clamp(((p.X - a.X) * ex + (p.Y - a.Y) * ey) / length2, 0.0, 1.0);
    const double dx = a.X + ex * t - p.X;
    const double dy = a.Y + ey * t - p.Y;
    return dx * dx + dy * dy;
}

struct Segment {
    Point A;
    Point B;
};

// The edge's segments in the square whose top-left centre is (cx, cy), written to `out`; returns
// how many (none when the edge does not pass through it, at most two).
int SegmentsInSquare(const AlphaPlane& matte, std::int32_t cx, std::int32_t cy, Segment* out)
{
    // Corners in order around the square, and the edges between consecutive corners.
    const Point corner[4] = {{static_cast<double>(cx), static_cast<double>(cy)},
                             {static_cast<double>(cx + 1), static_cast<double>(cy)},
                             {static_cast<double>(cx + 1), static_cast<double>(cy + 1)},
                             {static_cast<double>(cx), static_cast<double>(cy + 1)}};
    const float alpha[4] = {matte.At(cx, cy), matte.At(cx + 1, cy), matte.At(cx + 1, cy + 1), matte.At(cx, cy + 1)};
    bool inside[4];
    for (int i = 0; i < 4; ++i)
        inside[i] = Inside(alpha[i]);

    Point crossing[4];
    bool crosses[4];
    int count = 0;
    for (int i = 0; i < 4; ++i) {
        const int j = (i + 1) % 4;
        crosses[i] = inside[i] != inside[j];
        if (crosses[i]) {
            crossing[i] = Crossing(corner[i], alpha[i], corner[j], alpha[j]);
            ++count;
        }
    }
    if (count == 0)
        return 0;
    if (count == 2) {
        int n = 0;
        for (int i = 0; i < 4; ++i)
            if (crosses[i])
                (n++ == 0 ? out[0].A : out[0].B) = crossing[i];
        return 1;
    }
    // Four crossings: diagonal corners agree. The mean alpha says whether the middle of the
    // square is inside; the corners on the other side are each cut off by a segment between the
    // crossings on their two edges (edge i - 1 and edge i meet at corner i).
    // The mean of the four corners (a constant divisor: no guard needed).
    const double mean = (static_cast<double>(alpha[0]) + alpha[1] + alpha[2] + alpha[3]) / 4.0;
    const bool middleInside = mean >= 0.5;
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        if (inside[i] == middleInside)
            continue;
        out[n++] = {crossing[(i + 3) % 4], crossing[i]};
    }
    return n;
}

// The segments in the up to four squares a seed is a corner of (a seed has a neighbour across
// the edge, so one of them holds a segment): worked out once for the pixels that share the seed.
struct SeedSegments {
    std::int32_t SeedX = -1;
    std::int32_t SeedY = -1;
    int Count = 0;
    Segment Around[8];

    void Find(const AlphaPlane& matte, std::int32_t sx, std::int32_t sy)
    {
        if (sx == SeedX && sy == SeedY)
            return;
        SeedX = sx;
        SeedY = sy;
        Count = 0;
        for (std::int32_t cy = std::max(sy - 1, 0); cy <= std::min(sy, matte.Height - 2); ++cy)
            for (std::int32_t cx = std::max(sx - 1, 0); cx <= std::min(sx, matte.Width - 2); ++cx)
                Count += SegmentsInSquare(matte, cx, cy, Around + Count);
    }
};

// The signed distance from pixel (x, y) to the segments around its seed (sx, sy). A segment
// whose distance is not a number (a NaN alpha at its square's corners) is passed over.
float DistanceThroughSeed(const AlphaPlane& matte, bool in, std::int32_t x, std::int32_t y, std::int32_t sx,
                          std::int32_t sy, SeedSegments& segments)
{
    segments.Find(matte, sx, sy);
    const Point p{static_cast<double>(x), static_cast<double>(y)};
    double best = std::numeric_limits<double>::infinity();
    for (int k = 0; k < segments.Count; ++k)
        best = std::min(best, SquaredDistanceToSegment(p, segments.Around[k].A, segments.Around[k].B));
    const auto d = static_cast<float>(std::sqrt(best));
    return in ? d : -d;
}

// Which side each pixel is on (scratch.Inside), once; then the seeds (scratch.Seeds): pixels with
// a horizontal or vertical neighbour on the other side of the edge, found a whole row at a time.
// The frame has pixels.
void MarkSeeds(const AlphaPlane& matte, EdgeScratch& scratch)
{
    const std::int32_t h = matte.Height;
    const std::size_t count = matte.Values.size();
    std::vector<unsigned char>& inside = scratch.Inside;
    inside.resize(count);
    // Plain pointers: the flags written cannot be taken for the alphas read, so this runs in vectors.
    const float* const alpha = matte.Values.data();
    unsigned char* const side = inside.data();
    for (std::size_t i = 0; i < count; ++i)
        side[i] = Inside(alpha[i]) ? 1 : 0;
    // A pixel is a seed when any of its four neighbours differs: each flag written once, from
    // the sides alone, so that the loop runs in vectors.
    std::vector<unsigned char>& seeds = scratch.Seeds;
    seeds.resize(count);  // every flag is written below
    const auto width = static_cast<std::size_t>(matte.Width);
    for (std::int32_t y = 0; y < h; ++y) {
        const unsigned char* const here = inside.data() + matte.Index(0, y);
        // The frame's border is not an edge: a missing neighbour counts as on the same side.
        const unsigned char* const above = y > 0 ? here - width : here;
        const unsigned char* const below = y + 1 < h ? here + width : here;
        unsigned char* const seed = seeds.data() + matte.Index(0, y);
        seed[0] = static_cast<unsigned char>((here[0] ^ above[0]) | (here[0] ^ below[0]) |
                                             (width > 1 ? here[0] ^ here[1] : 0));
        for (std::size_t x = 1; x + 1 < width; ++x)
            seed[x] = static_cast<unsigned char>((here[x] ^ above[x]) | (here[x] ^ below[x]) | (here[x] ^ here[x - 1]) |
                                                 (here[x] ^ here[x + 1]));
        if (width > 1) {
            const std::size_t x = width - 1;
            seed[x] = static_cast<unsigned char>((here[x] ^ above[x]) | (here[x] ^ below[x]) | (here[x] ^ here[x - 1]));
        }
    }
}

// Squared seed distances beyond this are certainly beyond reach. A negative reach counts as 0, a
// NaN one as no limit.
double SeedLimit(double reach)
{
    const double limit = std::isnan(reach) ? std::numeric_limits<double>::infinity() : std::max(reach, 0.0);
    return (limit + std::numbers::sqrt2) * (limit + std::numbers::sqrt2);
}

}  // namespace

std::vector<float> SignedEdgeDistance(const AlphaPlane& matte, double reach)
{
    EdgeScratch scratch;
    std::vector<float> distance;
    SignedEdgeDistance(matte, reach, scratch, distance);
    return distance;
}

void SignedEdgeDistance(const AlphaPlane& matte, double reach, EdgeScratch& scratch, std::vector<float>& distance)
{
    const std::int32_t w = matte.Width;
    const std::int32_t h = matte.Height;
    const std::size_t count = matte.Values.size();
    distance.resize(count);  // every entry is written below
    if (count == 0)
        return;
    // Few seeds: the pixels near the edge, searched around each seed; many: the whole-frame
    // transform. Either way the sides and the seeds are marked first.
    const bool nearby = EdgeDistancesNearby(matte, reach, scratch, scratch.Near);
    const std::vector<unsigned char>& inside = scratch.Inside;
    // Every pixel starts certainly beyond reach (or with no edge at all); those with a seed near
    // enough are measured.
    const float infinity = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < count; ++i)
        distance[i] = inside[i] != 0 ? infinity : -infinity;
    if (nearby) {
        for (const NearDistance& near : scratch.Near)
            distance[static_cast<std::size_t>(near.Pixel)] = near.Distance;
        return;
    }
    FindNearestSeeds(scratch.Seeds, w, h, SeedLimit(reach), scratch.Nearest, scratch.ColumnRow);
    const NearestSeeds& nearest = scratch.Nearest;
    SeedSegments segments;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const std::size_t i = matte.Index(x, y);
            const std::int64_t seed = nearest.Seed[i];
            // w is at least 1 here: the frame has pixels.
            if (seed >= 0)
                distance[i] = DistanceThroughSeed(matte, inside[i] != 0, x, y, static_cast<std::int32_t>(seed % w),
                                                  static_cast<std::int32_t>(seed / w), segments);
        }
}

bool EdgeDistancesNearby(const AlphaPlane& matte, double reach, EdgeScratch& scratch, std::vector<NearDistance>& near)
{
    near.clear();
    if (matte.Values.empty())
        return false;
    MarkSeeds(matte, scratch);
    if (!FindSeedsNearby(scratch.Seeds, matte.Width, matte.Height, SeedLimit(reach), scratch.Nearby, scratch.Found))
        return false;
    near.reserve(scratch.Found.size());
    SeedSegments segments;
    for (const PixelSeed& found : scratch.Found) {
        const std::size_t i = matte.Index(found.X, found.Y);
        const bool in = scratch.Inside[i] != 0;
        near.push_back({static_cast<std::int64_t>(i),
                        DistanceThroughSeed(matte, in, found.X, found.Y, found.SeedX, found.SeedY, segments)});
    }
    return true;
}

}  // namespace qualvex::finish
