#include "jobs/fit_samples.h"

#include "base/errors.h"
#include "base/number_text.h"
#include "base/safe_text.h"
#include "fit/tool_render.h"
#include "host/operator.h"
#include "jobs/frame_sequence.h"
#include "jobs/keyer_plugin.h"
#include "media/atomic_writer.h"
#include "media/image_reader.h"
#include "media/movie_reader.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

namespace qualvex {
namespace {

using Json = nlohmann::ordered_json;

// Samples kept per kind and frame: the fit thins to far fewer, so more only cost memory.
constexpr std::size_t kMostSamplesPerFrame = 20000;
// A mask marks a sample where its alpha, or without alpha its grey value, is above this.
constexpr float kMaskThreshold = 0.5f;


// The pixels present, in the coordinates regions are given in: the data window's place inside
// the display window.
struct Extent {
    int X, Y, Width, Height;
};

Extent ExtentOf(const ImageFile& file)
{
    return {file.Layout.X - file.Layout.FullX, file.Layout.Y - file.Layout.FullY, file.Pixels->Width,
            file.Pixels->Height};
}

std::string Describe(const Extent& e)
{
    std::string text = std::to_string(e.Width) + " x " + std::to_string(e.Height) + " image";
    if (e.X != 0 || e.Y != 0)
        text += " (pixels " + std::to_string(e.X) + ".." + std::to_string(e.X + e.Width - 1) + " across, " +
                std::to_string(e.Y) + ".." + std::to_string(e.Y + e.Height - 1) + " down)";
    return text;
}

void CheckInside(const Region& region, const Extent& extent, const std::string& file)
{
    // 64-bit sums: a region's far edge may lie beyond what an int holds.
    const bool inside = region.X >= extent.X && region.Y >= extent.Y &&
                        std::int64_t{region.X} + region.Width <= std::int64_t{extent.X} + extent.Width &&
                        std::int64_t{region.Y} + region.Height <= std::int64_t{extent.Y} + extent.Height;
    if (!inside)
        throw UsageError(region.Name + ": outside the " + Describe(extent) + " of " + file);
}

bool Overlap(const Region& a, const Region& b)
{
    // Regions on two different frames never share a pixel.
    if (a.Frame && b.Frame && *a.Frame != *b.Frame)
        return false;
    return std::int64_t{a.X} < std::int64_t{b.X} + b.Width && std::int64_t{b.X} < std::int64_t{a.X} + a.Width &&
           std::int64_t{a.Y} < std::int64_t{b.Y} + b.Height && std::int64_t{b.Y} < std::int64_t{a.Y} + a.Height;
}

// The frames to sample: every frame on disk, or those of --frames, all of which must exist.
}  // namespace

std::vector<int> FramesToSample(const FramePattern& source, const std::string& framesOption)
{
    if (!source.IsSequence()) {
        if (!framesOption.empty())
            throw UsageError("--frames applies to a sequence; \"" + source.Text() + "\" is a single file");
        return {0};
    }
    const std::vector<int> onDisk = source.FramesOnDisk();
    if (onDisk.empty() && framesOption.empty())
        throw Failure(source.Text() + ": no frames of the source sequence found");
    FrameRange range{onDisk.empty() ? 0 : onDisk.front(), onDisk.empty() ? 0 : onDisk.back()};
    if (!framesOption.empty())
        range = ParseFrameRange(framesOption);
    if (CountMissingFrames(range, onDisk) > 0)
        throw Failure(source.Text() + ": source frames missing: " + DescribeMissingFrames(range, onDisk));
    std::vector<int> frames;
    for (int frame : onDisk)
        if (frame >= range.First && frame <= range.Last)
            frames.push_back(frame);
    return frames;
}

namespace {

// The frames ForEachSourceFrame reads (`movie`: the source's facts when it is a movie): those of
// --frames, or only the frames named when every region names one and nothing else asks for more.
std::vector<int> FramesToRead(const SampleRequest& request, const MovieFacts* movie)
{
    const FramePattern pattern(request.Source);
    std::vector<const Region*> framed;
    bool everyRegionFramed = true;
    for (const auto* regions : {&request.Screens, &request.Subjects, &request.Edges})
        for (const Region& region : *regions) {
            if (region.Frame)
                framed.push_back(&region);
            everyRegionFramed = everyRegionFramed && region.Frame.has_value();
        }
    const auto asked = [&] {
        return movie ? MovieFrames(request.Source, request.Frames, movie->Frames)
                     : FramesToSample(pattern, request.Frames);
    };
    if (framed.empty())
        return asked();
    if (!movie && !pattern.IsSequence())
        throw UsageError(framed.front()->Name + ": \"" + Printable(request.Source, 60) +
                         "\" is a single image; frame numbers apply to a sequence or a movie");
    const std::vector<int> held = movie ? MovieFrames(request.Source, "", movie->Frames) : pattern.FramesOnDisk();
    const std::optional<FrameRange> range =
        request.Frames.empty() ? std::nullopt : std::optional<FrameRange>(ParseFrameRange(request.Frames));
    std::vector<int> named;
    for (const Region* region : framed) {
        const int frame = *region->Frame;
        if (!std::binary_search(held.begin(), held.end(), frame))
            throw UsageError(region->Name + ": the source holds no frame " + std::to_string(frame) +
                             (held.empty() ? std::string() : " (it holds " + DescribeFrames(held, 4) + ")"));
        if (range && (frame < range->First || frame > range->Last))
            throw UsageError(region->Name + ": frame " + std::to_string(frame) + " lies outside --frames " +
                             Printable(request.Frames, 30));
        named.push_back(frame);
    }
    if (!everyRegionFramed || !request.ScreenMask.empty() || !request.SubjectMask.empty() || range)
        return asked();
    std::sort(named.begin(), named.end());
    named.erase(std::unique(named.begin(), named.end()), named.end());
    return named;
}

}  // namespace

void ForEachSourceFrame(const SampleRequest& request, std::size_t most,
                        const std::function<void(const ImageFile&, const std::string& name, int frame)>& use)
{
    const std::string& source = request.Source;
    const FramePattern pattern(source);
    if (pattern.IsSequence() || !IsMovieName(source)) {
        const std::vector<int> frames = FramesToRead(request, nullptr);
        for (std::size_t i = 0; i < frames.size() && i < most; ++i) {
            const std::filesystem::path file = pattern.PathFor(frames[i]);
            use(ReadImageFile(file, "source"), file.string(), frames[i]);
        }
        return;
    }
    // Counted once: the reader takes the facts instead of walking the file again.
    const MovieFacts facts = InspectMovie(source, "source");
    const std::vector<int> frames = FramesToRead(request, &facts);
    MovieReader movie(source, "source", facts);
    for (std::size_t i = 0; i < frames.size() && i < most; ++i)
        use(movie.ReadFrame(frames[i]), source + " frame " + std::to_string(frames[i]), frames[i]);
}

namespace {

// A mask given on the command line: one image for every frame, or a sequence read frame by frame.
class Mask {
public:
    Mask(const std::string& pattern, std::string option) : m_Pattern(pattern), m_Option(std::move(option)) {}

