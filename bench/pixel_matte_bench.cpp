// The pixel matte alone, over one HD row of varied colours, per colour space, with and without
// colour correction.
#include "render/pixel_matte.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

std::vector<ColorVec> Row()
{
    std::mt19937 random(3);
    std::uniform_real_distribution<float> channel(0.0f, 1.0f);
    std::vector<ColorVec> row(1920);
    for (ColorVec& c : row)
        c = qualvex::MakeColor(channel(random), channel(random), channel(random));
    return row;
}

void PixelMatte(benchmark::State& state)
{
    qualvex::FrameSettings s;
    s.Mode = static_cast<std::int32_t>(state.range(0));
    s.ColorCorrect = static_cast<std::int32_t>(state.range(1));
    for (int i = 0; i < 3; ++i) {
        s.Value[i] = 0.4;
        s.Min[i] = 0.1;
        s.Max[i] = 0.15;
    }
    s.Fade = 0.3;
    s.Gamma = 1.4;
    s.CCAmount = 0.5;
    s.Desaturate = 0.2;
    const qualvex::MatteFrame frame = qualvex::PrepareMatteFrame(s);
    const qualvex::KeyReference reference = qualvex::SliderReference(frame);
    const std::vector<ColorVec> source = Row();
    std::vector<ColorVec> pixels = source;
    for (auto _ : state) {
        pixels = source;
        for (ColorVec& c : pixels)
            qualvex::ApplyMatte(c, reference, frame);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pixels.size()));
}
BENCHMARK(PixelMatte)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})->ArgNames({"space", "cc"});

}  // namespace
