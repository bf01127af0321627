// The finishing tool's whole-frame steps on their own, on the HD matte the frame benchmarks
// finish (a soft-edged ellipse): shrink 3 and soften 2, each on a fresh copy of the matte.
#include "finish/alpha_plane.h"
#include "finish/edge_distance.h"
#include "finish/shrink_grow.h"
#include "finish/soften.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using qualvex::finish::AlphaPlane;

AlphaPlane EllipseMatte()
{
    AlphaPlane matte(1920, 1080);
    for (std::int32_t y = 0; y < matte.Height; ++y)
        for (std::int32_t x = 0; x < matte.Width; ++x) {
            const double u = (x - 960.0) / 600.0;
            const double v = (y - 540.0) / 380.0;
            const double rim = (std::sqrt(u * u + v * v) - 1.0) * 450.0;
            matte.At(x, y) = static_cast<float>(std::clamp(0.5 - rim / 2.0, 0.0, 1.0));
        }
    return matte;
}

void SoftenHdMatte(benchmark::State& state)
{
    const AlphaPlane original = EllipseMatte();
    AlphaPlane matte = original;
    std::vector<float> spare;
    for (auto _ : state) {
        state.PauseTiming();
        matte.Values = original.Values;
        state.ResumeTiming();
        qualvex::finish::Soften(matte, static_cast<double>(state.range(0)), spare);
        benchmark::DoNotOptimize(matte.Values.data());
    }
}
BENCHMARK(SoftenHdMatte)->Arg(2)->Arg(20)->ArgName("sigma")->Unit(benchmark::kMillisecond);

void ShrinkHdMatte(benchmark::State& state)
{
    const AlphaPlane original = EllipseMatte();
    AlphaPlane matte = original;
    qualvex::finish::EdgeScratch scratch;
    std::vector<float> distance;
    for (auto _ : state) {
        state.PauseTiming();
        matte.Values = original.Values;
        state.ResumeTiming();
        qualvex::finish::ShrinkGrow(matte, static_cast<double>(state.range(0)), scratch, distance);
        benchmark::DoNotOptimize(matte.Values.data());
    }
}
BENCHMARK(ShrinkHdMatte)->Arg(3)->Arg(-3)->ArgName("radius")->Unit(benchmark::kMillisecond);

}  // namespace