    bool Given() const { return !m_Pattern.Text().empty(); }
    std::string Name() const { return m_Option + " " + m_Pattern.Text(); }

    // Which pixels of `frame` the mask marks, row by row over the source's pixels.
    std::vector<bool> Marks(int frame, const Extent& source)
    {
        const std::filesystem::path file = m_Pattern.PathFor(frame);
        if (!m_Image || m_Pattern.IsSequence()) {
            m_Image = ReadImageFile(file, m_Option.substr(2)).Pixels;
            m_UsesAlpha = HasAlphaChannel(file);
        }
        if (m_Image->Width != source.Width || m_Image->Height != source.Height)
            throw UsageError(Name() + ": the mask is " + std::to_string(m_Image->Width) + " x " +
                             std::to_string(m_Image->Height) + ", the source " + std::to_string(source.Width) + " x " +
                             std::to_string(source.Height));
        std::vector<bool> marks(static_cast<std::size_t>(source.Width) * static_cast<std::size_t>(source.Height));
        std::size_t count = 0;
        for (int y = 0; y < source.Height; ++y)
            for (int x = 0; x < source.Width; ++x) {
                const Pixel p = m_Image->GetPixel(x, y);
                const float value = m_UsesAlpha ? p.A : (p.R + p.G + p.B) / 3.0f;  // the mean of three
                const bool marked = value > kMaskThreshold;
                const std::size_t at =
                    static_cast<std::size_t>(y) * static_cast<std::size_t>(source.Width) + static_cast<std::size_t>(x);
                marks[at] = marked;
                count += marked ? 1 : 0;
            }
        if (count == 0)
            throw UsageError(Name() + ": the mask marks no pixel (none has " +
                             (m_UsesAlpha ? "alpha" : "a grey value") + " above 0.5) in frame " +
                             std::to_string(frame));
        return marks;
    }

private:
    FramePattern m_Pattern;
    std::string m_Option;
    std::unique_ptr<Image> m_Image;
    bool m_UsesAlpha = false;
};

// At most `most` of the colours, evenly spread.
void AppendThinned(const std::vector<fit::Rgb>& colours, std::size_t most, std::vector<fit::Rgb>& samples)
{
    if (colours.size() <= most) {
        samples.insert(samples.end(), colours.begin(), colours.end());
        return;
    }
    for (std::size_t i = 0; i < most; ++i)
        samples.push_back(colours[i * colours.size() / most]);  // most > 0 (colours.size() > most)
}

fit::Rgb ColourAt(const Image& image, int x, int y)
{
    const Pixel p = image.GetPixel(x, y);
    return {p.R, p.G, p.B};
}

// The edge band where none was pointed at: the pixels unlike the screen within 3 pixels of one
// like it. Like the screen: no channel further from the screen samples' median than their own
// spread (the 95th percentile of that distance over them, at least 0.02). Which of the band's
// pixels lie between the screen and the subject, the fit decides by unmixing them, as it does for
// edges pointed at.
template <class ColourAt>
void AppendEdgeBand(int width, int height, const ColourAt& colourAt, const std::vector<fit::Rgb>& screen,
                    std::vector<fit::Rgb>& edge)
{
    if (screen.empty() || width <= 0 || height <= 0)
        return;
    const fit::Rgb median = fit::MedianColour(screen);
    // NaN channels give NaN distances, which count as unlike the screen.
    const auto distance = [&](const fit::Rgb& p) {
        return std::max({std::fabs(p.R - median.R), std::fabs(p.G - median.G), std::fabs(p.B - median.B)});
    };
    std::vector<float> spread;
    spread.reserve(screen.size());
    for (const fit::Rgb& s : screen)
        spread.push_back(distance(s));
    const std::size_t at = spread.size() * 95 / 100;  // below size(): screen is not empty
    std::nth_element(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(at), spread.end());
    const float reach = std::max(spread[at], 0.02f);
    const auto w = static_cast<std::size_t>(width);
    std::vector<unsigned char> like(w * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            like[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)] = distance(colourAt(x, y)) <= reach ? 1 : 0;
    // Near: a pixel like the screen within 3 pixels across, then within 3 down (`step` apart in
    // `from`, `count` along a line).
    constexpr int kReach = 3;
    const auto spread3 = [](const std::vector<unsigned char>& from, std::size_t step, int count, std::size_t at,
                            int along) {
        for (int d = std::max(0, along - kReach); d <= std::min(count - 1, along + kReach); ++d)
            if (from[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) +
                                              (d - along) * static_cast<std::ptrdiff_t>(step))])
                return static_cast<unsigned char>(1);
        return static_cast<unsigned char>(0);
    };
    std::vector<unsigned char> across(like.size()), near(like.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
            across[i] = spread3(like, 1, width, i, x);
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
            near[i] = spread3(across, w, height, i, y);
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x);
            if (!like[i] && near[i])
                edge.push_back(colourAt(x, y));
        }
}

