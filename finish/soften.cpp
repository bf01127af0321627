#include "finish/soften.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// One pass of the box down columns first..last - 1, a row at a time: its rows of input come from
// `In` (the plane, or the previous pass's ring), its rows of output go to `Out`. Each column keeps
// a running sum, so the cost per pixel does not depend on the radius. Pixels beyond the top and
// bottom repeat the edge rows.
template <typename In, typename Out>
struct ColumnPass {
    In Input;    // row(y) for -reach <= y < height + reach: the row's values in the strip
    Out Output;  // row(y) for 0 <= y < height: where the row's result goes
    double* Sums;

    // Output row y: needs the input rows up to y + radius + 1 (clamped) and, for y = 0, the
    // rows up to the radius.
    [[gnu::always_inline]] inline void Produce(std::int64_t y, const ExtendedBox& box, std::size_t count)
    {
        if (y == 0) {
            std::fill(Sums, Sums + count, 0.0);
            for (std::int64_t k = -box.Radius; k <= box.Radius; ++k) {
                const float* r = Input(k);
                for (std::size_t x = 0; x < count; ++x)
                    Sums[x] += static_cast<double>(r[x]);
            }
        }
        const float* before = Input(y - box.Radius - 1);
        const float* after = Input(y + box.Radius + 1);
        const float* leaving = Input(y - box.Radius);
        float* target = Output(y);
        for (std::size_t x = 0; x < count; ++x) {
            const double a = static_cast<double>(before[x]);
            const double b = static_cast<double>(after[x]);
            target[x] = static_cast<float>((Sums[x] + box.EndWeight * (a + b)) * box.Scale);
            Sums[x] += b - static_cast<double>(leaving[x]);
        }
    }
};

template <typename In, typename Out>
ColumnPass(In, Out, double*) -> ColumnPass<In, Out>;

// The three passes down columns first..last - 1 of a plane of `height` rows of `width` floats, in
// one sweep from `in` to `out`: each pass runs (radius + 1) rows behind the one before, whose rows
// it reads from a ring that holds the 2 radius + 3 it can still need. The rings stay in cache where
// three passes over the whole plane would go out to memory and back; every value is formed by the
// same operations in the same order as pass after pass would form it.
[[gnu::always_inline]] inline void BoxColumns(const float* in, float* out, std::size_t width, std::int32_t height,
                                              const ExtendedBox& box, std::size_t first, std::size_t last,
                                              std::vector<float>& rings, std::vector<double>& sums)
{
    static_assert(kSoftenPasses == 3, "one sweep makes three passes");
    const std::size_t count = last - first;
    const std::int64_t h = height;
    const auto lag = static_cast<std::int64_t>(box.Radius) + 1;
    const auto kept = static_cast<std::size_t>(2 * lag + 1);
    float* const ring[2] = {rings.data(), rings.data() + kept * count};
    const auto clamped = [h](std::int64_t y) { return static_cast<std::size_t>(std::clamp<std::int64_t>(y, 0, h - 1)); };
    const auto planeRows = [&](const float* plane) {
        return [plane, width, first, clamped](std::int64_t y) { return plane + clamped(y) * width + first; };
    };
    const auto ringRows = [&](float* held) {
        return [held, kept, count, clamped](std::int64_t y) { return held + (clamped(y) % kept) * count; };
    };
    const auto outRows = [out, width, first](std::int64_t y) { return out + static_cast<std::size_t>(y) * width + first; };
    ColumnPass pass1{planeRows(in), ringRows(ring[0]), sums.data()};
    ColumnPass pass2{ringRows(ring[0]), ringRows(ring[1]), sums.data() + count};
    ColumnPass pass3{ringRows(ring[1]), outRows, sums.data() + 2 * count};
    for (std::int64_t t = 0; t < h + 2 * lag; ++t) {
        if (t < h)
            pass1.Produce(t, box, count);
        if (t - lag >= 0 && t - lag < h)
            pass2.Produce(t - lag, box, count);
        if (t - 2 * lag >= 0)
            pass3.Produce(t - 2 * lag, box, count);
    }
}

// Four doubles, one per row blurred side by side: each lane's additions and products are the
// same IEEE operations as a lone row's (no contraction, no fused multiply-add).
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

// Four floats: four neighbours along a row, or one pixel of four rows.
typedef float Quad4 __attribute__((vector_size(4 * sizeof(float))));

inline Quad4 Load4(const float* values)
{
    Quad4 v;
    std::memcpy(&v, values, sizeof v);
    return v;
}

struct Quad4x4 {
    Quad4 V[4];
};

// Four rows of four into four columns of four, and back: value k of row l becomes value l of
// column k.
[[gnu::always_inline]] inline Quad4x4 TransposeBlock(Quad4 a, Quad4 b, Quad4 c, Quad4 d)
{
    const Quad4 ab0 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
    const Quad4 cd0 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
    const Quad4 ab1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const Quad4 cd1 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    return {{__builtin_shufflevector(ab0, cd0, 0, 1, 4, 5), __builtin_shufflevector(ab0, cd0, 2, 3, 6, 7),
             __builtin_shufflevector(ab1, cd1, 0, 1, 4, 5), __builtin_shufflevector(ab1, cd1, 2, 3, 6, 7)}};
}

