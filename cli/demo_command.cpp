#include "cli/demo_command.h"

#include "jobs/key_job.h"

#include "base/errors.h"
#include "host/flow.h"
#include "jobs/control_settings.h"
#include "jobs/fit_samples.h"
#include "jobs/frame_render.h"
#include "jobs/keyer_plugin.h"
#include "media/contact_sheet.h"
#include "media/image_writer.h"
#include "media/synthetic_plate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace qualvex::cli {
namespace {

// The shipped settings, cli/demo_settings.json, built into the program.
constexpr const char kDemoSettings[] =
#include "demo_settings.inc"
    ;

constexpr int kWidth = 960;
constexpr int kHeight = 540;
constexpr unsigned kSeed = 7;

// Mean absolute difference of the keyed alpha from the true alpha, and the share of pixels within
// 0.05 of it.
void MeasureMatte(const Image& keyed, const std::vector<float>& truth, double& mean, double& share)
{
    double total = 0.0;
    std::size_t within = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float expected = truth[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)];
            const double difference = std::abs(static_cast<double>(keyed.GetPixel(x, y).A) - expected);
            total += difference;
            within += difference <= 0.05 ? 1 : 0;
        }
    const double pixels = static_cast<double>(kWidth) * kHeight;
    mean = total / pixels;  // pixels > 0
    share = static_cast<double>(within) / pixels;
}

// qualvex fit on the plate, from two rectangles of its known layout: a band along the top (above
// the hair and the veil, across the whole fall of the light) as the screen, and a block inside the
// body as the subject. The settings go to `file` and come back from it as `qualvex key --settings`
// loads them, and that instance keys the plate.
std::unique_ptr<Image> KeyWithFittedSettings(const KeyerPlugin& plugin, Image& plate,
                                             const std::filesystem::path& file, bool quiet)
{
    fit::Samples samples;
    AppendRegionColours(plate, {0, 0, kWidth, kHeight * 13 / 200, "screen band"}, samples.Screen);
    AppendRegionColours(plate, {kWidth * 34 / 100, kHeight * 65 / 100, kWidth * 16 / 100, kHeight * 26 / 100, "body"},
                        samples.Subject);
    const fit::FitResult fitted = fit::FitSettings(samples, ProgramRender(plugin));
    WriteFittedSettings(plugin, fitted, file, true);
    if (!quiet)
        std::printf("qualvex fit on the plate (a screen band along the top, a block of the body):\n%s  fitted   %s\n",
                    FitReport(fitted).c_str(), file.string().c_str());
    const std::unique_ptr<Operator> keyer = plugin.NewInstance();
    RunSettings settings;
    settings.File = ReadSettingsFile(*keyer, file);
    settings.ApplyTo(*keyer);
    return KeyOneFrame(*keyer, plate, nullptr, 0);
}

}  // namespace

namespace {

// Green above the average of red and blue, over the pixels the subject covers at all.
double MeanSubjectSpill(const Image& image, const std::vector<float>& trueAlpha)
{
    double total = 0.0;
    std::size_t count = 0;
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            if (trueAlpha[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.Width) +
                          static_cast<std::size_t>(x)] <= 0.0f)
                continue;
            const Pixel p = image.GetPixel(x, y);
            total += std::max(0.0, static_cast<double>(p.G) - (static_cast<double>(p.R) + p.B) / 2.0);
            ++count;
        }
    // A plate without subject pixels has no spill on them to measure.
    return count > 0 ? total / static_cast<double>(count) : 0.0;
}

}  // namespace

