// Whole frames through the host with the loaded finishing tool: an HD float frame of a subject
// over a green backing, its matte a soft-edged ellipse, finished with its defaults (the passes
// every frame pays for), with despill, shrink 3 and soften 2, and with the edges unmixed too; and
// with despill against the screen's colour (what `qualvex key --despill` asks for) instead.
#include "bench/frame_renders.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/request.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace {

// The frame finished by `op` (the finishing tool, loaded from `plugin`).
void FinishFrame(benchmark::State& state, std::unique_ptr<host::LoadedPlugin> plugin, std::unique_ptr<Operator> op,
                 PixelStorage storage)
{
    Image source(1920, 1080, storage);
    for (std::int32_t y = 0; y < source.Height; ++y)
        for (std::int32_t x = 0; x < source.Width; ++x) {
            const double u = (x - 960.0) / 600.0;
            const double v = (y - 540.0) / 380.0;
            // Distance outside the ellipse's rim, in roughly pixels; a ramp two pixels wide.
            const double rim = (std::sqrt(u * u + v * v) - 1.0) * 450.0;
            Pixel p;
            p.A = static_cast<float>(std::clamp(0.5 - rim / 2.0, 0.0, 1.0));
            p.R = 0.2f + 0.5f * p.A * static_cast<float>(x) / 1920.0f;
            p.G = 0.75f - 0.3f * p.A;
            p.B = 0.15f + 0.4f * p.A * static_cast<float>(y) / 1080.0f;
            source.SetPixel(x, y, p);
        }
    qualvex::bench::RenderFrames(state, *op, source);
    op.reset();
    plugin->Unload();
}

void FinishHdFrame(benchmark::State& state)
{
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/QualvexFinish.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.QualvexFinish"));
    if (state.range(0) >= 1) {
        qualvex::bench::SetNumber(*op, "Despill", 1.0);
        qualvex::bench::SetNumber(*op, "Shrink", 3.0);
        qualvex::bench::SetNumber(*op, "Soften", 2.0);
    }
    if (state.range(0) == 2)
        qualvex::bench::SetNumber(*op, "UnmixEdges", 1.0);
    FinishFrame(state, std::move(plugin), std::move(op), static_cast<PixelStorage>(state.range(1)));
}
BENCHMARK(FinishHdFrame)
    ->ArgsProduct({{0, 1, 2}, {static_cast<int>(PixelStorage::Half), static_cast<int>(PixelStorage::Float)}})
    ->ArgNames({"despill_shrink3_soften2_unmix", "storage"})
    ->Unit(benchmark::kMillisecond);

// Despill against the backing's colour (Despill's fourth entry, the screen colour sliders at the
// frame's green), shrink 3, soften 2.
void FinishHdFrameAgainstScreen(benchmark::State& state)
{
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/QualvexFinish.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.QualvexFinish"));
    qualvex::bench::SetNumber(*op, "Despill", 3.0);
    qualvex::bench::SetNumber(*op, "ScreenRed", 0.2);
    qualvex::bench::SetNumber(*op, "ScreenGreen", 0.75);
    qualvex::bench::SetNumber(*op, "ScreenBlue", 0.15);
    qualvex::bench::SetNumber(*op, "Shrink", 3.0);
    qualvex::bench::SetNumber(*op, "Soften", 2.0);
    FinishFrame(state, std::move(plugin), std::move(op), static_cast<PixelStorage>(state.range(0)));
}
BENCHMARK(FinishHdFrameAgainstScreen)
    ->ArgsProduct({{static_cast<int>(PixelStorage::Half), static_cast<int>(PixelStorage::Float)}})
    ->ArgNames({"storage"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