// Screen and subject samples of one frame; pixels that both would take are a usage error naming
// the two sources.
void SampleFrame(const ImageFile& file, const std::string& name, int frame, const SampleRequest& request,
                 Mask& screenMask, Mask& subjectMask, fit::Samples& samples)
{
    const std::vector<Region>& screens = request.Screens;
    const std::vector<Region>& subjects = request.Subjects;
    const Extent extent = ExtentOf(file);
    const auto onThisFrame = [frame](const Region& region) { return !region.Frame || *region.Frame == frame; };
    for (const auto* regions : {&screens, &subjects, &request.Edges})
        for (const Region& region : *regions)
            if (onThisFrame(region))
                CheckInside(region, extent, name);
    const Image& image = *file.Pixels;
    const std::size_t pixels = static_cast<std::size_t>(extent.Width) * static_cast<std::size_t>(extent.Height);
    const auto colourAt = [&](int x, int y) {
        return request.Adjust ? request.Adjust(x, y, ColourAt(image, x, y)) : ColourAt(image, x, y);
    };

    // Which source marks each pixel as screen (index into the list of sources, -1 for none).
    std::vector<std::string> screenSources;
    std::vector<int> screenOwner;
    const bool masks = screenMask.Given() || subjectMask.Given();
    if (masks)
        screenOwner.assign(pixels, -1);
    const auto index = [&](int x, int y) {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(extent.Width) + static_cast<std::size_t>(x);
    };

    std::vector<fit::Rgb> screen, subject;
    for (const Region& region : screens) {
        if (!onThisFrame(region))
            continue;
        const int source = static_cast<int>(screenSources.size());
        screenSources.push_back(region.Name);
        for (int y = region.Y - extent.Y; y < region.Y - extent.Y + region.Height; ++y)
            for (int x = region.X - extent.X; x < region.X - extent.X + region.Width; ++x) {
                screen.push_back(colourAt(x, y));
                if (masks)
                    screenOwner[index(x, y)] = source;
            }
    }
    if (screenMask.Given()) {
        const std::vector<bool> marks = screenMask.Marks(frame, extent);
        const int source = static_cast<int>(screenSources.size());
        screenSources.push_back(screenMask.Name());
        for (int y = 0; y < extent.Height; ++y)
            for (int x = 0; x < extent.Width; ++x)
                if (marks[index(x, y)]) {
                    // A pixel that a rectangle already took is sampled once.
                    if (screenOwner[index(x, y)] < 0)
                        screen.push_back(colourAt(x, y));
                    screenOwner[index(x, y)] = source;
                }
    }
    const auto takeSubject = [&](int x, int y, const std::string& source) {
        if (masks && screenOwner[index(x, y)] >= 0)
            throw UsageError(screenSources[static_cast<std::size_t>(screenOwner[index(x, y)])] + " and " + source +
                             " overlap (pixel " + std::to_string(x + extent.X) + "," + std::to_string(y + extent.Y) +
                             " in " + name + "): a pixel is either screen or subject");
        subject.push_back(colourAt(x, y));
    };
    std::vector<bool> taken;
    for (const Region& region : subjects) {
        if (!onThisFrame(region))
            continue;
        for (int y = region.Y - extent.Y; y < region.Y - extent.Y + region.Height; ++y)
            for (int x = region.X - extent.X; x < region.X - extent.X + region.Width; ++x) {
                if (subjectMask.Given()) {
                    if (taken.empty())
                        taken.assign(pixels, false);
                    taken[index(x, y)] = true;
                }
                takeSubject(x, y, region.Name);
            }
    }
    if (subjectMask.Given()) {
        const std::vector<bool> marks = subjectMask.Marks(frame, extent);
        for (int y = 0; y < extent.Height; ++y)
            for (int x = 0; x < extent.Width; ++x)
                if (marks[index(x, y)] && (taken.empty() || !taken[index(x, y)]))
                    takeSubject(x, y, subjectMask.Name());
    }
    std::vector<fit::Rgb> edge;
    for (const Region& region : request.Edges)
        if (onThisFrame(region))
            for (int y = region.Y - extent.Y; y < region.Y - extent.Y + region.Height; ++y)
                for (int x = region.X - extent.X; x < region.X - extent.X + region.Width; ++x)
                    edge.push_back(colourAt(x, y));
    if (request.AutoEdges)
        AppendEdgeBand(extent.Width, extent.Height, colourAt, screen, edge);
    AppendThinned(screen, kMostSamplesPerFrame, samples.Screen);
    AppendThinned(subject, kMostSamplesPerFrame, samples.Subject);
    AppendThinned(edge, kMostSamplesPerFrame, samples.Edge);
}

