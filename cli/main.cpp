// qualvex: keys image files and sequences from the command line by loading Sondrel.plugin through
// the host and driving it through its controls and render requests.
//   qualvex key SOURCE -o OUTPUT [options]
//   qualvex info [IMAGE]
//   qualvex demo [-o DIR]
//   qualvex fit SOURCE --screen X,Y,W,H [--subject X,Y,W,H] -o SETTINGS [options]
//   qualvex tune SOURCE [options]
//   qualvex farm submit SOURCE -o /ABSOLUTE/OUTPUT --chunk N [key options]; farm status JOB;
//   qualvex farm verify OUTPUT --frames A-B
// Exit codes: 0 success, 2 usage errors, 1 anything else; errors go to standard error.
#include "base/errors.h"
#include "cli/command_line.h"
#include "cli/info_command.h"
#include "jobs/keyer_plugin.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace qualvex;
using namespace qualvex::cli;

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "qualvex: %s\n", message.c_str());
    return code;
}

// Every option of key, on `command` (key itself, and farm submit, which plans as key does).
void AddKeyOptions(CLI::App* command, KeyCommandLine& options)
{
    command->add_option("SOURCE", options.Key.Source, "source file, sequence pattern (plate.####.exr, plate.%04d.exr) or movie (.mov, .mp4, .webm, ...)")
        ->required();
    command->add_option("-o,--output", options.Key.Output, "output file, sequence pattern or movie with alpha: .mov (ProRes 4444) or .webm (VP9)")->required();
    command->add_option("--key-image", options.Key.KeyImage, "per-pixel key image: a file or a sequence pattern");
    command->add_option("--settings", options.Key.SettingsFile, "settings file (JSON) or an image written by qualvex");
    command->add_option("--set", options.Key.Sets, "a control by its ID: ID=VALUE (repeatable)");
    command->add_option("--key-color", options.Key.KeyColor,
                        "the key colour: R,G,B; applied after the colour space the run ends with, so the Value "
                        "sliders hold it in that space (a --set ValueRed=... still wins)");
    command->add_option("--key-color-from", options.Key.KeyColorFrom,
                        "the key colour: the median, channel by channel, of the region X,Y,W,H of the first frame "
                        "(FRAME:X,Y,W,H: of that frame)");
    command->add_option("--frames", options.Key.Frames,
                        "only frames A to B of a sequence or a movie (a movie's frames count from 1): A-B");
    command->add_flag("--no-audio", options.Key.NoAudio,
                      "leave a movie source's sound out of a movie output (default: copied, trimmed to the frames keyed)");
    command->add_option("--frame-rate", options.Key.FrameRate,
                        "a movie output's frames per second, N or N/D (default: the source movie's, else 24)");
    command->add_option("--threads", options.Key.Threads, "frames rendered at once (default: one per core it may run on)")
        ->check(CLI::Range(1u, 1024u));
    command->add_flag("--resume", options.Key.Resume, "skip frames whose output exists");
    command->add_flag("--overwrite", options.Key.Overwrite, "replace existing outputs");
    command->add_option("--alpha", options.Key.Alpha,
                        "how the keyed colour reads: auto (associated with colour correction on or --output-matte, "
                        "else straight), straight or associated; EXR stores associated colour, TIFF either (marked), "
                        "other formats straight, converting where needed");
    command->add_flag("--premultiply", options.Key.Premultiply, "the old name for --alpha straight");
    command->add_option("--output-colorspace", options.Key.OutputColourspace,
                        "source (default: the colour as the source encodes it, and the outputs say so) or linear "
                        "(converted to linear light on write; $OCIO's configuration where set)");
    command->add_flag("--keep-keyed-colour", options.Key.KeepKeyedColour,
                      "keep the colour of fully keyed pixels where the keyed colour reads as associated (default: 0 "
                      "there, so that an over adds nothing to the background)");
    command->add_option("--data-type", options.DataType, "output storage: uint8, uint16, half or float (default: the source's; half for an 8- or 16-bit source into EXR)");
    command->add_option("--compression", options.Key.Compression,
                        "EXR: none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab; TIFF: none, lzw, zip, "
                        "packbits (default: the source's when it has the output's format, else zip)");
    command->add_option("--preview", options.Key.Preview, "contact sheet of the first frame (PNG)");
    command->add_option("--preview-frame", options.Key.PreviewFrame, "the frame the preview shows (default: the first keyed)");
    command->add_flag("--allow-gaps", options.Key.AllowGaps, "key the frames of the range that exist instead of refusing gaps");
    command->add_flag("-q,--quiet", options.Key.Quiet, "no progress display");
    // Finishing the key: the finishing tool, chained after the keyer, when any of these is given.
    FinishingOptions& finish = options.Key.Finish;
    command
        ->add_option("--despill", finish.Despill,
                     "suppress screen spill: against the key colour, for a screen of any colour (auto, the method "
                     "when none is named); or limit one screen channel by the average or the maximum of the other "
                     "two (average|max)")
        ->expected(0, 1)
        ->default_str("auto");
    command->add_option("--screen-channel", finish.ScreenChannel,
                        "the screen channel average and max limit: red|green|blue (default: the key colour's "
                        "strongest)");
    command->add_option("--despill-amount", finish.DespillAmount, "how much of the spill to remove, 0..1 (default 1)");
    command->add_option("--clip-black", finish.ClipBlack, "alpha at or below this becomes 0");
    command->add_option("--clip-white", finish.ClipWhite, "alpha at or above this becomes 1");
    command
        ->add_option("--unmix", finish.Unmix,
                     "estimate the matte again at its edges from each pixel's colour, as a mix of the screen's and "
                     "the subject's light: in linear light, decoded as the source says (auto, when none is named) "
                     "or as linear|srgb|rec709")
        ->expected(0, 1)
        ->default_str("auto");
    command->add_option("--unmix-reach", finish.UnmixReach,
                        "how far around an edge pixel, in pixels, the screen and the subject are looked for "
                        "(default 20)");
    command->add_option("--shrink", finish.Shrink, "shrink the matte by this many pixels (negative grows)");
    command->add_option("--soften", finish.Soften, "blur the matte's edge: Gaussian sigma in pixels");
    command->add_option("--garbage", finish.Garbage, "image or sequence whose alpha keeps the key out (alpha 0)");
    command->add_option("--core", finish.Core, "image or sequence whose alpha keeps the subject in (alpha 1)");
    command->add_flag("--output-matte", finish.OutputMatte, "write the finished matte alone");
    command->add_option("--memory-limit", options.MemoryLimit,
                        "memory the frames in flight may take: 8G, 512M, ... (default: half of physical memory, or of the "
                        "container's limit where that is less)");
    // A farm task's check that it runs the build its job was planned with; not for people.
    command->add_option("--require-version", options.Key.RequireVersion, "")->group("");
}

