// The tool on the plate bench/compare.sh gives it (QUALVEX_BENCH_PLATE, an image file): one
// thread, through the loaded plug-in, in each colour space, with colour correction off and on
// (CC Amount 0.5, and 0.7 with Gamma 1), Gamma 1 and 1.4, in 8-bit and float storage. The key
// colour is the plate's top-left corner (its screen), set as the key colour in the space in
// force, windows 0.15 around it. FittedKey keys it with a settings file instead
// (QUALVEX_BENCH_SETTINGS, flat, as qualvex fit writes it), float storage, with Gamma 1, 1.4 and
// the file's own: what Gamma costs on a key someone would use.
#include "bench/frame_renders.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"

#include <OpenImageIO/imageio.h>
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<Image> ReadPlate(PixelStorage storage, std::string& error)
{
    const char* path = std::getenv("QUALVEX_BENCH_PLATE");
    if (path == nullptr) {
        error = "QUALVEX_BENCH_PLATE names no plate (bench/compare.sh makes one)";
        return nullptr;
    }
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        error = std::string(path) + ": " + OIIO::geterror();
        return nullptr;
    }
    const OIIO::ImageSpec& header = in->spec();
    std::vector<float> values(static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.height) *
                              static_cast<std::size_t>(header.nchannels));
    if (header.nchannels < 3 || !in->read_image(0, 0, 0, header.nchannels, OIIO::TypeDesc::FLOAT, values.data())) {
        error = std::string(path) + ": not an RGB image";
        return nullptr;
    }
    // As `qualvex key` holds a plate without depth, coverage or IDs: no further channels.
    auto image = std::make_unique<Image>(header.width, header.height, storage, false);
    for (int y = 0; y < header.height; ++y)
        for (int x = 0; x < header.width; ++x) {
            const float* v = &values[(static_cast<std::size_t>(y) * static_cast<std::size_t>(header.width) +
                                      static_cast<std::size_t>(x)) *
                                     static_cast<std::size_t>(header.nchannels)];
            Pixel p;
            p.R = v[0];
            p.G = v[1];
            p.B = v[2];
            p.A = 1.0f;
            image->SetPixel(x, y, p);
        }
    return image;
}

void KeyPlate(benchmark::State& state)
{
    std::string error;
    const std::unique_ptr<Image> plate = ReadPlate(static_cast<PixelStorage>(state.range(0)), error);
    if (!plate) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.Qualvex"));
    auto set = [&](const char* id, double value) { qualvex::bench::SetNumber(*op, id, value); };
    set("Colorspace", static_cast<double>(state.range(1)));
    const Pixel screen = plate->GetPixel(8, 8);
    set("CRed", screen.R);
    set("CGreen", screen.G);
    set("CBlue", screen.B);
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue"})
        set(id, 0.15);
    set("FadeRed", 0.3);
    set("ColCor", state.range(2) != 0 ? 1.0 : 0.0);
    // 0.5 is a power of two, which the correction takes in float; 0.7 takes it in double.
    set("CCAmount", state.range(2) == 2 ? 0.7 : 0.5);
    set("GammaAlpha", state.range(3) == 0 ? 1.0 : 1.4);
    qualvex::bench::RenderFrames(state, *op, *plate);
    op.reset();
    plugin->Unload();
}
BENCHMARK(KeyPlate)
    ->Apply([](benchmark::internal::Benchmark* b) {
        for (int storage : {0, 3})
            for (int space = 0; space <= 4; ++space) {
                for (int cc : {0, 1})
                    for (int gamma14 : {0, 1})
                        b->Args({storage, space, cc, gamma14});
                b->Args({storage, space, 2, 0});  // CC Amount 0.7, Gamma 1
            }
    })
    ->ArgNames({"storage", "space", "cc", "gamma14"})
    ->Unit(benchmark::kMillisecond);

void FittedKey(benchmark::State& state)
{
    std::string error;
    const std::unique_ptr<Image> plate = ReadPlate(PixelStorage::Float, error);
    const char* path = std::getenv("QUALVEX_BENCH_SETTINGS");
    std::ifstream text(path != nullptr ? path : "");
    const nlohmann::json settings = nlohmann::json::parse(text, nullptr, false);
    if (!plate || !settings.is_object()) {
        state.SkipWithError(plate ? "QUALVEX_BENCH_SETTINGS names no flat settings file" : error.c_str());
        return;
    }
    std::unique_ptr<host::LoadedPlugin> plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    std::unique_ptr<Operator> op = host::CreateInstance(*host::FindClass("Tavelorn.Qualvex"));
    // The colour space first, by its entry; then the file's numbers, the Value sliders as they
    // stand (a key colour set after them would rewrite them).
    const char* spaces[] = {"RGB", "HSV", "YXy", "YUV", "YCbCr"};
    for (int i = 0; i < 5; ++i)
        if (settings.value("Colorspace", "") == spaces[i])
            qualvex::bench::SetNumber(*op, "Colorspace", i);
    for (const auto& [id, value] : settings.items())
        if (value.is_number() && id != "CRed" && id != "CGreen" && id != "CBlue")
            qualvex::bench::SetNumber(*op, id.c_str(), value.get<double>());
    if (state.range(0) < 2)
        qualvex::bench::SetNumber(*op, "GammaAlpha", state.range(0) == 0 ? 1.0 : 1.4);
    qualvex::bench::RenderFrames(state, *op, *plate);
    op.reset();
    plugin->Unload();
}
BENCHMARK(FittedKey)->Arg(0)->Arg(1)->Arg(2)->ArgName("gamma_1_14_fitted")->Unit(benchmark::kMillisecond);

}  // namespace
