#include "cli/fit_command.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "jobs/fit_samples.h"
#include "jobs/frame_sequence.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace qualvex::cli {

fit::FitResult RunFit(const KeyerPlugin& plugin, const FitCommandOptions& options)
{
    fit::FitOptions fitOptions;
    if (options.Space != "auto") {
        fitOptions.Space = fit::SpaceNamed(options.Space);
        if (!fitOptions.Space)
            throw UsageError("--space \"" + Printable(options.Space, 40) +
                             "\": expected auto, RGB, HSV, YXy, YUV or YCbCr");
    }
    SampleRequest request{options.Source, options.Frames, {}, {}, options.ScreenMask, options.SubjectMask};
    for (const std::string& text : options.Screens)
        request.Screens.push_back(ParseRegion(text, "--screen"));
    for (const std::string& text : options.Subjects)
        request.Subjects.push_back(ParseRegion(text, "--subject"));
    if (request.Screens.empty() && request.ScreenMask.empty())
        throw UsageError("no screen samples: give --screen X,Y,W,H or --screen-mask IMAGE");
    CheckApart(request.Screens, request.Subjects);
    if (options.Output.empty())
        throw UsageError("-o: the settings file to write is missing");
    std::error_code error;
    if (!options.Overwrite && std::filesystem::exists(std::filesystem::symlink_status(options.Output, error)))
        throw Failure(options.Output + ": exists (use --overwrite to replace it)");

    const SourceSamples sampled = SampleSource(request);
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
