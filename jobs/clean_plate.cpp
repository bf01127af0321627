#include "jobs/clean_plate.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "host/operator.h"
#include "jobs/keyer_plugin.h"
#include "media/format_policy.h"
#include "media/image_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qualvex {
namespace {

// Pixels looked at per frame for the screen, on an even grid: enough to fit six coefficients many
// times over, few enough that a 4K frame costs one render of a fifth of an HD frame.
constexpr std::int64_t kExaminedPerFrame = 200000;
// Frames looked at for the screen: a plate belongs to one camera set-up, and more frames of it
// add little that the first ones do not show.
constexpr std::size_t kFramesForScreen = 16;
constexpr double kInsideSpreads = 4.0;

int GridStep(int width, int height)
{
    const std::int64_t pixels = std::int64_t{width} * height;
    int step = 1;
    while (pixels / (std::int64_t{step} * step) > kExaminedPerFrame)
        ++step;
    return step;
}

std::string PercentText(double share)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * share);
    return text;
}

std::string FourPlaces(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

}  // namespace

CleanPlateFit FitWithCleanPlate(const KeyerPlugin& plugin, const SampleRequest& request,
                                const fit::FitOptions& options)
{
    const fit::RenderFunction render = ProgramRender(plugin);
    CleanPlateFit fitted;
    fitted.Version = std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version();
    const SourceSamples sampled = SampleSource(request);
    fit::FitOptions unmixed = options;
    unmixed.Values = EncodingOf(sampled.ColourEncoding);
    fitted.OneKey = fit::FitSettings(sampled.Samples, render, unmixed);
    const std::vector<fit::ControlValue> oneKey = fitted.OneKey.Controls.List();

    std::vector<fit::ScreenPoint> points;
    ForEachSourceFrame(request, kFramesForScreen,
                       [&](const ImageFile& file, const std::string& name, int) {
                           const Image& image = *file.Pixels;
                           if (fitted.Frames == 0) {
                               fitted.Width = image.Width;
                               fitted.Height = image.Height;
                               fitted.Layout = file.Layout;
                           } else if (image.Width != fitted.Width || image.Height != fitted.Height) {
                               throw Failure(name + ": " + std::to_string(image.Width) + " x " +
                                             std::to_string(image.Height) + ", the first frame " +
                                             std::to_string(fitted.Width) + " x " + std::to_string(fitted.Height) +
                                             ": a clean plate needs frames of one size");
                           }
                           const int step = GridStep(image.Width, image.Height);
                           std::vector<fit::ScreenPoint> grid;
                           std::vector<fit::Rgb> colours;
                           for (int y = step / 2; y < image.Height; y += step)
                               for (int x = step / 2; x < image.Width; x += step) {
                                   const Pixel p = image.GetPixel(x, y);
                                   grid.push_back({x, y, {p.R, p.G, p.B}});
                                   colours.push_back({p.R, p.G, p.B});
                               }
                           const fit::Rendered rendered = render(oneKey, colours);
                           for (std::size_t i = 0; i < grid.size(); ++i)
                               if (rendered.Alpha[i] == 0.0f)  // keyed fully: screen
                                   points.push_back(grid[i]);
                           fitted.Examined += grid.size();
                           ++fitted.Frames;
                       });
    try {
        fitted.Surface = fit::FitScreenSurface(points, fitted.Width, fitted.Height);
    } catch (const std::invalid_argument& error) {
        throw Failure(request.Source + ": the fit against one key colour keys " + std::to_string(points.size()) +
                      " of the " + std::to_string(fitted.Examined) + " pixels looked at fully: " + error.what() +
                      " (screen regions that take in more of the screen help)");
    }

    // The samples as they compare with the plate: each less the plate's colour at its place, plus
    // the key colour, so that a screen sample sits where the one key colour's screen sat. A screen
    // channel near 0 or 1 (a green screen's red, clipped) is moved inside by four times the
    // screen's spread about the plate: its noise would otherwise take half the samples, and the
    // key colour fitted from them, outside 0..1, where the key colour's sliders end.
    const fit::ScreenSurface& surface = fitted.Surface.Surface;
    const double inside = std::min(0.5, kInsideSpreads * fitted.Surface.Rms);
    fitted.FlatKey[0] = static_cast<float>(std::clamp(fitted.OneKey.Controls.KeyColor[0], inside, 1.0 - inside));
    fitted.FlatKey[1] = static_cast<float>(std::clamp(fitted.OneKey.Controls.KeyColor[1], inside, 1.0 - inside));
    fitted.FlatKey[2] = static_cast<float>(std::clamp(fitted.OneKey.Controls.KeyColor[2], inside, 1.0 - inside));
    const float key[3] = {fitted.FlatKey[0], fitted.FlatKey[1], fitted.FlatKey[2]};
    SampleRequest flattened = request;
    flattened.Adjust = [&surface, key](int x, int y, const fit::Rgb& colour) {
        const fit::Rgb plate = surface.At(x, y);
        return fit::Rgb{colour.R - plate.R + key[0], colour.G - plate.G + key[1], colour.B - plate.B + key[2]};
    };
    fitted.Plate = fit::FitSettings(SampleSource(flattened).Samples, render, unmixed);
    return fitted;
}