std::string Number(double value, int digits)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

std::string Fixed(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

std::string Percent(double share)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * share);
    return text;
}

bool SameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// What a settings file holding `json` sets on a new instance, applied the way `qualvex key` does.
void ApplySettingsJson(Operator& op, const std::string& json, const std::string& origin)
{
    RunSettings settings;
    settings.File.Values = ParseSettingsJson(op, json, origin);
    settings.ApplyTo(op);
}

std::string ControlsJson(const std::vector<fit::ControlValue>& controls, const double* valueSliders)
{
    Json document = Json::object();
    for (const fit::ControlValue& control : controls) {
        if (control.ID == "Colorspace")
            document[control.ID] = fit::SpaceName(static_cast<int>(control.Value));  // the combo's entry label
        else
            document[control.ID] = control.Value;
    }
    if (valueSliders != nullptr)
        for (int i = 0; i < 3; ++i)
            document[kValueSliderIDs[i]] = valueSliders[i];
    return document.dump(2) + "\n";
}

void WriteText(const std::filesystem::path& file, const std::string& text, bool overwrite)
{
    std::error_code error;
    if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(file, error)))
        throw Failure(file.string() + ": exists (use --overwrite to replace it)");
    WriteTextAtomically(file, text, overwrite ? ExistingFile::Replace : ExistingFile::Keep);
}