DemoResult RunDemo(const KeyerPlugin& plugin, const std::filesystem::path& folder, const std::vector<std::string>& sets,
                   bool quiet)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw Failure(folder.string() + ": cannot create the demo folder: " + error.message());

    const std::unique_ptr<Operator> keyer = plugin.NewInstance();
    std::vector<ControlValue> settings = ParseSettingsJson(*keyer, kDemoSettings, "built-in demo settings");
    for (const std::string& set : sets)
        settings.push_back(ParseSetOption(*keyer, set));
    ApplyControlValues(*keyer, settings);

    const SyntheticPlate plate = MakeGreenScreenPlate(kWidth, kHeight, kSeed);
    const ImageLayout layout{0, 0, 0, 0, kWidth, kHeight, {}, {}};
    WriteOptions plateWrite;
    plateWrite.Storage = PixelStorage::Float;
    plateWrite.Existing = ExistingFile::Replace;  // the demo's folder is its own: a rerun renews it
    WriteImageFile(folder / "plate.exr", *plate.Plate, layout, plateWrite);

    const std::unique_ptr<Image> keyed = KeyOneFrame(*keyer, *plate.Plate, nullptr, 0);
    WriteOptions keyedWrite;
    keyedWrite.Storage = PixelStorage::Float;
    keyedWrite.Existing = ExistingFile::Replace;
    keyedWrite.Result = AutoResultReading(*keyer, nullptr);
    keyedWrite.Record = {ControlValuesJson(*keyer), std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version()};
    WriteImageFile(folder / "keyed.exr", *keyed, layout, keyedWrite);
    WriteContactSheet(folder / "preview.png", *plate.Plate, *keyed, keyedWrite.Result, ExistingFile::Replace);
    {
        std::ofstream out(folder / "settings.json");
        out << kDemoSettings;
        if (!out)
            throw Failure((folder / "settings.json").string() + ": cannot write the demo settings");
    }

    double total = 0.0;
    std::size_t within = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const float truth = plate.TrueAlpha[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)];
            const double difference = std::abs(static_cast<double>(keyed->GetPixel(x, y).A) - truth);
            total += difference;
            within += difference <= 0.05 ? 1 : 0;
        }
    }
    const double pixels = static_cast<double>(kWidth) * kHeight;
    DemoResult result{total / pixels, within / pixels};
    if (!quiet) {
        std::printf("qualvex demo: keyed a %d x %d synthetic green-screen plate with the shipped settings\n", kWidth,
                    kHeight);
        std::printf("  source   %s\n  keyed    %s\n  preview  %s\n  settings %s\n",
                    (folder / "plate.exr").string().c_str(), (folder / "keyed.exr").string().c_str(),
                    (folder / "preview.png").string().c_str(), (folder / "settings.json").string().c_str());
    }
    std::printf("matte error against the true alpha: mean absolute %.4f, %.1f%% of pixels within 0.05\n",
                result.MeanAlphaError, 100.0 * result.ShareWithin005);

    const std::unique_ptr<Image> fittedKey =
        KeyWithFittedSettings(plugin, *plate.Plate, folder / "fitted-settings.json", quiet);
    MeasureMatte(*fittedKey, plate.TrueAlpha, result.FittedMeanAlphaError, result.FittedShareWithin005);
    std::printf("matte error of the fitted settings: mean absolute %.4f, %.1f%% of pixels within 0.05\n",
                result.FittedMeanAlphaError, 100.0 * result.FittedShareWithin005);

    // Finishing the shipped key: spill suppression through the finishing tool, chained in a flow.
    const std::unique_ptr<KeyerPlugin> finishing = plugin.LoadSibling(kFinishingToolFile, kFinishingToolClassID);
    const std::unique_ptr<Operator> finisher = finishing->NewInstance();
    ApplyControlValues(*finisher, {{"Despill", 1.0}, {"ScreenChannel", 1.0}});
    host::Flow chain;
    chain.Append(*keyer);
    chain.Append(*finisher);
    const std::unique_ptr<Image> finished = chain.Render(*plate.Plate, 0.0);
    double finishedError = 0.0, finishedWithin = 0.0;
    MeasureMatte(*finished, plate.TrueAlpha, finishedError, finishedWithin);
    result.SubjectSpill = MeanSubjectSpill(*keyed, plate.TrueAlpha);
    result.FinishedSubjectSpill = MeanSubjectSpill(*finished, plate.TrueAlpha);
    std::printf("finished with despill (average): matte error mean absolute %.4f; mean green spill on the subject "
                "%.4f, %.4f before\n",
                finishedError, result.FinishedSubjectSpill, result.SubjectSpill);
    return result;
}

}  // namespace qualvex::cli