// The commands module beside the program: installed in lib/qualvex, in the build tree beside it.
int RunInModule(const CommandLine& command)
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    std::string looked;
    for (const std::filesystem::path& module :
         {program / QUALVEX_INSTALLED_COMMANDS_FROM_PROGRAM / "qualvex-commands.so", program / "qualvex-commands.so"}) {
        if (!std::filesystem::is_regular_file(module, error)) {
            looked += "\n  " + module.string();
            continue;
        }
        // Never unloaded: the commands' threads and static objects live until the process ends.
        void* library = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return Fail(1, "cannot load " + module.string() + ": " + ::dlerror());
        const auto run = reinterpret_cast<RunCommandFunction>(::dlsym(library, kRunCommandSymbol));
        if (run == nullptr)
            return Fail(1, module.string() + " is not qualvex's commands module (no " + kRunCommandSymbol + ")");
        return run(&command);
    }
    return Fail(1, "qualvex's commands module is missing; looked for:" + looked);
}

// The words after the program's name, ready for the parser (which takes them last first). A bare
// `--despill` or `--unmix` (each means auto) does not take the next word for its value when that
// word reads as a file or a sequence (a dot, a slash, # or %, which no value holds): `qualvex key
// --despill plate.exr ...` keys plate.exr instead of asking for a source. A misspelt value is
// still taken as one, and refused by name.
std::vector<std::string> Arguments(int argc, char** argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        if ((words[i] == "--despill" || words[i] == "--unmix") &&
            words[i + 1].find_first_of("./#%") != std::string::npos)
            words[i] += "=auto";
    return {words.rbegin(), words.rend()};
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"qualvex: a keyer for image compositing, run on image files and sequences"};
    app.require_subcommand(1);
    std::string pluginPath;
    app.add_option("--plugin-path", pluginPath, "folder holding Sondrel.plugin, or the plug-in file itself");

    KeyCommandLine key;
    CLI::App* keyCommand = app.add_subcommand("key", "key a file or a frame sequence");
    AddKeyOptions(keyCommand, key);

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
    fitCommand->add_option("--screen", fit.Screens, "screen region X,Y,W,H in pixels, origin top-left; FRAME:X,Y,W,H on one frame of "
                           "the source (repeatable)")
        ->allow_extra_args(false);
    fitCommand->add_option("--subject", fit.Subjects, "subject region X,Y,W,H in pixels; FRAME:X,Y,W,H on one frame (repeatable)")
        ->allow_extra_args(false);
    fitCommand->add_option("--edge", fit.Edges,
                           "edge region X,Y,W,H (hair, a veil, blur): its pixels are rendered at the alpha that "
                           "unmixing them between screen and subject gives; FRAME:X,Y,W,H on one frame; auto: the pixels "
                           "next to the screen, found from the screen samples (repeatable)")
        ->allow_extra_args(false);
    fitCommand->add_option("--screen-mask", fit.ScreenMask, "image: its pixels with alpha (or grey) above 0.5 are screen");
    fitCommand->add_option("--subject-mask", fit.SubjectMask, "image: pixels with alpha (or grey) above 0.5 are subject");
    fitCommand->add_option("--frames", fit.Frames, "sample frames A to B of a sequence or a movie: A-B (default: every frame, or the frames "
                           "regions name)");
    fitCommand->add_option("--space", fit.Space, "auto (default: the best separated), RGB, HSV, YXy, YUV or YCbCr");
    fitCommand->add_option("-o,--output", fit.Output, "settings file to write (JSON, for key --settings)")->required();
    fitCommand->add_option("--clean-plate", fit.CleanPlate,
                           "also write the screen's colour under the subject (.exr), for key --key-image, "
                           "and fit the settings against it");
    fitCommand->add_flag("--overwrite", fit.Overwrite, "replace an existing settings file and clean plate");

    TuneOptions tune;
    CLI::App* tuneCommand =
        app.add_subcommand("tune", "tune the key by eye: the control page and viewer as a local web page");
    tuneCommand->add_option("SOURCE", tune.Source.Source, "source file, sequence pattern or movie")->required();
    tuneCommand->add_option("--key-image", tune.Source.KeyImage, "per-pixel key image: a file or a sequence pattern");
    tuneCommand->add_option("--settings", tune.Source.Settings, "settings file (JSON) or keyed image to start from");
    tuneCommand->add_option("--frames", tune.Source.Frames,
                            "only frames A to B of a sequence or a movie (a movie's frames count from 1): A-B");
    tuneCommand->add_option("--background", tune.Source.Background, "image shown behind the result");
    tuneCommand->add_option("--port", tune.Port, "port to serve on (default: a free one)");
    tuneCommand->add_option("--listen", tune.Listen,
                            "address to serve on instead of the loopback address 127.0.0.1 (with a warning)");
    tuneCommand->add_flag("--open", tune.Open, "open the page in the desktop's browser");

    CLI::App* farmCommand = app.add_subcommand("farm", "key long sequences on a render farm (Slurm)");
    farmCommand->require_subcommand(1);
    KeyCommandLine farmKey;
    FarmSubmitOptions farm;
    CLI::App* submitCommand = farmCommand->add_subcommand(
        "submit", "plan as key does, freeze the settings beside the outputs and submit one task per chunk of frames; "
                  "sources and outputs must be on storage every node sees");
    AddKeyOptions(submitCommand, farmKey);
    submitCommand->add_option("--chunk", farm.Chunk, "frames per task")->required()->check(CLI::PositiveNumber);
    submitCommand->add_option("--partition", farm.Partition, "the Slurm partition to submit to");
    submitCommand->add_option("--slurm", farm.SchedulerArgs, "an argument for sbatch, passed as given (repeatable)")
        ->allow_extra_args(false);
    submitCommand->add_flag("--dry-run", farm.DryRun, "print the job script instead of submitting it");
    std::string statusJob;
    CLI::App* statusCommand = farmCommand->add_subcommand("status", "the chunks' states and the frames written");
    statusCommand->add_option("JOB", statusJob, "the job id farm submit printed")->required();
    FarmVerifyOptions verify;
    CLI::App* verifyCommand = farmCommand->add_subcommand(
        "verify", "every frame present, readable, complete and carrying the same settings (exit 1 otherwise)");
    verifyCommand->add_option("OUTPUT", verify.Output, "the output pattern")->required();
    verifyCommand->add_option("--frames", verify.Frames, "the frames the outputs should hold: A-B")->required();
    verifyCommand->add_option("--settings", verify.Settings,
                              "settings the frames must carry (default: the frozen settings beside them)");

    // A file size limit (ulimit -f) makes a write fail with an error this program reports, instead
    // of ending the process with the temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);

    try {
        app.name(argc > 0 ? argv[0] : "qualvex");
        std::vector<std::string> arguments = Arguments(argc, argv);
        app.parse(arguments);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::printf("%s", app.help("", CLI::AppFormatMode::All).c_str());
        return 0;
    } catch (const CLI::ParseError& error) {
        return Fail(2, std::string(error.what()) + " (see qualvex --help)");
    }

    CommandLine command;
    command.PluginPath = pluginPath;
    if (*keyCommand) {
        command.Command = CommandName::Key;
        command.Key = key;
        command.Key.KeyColorGivenEmpty = keyCommand->count("--key-color") > 0 && key.Key.KeyColor.empty();
    } else if (*infoCommand) {
        command.Command = CommandName::Info;
        command.InfoImage = infoImage;
    } else if (*demoCommand) {
        command.Command = CommandName::Demo;
        command.DemoFolder = demoFolder;
        command.DemoSets = demoSets;
        command.DemoQuiet = demoQuiet;
    } else if (*fitCommand) {
        command.Command = CommandName::Fit;
        command.Fit = fit;
    } else if (*tuneCommand) {
        command.Command = CommandName::Tune;
        command.Tune = tune;
    } else if (*submitCommand) {
        command.Command = CommandName::FarmSubmit;
        command.Key = farmKey;
        command.Key.KeyColorGivenEmpty = submitCommand->count("--key-color") > 0 && farmKey.Key.KeyColor.empty();
        command.Farm = farm;
    } else if (*statusCommand) {
        command.Command = CommandName::FarmStatus;
        command.StatusJob = statusJob;
    } else if (*verifyCommand) {
        command.Command = CommandName::FarmVerify;
        command.Verify = verify;
    }

    // Describing the tool needs only the host and the plug-in: answered here, without the module.
    if (command.Command == CommandName::Info && command.InfoImage.empty()) {
        try {
            std::optional<std::filesystem::path> plugin;
            if (!pluginPath.empty())
                plugin = pluginPath;
            PrintInfo(KeyerPlugin(plugin), "", "", "");
            return 0;
        } catch (const std::exception& error) {
            return Fail(1, error.what());
        }
    }
    return RunInModule(command);
}
