// What a user waits for in qualvex tune: an edit made through the session, then the view the page
// asks for, on an HD frame (1920 x 1080, float EXR), at full size and at the half-size proxy.
#include "jobs/keyer_plugin.h"
#include "media/image_writer.h"
#include "media/synthetic_plate.h"
#include "tune/tune_session.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using namespace qualvex;

// The plate and the demo's settings, written once into a folder of this process's.
struct HdPlateFiles {
    std::filesystem::path Folder;
    HdPlateFiles()
    {
        Folder = std::filesystem::temp_directory_path() / ("qualvex-tune-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Folder);
        const SyntheticPlate plate = MakeGreenScreenPlate(1920, 1080, 7);
        ImageLayout layout;
        layout.FullWidth = 1920;
        layout.FullHeight = 1080;
        WriteImageFile(Folder / "plate.exr", *plate.Plate, layout, WriteOptions{PixelStorage::Float, AlphaReading::Straight, "none", {}, ExistingFile::Replace, false, {}});
        std::ifstream in(QUALVEX_DEMO_SETTINGS_FILE);
        std::ofstream(Folder / "settings.json") << in.rdbuf();
    }
    ~HdPlateFiles()
    {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
};

TuneSession& Session()
{
    static HdPlateFiles files;
    static KeyerPlugin plugin(std::filesystem::path(QUALVEX_PLUGIN_DIR));
    static TuneSession session(plugin, TuneSource{(files.Folder / "plate.exr").string(), "", "", "",
                                                  (files.Folder / "settings.json").string()});
    return session;
}

// An edit of Fade (alternating, so every one is a change the tool hears of), then the view.
void TuneEditThenView(benchmark::State& state)
{
    TuneSession& session = Session();
    const auto view = static_cast<TuneView>(state.range(0));
    const int step = static_cast<int>(state.range(1));
    bool flip = false;
    for (auto _ : state) {
        session.SetControls({{"FadeRed", flip ? "0.7" : "0.71"}});
        flip = !flip;
        benchmark::DoNotOptimize(session.RenderViewPng(view, 0, step));
    }
}
BENCHMARK(TuneEditThenView)
    ->ArgNames({"view", "step"})
    ->Args({static_cast<int>(TuneView::Matte), 1})
    ->Args({static_cast<int>(TuneView::Matte), 2})
    ->Args({static_cast<int>(TuneView::Checker), 1})
    ->Args({static_cast<int>(TuneView::Rejection), 1})
    ->Args({static_cast<int>(TuneView::Rejection), 2})
    ->Unit(benchmark::kMillisecond);

// The same edit and the matte statistics: the keying without the picture, for what the PNG costs.
void TuneEditThenStatistics(benchmark::State& state)
{
    TuneSession& session = Session();
    bool flip = false;
    for (auto _ : state) {
        session.SetControls({{"FadeRed", flip ? "0.7" : "0.71"}});
        flip = !flip;
        benchmark::DoNotOptimize(session.Statistics(0, static_cast<int>(state.range(0))));
    }
}
BENCHMARK(TuneEditThenStatistics)->ArgName("step")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
