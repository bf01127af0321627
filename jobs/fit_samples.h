// Fitting from files: screen and subject samples read from rectangles and masks of a plate's
// frames (image files, sequences or movies), the render callback through the loaded tool that
// scores candidates, the report of a fit and the settings file it writes. `qualvex fit`, the key
// colour of `qualvex key --key-color-from` and the tuning page's Pick and Fit all come here.
#pragma once

#include "fit/fit_settings.h"
#include "host/image.h"
#include "jobs/control_settings.h"
#include "jobs/frame_sequence.h"
#include "media/image_reader.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class Operator;

namespace qualvex {

class KeyerPlugin;

// A rectangle in pixels of the source, origin top-left as image viewers show it, with the option
// and text it came from for messages ("--screen 10,10,64,32"), on every frame sampled or on one.
struct Region {
    int X = 0;
    int Y = 0;
    int Width = 0;
    int Height = 0;
    std::string Name;
    std::optional<int> Frame{};  // a frame number of the source; none: every frame sampled
};

// "X,Y,W,H" of the option `option`: four integers, or "F:X,Y,W,H" for frame F of the source
// alone. Throws UsageError naming the region when the text is not that or the region is empty.
Region ParseRegion(const std::string& text, const std::string& option);

// Where a fit's samples come from: rectangles and masks (an image, or a sequence read frame by
// frame, whose pixels above 0.5 mark samples) of the frames of a source.
struct SampleRequest {
    std::string Source;                // file, sequence pattern or movie
    std::string Frames;                // "A-B", "A" or empty for every frame on disk
    std::vector<Region> Screens;
    std::vector<Region> Subjects;
    std::string ScreenMask;
    std::string SubjectMask;
    std::vector<Region> Edges{};  // pixels of the edges that matter, scored against their unmixed alpha
    // When set, each sample's colour passes through it with its pixel's place (column and row of
    // the frame's pixels, 0 at the first): how a clean plate's fit sees the screen flattened.
    std::function<fit::Rgb(int x, int y, const fit::Rgb& colour)> Adjust{};
    // Also take, on every frame sampled, the pixels unlike the screen within 3 pixels of one like
    // it (the screen samples' median and spread say which are), as edge samples.
    bool AutoEdges = false;
};

struct SourceSamples {
    fit::Samples Samples;
    std::size_t Frames = 0;  // frames sampled
    std::string ColourEncoding;  // the first frame's, as ImageLayout says it
};

// How a source whose layout says `colourEncoding` encodes light, for unmixing edge samples:
// "sRGB" and "Rec709" by their curves, anything else as linear.
fit::Encoding EncodingOf(const std::string& colourEncoding);

// Reads the frames a request samples, one after another: the files of a sequence (or the single
// file, frame 0), or frames of a movie, numbered from 1; those of --frames (every frame without
// it), but when every region names its frame and no mask and no --frames are given, only the
// frames named. Stops after `most` frames. Throws UsageError naming a region whose frame the
// source does not hold or that lies outside --frames, and Failure for frames missing.
void ForEachSourceFrame(const SampleRequest& request, std::size_t most,
                        const std::function<void(const ImageFile&, const std::string& name, int frame)>& use);

// Throws UsageError naming the first screen and subject rectangles that overlap.
void CheckApart(const std::vector<Region>& screens, const std::vector<Region>& subjects);

// Reads the samples of every frame asked for. Throws UsageError for regions outside a frame, no
// screen samples asked for, or screen and subject overlapping (each named), and Failure for what
// is missing or unreadable.
SourceSamples SampleSource(const SampleRequest& request);

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
// does for one frame, with `edges` as its --edge regions; with `autoEdges`, as --edge auto.
fit::FitResult FitRegions(const KeyerPlugin& plugin, const ImageFile& image, const std::string& name,
                          const std::vector<Region>& screens, const std::vector<Region>& subjects,
                          const std::vector<Region>& edges = {}, bool autoEdges = false);

// Sets the fitted settings on `op` as the fitted settings file would, and the Value sliders to the
// ones the fit scored where the key colour alone does not bring them back.
void ApplyFittedSettings(Operator& op, const fit::FitResult& result);

// --key-color-from X,Y,W,H: the median, channel by channel, of the region in the first frame of
// `source` (`frames` as --frames), as the three key colour controls.
std::vector<ControlValue> KeyColorFromRegion(const std::string& source, const std::string& frames,
                                             const std::string& region);

// How the first frame of `source` (`frames` as --frames) says its values encode light: its reader's
// "sRGB", "Rec709", ... (empty when it does not say).
std::string SourceColourEncoding(const std::string& source, const std::string& frames);

// `settings` with the key colour of --key-color-from `region` (when given) in the place of
// --key-color, which it excludes (UsageError).
RunSettings WithKeyColorFromRegion(RunSettings settings, const std::string& keyColor, const std::string& region,
                                   const std::string& source, const std::string& frames);

}  // namespace qualvex
