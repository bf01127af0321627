#include "cli/fit_command.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "jobs/clean_plate.h"
#include "jobs/fit_samples.h"
#include "jobs/frame_sequence.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace qualvex::cli {
namespace {

fit::FitResult FitAgainstCleanPlate(const KeyerPlugin& plugin, const SampleRequest& request,
                                    const fit::FitOptions& fitOptions, const FitCommandOptions& options)
{
    const CleanPlateFit fitted = FitWithCleanPlate(plugin, request, fitOptions);
    std::printf("qualvex fit: screen and subject samples of %s, fitted against a clean plate\n",
                FramePattern(options.Source).Text().c_str());
    std::printf("%s%s", CleanPlateReport(fitted).c_str(), FitReport(fitted.Plate).c_str());
    WriteCleanPlate(fitted, options.CleanPlate, options.Overwrite);
    try {
        WriteFittedSettings(plugin, fitted.Plate, options.Output, options.Overwrite);
    } catch (...) {
        // The plate is only of use with these settings.
        std::error_code ignored;
        std::filesystem::remove(options.CleanPlate, ignored);
        throw;
    }
    std::printf("  written: %s (the clean plate, for --key-image) and %s\n", options.CleanPlate.c_str(),
                options.Output.c_str());
    return fitted.Plate;
}

}  // namespace

fit::FitResult RunFit(const KeyerPlugin& plugin, const FitCommandOptions& options)
{
    fit::FitOptions fitOptions;
    if (options.Space != "auto") {
        fitOptions.Space = fit::SpaceNamed(options.Space);
        if (!fitOptions.Space)
            throw UsageError("--space \"" + Printable(options.Space, 40) +
                             "\": expected auto, RGB, HSV, YXy, YUV or YCbCr");
    }
    SampleRequest request{options.Source, options.Frames, {}, {}, options.ScreenMask, options.SubjectMask, {}, {}, false};
    for (const std::string& text : options.Screens)
        request.Screens.push_back(ParseRegion(text, "--screen"));
    for (const std::string& text : options.Subjects)
        request.Subjects.push_back(ParseRegion(text, "--subject"));
    for (const std::string& text : options.Edges) {
        if (text == "auto")
            request.AutoEdges = true;
        else
            request.Edges.push_back(ParseRegion(text, "--edge"));
    }
    if (request.Screens.empty() && request.ScreenMask.empty())
        throw UsageError("no screen samples: give --screen X,Y,W,H or --screen-mask IMAGE");
    CheckApart(request.Screens, request.Subjects);
    if (options.Output.empty())
        throw UsageError("-o: the settings file to write is missing");
    std::error_code error;
    if (!options.Overwrite && std::filesystem::exists(std::filesystem::symlink_status(options.Output, error)))
        throw Failure(options.Output + ": exists (use --overwrite to replace it)");
    if (!options.CleanPlate.empty()) {
        CheckCleanPlateOutput(options.CleanPlate, options.Overwrite);
        return FitAgainstCleanPlate(plugin, request, fitOptions, options);
    }

    const SourceSamples sampled = SampleSource(request);
    fitOptions.Values = EncodingOf(sampled.ColourEncoding);
    const fit::FitResult result = fit::FitSettings(sampled.Samples, ProgramRender(plugin), fitOptions);
    std::printf("qualvex fit: %zu screen and %zu subject samples from %zu frame%s of %s\n",
                sampled.Samples.Screen.size(), sampled.Samples.Subject.size(), sampled.Frames,
                sampled.Frames == 1 ? "" : "s", FramePattern(options.Source).Text().c_str());
    std::printf("%s", FitReport(result).c_str());
    WriteFittedSettings(plugin, result, options.Output, options.Overwrite);
    std::printf("  written: %s\n", options.Output.c_str());
    return result;
}

}  // namespace qualvex::cli
