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

}  // namespace qualvex::finish
