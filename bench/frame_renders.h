// What the whole-frame benchmarks share: setting a control through the host, as a user edit
// would, and rendering the tool's frame over and over.
#pragma once

#include "host/image.h"
#include "host/operator.h"
#include "host/parameter.h"
#include "host/request.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace qualvex::bench {

inline void SetNumber(Operator& op, const char* id, double value)
{
    AutoNumber number(value);
    op.FindInput(id)->SetValueAt(number, 0.0);
}

// Connects `source` to the tool's Image input and renders a frame per iteration; items are pixels.
// With QUALVEX_BENCH_PIXELS=1 the source offers no rows, so the tools go pixel by pixel through its
// reader and writer: the way every frame went before images offered rows.
inline void RenderFrames(benchmark::State& state, Operator& op, Image& source)
{
    const char* pixels = std::getenv("QUALVEX_BENCH_PIXELS");
    if (pixels != nullptr && std::string(pixels) == "1")
        source.ReadRow = nullptr;
    op.FindInput("Image")->ConnectImage(&source);
    for (auto _ : state) {
        std::unique_ptr<Image> output = host::RenderFrame(op, 0.0);
        benchmark::DoNotOptimize(output.get());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(source.Width) * source.Height);
}

}  // namespace qualvex::bench