// Whether loading `file` into a new instance, as `qualvex key --settings` does, gives every fitted
// control and the Value sliders to the bit as the tool held them when the fit scored them.
bool Reproduces(const KeyerPlugin& plugin, const std::filesystem::path& file, const fit::FitResult& result)
{
    const std::unique_ptr<Operator> op = plugin.NewInstance();
    RunSettings settings;
    settings.File = ReadSettingsFile(*op, file);
    settings.ApplyTo(*op);
    for (const fit::ControlValue& control : result.Held)
        if (!SameBits(op->FindInput(control.ID)->NumberValue(), control.Value))
            return false;
    for (int i = 0; i < 3; ++i)
        if (!SameBits(op->FindInput(kValueSliderIDs[i])->NumberValue(), result.ValueSliders[i]))
            return false;
    return true;
}

}  // namespace

Region ParseRegion(const std::string& text, const std::string& option)
{
    Region region;
    region.Name = option + " " + Printable(text, 60);
    int* fields[4] = {&region.X, &region.Y, &region.Width, &region.Height};
    std::size_t start = 0;
    if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
        int frame = 0;
        if (!ParseNumberText(text.substr(0, colon), frame))
            throw UsageError(region.Name + ": \"" + Printable(text.substr(0, colon), 20) +
                             "\" is not a frame number; expected FRAME:X,Y,W,H or X,Y,W,H");
        region.Frame = frame;
        start = colon + 1;
    }
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = text.find(',', start);
        if ((i < 3) != (comma != std::string::npos))
            throw UsageError(region.Name + ": expected X,Y,W,H (four whole numbers of pixels)");
        const std::string part = text.substr(start, i < 3 ? comma - start : std::string::npos);
        if (!ParseNumberText(part, *fields[i]))
            throw UsageError(region.Name + ": \"" + Printable(part, 20) + "\" is not a whole number; expected X,Y,W,H");
        start = comma + 1;
    }
    if (region.Width <= 0 || region.Height <= 0)
        throw UsageError(region.Name + ": the region is empty (its width and height must be at least 1)");
    return region;
}

void AppendRegionColours(const Image& image, const Region& region, std::vector<fit::Rgb>& samples)
{
    CheckInside(region, {0, 0, image.Width, image.Height}, "the image");
    for (int y = region.Y; y < region.Y + region.Height; ++y)
        for (int x = region.X; x < region.X + region.Width; ++x)
            samples.push_back(ColourAt(image, x, y));
}

fit::RenderFunction ProgramRender(const KeyerPlugin& plugin)
{
    return fit::ToolRender([&plugin] { return plugin.NewInstance(); },
                           [](Operator& op, const std::vector<fit::ControlValue>& controls) {
                               ApplySettingsJson(op, ControlsJson(controls, nullptr), "fitted settings");
                           });
}

