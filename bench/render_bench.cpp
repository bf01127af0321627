// Whole frames through the host: the loaded plug-in keys an HD frame of each storage kind, filled
// either with random colours (the worst case for the colour conversions' branches) or with a
// smooth gradient over a green backing (closer to real footage).
#include "bench/frame_renders.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/request.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <random>

namespace {

// Random colours (the worst case for the conversions' branches), or a smooth gradient over a
// green backing (closer to real footage).
void FillHdPlate(Image& source, bool smooth)
{
    std::mt19937 random(5);
    std::uniform_real_distribution<float> channel(0.0f, 1.0f);
    for (std::int32_t y = 0; y < source.Height; ++y)
        for (std::int32_t x = 0; x < source.Width; ++x) {
            Pixel p;
            const float u = static_cast<float>(x) / 1920.0f;
            const float v = static_cast<float>(y) / 1080.0f;
            p.R = smooth ? 0.1f + 0.6f * u * v : channel(random);
            p.G = smooth ? 0.7f - 0.3f * u : channel(random);
            p.B = smooth ? 0.15f + 0.5f * v * v : channel(random);
            p.A = 1.0f;
            source.SetPixel(x, y, p);
        }
}

void RenderHdFrame(benchmark::State& state)
{
    const auto storage = static_cast<PixelStorage>(state.range(0));
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.Qualvex"));
    auto set = [&](const char* id, double value) { qualvex::bench::SetNumber(*op, id, value); };
    for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"})
        set(id, 0.4);
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue"})
        set(id, 0.12);
    set("FadeRed", 0.3);
    set("CCAmount", 0.5);
    set("Colorspace", static_cast<double>(state.range(1)));

    Image source(1920, 1080, storage);
    FillHdPlate(source, state.range(2) == 1);
    qualvex::bench::RenderFrames(state, *op, source);
    op.reset();
    plugin->Unload();
}
BENCHMARK(RenderHdFrame)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}, {0, 1}})
    ->ArgNames({"storage", "space", "smooth"})
    ->Unit(benchmark::kMillisecond);

// The plate a compositor keys most: an HD float frame, smooth colours over a green backing, in
// each colour space, with colour correction off and on, and Gamma 1 and 1.4.
// QUALVEX_MATTE_ISA=scalar|avx2|avx512 picks the matte's instruction set for a comparison.
void KeyHdFloatFrame(benchmark::State& state)
{
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.Qualvex"));
    auto set = [&](const char* id, double value) { qualvex::bench::SetNumber(*op, id, value); };
    set("Colorspace", static_cast<double>(state.range(0)));
    set("ColCor", static_cast<double>(state.range(1)));
    set("GammaAlpha", state.range(2) == 0 ? 1.0 : 1.4);
    const double value[3] = {0.3, 0.7, 0.2};
    const char* sliders[3] = {"ValueRed", "ValueGreen", "ValueBlue"};
    for (int i = 0; i < 3; ++i)
        set(sliders[i], value[i]);
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue"})
        set(id, 0.15);
    set("FadeRed", 0.3);
    set("CCAmount", 0.5);
    Image source(1920, 1080, PixelStorage::Float);
    FillHdPlate(source, true);
    qualvex::bench::RenderFrames(state, *op, source);
    op.reset();
    plugin->Unload();
}
BENCHMARK(KeyHdFloatFrame)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}, {0, 1}})
    ->ArgNames({"space", "cc", "gamma14"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