template <std::size_t Lanes>
struct LaneSums;
template <>
struct LaneSums<1> {
    using Type = double;
};
template <>
struct LaneSums<4> {
    using Type = Quad;
};

template <std::size_t Lanes>
[[gnu::always_inline]] inline typename LaneSums<Lanes>::Type LoadLanes(const double* values)
{
    typename LaneSums<Lanes>::Type v;
    std::memcpy(&v, values, sizeof v);
    return v;
}

// One pass of the box along `Lanes` rows of `width` values, held interleaved (value x of row l at
// [(reach + x) Lanes + l], reach = radius + 1, with `reach` values of margin at either end) so that
// their running sums advance side by side: each row's sums are formed exactly as if it were
// blurred alone. Reads `in` with its margins filled, writes `out`'s values and margins: values
// beyond either end repeat the end values. The cost per pixel does not depend on the radius.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void BoxRows(const double* in, double* out, std::size_t width, const ExtendedBox& box)
{
    using Sums = typename LaneSums<Lanes>::Type;
    const auto reach = static_cast<std::size_t>(box.Radius) + 1;
    // The window around x spans in[x + 1 .. x + 2 reach - 1] (in margin-counted positions), its
    // ends in[x] and in[x + 2 reach].
    Sums sum{};
    for (std::size_t i = 1; i < 2 * reach; ++i)
        sum += LoadLanes<Lanes>(in + i * Lanes);
    for (std::size_t x = 0; x < width; ++x) {
        const Sums first = LoadLanes<Lanes>(in + x * Lanes);
        const Sums last = LoadLanes<Lanes>(in + (x + 2 * reach) * Lanes);
        const Sums leaving = LoadLanes<Lanes>(in + (x + 1) * Lanes);
        const Sums value = (sum + box.EndWeight * (first + last)) * box.Scale;
        std::memcpy(out + (reach + x) * Lanes, &value, sizeof value);
        sum += last - leaving;
    }
    for (std::size_t i = 0; i < reach; ++i)
        for (std::size_t l = 0; l < Lanes; ++l) {
            out[i * Lanes + l] = out[reach * Lanes + l];
            out[(reach + width + i) * Lanes + l] = out[(reach + width - 1) * Lanes + l];
        }
}

// The columns a plane's rows hold other values than 0 in: [First, Last).
struct Span {
    std::size_t First;
    std::size_t Last;
};

// Blurs `Lanes` rows starting at `top` of the matte along x, every pass in double in two scratch
// buffers of (width + 2 (radius + 1)) Lanes that stay in cache, the result rounded to float once.
// Rows of zeros (either sign) are written +0 without a pass: their running sums never leave +0,
// so that is what the passes give. Widens `nonzero` to the columns the result holds values in.
template <std::size_t Lanes>
[[gnu::always_inline]] inline void SoftenRows(AlphaPlane& matte, std::size_t top, const ExtendedBox& box,
                                              std::vector<double> (&scratch)[2], Span& nonzero)
{
    const auto w = static_cast<std::size_t>(matte.Width);
    const auto reach = static_cast<std::size_t>(box.Radius) + 1;
    float* const values = matte.Values.data() + top * w;
    std::uint32_t magnitudes = 0;
    for (std::size_t i = 0; i < Lanes * w; ++i)
        magnitudes |= std::bit_cast<std::uint32_t>(values[i]) & 0x7fffffffu;
    if (magnitudes == 0) {
        std::fill(values, values + Lanes * w, 0.0f);
        return;
    }
    double* buffer[2] = {scratch[0].data(), scratch[1].data()};
    std::size_t x = 0;
    if constexpr (Lanes == 4)
        for (; x + 4 <= w; x += 4) {
            const Quad4x4 side = TransposeBlock(Load4(values + x), Load4(values + w + x), Load4(values + 2 * w + x),
                                                Load4(values + 3 * w + x));
            for (std::size_t k = 0; k < 4; ++k) {
                const Quad widened = __builtin_convertvector(side.V[k], Quad);
                std::memcpy(buffer[0] + (reach + x + k) * Lanes, &widened, sizeof widened);
            }
        }
    for (; x < w; ++x)
        for (std::size_t l = 0; l < Lanes; ++l)
            buffer[0][(reach + x) * Lanes + l] = static_cast<double>(values[l * w + x]);
    for (std::size_t l = 0; l < Lanes; ++l) {
        for (std::size_t i = 0; i < reach; ++i) {
            buffer[0][i * Lanes + l] = buffer[0][reach * Lanes + l];
            buffer[0][(reach + w + i) * Lanes + l] = buffer[0][(reach + w - 1) * Lanes + l];
        }
    }
    for (int pass = 0; pass < kSoftenPasses; ++pass)
        BoxRows<Lanes>(buffer[pass % 2], buffer[(pass + 1) % 2], w, box);
    const double* const result = buffer[kSoftenPasses % 2];
    x = 0;
    if constexpr (Lanes == 4)
        for (; x + 4 <= w; x += 4) {
            Quad4 side[4];
            for (std::size_t k = 0; k < 4; ++k)
                side[k] = __builtin_convertvector(LoadLanes<4>(result + (reach + x + k) * Lanes), Quad4);
            const Quad4x4 rows = TransposeBlock(side[0], side[1], side[2], side[3]);
            for (std::size_t l = 0; l < 4; ++l)
                std::memcpy(values + l * w + x, &rows.V[l], sizeof rows.V[l]);
        }
    for (; x < w; ++x)
        for (std::size_t l = 0; l < Lanes; ++l)
            values[l * w + x] = static_cast<float>(result[(reach + x) * Lanes + l]);
    for (std::size_t l = 0; l < Lanes; ++l) {
        const float* const row = values + l * w;
        // Only the columns outside the span so far need looking at.
        for (std::size_t x = 0; x < nonzero.First; ++x)
            if (row[x] != 0.0f) {
                nonzero.First = x;
                break;
            }
        for (std::size_t x = w; x > nonzero.Last; --x)
            if (row[x - 1] != 0.0f) {
                nonzero.Last = x;
                break;
            }
    }
}

