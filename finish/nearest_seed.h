// The exact Euclidean distance transform of a set of seed pixels, with the seed each distance is
// measured to: the nearest seed within each column (two sweeps), then along each row the lower
// envelope of the columns' parabolas (Felzenszwalb and Huttenlocher). Linear in the number of
// pixels.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace qualvex::finish {

struct NearestSeeds {
    // Per pixel, row by row: the index (y x width + x) of a nearest seed, -1 when there is none.
    std::vector<std::int64_t> Seed;
    // Per pixel: the squared distance between pixel centres, +infinity when there is no seed.
    std::vector<double> SquaredDistance;
};

// `seeds` holds width x height flags, row by row; nonzero marks a seed. Among seeds at the same
// distance the one chosen is fixed by the passes (lowest row within a column, then lowest
// column), so the result is reproducible. Sizes below 1 give empty results.
//
// Callers that only care about seeds up to some distance pass its square as `maxSquaredDistance`:
// a pixel whose nearest seed is farther than that gets -1 and +infinity, and columns with no seed
// that near cost nothing along the rows. Pixels within it get the same answer as without a limit.
// A NaN limit counts as no limit.
NearestSeeds FindNearestSeeds(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                              double maxSquaredDistance = std::numeric_limits<double>::infinity());
// The same into `result`, with `columnRow` as scratch: both keep their memory from frame to
// frame, so a tool that finds seeds every frame takes no fresh memory for it.
void FindNearestSeeds(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                      double maxSquaredDistance, NearestSeeds& result, std::vector<std::int32_t>& columnRow);

// A pixel and the seed nearest to it, by column and row.
struct PixelSeed {
    std::int32_t X;
    std::int32_t Y;
    std::int32_t SeedX;
    std::int32_t SeedY;
};

// Memory the search around the seeds takes, kept from frame to frame.
struct NearbySeedScratch {
    std::vector<std::int64_t> RowStart;     // per row: where its seeds' columns start in Columns
    std::vector<std::int32_t> Columns;      // the seeds' columns, row by row, left to right
    std::vector<std::int32_t> BestSquared;  // per column of the row searched: the nearest so far
    std::vector<std::int32_t> BestColumn;
    std::vector<std::int32_t> BestRow;
    std::vector<std::int32_t> Touched;  // the columns of the row searched that have a seed in reach
    std::vector<std::int32_t> Across;   // per row offset: the widest offset along the row in reach
};

// The same seeds as FindNearestSeeds picks, for callers that need only those within a finite
// `maxSquaredDistance` and whose seeds are few (an edge through a frame): each seed's window is
// searched, so the cost follows seeds x window rather than the frame's pixels, and only the
// pixels that have a seed within the limit are listed in `found` (row by row, in no order
// within a row). Returns false and lists nothing when that search would cost more than the
// whole-frame transform (no limit, or so many seeds that their windows cover the frame): the
// caller then runs FindNearestSeeds. Sizes below 1 find nothing.
bool FindSeedsNearby(const std::vector<unsigned char>& seeds, std::int32_t width, std::int32_t height,
                     double maxSquaredDistance, NearbySeedScratch& scratch, std::vector<PixelSeed>& found);

}  // namespace qualvex::finish