std::string FitReport(const fit::FitResult& result)
{
    const fit::FittedControls& c = result.Controls;
    std::string text = "  separation by colour space (higher parts screen from subject more cleanly):\n   ";
    bool apart = false;
    for (const fit::SpaceOutcome& outcome : result.Spaces) {
        // A space where no settings within the sliders' ranges could be made has no separation.
        text += std::string(" ") + fit::SpaceName(outcome.Space) + " " +
                (std::isfinite(outcome.Separation) ? Fixed(outcome.Separation) : std::string("none"));
        if (!outcome.Apart)
            text += " (overlap)";
        apart = apart || (outcome.Space == c.Space && outcome.Apart);
    }
    text += "\n  space " + std::string(fit::SpaceName(c.Space)) + ": " + result.Reason + "\n";
    if (!apart)
        text += "  warning: the screen's and the subject's samples overlap in this space; some of either will be "
                "misjudged\n";
    text += "  screen samples fully keyed: " + Percent(result.ScreenKeyed);
    if (result.SubjectSamples > 0)
        text += ", subject samples fully kept: " + Percent(result.SubjectKept) +
                ", blends off by " + Number(result.BlendError, 3) + " on average";
    else
        text += " (no subject samples: the screen alone, with a safety margin)";
    if (result.EdgeSamples > 0) {
        text += "\n  edges: " + std::to_string(result.TransitionSamples) + " of " +
                std::to_string(result.EdgeSamples) + " edge samples unmix between the screen and the subject";
        if (result.Values != fit::Encoding::Linear)
            text += std::string(" (in linear light, decoded from ") +
                    (result.Values == fit::Encoding::Srgb ? "sRGB" : "Rec709") + ")";
        if (result.TransitionSamples > 0)
            text += "; rendered off their unmixed alpha by " + Number(result.TransitionError, 3) + " on average";
        else if (result.SubjectSamples == 0)
            text += " (without subject samples there is nothing to unmix towards)";
    }
    const auto three = [](const double (&v)[3], const char* between) {
        return Number(v[0], 4) + between + Number(v[1], 4) + between + Number(v[2], 4);
    };
    text += "\n  settings: Colorspace " + std::string(fit::SpaceName(c.Space)) + ", key colour " +
            three(c.KeyColor, ",") + " (Value " + three(result.ValueSliders, " ") + ")\n";
    text += "            Min " + three(c.Min, " ") + ", Max " + three(c.Max, " ") + ", Fade " + Number(c.Fade, 4) +
            ", Gamma " + Number(c.Gamma, 4) + ", Offset " + Number(c.Offset, 4) + ", Mult " + Number(c.Mult, 4) +
            ", Invert " + (c.Invert ? "on" : "off") + "\n";
    return text;
}

std::string FittedSettingsJson(const fit::FitResult& result, bool valueSliders)
{
    return ControlsJson(result.Controls.List(), valueSliders ? result.ValueSliders : nullptr);
}

void WriteFittedSettings(const KeyerPlugin& plugin, const fit::FitResult& result, const std::filesystem::path& file,
                         bool overwrite)
{
    WriteText(file, FittedSettingsJson(result, false), overwrite);
    if (Reproduces(plugin, file, result))
        return;
    // The key colour alone did not bring back the Value sliders: the file names them too.
    WriteText(file, FittedSettingsJson(result, true), true);
    if (Reproduces(plugin, file, result))
        return;
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    throw Failure(file.string() + ": loading the settings file does not reproduce the fitted controls and Value "
                                  "sliders; nothing written");
}

void CheckApart(const std::vector<Region>& screens, const std::vector<Region>& subjects)
{
    for (const Region& screen : screens)
        for (const Region& subject : subjects)
            if (Overlap(screen, subject))
                throw UsageError(screen.Name + " and " + subject.Name + " overlap: a pixel is either screen or subject");
}

fit::Encoding EncodingOf(const std::string& colourEncoding)
{
    if (colourEncoding == "sRGB")
        return fit::Encoding::Srgb;
    if (colourEncoding == "Rec709")
        return fit::Encoding::Rec709;
    return fit::Encoding::Linear;
}

SourceSamples SampleSource(const SampleRequest& request)
{
    if (request.Screens.empty() && request.ScreenMask.empty())
        throw UsageError("no screen samples: give --screen X,Y,W,H or --screen-mask IMAGE");
    CheckApart(request.Screens, request.Subjects);
    Mask screenMask(request.ScreenMask, "--screen-mask");
    Mask subjectMask(request.SubjectMask, "--subject-mask");
    SourceSamples sampled;
    ForEachSourceFrame(request, SIZE_MAX,
                       [&](const ImageFile& image, const std::string& name, int frame) {
                           if (sampled.Frames == 0)
                               sampled.ColourEncoding = image.Layout.ColourEncoding;
                           SampleFrame(image, name, frame, request, screenMask, subjectMask, sampled.Samples);
                           ++sampled.Frames;
                       });
    return sampled;
}

