// The pixel matte alone, and the vector matte the render uses, over one HD row of varied colours,
// per colour space, with and without colour correction.
#include "render/pixel_matte.h"
#include "render/row_matte.h"

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

// The vector matte on the same row, Gamma 1, with colour correction off and on: on with CC Amount
// and Desaturate 0.5 (powers of two, which the correction takes in float) or 0.7 and 0.3 (in
// double).
void RowMatte(benchmark::State& state)
{
    qualvex::FrameSettings s;
    s.Mode = static_cast<std::int32_t>(state.range(0));
    s.ColorCorrect = state.range(1) != 0 ? 1 : 0;
    for (int i = 0; i < 3; ++i) {
        s.Value[i] = 0.4;
        s.Min[i] = 0.1;
        s.Max[i] = 0.15;
    }
    s.Fade = 0.3;
    s.CCAmount = state.range(1) == 2 ? 0.7 : 0.5;
    s.Desaturate = state.range(1) == 2 ? 0.3 : 0.5;
    const qualvex::MatteFrame frame = qualvex::PrepareMatteFrame(s);
    const qualvex::KeyReference reference = qualvex::SliderReference(frame);
    const std::vector<ColorVec> source = Row();
    const std::size_t n = source.size();
    std::vector<float> sourceChannels(4 * n), channels(4 * n);
    for (std::size_t i = 0; i < n; ++i) {
        sourceChannels[i] = source[i].R;
        sourceChannels[n + i] = source[i].G;
        sourceChannels[2 * n + i] = source[i].B;
        sourceChannels[3 * n + i] = 1.0f;
    }
    std::vector<std::uint8_t> scratch(n);
    const qualvex::MatteIsa isa = qualvex::ChosenMatteIsa();
    state.SetLabel(qualvex::MatteIsaName(isa));
    for (auto _ : state) {
        channels = sourceChannels;
        float* c = channels.data();
        qualvex::ApplyMatteToRow({c, c + n, c + 2 * n, c + 3 * n, scratch.data(), static_cast<int>(n)}, reference,
                                 frame, isa, nullptr);
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(RowMatte)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1, 2}})->ArgNames({"space", "cc"});

}  // namespace
