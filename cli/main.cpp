// qualvex: keys image files and sequences from the command line by loading Sondrel.plugin through
// the host and driving it through its controls and render requests.
//   qualvex key SOURCE -o OUTPUT [options]
//   qualvex info [IMAGE]
//   qualvex demo [-o DIR]
//   qualvex fit SOURCE --screen X,Y,W,H [--subject X,Y,W,H] -o SETTINGS [options]
//   qualvex tune SOURCE [options]
// Exit codes: 0 success, 2 usage errors, 1 anything else; errors go to standard error.
#include "cli/cli_errors.h"
#include "cli/demo_command.h"
#include "cli/fit_command.h"
#include "cli/info_command.h"
#include "cli/key_command.h"
#include "cli/finishing_options.h"
#include "cli/keyer_plugin.h"
#include "cli/memory_limit.h"
#include "cli/storage_kinds.h"
#include "cli/tune_command.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>

namespace {

using namespace qualvex::cli;

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "qualvex: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"qualvex: a keyer for image compositing, run on image files and sequences"};
    app.require_subcommand(1);
    std::string pluginPath;
    app.add_option("--plugin-path", pluginPath, "folder holding Sondrel.plugin, or the plug-in file itself");

    KeyOptions key;
    std::string dataType;
    CLI::App* keyCommand = app.add_subcommand("key", "key a file or a frame sequence");
    keyCommand->add_option("SOURCE", key.Source, "source file or sequence pattern (plate.####.exr, plate.%04d.exr)")
        ->required();
    keyCommand->add_option("-o,--output", key.Output, "output file or sequence pattern")->required();
    keyCommand->add_option("--key-image", key.KeyImage, "per-pixel key image: a file or a sequence pattern");
    keyCommand->add_option("--settings", key.SettingsFile, "settings file (JSON) or an image written by qualvex");
    keyCommand->add_option("--set", key.Sets, "a control by its ID: ID=VALUE (repeatable)");
    keyCommand->add_option("--key-color", key.KeyColor,
                           "the key colour: R,G,B; applied after the colour space the run ends with, so the Value "
                           "sliders hold it in that space (a --set ValueRed=... still wins)");
    keyCommand->add_option("--key-color-from", key.KeyColorFrom,
                           "the key colour: the median, channel by channel, of the region X,Y,W,H of the first frame");
    keyCommand->add_option("--frames", key.Frames, "only frames A to B of a sequence: A-B");
    keyCommand->add_option("--threads", key.Threads, "frames rendered at once (default: one per core)")
        ->check(CLI::Range(1u, 1024u));
    keyCommand->add_flag("--resume", key.Resume, "skip frames whose output exists");
    keyCommand->add_flag("--overwrite", key.Overwrite, "replace existing outputs");
    keyCommand->add_option("--alpha", key.Alpha,
                           "how the keyed colour reads: auto (associated with colour correction on or --output-matte, "
                           "else straight), straight or associated; EXR stores associated colour, TIFF either (marked), "
                           "other formats straight, converting where needed");
    keyCommand->add_flag("--premultiply", key.Premultiply, "the old name for --alpha straight");
    keyCommand->add_option("--data-type", dataType, "output storage: uint8, uint16, half or float (default: the source's)");
    keyCommand->add_option("--compression", key.Compression,
                           "EXR: none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab; TIFF: none, lzw, zip, "
                           "packbits (default: the source's when it has the output's format, else zip)");
    keyCommand->add_option("--preview", key.Preview, "contact sheet of the first frame (PNG)");
    keyCommand->add_option("--preview-frame", key.PreviewFrame, "the frame the preview shows (default: the first keyed)");
    keyCommand->add_flag("--allow-gaps", key.AllowGaps, "key the frames of the range that exist instead of refusing gaps");
    keyCommand->add_flag("-q,--quiet", key.Quiet, "no progress display");
    // Finishing the key: the finishing tool, chained after the keyer, when any of these is given.
    FinishingOptions& finish = key.Finish;
    keyCommand->add_option("--despill", finish.Despill,
                           "suppress screen spill: limit the screen channel by the average or the maximum of the "
                           "other two (average|max)");
    keyCommand->add_option("--screen-channel", finish.ScreenChannel,
                           "the screen channel despill limits: red|green|blue (default: the key colour's strongest)");
    keyCommand->add_option("--despill-amount", finish.DespillAmount, "how much of the spill to remove, 0..1 (default 1)");
    keyCommand->add_option("--clip-black", finish.ClipBlack, "alpha at or below this becomes 0");
    keyCommand->add_option("--clip-white", finish.ClipWhite, "alpha at or above this becomes 1");
    keyCommand->add_option("--shrink", finish.Shrink, "shrink the matte by this many pixels (negative grows)");
    keyCommand->add_option("--soften", finish.Soften, "blur the matte's edge: Gaussian sigma in pixels");
    keyCommand->add_option("--garbage", finish.Garbage, "image or sequence whose alpha keeps the key out (alpha 0)");
    keyCommand->add_option("--core", finish.Core, "image or sequence whose alpha keeps the subject in (alpha 1)");
    keyCommand->add_flag("--output-matte", finish.OutputMatte, "write the finished matte alone");
    std::string memoryLimit;
    keyCommand->add_option("--memory-limit", memoryLimit,
                           "memory the frames in flight may take: 8G, 512M, ... (default: half of physical memory)");

