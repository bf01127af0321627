// qualvex fit --clean-plate: the screen's colour under the subject, estimated from the plate
// itself, and settings fitted against it. A first fit against one key colour finds the screen
// (the pixels it keys fully); a smooth surface through their colours is the clean plate; the
// samples are then fitted again as they look against the plate (each less the plate's colour at
// its place, plus the key colour), which is what keying with the plate as the key image does. The
// plate is written with the references the tool compares with: the fitted colour space's
// components, and the file says which space that is, so that `qualvex key` refuses to key it in
// another.
#pragma once

#include "fit/clean_plate.h"
#include "fit/fit_settings.h"
#include "host/image.h"
#include "jobs/fit_samples.h"
#include "media/image_reader.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

class Operator;

namespace qualvex {

class KeyerPlugin;

// The header attribute that marks a clean plate and names the colour space of its references.
inline constexpr const char* kCleanPlateAttribute = "qualvex:cleanplate";

struct CleanPlateFit {
    fit::FitResult OneKey;  // against one key colour: what finds the screen
    fit::FitResult Plate;   // against the plate: the settings written
    fit::SurfaceFit Surface;
    std::size_t Frames = 0;     // frames the screen was looked for in
    std::size_t Examined = 0;   // pixels looked at (an even grid of at most 200,000 a frame)
    ImageLayout Layout;         // the first frame's, which the plate takes
    int Width = 0;
    int Height = 0;
    std::string Version;  // of the program and the tool, for the plate's record
    // The colour the samples were flattened to: one key colour's, kept inside 0..1.
    float FlatKey[3] = {0.0f, 0.0f, 0.0f};
};

// Throws UsageError or Failure as SampleSource does, and Failure when the first fit keys too few
// pixels fully to go on or the frames differ in size.
CleanPlateFit FitWithCleanPlate(const KeyerPlugin& plugin, const SampleRequest& request,
                                const fit::FitOptions& options);

// The plate as a float image of the frame's size: each pixel the reference of `fitted.Plate`'s
// colour space at that place, alpha 1.
std::unique_ptr<Image> CleanPlateImage(const CleanPlateFit& fitted);

// Writes the plate image as `file` (a format that holds float values: OpenEXR or TIFF), marked as
// a clean plate for its colour space, with the fitted settings as its record.
void WriteCleanPlate(const CleanPlateFit& fitted, const std::filesystem::path& file, bool overwrite);

// Checked before any work: UsageError for a plate file whose format cannot hold float values,
// Failure for one that exists when not replacing.
void CheckCleanPlateOutput(const std::filesystem::path& file, bool overwrite);

// Checked before a clean plate given as the key image (`plate`, read from `file`) keys a source of
// `width` x `height` with `keyer`'s settings: UsageError naming the file when its size or its
// colour space differs.
void CheckCleanPlate(const std::string& file, const ImageFacts& plate, int width, int height, const Operator& keyer);

// What the plate did, for the report: the screen found, the surface's fit, and the shares keyed and
// kept against one key colour and against the plate.
std::string CleanPlateReport(const CleanPlateFit& fitted);

}  // namespace qualvex
