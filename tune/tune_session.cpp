#include "tune/tune_session.h"

#include "base/cores.h"
#include "base/errors.h"
#include "base/number_text.h"
#include "base/safe_text.h"
#include "host/flow.h"
#include "host/operator.h"
#include "jobs/clean_plate.h"
#include "jobs/control_kind.h"
#include "jobs/frame_render.h"
#include "jobs/frame_sequence.h"
#include "jobs/key_job.h"
#include "jobs/keyer_plugin.h"
#include "media/atomic_writer.h"
#include "media/image_reader.h"
#include "media/image_writer.h"
#include "media/movie_reader.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <thread>
#include <map>

namespace qualvex {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kMinSliders[3] = {"MiRedn", "MinGreen", "MinBlue"};
constexpr const char* kMaxSliders[3] = {"MaxRed", "MaxGreen", "MaxBlue"};

bool IsNumberControl(const Input& input)
{
    return input.Value() != nullptr && input.Value()->Kind() == ParameterKind::Number;
}

// A number for JSON: a value JSON cannot hold is written as text so that nothing is lost.
Json JsonNumber(double value)
{
    if (std::isfinite(value))
        return value;
    return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
}

std::vector<ControlValue> HeldValues(const Operator& op)
{
    std::vector<ControlValue> values;
    for (const auto& input : op.Inputs())
        if (IsNumberControl(*input))
            values.push_back({input->ID(), input->NumberValue()});
    return values;
}

// Every number control at its default, as a new instance holds it.
std::vector<ControlValue> DefaultValues(const Operator& op)
{
    std::vector<ControlValue> values;
    for (const auto& input : op.Inputs())
        if (IsNumberControl(*input) && input->Description().Default)
            values.push_back({input->ID(), *input->Description().Default});
    return values;
}

bool AtDefaults(const Operator& op)
{
    for (const auto& input : op.Inputs())
        if (IsNumberControl(*input) && input->Description().Default &&
            std::bit_cast<std::uint64_t>(input->NumberValue()) != std::bit_cast<std::uint64_t>(*input->Description().Default))
            return false;
    return true;
}

// The control page of an instance: [{"id", "name", "kind", "page", "min", "max", "default",
// "entries", "visible", "value"}, ...] in the tool's order.
std::string ControlsOf(const Operator& op)
{
    Json controls = Json::array();
    for (const auto& input : op.Inputs()) {
        const LinkDescription& d = input->Description();
        Json control = Json::object();
        control["id"] = d.ID;
        control["name"] = d.Name;
        control["kind"] = ControlKindName(d);
        control["page"] = d.Page;
        control["visible"] = d.Visible;
        if (d.Min)
            control["min"] = JsonNumber(*d.Min);
        if (d.Max)
            control["max"] = JsonNumber(*d.Max);
        if (d.Default)
            control["default"] = JsonNumber(*d.Default);
        if (!d.Entries.empty())
            control["entries"] = d.Entries;
        if (d.Group)
            control["group"] = *d.Group;
        if (IsNumberControl(*input))
            control["value"] = JsonNumber(input->NumberValue());
        controls.push_back(std::move(control));
    }
    return controls.dump();
}

// The frame whole again from its bands, further channels and all.
std::unique_ptr<Image> Stitched(const std::vector<std::unique_ptr<Image>>& bands, const std::vector<int>& tops)
{
    int height = 0;
    for (const auto& band : bands)
        height += band->Height;
    const Image& first = *bands.front();
    auto whole = std::make_unique<Image>(first.Width, height, first.Storage(), first.HasFurtherChannels(), false);
    for (std::size_t b = 0; b < bands.size(); ++b)
        for (int y = 0; y < bands[b]->Height; ++y)
            for (int x = 0; x < first.Width; ++x)
                whole->SetPixel(x, tops[b] + y, bands[b]->GetPixel(x, y));
    return whole;
}

double& ValueOf(std::vector<ControlValue>& values, const char* id)
{
    for (ControlValue& value : values)
        if (value.ID == id)
            return value.Value;
    throw Failure(std::string("the loaded tool has no control \"") + id + "\"");
}

unsigned char ToByte(float value)
{
    // Values outside 0..1 (and NaN) are shown at the nearest end: the page shows, it stores nothing.
    if (!(value > 0.0f))
        return 0;
    if (value >= 1.0f)
        return 255;
    return static_cast<unsigned char>(std::lround(value * 255.0f));
}

// Rows `top` .. `top` + `rows` - 1 of `image` taken at every `step`-th pixel of every `step`-th row,
// so a proxy pixel is a pixel of the frame.
std::unique_ptr<Image> Cut(const Image& image, int top, int rows, int step)
{
    const int width = (image.Width + step - 1) / step;
    auto cut = std::make_unique<Image>(width, rows, image.Storage(), image.HasFurtherChannels(), false);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < width; ++x)
            cut->SetPixel(x, y, image.GetPixel(x * step, (top + y) * step));
    return cut;
}