// The whole blur, once the box is known: written once, compiled for the baseline processor and
// for AVX2 (without fused multiply-add), which gives every value the same bits twice as fast.
[[gnu::always_inline]] inline void SoftenPlane(AlphaPlane& matte, const ExtendedBox& box, std::vector<float>& spare)
{
    const auto w = static_cast<std::size_t>(matte.Width);
    const auto h = static_cast<std::size_t>(matte.Height);

    // Rows, four at a time side by side (their running sums are independent), the rest one by one.
    constexpr std::size_t kLanes = 4;
    const std::size_t padded = (w + 2 * (static_cast<std::size_t>(box.Radius) + 1)) * kLanes;
    std::vector<double> scratch[2] = {std::vector<double>(padded), std::vector<double>(padded)};
    Span nonzero{w, 0};
    std::size_t y = 0;
    for (; y + kLanes <= h; y += kLanes)
        SoftenRows<kLanes>(matte, y, box, scratch, nonzero);
    for (; y < h; ++y)
        SoftenRows<1>(matte, y, box, scratch, nonzero);
    if (nonzero.First >= nonzero.Last)
        return;  // every value is +0, as the columns' passes would leave it
    // Columns, in strips narrow enough that a strip's two rings (2 radius + 3 rows each) stay
    // within about half a megabyte: the whole span at once for the radii a soften of a few pixels
    // takes. Columns of zeros outside the span come out +0, as their running sums never leave it.
    spare.resize(matte.Values.size());  // every entry is written by the sweep or just below
    const std::size_t kept = 2 * (static_cast<std::size_t>(box.Radius) + 1) + 1;
    const std::size_t strip = std::max<std::size_t>(16, (std::size_t{1} << 16) / kept / 16 * 16);
    const std::size_t widest = std::min(strip, nonzero.Last - nonzero.First);
    std::vector<float> rings(2 * kept * widest);  // every row is written before it is read
    std::vector<double> sums(3 * widest);
    for (std::size_t first = nonzero.First; first < nonzero.Last; first += strip) {
        const std::size_t last = std::min(first + strip, nonzero.Last);
        BoxColumns(matte.Values.data(), spare.data(), w, matte.Height, box, first, last, rings, sums);
    }
    for (std::size_t row = 0; row < h; ++row) {
        float* const values = spare.data() + row * w;
        std::fill(values, values + nonzero.First, 0.0f);
        std::fill(values + nonzero.Last, values + w, 0.0f);
    }
    matte.Values.swap(spare);
}

void SoftenPlaneBaseline(AlphaPlane& matte, const ExtendedBox& box, std::vector<float>& spare)
{
    SoftenPlane(matte, box, spare);
}

[[gnu::target("avx2")]] void SoftenPlaneAvx2(AlphaPlane& matte, const ExtendedBox& box, std::vector<float>& spare)
{
    SoftenPlane(matte, box, spare);
}

}  // namespace

void Soften(AlphaPlane& matte, double sigma)
{
    std::vector<float> spare;
    Soften(matte, sigma, spare);
}

void Soften(AlphaPlane& matte, double sigma, std::vector<float>& spare)
{
    Soften(matte, sigma, spare, ChosenFinishIsa());
}

void Soften(AlphaPlane& matte, double sigma, std::vector<float>& spare, FinishIsa isa)
{
    if (!(sigma > 0.0) || matte.Values.empty())
        return;
    const double s = std::min(sigma, kMaxSoftenSigma);
    const ExtendedBox box = BoxOfVariance(s * s / static_cast<double>(kSoftenPasses));
    if (isa == FinishIsa::Avx2)
        SoftenPlaneAvx2(matte, box, spare);
    else
        SoftenPlaneBaseline(matte, box, spare);
}

}  // namespace qualvex::finish