std::unique_ptr<Image> CleanPlateImage(const CleanPlateFit& fitted)
{
    auto image = std::make_unique<Image>(fitted.Width, fitted.Height, PixelStorage::Float, false, false);
    const fit::FittedControls& plate = fitted.Plate.Controls;
    // The reference at each place: the plate's colour moved by as much as the fit against it
    // moved the key colour it was flattened to, in that fit's colour space.
    float shift[3];
    for (int c = 0; c < 3; ++c)
        shift[c] = static_cast<float>(plate.KeyColor[c]) - fitted.FlatKey[c];
    for (int y = 0; y < fitted.Height; ++y)
        for (int x = 0; x < fitted.Width; ++x) {
            const fit::Rgb screen = fitted.Surface.Surface.At(x, y);
            const fit::Rgb reference =
                fit::ReferenceInSpace({screen.R + shift[0], screen.G + shift[1], screen.B + shift[2]}, plate.Space);
            Pixel p;
            p.R = reference.R;
            p.G = reference.G;
            p.B = reference.B;
            p.A = 1.0f;
            image->SetPixel(x, y, p);
        }
    return image;
}

// A clean plate holds references for one colour space and one frame size: keyed in another space
// its components would be read as another space's, and scaled it would no longer lie under the
// screen it was estimated from.
void CheckCleanPlate(const std::string& file, const ImageFacts& plate, int width, int height, const Operator& keyer)
{
    if (plate.Width != width || plate.Height != height)
        throw UsageError("--key-image " + file + ": the clean plate is " + std::to_string(plate.Width) + " x " +
                         std::to_string(plate.Height) + ", the source " + std::to_string(width) + " x " +
                         std::to_string(height));
    const Input* space = keyer.FindInput("Colorspace");
    const double entry = space != nullptr ? std::floor(space->NumberValue() + 0.5) : -1.0;
    const char* keyedIn = entry >= 0.0 && entry < fit::kSpaceCount ? fit::SpaceName(static_cast<int>(entry)) : "";
    if (plate.CleanPlateSpace != keyedIn)
        throw UsageError("--key-image " + file + ": the clean plate holds " + Printable(plate.CleanPlateSpace, 20) +
                         " references, the settings key in " + (*keyedIn != '\0' ? keyedIn : "another space") +
                         ": use the settings fitted with the plate (qualvex fit --clean-plate)");
}

void CheckCleanPlateOutput(const std::filesystem::path& file, bool overwrite)
{
    const std::string format = FormatOf(file);
    if (format != "openexr" && format != "tiff")
        throw UsageError("--clean-plate " + file.string() +
                         ": the plate must keep float values; write it as .exr or .tif");
    std::error_code error;
    if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(file, error)))
        throw Failure(file.string() + ": exists (use --overwrite to replace it)");
}

void WriteCleanPlate(const CleanPlateFit& fitted, const std::filesystem::path& file, bool overwrite)
{
    CheckCleanPlateOutput(file, overwrite);
    ImageLayout layout = fitted.Layout;
    layout.FurtherChannels.clear();
    const int space = fitted.Plate.Controls.Space;
    // Another space's components are no colour in any encoding.
    if (space != 0)
        layout.ColourEncoding.clear();
    WriteOptions options;
    options.Storage = PixelStorage::Float;
    options.Record = {FittedSettingsJson(fitted.Plate, false), fitted.Version};
    options.Existing = overwrite ? ExistingFile::Replace : ExistingFile::Keep;
    options.Attributes = {{kCleanPlateAttribute, fit::SpaceName(space)}};
    WriteImageFile(file, *CleanPlateImage(fitted), layout, options);
}

std::string CleanPlateReport(const CleanPlateFit& fitted)
{
    const fit::SurfaceFit& s = fitted.Surface;
    std::string text = "  clean plate: the screen's colour from " + std::to_string(s.Points) + " of " +
                       std::to_string(fitted.Examined) + " pixels looked at in " + std::to_string(fitted.Frames) +
                       " frame" + (fitted.Frames == 1 ? "" : "s") + " (" + std::to_string(s.Dropped) +
                       " more left out as not screen-like), a surface of " + std::to_string(s.Surface.Terms()) +
                       " terms per channel, " + FourPlaces(s.Rms) + " from them on average (rms)\n";
    text += "  against one key colour: screen samples fully keyed " + PercentText(fitted.OneKey.ScreenKeyed) +
            ", subject samples fully kept " + PercentText(fitted.OneKey.SubjectKept) + "\n";
    text += "  against the plate:      screen samples fully keyed " + PercentText(fitted.Plate.ScreenKeyed) +
            ", subject samples fully kept " + PercentText(fitted.Plate.SubjectKept) + "\n";
    return text;
}

}  // namespace qualvex