// Runs work(0) .. work(count - 1) at once, work(0) on this thread; rethrows the first failure.
void RunTogether(std::size_t count, const std::function<void(std::size_t)>& work)
{
    std::vector<std::exception_ptr> failures(count);
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < count; ++i)
        threads.emplace_back([&, i] {
            try {
                work(i);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    try {
        work(0);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
}

bool SameValues(const Operator& a, const Operator& b)
{
    for (const auto& input : a.Inputs())
        if (IsNumberControl(*input) && std::bit_cast<std::uint64_t>(input->NumberValue()) !=
                                           std::bit_cast<std::uint64_t>(b.FindInput(input->ID())->NumberValue()))
            return false;
    return true;
}

}  // namespace

std::optional<TuneView> TuneViewNamed(const std::string& name)
{
    const std::pair<const char*, TuneView> views[] = {{"source", TuneView::Source},
                                                      {"matte", TuneView::Matte},
                                                      {"checker", TuneView::Checker},
                                                      {"background", TuneView::Background},
                                                      {"rejection", TuneView::Rejection}};
    for (const auto& [text, view] : views)
        if (name == text)
            return view;
    return std::nullopt;
}

struct TuneSession::State {
    const KeyerPlugin& Plugin;
    TuneSource Source;
    FramePattern SourcePattern;
    // A movie source is read frame by frame through its decoder, frames numbered from 1.
    std::unique_ptr<MovieReader> Movie;
    std::optional<FramePattern> KeyPattern;
    std::vector<int> Frames;
    std::unique_ptr<Operator> Tool;  // the page's instance: every edit goes to it

    // The tool keeps one frame on one thread; a view is keyed in horizontal bands, one per core,
    // each on its own instance. The keyer keys each pixel on its own, so the bands together are the
    // frame keyed whole. Band 0 is keyed by the page's instance, the others by mirrors that hold
    // exactly its values (restored through the host; checked to the bit).
    std::size_t Renderers = 1;
    std::vector<std::unique_ptr<Operator>> Mirrors;
    std::vector<std::uint64_t> MirroredGeneration;
    // The rejection view's questions are asked of instances of their own, never the page's.
    std::vector<std::unique_ptr<Operator>> Probes;

    struct Band {
        int Top = 0;
        std::unique_ptr<Image> PlateCut, KeyCut;  // null where the band is the whole frame itself
        const Image* Plate = nullptr;
        Image* Key = nullptr;
    };
    struct Prepared {
        int Width = 0, Height = 0;
        std::vector<Band> Bands;
    };

    // The frame in memory, its bands by proxy step, and the last keyed bands.
    int LoadedFrame = -1;
    ImageFile Plate;
    ImageFile KeyImage;
    ImageFacts KeyFacts{};  // the key image's; a clean plate names its colour space there
    std::map<int, Prepared> Steps;
    std::optional<ImageFile> Background;
    std::uint64_t Generation = 0;  // advances with every edit of the keyer

    // The finishing tool, after the keyer in every view but the rejection view, once any of its
    // controls leaves its default. It works on neighbourhoods (shrinking, softening), so it
    // finishes the frame whole at full size, as qualvex key does, and a proxy shows every
    // `step`-th pixel of that.
    std::unique_ptr<KeyerPlugin> Finishing;
    std::unique_ptr<Operator> Finisher;
    host::Flow FinishFlow;
    std::uint64_t FinishGeneration = 0;  // advances with every edit of the finishing tool

    struct KeyedFrame {
        int Frame = -1;
        int Step = 0;
        std::uint64_t Generation = 0;
        std::uint64_t FinishGeneration = 0;
        bool Cleared = false;  // fully keyed pixels' colour set to 0
        std::vector<int> Tops;
        std::vector<std::unique_ptr<Image>> Bands;
    };
    KeyedFrame LastKeyed;     // the keyer's bands
    KeyedFrame LastFinished;  // the finished frame, one band

    State(const KeyerPlugin& plugin, TuneSource source)
        : Plugin(plugin), Source(std::move(source)), SourcePattern(Source.Source)
    {
        Renderers = std::clamp<std::size_t>(UsableCores(), 1, 4);
    }

    void RequireFrame(int frame) const
    {
        if (!std::binary_search(Frames.begin(), Frames.end(), frame))
            throw UsageError("frame " + std::to_string(frame) + " is not one of the source's frames (" +
                             DescribeFrames(Frames) + ")");
    }

    void LoadFrame(int frame)
    {
        RequireFrame(frame);
        if (frame == LoadedFrame)
            return;
        Steps.clear();
        LastKeyed = {};
        LastFinished = {};
        LoadedFrame = -1;
        Plate = Movie ? Movie->ReadFrame(frame) : ReadImageFile(SourcePattern.PathFor(frame), "source");
        if (KeyPattern) {
            const std::filesystem::path file = KeyPattern->PathFor(frame);
            KeyFacts = InspectImage(file, "key image");
            if (!KeyFacts.CleanPlateSpace.empty())
                CheckCleanPlate(file.string(), KeyFacts, Plate.Pixels->Width, Plate.Pixels->Height, *Tool);
            KeyImage = ReadImageFile(file, "key image");
        }
        LoadedFrame = frame;
    }

    // A clean plate keys only in the colour space it was made for, as qualvex key refuses it in
    // another; the space may have changed since the frame was loaded.
    void CheckKeyImage() const
    {
        if (KeyPattern && !KeyFacts.CleanPlateSpace.empty())
            CheckCleanPlate(KeyPattern->PathFor(LoadedFrame).string(), KeyFacts, Plate.Pixels->Width,
                            Plate.Pixels->Height, *Tool);
    }

    // The plate and key image of `frame` at 1 / `step` of the size, in bands.
    const Prepared& Inputs(int frame, int step)
    {
        if (step < 1 || step > kMaxProxyStep)
            throw UsageError("scale 1/" + std::to_string(step) + ": a view is shown at 1/1 to 1/" +
                             std::to_string(kMaxProxyStep) + " of its size");
        LoadFrame(frame);
        Prepared& prepared = Steps[step];
        if (!prepared.Bands.empty())
            return prepared;
        const Image& plate = *Plate.Pixels;
        Image* key = KeyImage.Pixels.get();
        prepared.Width = (plate.Width + step - 1) / step;
        prepared.Height = (plate.Height + step - 1) / step;
        // A key image of another size is handed over whole, as qualvex key hands it over.
        const bool cutKey = key != nullptr && key->Width == plate.Width && key->Height == plate.Height;
        const std::size_t bands =
            key != nullptr && !cutKey ? 1 : std::clamp<std::size_t>(static_cast<std::size_t>(prepared.Height) / 64, 1, Renderers);
        for (std::size_t b = 0; b < bands; ++b) {
            Band band;
            band.Top = static_cast<int>(static_cast<std::size_t>(prepared.Height) * b / bands);
            const int bottom = static_cast<int>(static_cast<std::size_t>(prepared.Height) * (b + 1) / bands);
            if (bands == 1 && step == 1) {
                band.Plate = &plate;
                band.Key = key;
            } else {
                band.PlateCut = Cut(plate, band.Top, bottom - band.Top, step);
                band.Plate = band.PlateCut.get();
                if (cutKey)
                    band.KeyCut = Cut(*key, band.Top, bottom - band.Top, step);
                else if (key != nullptr)
                    band.KeyCut = Cut(*key, 0, (key->Height + step - 1) / step, step);
                band.Key = band.KeyCut.get();
            }
            prepared.Bands.push_back(std::move(band));
        }
        return prepared;
    }

    // Brings the mirrors to the page's instance's values; false when one cannot hold them exactly.
    bool MirrorsAgree(std::size_t count)
    {
        while (Mirrors.size() < count) {
            Mirrors.push_back(Plugin.NewInstance());
            MirroredGeneration.push_back(~std::uint64_t{0});
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (MirroredGeneration[i] == Generation)
                continue;
            RestoreControlValues(*Mirrors[i], HeldValues(*Tool));
            if (!SameValues(*Tool, *Mirrors[i]))
                return false;
            MirroredGeneration[i] = Generation;
        }
        return true;
    }

    bool FinishingActive() const { return !AtDefaults(*Finisher); }

    // How the views' result reads, as qualvex key reads it: with the finishing tool when it is in
    // use.
    AlphaReading Reading() const { return AutoResultReading(*Tool, FinishingActive() ? Finisher.get() : nullptr); }

    // The keyer's result in bands; with `clear`, fully keyed pixels of a result that reads as
    // associated hold colour 0, as qualvex key writes them (its default).
    const KeyedFrame& KeyerBands(int frame, int step, bool clear)
    {
        const Prepared& prepared = Inputs(frame, step);
        CheckKeyImage();
        if (!LastKeyed.Bands.empty() && LastKeyed.Frame == frame && LastKeyed.Step == step &&
            LastKeyed.Generation == Generation && (clear || !LastKeyed.Cleared)) {
            if (clear && !LastKeyed.Cleared)
                ClearBands(LastKeyed);
            return LastKeyed;
        }
        const std::size_t count = prepared.Bands.size();
        std::vector<std::unique_ptr<Image>> keyed(count);
        const auto keyBand = [&](Operator& op, std::size_t b) {
            const Band& band = prepared.Bands[b];
            keyed[b] = KeyOneFrame(op, const_cast<Image&>(*band.Plate), band.Key, frame);
        };
        if (MirrorsAgree(count - 1)) {
            RunTogether(count, [&](std::size_t b) { keyBand(b == 0 ? *Tool : *Mirrors[b - 1], b); });
        } else {
            // A value no other instance holds exactly: the page's instance keys every band.
            for (std::size_t b = 0; b < count; ++b)
                keyBand(*Tool, b);
        }
        LastKeyed = {frame, step, Generation, 0, false, {}, std::move(keyed)};
        for (const Band& band : prepared.Bands)
            LastKeyed.Tops.push_back(band.Top);
        if (clear)
            ClearBands(LastKeyed);
        return LastKeyed;
    }

    void ClearBands(KeyedFrame& keyed) const
    {
        if (Reading() == AlphaReading::Associated)
            for (const std::unique_ptr<Image>& band : keyed.Bands)
                ClearKeyedColour(*band);
        keyed.Cleared = true;
    }

    // What the views show: the keyer's result, finished when the finishing tool is in use, with
    // fully keyed pixels cleared as qualvex key writes them. The page shows what Save's command
    // writes.
    const KeyedFrame& Keyed(int frame, int step)
    {
        if (!FinishingActive())
            return KeyerBands(frame, step, true);
        if (!LastFinished.Bands.empty() && LastFinished.Frame == frame && LastFinished.Step == step &&
            LastFinished.Generation == Generation && LastFinished.FinishGeneration == FinishGeneration)
            return LastFinished;
        const KeyedFrame& keyed = KeyerBands(frame, 1, false);
        std::unique_ptr<Image> whole;
        if (keyed.Bands.size() > 1)
            whole = Stitched(keyed.Bands, keyed.Tops);
        Image& input = whole ? *whole : *keyed.Bands.front();
        std::unique_ptr<Image> finished;
        try {
            finished = FinishFlow.Render(input, static_cast<double>(frame));
        } catch (const host::FlowError& error) {
            throw Failure("frame " + std::to_string(frame) + ": " + error.what());
        }
        if (Reading() == AlphaReading::Associated)
            ClearKeyedColour(*finished);
        if (step > 1)
            finished = Cut(*finished, 0, (finished->Height + step - 1) / step, step);
        LastFinished = {frame, step, Generation, FinishGeneration, true, {0}, {}};
        LastFinished.Bands.push_back(std::move(finished));
        return LastFinished;
    }

    // Asks the tool, for each component, whether each pixel lies outside its window, through the
    // tool's own full-key test: a pixel is fully keyed (alpha 0, with an Offset of 10 every other
    // pixel is 1) exactly when all three components lie at or above their window's upper end. The
    // other two components are given windows every value lies above, so the test speaks of one
    // component alone: once against its window's upper end as set, once against its lower end (a
    // window 0.001 wide starting 0.001 below the lower end, so equal to it within float rounding).
    // The six questions are shared out among instances of their own, one per core.
    std::vector<unsigned char> Rejection(int frame, int step)
    {
        const Prepared& prepared = Inputs(frame, step);
        CheckKeyImage();
        const std::vector<ControlValue> held = HeldValues(*Tool);
        const std::size_t pixels = static_cast<std::size_t>(prepared.Width) * static_cast<std::size_t>(prepared.Height);
        constexpr std::size_t kQuestions = 6;
        const std::size_t workers = std::min(Renderers, kQuestions);
        while (Probes.size() < workers)
            Probes.push_back(Plugin.NewInstance());
        std::vector<std::vector<unsigned char>> answers(workers, std::vector<unsigned char>(pixels, 0));
        RunTogether(workers, [&](std::size_t worker) {
            for (std::size_t question = worker; question < kQuestions; question += workers) {
                const int c = static_cast<int>(question / 2);
                const bool upper = question % 2 == 0;
                std::vector<ControlValue> asked = held;
                ValueOf(asked, "InvAlpha") = 0.0;
                ValueOf(asked, "ColCor") = 0.0;
                ValueOf(asked, "GammaAlpha") = 1.0;
                ValueOf(asked, "OffAlpha") = 10.0;
                ValueOf(asked, "MultAlpha") = 1.0;
                for (int other = 0; other < 3; ++other)
                    if (other != c) {
                        // Lower end 1e30 below the reference: every value lies above the window.
                        ValueOf(asked, kMinSliders[other]) = 1e30;
                        ValueOf(asked, kMaxSliders[other]) = -1e30;
                    }
                if (!upper) {
                    const double min = ValueOf(asked, kMinSliders[c]);
                    ValueOf(asked, kMinSliders[c]) = min + 0.001;
                    ValueOf(asked, kMaxSliders[c]) = -min;
                }
                Operator& probe = *Probes[worker];
                RestoreControlValues(probe, asked);
                std::vector<unsigned char>& outside = answers[worker];
                for (const Band& band : prepared.Bands) {
                    const std::unique_ptr<Image> answer = KeyOneFrame(probe, const_cast<Image&>(*band.Plate), band.Key, frame);
                    for (int y = 0; y < answer->Height; ++y) {
                        std::size_t i = static_cast<std::size_t>(band.Top + y) * static_cast<std::size_t>(prepared.Width);
                        for (int x = 0; x < answer->Width; ++x, ++i) {
                            const bool keyed = answer->GetPixel(x, y).A == 0.0f;
                            // Outside: at or above the upper end, or below the lower end.
                            if (upper ? keyed : !keyed)
                                outside[i] |= static_cast<unsigned char>(1u << c);
                        }
                    }
                }
            }
        });
        for (std::size_t worker = 1; worker < workers; ++worker)
            for (std::size_t i = 0; i < pixels; ++i)
                answers[0][i] |= answers[worker][i];
        return std::move(answers[0]);
    }

    // A complete record of the instance, as the settings file qualvex key --settings takes.
    std::string RecordJson() const
    {
        Json document = Json::object();
        for (const ControlValue& value : HeldValues(*Tool)) {
            const Input* input = Tool->FindInput(value.ID);
            // The colour space by its entry label, so the file reads well; every other number as is.
            if (value.ID == "Colorspace" && std::floor(value.Value) == value.Value && value.Value >= 0 &&
                value.Value < static_cast<double>(input->Description().Entries.size()))
                document[value.ID] = input->Description().Entries[static_cast<std::size_t>(value.Value)];
            else
                document[value.ID] = JsonNumber(value.Value);
        }
        // The finishing tool's values when it is in use: qualvex key --settings then finishes too.
        if (FinishingActive())
            document["finish"] = Json::parse(ControlValuesJson(*Finisher));
        return document.dump(2) + "\n";
    }
};

TuneSession::TuneSession(const KeyerPlugin& plugin, TuneSource source)
    : m(std::make_unique<State>(plugin, std::move(source)))
{
    if (!m->SourcePattern.IsSequence() && IsMovieName(m->Source.Source)) {
        const MovieFacts facts = InspectMovie(m->Source.Source, "source");
        m->Frames = MovieFrames(m->Source.Source, m->Source.Frames, facts.Frames);
        if (m->Frames.empty())
            throw Failure(m->Source.Source + ": the movie holds no frames");
        m->Movie = std::make_unique<MovieReader>(m->Source.Source, "source", facts);
    } else {
        m->Frames = FramesToSample(m->SourcePattern, m->Source.Frames);
    }
    if (!m->Source.KeyImage.empty())
        m->KeyPattern.emplace(m->Source.KeyImage);
    m->Tool = plugin.NewInstance();
    m->Finishing = plugin.LoadSibling(kFinishingToolFile, kFinishingToolClassID);
    m->Finisher = m->Finishing->NewInstance();
    m->FinishFlow.Append(*m->Finisher);
    if (!m->Source.Settings.empty())
        Load(m->Source.Settings);
    if (!m->Source.Background.empty())
        m->Background = ReadImageFile(m->Source.Background, "background");
    m->LoadFrame(m->Frames.front());
}

TuneSession::~TuneSession() = default;

std::string TuneSession::DescriptionJson()
{
    Json document = Json::object();
    document["source"] = m->Source.Source;
    document["keyImage"] = m->Source.KeyImage;
    document["frames"] = m->Frames;
    document["width"] = m->Plate.Pixels->Width;
    document["height"] = m->Plate.Pixels->Height;
    document["background"] = m->Background.has_value();
    document["maxProxyStep"] = kMaxProxyStep;
    document["tool"] = m->Plugin.Version();
    return document.dump();
}

std::string TuneSession::ControlsJson() const { return ControlsOf(*m->Tool); }

std::string TuneSession::FinishControlsJson() const { return ControlsOf(*m->Finisher); }

namespace {

// Every edit checked against the instance's controls before any is set.
std::vector<ControlValue> Resolved(const Operator& op, const std::vector<std::pair<std::string, std::string>>& values)
{
    std::vector<ControlValue> resolved;
    for (const auto& [id, text] : values)
        resolved.push_back({id, ResolveControlValue(op, id, text, "set")});
    return resolved;
}

}  // namespace

void TuneSession::SetControls(const std::vector<std::pair<std::string, std::string>>& values)
{
    const std::vector<ControlValue> resolved = Resolved(*m->Tool, values);
    ++m->Generation;
    ApplyControlValues(*m->Tool, resolved);
}

void TuneSession::SetFinishControls(const std::vector<std::pair<std::string, std::string>>& values)
{
    const std::vector<ControlValue> resolved = Resolved(*m->Finisher, values);
    ++m->FinishGeneration;
    ApplyControlValues(*m->Finisher, resolved);
}

namespace {

// Calls visit(x, y, pixel) for every pixel of the bands, (x, y) in the whole frame.
template <class Visit>
void VisitBands(const std::vector<const Image*>& images, const std::vector<int>& tops, Visit visit)
{
    for (std::size_t b = 0; b < images.size(); ++b) {
        const Image& image = *images[b];
        for (int y = 0; y < image.Height; ++y)
            for (int x = 0; x < image.Width; ++x)
                visit(x, tops[b] + y, image.GetPixel(x, y));
    }
}

}  // namespace

std::string TuneSession::RenderViewPng(TuneView view, int frame, int step)
{
    if (view == TuneView::Background && !m->Background)
        throw UsageError("no background image: start qualvex tune with --background IMAGE");
    const State::Prepared& prepared = m->Inputs(frame, step);
    const int width = prepared.Width;
    const int height = prepared.Height;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const auto at = [width](int x, int y) {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    };
    std::vector<int> tops;
    std::vector<const Image*> images;
    for (const State::Band& band : prepared.Bands) {
        tops.push_back(band.Top);
        images.push_back(band.Plate);
    }
    if (view != TuneView::Source && view != TuneView::Rejection) {
        const State::KeyedFrame& keyed = m->Keyed(frame, step);
        tops = keyed.Tops;
        images.clear();
        for (const std::unique_ptr<Image>& band : keyed.Bands)
            images.push_back(band.get());
    }

    if (view == TuneView::Matte) {
        std::vector<unsigned char> grey(pixels);
        VisitBands(images, tops, [&](int x, int y, const Pixel& p) { grey[at(x, y)] = ToByte(p.A); });
        return EncodePng(width, height, 1, grey);
    }
    std::vector<unsigned char> rgb(pixels * 3);
    if (view == TuneView::Rejection) {
        const std::vector<unsigned char> outside = m->Rejection(frame, step);
        for (std::size_t i = 0; i < pixels; ++i)
            for (int c = 0; c < 3; ++c)
                rgb[i * 3 + static_cast<std::size_t>(c)] = (outside[i] >> c) & 1u ? 255 : 0;
        return EncodePng(width, height, 3, rgb);
    }
    const Image* background = m->Background ? m->Background->Pixels.get() : nullptr;
    // Over, as qualvex key's reading of the result has it: associated colour carries its alpha.
    const bool associated = m->Reading() == AlphaReading::Associated;
    VisitBands(images, tops, [&](int x, int y, const Pixel& p) {
        float colour[3] = {p.R, p.G, p.B};
        if (view == TuneView::Checker || view == TuneView::Background) {
            float behind[3];
            if (view == TuneView::Checker) {
                // 16-pixel squares of the full-size frame.
                const bool light = (((x * step) / 16) + ((y * step) / 16)) % 2 == 0;
                behind[0] = behind[1] = behind[2] = light ? 0.6f : 0.4f;
            } else {
                // The background stretched over the frame, nearest pixel (sizes are > 0 here).
                const int bx = static_cast<int>(static_cast<std::int64_t>(x) * background->Width / width);
                const int by = static_cast<int>(static_cast<std::int64_t>(y) * background->Height / height);
                const Pixel b = background->GetPixel(bx, by);
                behind[0] = b.R;
                behind[1] = b.G;
                behind[2] = b.B;
            }
            const float a = std::clamp(std::isnan(p.A) ? 0.0f : p.A, 0.0f, 1.0f);
            const float own = associated ? 1.0f : a;
            for (int c = 0; c < 3; ++c)
                colour[c] = colour[c] * own + behind[c] * (1.0f - a);
        }
        for (int c = 0; c < 3; ++c)
            rgb[at(x, y) * 3 + static_cast<std::size_t>(c)] = ToByte(colour[c]);
    });
    return EncodePng(width, height, 3, rgb);
}

MatteShares TuneSession::Statistics(int frame, int step)
{
    const State::KeyedFrame& keyed = m->Keyed(frame, step);
    MatteShares shares;
    std::size_t zero = 0, one = 0;
    for (const auto& band : keyed.Bands) {
        for (int y = 0; y < band->Height; ++y)
            for (int x = 0; x < band->Width; ++x) {
                const float a = band->GetPixel(x, y).A;
                zero += a == 0.0f ? 1 : 0;
                one += a == 1.0f ? 1 : 0;
            }
        shares.Pixels += static_cast<std::size_t>(band->Width) * static_cast<std::size_t>(band->Height);
    }
    if (shares.Pixels == 0)
        return shares;  // an empty frame has no shares to speak of
    shares.Zero = static_cast<double>(zero) / static_cast<double>(shares.Pixels);
    shares.One = static_cast<double>(one) / static_cast<double>(shares.Pixels);
    shares.Between = static_cast<double>(shares.Pixels - zero - one) / static_cast<double>(shares.Pixels);
    return shares;
}

std::string TuneSession::ResultFloats(int frame)
{
    const State::Prepared& prepared = m->Inputs(frame, 1);
    const State::KeyedFrame& keyed = m->Keyed(frame, 1);
    std::vector<float> values(static_cast<std::size_t>(prepared.Width) * static_cast<std::size_t>(prepared.Height) * 4);
    std::vector<const Image*> images;
    for (const std::unique_ptr<Image>& band : keyed.Bands)
        images.push_back(band.get());
    VisitBands(images, keyed.Tops, [&](int x, int y, const Pixel& p) {
        float* out = &values[(static_cast<std::size_t>(y) * static_cast<std::size_t>(prepared.Width) +
                              static_cast<std::size_t>(x)) * 4];
        out[0] = p.R;
        out[1] = p.G;
        out[2] = p.B;
        out[3] = p.A;
    });
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

namespace {

// A region of the frame as the views show it (the data window, origin top-left) in the
// coordinates of the file's display window, which the sampling functions take.
Region InFileCoordinates(Region region, const ImageFile& image)
{
    region.X += image.Layout.X - image.Layout.FullX;
    region.Y += image.Layout.Y - image.Layout.FullY;
    return region;
}

}  // namespace

void TuneSession::Pick(int frame, const Region& region)
{
    m->LoadFrame(frame);
    const std::vector<ControlValue> colour =
        MedianKeyColor(m->Plate, InFileCoordinates(region, m->Plate), m->SourcePattern.PathFor(frame).string());
    ++m->Generation;
    // As a typed key colour: the tool rewrites the Value sliders in the colour space in force.
    RunSettings settings;
    settings.Typed = colour;
    settings.ApplyTo(*m->Tool);
}

std::string TuneSession::Fit(int frame, const std::vector<Region>& screens, const std::vector<Region>& subjects,
                             const std::vector<Region>& edges, bool autoEdges)
{
    m->LoadFrame(frame);
    std::vector<Region> inFile[3];
    for (const Region& r : screens)
        inFile[0].push_back(InFileCoordinates(r, m->Plate));
    for (const Region& r : subjects)
        inFile[1].push_back(InFileCoordinates(r, m->Plate));
    for (const Region& r : edges)
        inFile[2].push_back(InFileCoordinates(r, m->Plate));
    const fit::FitResult result =
        FitRegions(m->Plugin, m->Plate, m->SourcePattern.PathFor(frame).string(), inFile[0], inFile[1], inFile[2], autoEdges);
    ++m->Generation;
    ApplyFittedSettings(*m->Tool, result);
    return FitReport(result);
}

void TuneSession::Save(const std::filesystem::path& file, bool overwrite)
{
    const std::string name = file.string();
    if (file.extension() != ".json")
        throw UsageError(name + ": a settings file is saved as .json");
    std::error_code error;
    const auto status = std::filesystem::symlink_status(file, error);
    if (std::filesystem::exists(status) && !overwrite)
        throw Failure(name + ": exists; saving again replaces it only when asked to overwrite");
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        throw Failure(name + ": exists and is not a plain file");
    const std::string text = m->RecordJson();

    // Loaded into a new instance as qualvex key --settings loads it, the file must give every control
    // to the bit: otherwise the keyed files would not be what the page showed.
    const std::unique_ptr<Operator> check = m->Plugin.NewInstance();
    RunSettings settings;
    settings.File.Values = ParseSettingsJson(*check, text, name);
    settings.File.Embedded = true;
    settings.ApplyTo(*check);
    for (const ControlValue& value : HeldValues(*m->Tool))
        if (std::bit_cast<std::uint64_t>(check->FindInput(value.ID)->NumberValue()) !=
            std::bit_cast<std::uint64_t>(value.Value))
            throw Failure(name + ": the settings do not restore control \"" + value.ID + "\" exactly; nothing saved");
    // And the finishing tool's, as qualvex key loads them onto a new instance.
    const std::string finish = FinishSectionJson(text);
    if (!finish.empty()) {
        const std::unique_ptr<Operator> finisher = m->Finishing->NewInstance();
        ApplyControlValues(*finisher, ParseFinishSectionJson(*finisher, finish, name + " (finish)"));
        for (const ControlValue& value : HeldValues(*m->Finisher))
            if (std::bit_cast<std::uint64_t>(finisher->FindInput(value.ID)->NumberValue()) !=
                std::bit_cast<std::uint64_t>(value.Value))
                throw Failure(name + ": the settings do not restore the finishing control \"" + value.ID +
                              "\" exactly; nothing saved");
    }

    WriteTextAtomically(file, text, overwrite ? ExistingFile::Replace : ExistingFile::Keep);
}

void TuneSession::Load(const std::filesystem::path& file) { Load(ReadSettingsText(file)); }

void TuneSession::Load(const SettingsText& text)
{
    RunSettings settings;
    settings.File = ParseSettingsText(*m->Tool, text);
    // A file without a "finish" object keys without finishing: the finishing tool goes back to its
    // defaults, as a new instance holds them. Everything is read before anything is set.
    std::vector<ControlValue> finish = DefaultValues(*m->Finisher);
    if (!settings.File.FinishJson.empty()) {
        const std::vector<ControlValue> given =
            ParseFinishSectionJson(*m->Finisher, settings.File.FinishJson, text.Name + " (finish)");
        finish.insert(finish.end(), given.begin(), given.end());
    }
    ++m->Generation;
    ++m->FinishGeneration;
    settings.ApplyTo(*m->Tool);
    ApplyControlValues(*m->Finisher, finish);
}

std::string TuneSession::KeyCommandLine(const std::filesystem::path& settings) const
{
    // Beside the source, named after it; a sequence keeps its frame-number marker.
    const std::filesystem::path source(m->Source.Source);
    std::string name = source.filename().string();
    if (m->SourcePattern.IsSequence()) {
        const std::size_t dot = name.rfind('.');
        name = name.substr(0, dot);
    } else {
        name = source.stem().string();
    }
    // A movie is keyed into a movie, ProRes 4444 with its alpha.
    name += m->Movie ? "-keyed.mov" : "-keyed.exr";
    const std::string output = (source.parent_path() / name).string();
    std::string line = "qualvex key " + ShellQuoted(m->Source.Source) + " -o " + ShellQuoted(output);
    if (!m->Source.KeyImage.empty())
        line += " --key-image " + ShellQuoted(m->Source.KeyImage);
    if (!m->Source.Frames.empty())
        line += " --frames " + ShellQuoted(m->Source.Frames);
    line += " --settings " + ShellQuoted(settings.string());
    // EXR holds half and float values only: an 8- or 16-bit plate goes into float, which holds
    // every one of its values exactly.
    const PixelStorage storage = m->Plate.Pixels->Storage();
    if (!m->Movie && (storage == PixelStorage::UInt8 || storage == PixelStorage::UInt16))
        line += " --data-type float";
    return line;
}

}  // namespace qualvex
