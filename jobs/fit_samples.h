// qualvex fit: keyer settings from sample regions of a plate instead of trial and error. Reads
// screen and subject samples from rectangles and masks in every frame asked for, hands them to
// the fitting library with a render callback through the loaded tool, prints what it chose and
// why, and writes a settings file that `qualvex key --settings` takes.
#pragma once

#include "cli/control_settings.h"
#include "cli/frame_sequence.h"
#include "cli/image_reader.h"
#include "fit/fit_settings.h"
#include "host/image.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qualvex::cli {

class KeyerPlugin;
}  // namespace qualvex::cli

class Operator;

namespace qualvex::cli {

// A rectangle in pixels of the source, origin top-left as image viewers show it, with the option
// and text it came from for messages ("--screen 10,10,64,32").
struct Region {
    int X = 0;
    int Y = 0;
    int Width = 0;
    int Height = 0;
    std::string Name;
};

// "X,Y,W,H" of the option `option`: four integers. Throws UsageError naming the region when the
// text is not that or the region is empty.
Region ParseRegion(const std::string& text, const std::string& option);

struct FitCommandOptions {
    std::string Source;                // file or sequence pattern
    std::vector<std::string> Screens;  // X,Y,W,H each
    std::vector<std::string> Subjects;
    std::string ScreenMask;   // image (or sequence) whose pixels above 0.5 are screen samples
    std::string SubjectMask;
    std::string Frames;       // "A-B", "A" or empty for every frame on disk
    std::string Space = "auto";
    std::string Output;
    bool Overwrite = false;
};

// Throws UsageError for a bad command (regions outside the image, empty, or screen and subject
// overlapping, each named) and Failure for what is missing or unreadable.
fit::FitResult RunFit(const KeyerPlugin& plugin, const FitCommandOptions& options);

// Appends the colours of `image` inside `region` (checked against the image, UsageError naming
// it otherwise) to `samples`.
void AppendRegionColours(const Image& image, const Region& region, std::vector<fit::Rgb>& samples);

// The render callback the program fits with: each candidate goes through a new instance, set up
// exactly as a settings file holding it would set it up.
fit::RenderFunction ProgramRender(const KeyerPlugin& plugin);

// The report qualvex fit prints: the space chosen and why, each space's separation, the shares of
// screen samples fully keyed and subject samples fully kept, and the settings.
std::string FitReport(const fit::FitResult& result);

// The settings file for a fit, as JSON: the colour space by its label, the key colour in CRed,
// CGreen, CBlue and the windows and shaping; with `valueSliders` the Value sliders too.
std::string FittedSettingsJson(const fit::FitResult& result, bool valueSliders);

// Writes the fitted settings to `file` and checks, by loading the file into a new instance as
// `qualvex key --settings` does, that it reproduces the fitted controls and Value sliders. Throws
// Failure when it cannot.
void WriteFittedSettings(const KeyerPlugin& plugin, const fit::FitResult& result, const std::filesystem::path& file,
                         bool overwrite);

// The frames of `source` that --frames `framesOption` asks for, all of them on disk ({0} for a
// single file). Throws UsageError for --frames on a single file, Failure for missing frames.
std::vector<int> FramesToSample(const FramePattern& source, const std::string& framesOption);

// The median, channel by channel, of `region` of `image` (named `file` in messages), as the three
// key colour controls; rounded to single precision as the tool holds a key colour.
std::vector<ControlValue> MedianKeyColor(const ImageFile& image, const Region& region, const std::string& file);

// Fits settings to screen and subject rectangles of one image (`name` in messages), as qualvex fit
// does for one frame.
fit::FitResult FitRegions(const KeyerPlugin& plugin, const ImageFile& image, const std::string& name,
                          const std::vector<Region>& screens, const std::vector<Region>& subjects);

// Sets the fitted settings on `op` as the fitted settings file would, and the Value sliders to the
// ones the fit scored where the key colour alone does not bring them back.
void ApplyFittedSettings(Operator& op, const fit::FitResult& result);

// --key-color-from X,Y,W,H: the median, channel by channel, of the region in the first frame of
// `source` (`frames` as --frames), as the three key colour controls.
std::vector<ControlValue> KeyColorFromRegion(const std::string& source, const std::string& frames,
                                             const std::string& region);

// `settings` with the key colour of --key-color-from `region` (when given) in the place of
// --key-color, which it excludes (UsageError).
RunSettings WithKeyColorFromRegion(RunSettings settings, const std::string& keyColor, const std::string& region,
                                   const std::string& source, const std::string& frames);

}  // namespace qualvex::cli
