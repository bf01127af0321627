// Whole frames through the host with the loaded finishing tool: an HD float frame of a subject
// over a green backing, its matte a soft-edged ellipse, finished with its defaults (the passes
// every frame pays for), with despill, shrink 3 and soften 2, and with the edges unmixed too.
#include "bench/frame_renders.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/request.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

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

    Image source(1920, 1080, static_cast<PixelStorage>(state.range(1)));
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
BENCHMARK(FinishHdFrame)
    ->ArgsProduct({{0, 1, 2}, {static_cast<int>(PixelStorage::Half), static_cast<int>(PixelStorage::Float)}})
    ->ArgNames({"despill_shrink3_soften2_unmix", "storage"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