std::vector<ControlValue> MedianKeyColor(const ImageFile& image, const Region& region, const std::string& file)
{
    const Extent extent = ExtentOf(image);
    CheckInside(region, extent, file);
    std::vector<float> channels[3];
    for (int y = region.Y - extent.Y; y < region.Y - extent.Y + region.Height; ++y)
        for (int x = region.X - extent.X; x < region.X - extent.X + region.Width; ++x) {
            const Pixel p = image.Pixels->GetPixel(x, y);
            for (int c = 0; c < 3; ++c) {
                const float value = c == 0 ? p.R : c == 1 ? p.G : p.B;
                if (std::isfinite(value))  // a NaN has no place in an ordering
                    channels[c].push_back(value);
            }
        }
    const char* ids[3] = {"CRed", "CGreen", "CBlue"};
    std::vector<ControlValue> colour;
    for (int c = 0; c < 3; ++c) {
        std::vector<float>& v = channels[c];
        if (v.empty())
            throw UsageError(region.Name + ": no finite " + ids[c] + " value in the region of " + file);
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();  // at least 1, so n / 2 - 1 is a place in v for an even n
        // An even count takes the mean of the two middle values, rounded to single precision as the
        // tool holds a key colour (its Value sliders would round it on the way back otherwise).
        const float median =
            n % 2 == 1 ? v[n / 2]
                       : static_cast<float>((static_cast<double>(v[n / 2 - 1]) + static_cast<double>(v[n / 2])) / 2.0);
        colour.push_back({ids[c], static_cast<double>(median)});
    }
    return colour;
}

fit::FitResult FitRegions(const KeyerPlugin& plugin, const ImageFile& image, const std::string& name,
                          const std::vector<Region>& screens, const std::vector<Region>& subjects,
                          const std::vector<Region>& edges, bool autoEdges)
{
    CheckApart(screens, subjects);
    Mask noScreenMask("", "--screen-mask");
    Mask noSubjectMask("", "--subject-mask");
    fit::Samples samples;
    const SampleRequest request{"", "", screens, subjects, "", "", edges, {}, autoEdges};
    SampleFrame(image, name, 0, request, noScreenMask, noSubjectMask, samples);
    if (samples.Screen.empty())
        throw UsageError("no screen samples: mark a screen region");
    fit::FitOptions options;
    options.Values = EncodingOf(image.Layout.ColourEncoding);
    return fit::FitSettings(samples, ProgramRender(plugin), options);
}

void ApplyFittedSettings(Operator& op, const fit::FitResult& result)
{
    ApplySettingsJson(op, FittedSettingsJson(result, false), "fitted settings");
    for (int i = 0; i < 3; ++i)
        if (!SameBits(op.FindInput(kValueSliderIDs[i])->NumberValue(), result.ValueSliders[i]))
            ApplyControlValues(op, {{kValueSliderIDs[i], result.ValueSliders[i]}});
}

std::vector<ControlValue> KeyColorFromRegion(const std::string& source, const std::string& frames,
                                             const std::string& text)
{
    const Region region = ParseRegion(text, "--key-color-from");
    std::vector<ControlValue> colour;
    ForEachSourceFrame({source, frames, {region}, {}, "", "", {}, {}}, 1, [&](const ImageFile& image, const std::string& name, int) {
        colour = MedianKeyColor(image, region, name);
    });
    return colour;
}

std::string SourceColourEncoding(const std::string& source, const std::string& frames)
{
    std::string encoding;
    ForEachSourceFrame({source, frames, {}, {}, "", "", {}, {}}, 1, [&](const ImageFile& image, const std::string&, int) {
        encoding = image.Layout.ColourEncoding;
    });
    return encoding;
}

RunSettings WithKeyColorFromRegion(RunSettings settings, const std::string& keyColor, const std::string& region,
                                   const std::string& source, const std::string& frames)
{
    if (region.empty())
        return settings;
    if (!keyColor.empty())
        throw UsageError("--key-color and --key-color-from exclude each other: give one key colour");
    const std::vector<ControlValue> colour = KeyColorFromRegion(source, frames, region);
    // In the place of --key-color: before every --set.
    settings.Typed.insert(settings.Typed.begin(), colour.begin(), colour.end());
    return settings;
}

}  // namespace qualvex