    std::string infoImage;
    CLI::App* infoCommand = app.add_subcommand("info", "the tool's registration and control page");
    infoCommand->add_option("IMAGE", infoImage, "an image written by qualvex: show its embedded values");

    std::string demoFolder = "qualvex-demo";
    std::vector<std::string> demoSets;
    bool demoQuiet = false;
    CLI::App* demoCommand = app.add_subcommand("demo", "key a generated green-screen plate and measure the matte");
    demoCommand->add_option("-o,--output", demoFolder, "folder for the demo's files (default: qualvex-demo)");
    demoCommand->add_option("--set", demoSets, "override a shipped setting: ID=VALUE (repeatable)");
    demoCommand->add_flag("-q,--quiet", demoQuiet, "print only the matte error");

    FitCommandOptions fit;
    CLI::App* fitCommand =
        app.add_subcommand("fit", "settings from sample regions: the screen keyed, the subject kept");
    fitCommand->add_option("SOURCE", fit.Source, "source file or sequence pattern (plate.####.exr)")->required();
    fitCommand->add_option("--screen", fit.Screens, "screen region X,Y,W,H in pixels, origin top-left (repeatable)")
        ->allow_extra_args(false);
    fitCommand->add_option("--subject", fit.Subjects, "subject region X,Y,W,H in pixels (repeatable)")
        ->allow_extra_args(false);
    fitCommand->add_option("--screen-mask", fit.ScreenMask, "image: its pixels with alpha (or grey) above 0.5 are screen");
    fitCommand->add_option("--subject-mask", fit.SubjectMask, "image: pixels with alpha (or grey) above 0.5 are subject");
    fitCommand->add_option("--frames", fit.Frames, "sample frames A to B of a sequence: A-B (default: every frame)");
    fitCommand->add_option("--space", fit.Space, "auto (default: the best separated), RGB, HSV, YXy, YUV or YCbCr");
    fitCommand->add_option("-o,--output", fit.Output, "settings file to write (JSON, for key --settings)")->required();
    fitCommand->add_flag("--overwrite", fit.Overwrite, "replace an existing settings file");

    TuneOptions tune;
    CLI::App* tuneCommand =
        app.add_subcommand("tune", "tune the key by eye: the control page and viewer as a local web page");
    tuneCommand->add_option("SOURCE", tune.Source.Source, "source file or sequence pattern")->required();
    tuneCommand->add_option("--key-image", tune.Source.KeyImage, "per-pixel key image: a file or a sequence pattern");
    tuneCommand->add_option("--settings", tune.Source.Settings, "settings file (JSON) or keyed image to start from");
    tuneCommand->add_option("--frames", tune.Source.Frames, "only frames A to B of a sequence: A-B");
    tuneCommand->add_option("--background", tune.Source.Background, "image shown behind the result");
    tuneCommand->add_option("--port", tune.Port, "port to serve on (default: a free one)");
    tuneCommand->add_option("--listen", tune.Listen,
                            "address to serve on instead of the loopback address 127.0.0.1 (with a warning)");
    tuneCommand->add_flag("--open", tune.Open, "open the page in the desktop's browser");

    // A file size limit (ulimit -f) makes a write fail with an error this program reports, instead
    // of ending the process with the temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::printf("%s", app.help("", CLI::AppFormatMode::All).c_str());
        return 0;
    } catch (const CLI::ParseError& error) {
        return Fail(2, std::string(error.what()) + " (see qualvex --help)");
    }

    try {
        if (!dataType.empty())
            key.DataType = ParseStorage(dataType);
        if (keyCommand->count("--key-color") > 0 && key.KeyColor.empty())
            throw UsageError("--key-color \"\": expected three numbers R,G,B");
        if (!memoryLimit.empty())
            key.MemoryLimit = ParseMemoryLimit(memoryLimit);
        std::optional<std::filesystem::path> plugin;
        if (!pluginPath.empty())
            plugin = pluginPath;
        const KeyerPlugin keyer(plugin);
        if (*keyCommand) {
            const KeyResult result = RunKey(keyer, key);
            if (result.Interrupted)
                return Fail(130, "interrupted after " + std::to_string(result.FramesWritten) +
                                     " frames; every output written is complete");
            if (!key.Quiet && result.FramesSkipped > 0)
                std::fprintf(stderr, "qualvex: %d frames skipped, their outputs exist\n", result.FramesSkipped);
        } else if (*infoCommand) {
            RunInfo(keyer, infoImage);
        } else if (*fitCommand) {
            RunFit(keyer, fit);
        } else if (*tuneCommand) {
            RunTune(keyer, tune);
        } else if (*demoCommand) {
            RunDemo(keyer, demoFolder, demoSets, demoQuiet);
        }
        return 0;
    } catch (const UsageError& error) {
        return Fail(2, error.what());
    } catch (const std::bad_alloc&) {
        return Fail(1, "not enough memory for this run (--memory-limit bounds what frames may take)");
    } catch (const std::exception& error) {
        return Fail(1, error.what());
    }
}
