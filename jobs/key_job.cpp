#include "jobs/key_job.h"

#include "base/cores.h"
#include "base/errors.h"
#include "base/safe_text.h"
#include "host/flow.h"
#include "jobs/clean_plate.h"
#include "jobs/control_settings.h"
#include "jobs/finishing_options.h"
#include "jobs/fit_samples.h"
#include "jobs/frame_render.h"
#include "jobs/frame_runner.h"
#include "jobs/job_plan.h"
#include "jobs/keyer_plugin.h"
#include "jobs/output_commits.h"
#include "jobs/progress_display.h"
#include "jobs/real_disk.h"
#include "media/contact_sheet.h"
#include "media/format_policy.h"
#include "media/image_reader.h"
#include "media/image_writer.h"
#include "media/memory_limit.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "media/storage_kinds.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <map>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <mutex>
#include <vector>

namespace qualvex {
namespace {

void Warn(const std::string& message) { std::fprintf(stderr, "qualvex: warning: %s\n", message.c_str()); }

void Say(const std::string& message) { std::fprintf(stderr, "qualvex: %s\n", message.c_str()); }

bool Active(const Operator& op, const char* id)
{
    // Rounded half up, active only when exactly 1, as the tools read their switches.
    const Input* input = op.FindInput(id);
    return input != nullptr && std::floor(input->NumberValue() + 0.5) == 1.0;
}

// Whether the finishing tool unmixes the edges: Unmix Edges, rounded to the nearest entry as the
// tool reads it, names one other than Off (a value naming no entry counts as Off there).
bool UnmixesEdges(const Operator* finisher)
{
    const Input* unmix = finisher != nullptr ? finisher->FindInput("UnmixEdges") : nullptr;
    const double entry = unmix != nullptr ? std::floor(unmix->NumberValue() + 0.5) : 0.0;
    return entry >= 1.0 && entry <= 3.0;
}

// How the tool's result reads, from --alpha (and its old name --premultiply), or by itself:
// associated where colour correction subtracts the key colour by 1 - alpha (what is left is close
// to colour multiplied by alpha) or where the finishing tool writes the matte alone (white, times
// the matte); straight otherwise. `reason` says which, for the message.
AlphaReading ResultReading(const KeyOptions& options, const Operator& keyer, const Operator* finisher,
                           std::string& reason)
{
    if (options.Alpha != "auto" && options.Alpha != "straight" && options.Alpha != "associated")
        throw UsageError("--alpha \"" + options.Alpha + "\": expected auto, straight or associated");
    if (options.Premultiply) {
        if (options.Alpha == "associated")
            throw UsageError("--premultiply (the old name for --alpha straight) and --alpha associated contradict "
                             "each other");
        reason = "--premultiply, the old name for --alpha straight";
        return AlphaReading::Straight;
    }
    if (options.Alpha != "auto") {
        reason = "--alpha " + options.Alpha;
        return options.Alpha == "associated" ? AlphaReading::Associated : AlphaReading::Straight;
    }
    return AutoResultReading(keyer, finisher, &reason);
}

std::string AlphaStatement(const std::filesystem::path& output, AlphaReading result, const std::string& reason)
{
    const std::string format = IsMovieOutputName(output) ? "movie" : FormatOf(output);
    const AlphaReading stored = StoredAlpha(format, result);
    std::string text = "the keyed colour reads as " + std::string(AlphaReadingName(result)) + " (" + reason + "); " +
                       output.string() + " (" + format + ") stores it " + AlphaReadingName(stored);
    if (stored == result)
        return text + ", as it is";
    if (stored == AlphaReading::Associated)
        return text + ": colour multiplied by alpha, as its readers expect";
    return text + ": colour divided by alpha where alpha > 0";
}

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string list;
    for (const auto& name : names)
        list += (list.empty() ? "" : ", ") + Printable(name, 40);
    return list;
}

JobRequest RequestOf(const KeyOptions& options, const std::string& settingsJson)
{
    if (options.Resume && options.Overwrite)
        throw UsageError("--resume and --overwrite exclude each other");
    if (!options.Preview.empty() && std::filesystem::path(options.Preview).extension() != ".png")
        throw UsageError("--preview \"" + options.Preview + "\": the preview is a .png file");
    JobRequest request{options.Source, options.Output,          options.KeyImage, options.Frames,
                       options.Preview, ExistingOutputs::Refuse, settingsJson};
    request.AllowGaps = options.AllowGaps;
    request.OutputFolderMadeFirst = options.OutputFolderMadeFirst;
    request.PreviewFrame = options.PreviewFrame;
    if (options.PreviewFrame && options.Preview.empty())
        throw UsageError("--preview-frame needs --preview");
    if (options.Resume)
        request.Existing = ExistingOutputs::Resume;
    else if (options.Overwrite)
        request.Existing = ExistingOutputs::Overwrite;
    return request;
}

// An image read beside the source for every frame: one file read once, or a sequence read frame by
// frame.
class FrameImage {
public:
    FrameImage(const FramePattern& pattern, std::string role, std::uint64_t maxBytes) : m_Pattern(pattern), m_Role(std::move(role))
    {
        if (!m_Pattern.IsSequence())
            m_Single = ReadImageFile(m_Pattern.PathFor(0), m_Role, maxBytes);
    }
    const FramePattern& Pattern() const { return m_Pattern; }
    const std::string& Role() const { return m_Role; }
    bool IsSequence() const { return m_Pattern.IsSequence(); }
    const ImageFile* Single() const { return m_Single ? &*m_Single : nullptr; }

private:
    FramePattern m_Pattern;
    std::string m_Role;
    std::optional<ImageFile> m_Single;
};

// The source's frames: image files read by any worker, or a movie decoded in one pass, each frame
// read in the order the frames were handed out (a movie goes back only by decoding again from
// its start).
class SourceFrames {
public:
    // `movie`: the source movie's facts, when the source is one.
    SourceFrames(const KeyJob& job, const std::optional<MovieFacts>& movie) : m_Job(job)
    {
        if (movie)
            m_Movie = std::make_unique<MovieReader>(job.Source.PathFor(0), "source", *movie);
    }

    // The frame at `index` of the run's frames.
    ImageFile InOrder(std::size_t index, std::uint64_t maxBytes)
    {
        const int frame = m_Job.Frames[index];
        if (!m_Movie)
            return ReadImageFile(m_Job.Source.PathFor(frame), "source", maxBytes);
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Turn.wait(lock, [&] { return m_Next == index; });
        // The next frame's turn comes even when this one fails: its worker must not wait forever.
        struct PassTurn {
            SourceFrames& Frames;
            ~PassTurn()
            {
                ++Frames.m_Next;
                Frames.m_Turn.notify_all();
            }
        } pass{*this};
        return m_Movie->ReadFrame(frame);
    }

    // Any frame, once the run is over (the preview).
    ImageFile Any(int frame, std::uint64_t maxBytes)
    {
        if (!m_Movie)
            return ReadImageFile(m_Job.Source.PathFor(frame), "source", maxBytes);
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Movie->ReadFrame(frame);
    }

private:
    const KeyJob& m_Job;
    std::unique_ptr<MovieReader> m_Movie;
    std::mutex m_Mutex;
    std::condition_variable m_Turn;
    std::size_t m_Next = 0;
};

// Keyed frames into the movie in the run's order, whichever worker finishes first. A frame that
// runs ahead waits while as many frames as there are workers are ahead of the movie, so no more
// keyed frames than workers are held at once.
class OrderedMovie {
public:
    OrderedMovie(MovieWriter& writer, std::size_t workers) : m_Writer(writer), m_Ahead(workers) {}

    void Put(std::size_t index, std::unique_ptr<Image> keyed)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Moved.wait(lock, [&] { return m_Abandoned || index < m_Next + m_Ahead; });
        if (m_Abandoned)
            return;
        m_Waiting.emplace(index, std::move(keyed));
        try {
            for (auto next = m_Waiting.find(m_Next); next != m_Waiting.end(); next = m_Waiting.find(m_Next)) {
                m_Writer.WriteFrame(*next->second);
                m_Waiting.erase(next);
                ++m_Next;
            }
        } catch (...) {
            m_Abandoned = true;
            m_Moved.notify_all();
            throw;
        }
        m_Moved.notify_all();
    }

    // A frame failed: the movie will not be finished, and no worker waits for it.
    void Abandon()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Abandoned = true;
        m_Moved.notify_all();
    }

private:
    MovieWriter& m_Writer;
    std::size_t m_Ahead;
    std::mutex m_Mutex;
    std::condition_variable m_Moved;
    std::map<std::size_t, std::unique_ptr<Image>> m_Waiting;
    std::size_t m_Next = 0;
    bool m_Abandoned = false;
};

// "25", "30000/1001": a frame rate above 0 as a fraction; throws UsageError otherwise.
FrameRate ParseFrameRate(const std::string& text)
{
    const std::size_t slash = text.find('/');
    const std::string top = text.substr(0, slash);
    const std::string bottom = slash == std::string::npos ? "1" : text.substr(slash + 1);
    int numerator = 0, denominator = 0;
    const auto [topEnd, topError] = std::from_chars(top.data(), top.data() + top.size(), numerator);
    const auto [bottomEnd, bottomError] = std::from_chars(bottom.data(), bottom.data() + bottom.size(), denominator);
    if (top.empty() || bottom.empty() || topError != std::errc() || bottomError != std::errc() ||
        topEnd != top.data() + top.size() || bottomEnd != bottom.data() + bottom.size() || numerator <= 0 ||
        denominator <= 0)
        throw UsageError("--frame-rate \"" + Printable(text, 40) + "\": expected frames per second as N or N/D "
                         "(25, 30000/1001)");
    return {numerator, denominator};
}

// One frame's images: its source, and the frame's own of every sequence read beside it.
struct FrameInputs {
    ImageFile Source;
    std::vector<ImageFile> Frames;  // of the sequences, in the order of the run's frame images
    std::vector<Image*> Images;     // per frame image: this frame's, the single file's, or none
};

// A garbage or core matte covers the frame pixel for pixel: one of another size would be stretched
// over it, keying out or holding what nobody marked. `file` names it.
void CheckMatteSize(const std::string& role, const std::string& file, int width, int height, int sourceWidth,
                    int sourceHeight)
{
    if (role != "garbage matte" && role != "core matte")
        return;
    if (width != sourceWidth || height != sourceHeight)
        throw UsageError(std::string(role == "garbage matte" ? "--garbage " : "--core ") + file + ": the matte is " +
                         std::to_string(width) + " x " + std::to_string(height) + ", the source " +
                         std::to_string(sourceWidth) + " x " + std::to_string(sourceHeight));
}

FrameInputs ReadFrameInputs(ImageFile source, const std::vector<FrameImage>& extras, int frame, std::uint64_t maxBytes)
{
    FrameInputs inputs{std::move(source), {}, {}};
    inputs.Frames.reserve(extras.size());
    for (const FrameImage& extra : extras) {
        if (extra.IsSequence()) {
            inputs.Frames.push_back(ReadImageFile(extra.Pattern().PathFor(frame), extra.Role(), maxBytes));
            inputs.Images.push_back(inputs.Frames.back().Pixels.get());
        } else {
            inputs.Images.push_back(extra.Single()->Pixels.get());
        }
        const Image& image = *inputs.Images.back();
        CheckMatteSize(extra.Role(), extra.Pattern().PathFor(frame).string(), image.Width, image.Height,
                       inputs.Source.Pixels->Width, inputs.Source.Pixels->Height);
    }
    return inputs;
}

// Warnings that would repeat on every frame are given once per run.
struct OnceWarnings {
    std::once_flag DroppedSource, NotWritten, AllKeyed, NoneKeyed;

    // A matte that is 0 or 1 everywhere is almost never what was meant: say what to try.
    void FlatMatte(const Image& keyed, const std::filesystem::path& output)
    {
        bool allZero = true, allOne = true;
        const auto width = static_cast<std::size_t>(keyed.Width);
        std::vector<float> row(keyed.ReadRow != nullptr ? 4 * width : 0);
        for (int y = 0; y < keyed.Height && (allZero || allOne); ++y) {
            if (const float* pixel = FloatColourRow(keyed, y)) {
                for (int x = 0; x < keyed.Width; ++x, pixel += 4) {
                    allZero = allZero && pixel[3] == 0.0f;
                    allOne = allOne && pixel[3] == 1.0f;
                }
                continue;
            }
            if (keyed.ReadRow != nullptr)
                keyed.ReadRow(&keyed, y, 0, keyed.Width, row.data(), row.data() + width, row.data() + 2 * width,
                              row.data() + 3 * width);
            for (int x = 0; x < keyed.Width; ++x) {
                const float alpha = keyed.ReadRow != nullptr ? row[3 * width + static_cast<std::size_t>(x)]
                                                             : keyed.GetPixel(x, y).A;
                allZero = allZero && alpha == 0.0f;
                allOne = allOne && alpha == 1.0f;
            }
        }
        if (keyed.Width == 0 || keyed.Height == 0)
            return;
        if (allZero)
            std::call_once(AllKeyed, [&] {
                Warn(output.string() + ": the matte is 0 everywhere (the whole frame is keyed out); set the key "
                     "colour (--key-color), narrow the windows (Min/Max) or fit settings from samples (qualvex fit)");
            });
        if (allOne)
            std::call_once(NoneKeyed, [&] {
                Warn(output.string() + ": the matte is 1 everywhere (nothing is keyed); check the key colour "
                     "(--key-color), widen the windows (Min/Max) or fit settings from samples (qualvex fit)");
            });
    }

    void Dropped(std::once_flag& once, const ImageFile& file, const std::filesystem::path& path)
    {
        if (file.DroppedChannels.empty())
            return;
        std::call_once(once, [&] {
            Warn(path.string() + ": channels not carried through the keyer are dropped: " +
                 JoinNames(file.DroppedChannels));
        });
    }
};

// One worker's tools and the flow that chains them: the keyer, then the finishing tool when the
// run finishes the key.
struct Worker {
    std::unique_ptr<Operator> Keyer;
    std::unique_ptr<Operator> Finisher;
    host::Flow Chain;

    std::unique_ptr<Image> Render(Image& source, const std::vector<Image*>& images, const std::vector<BesideImage>& beside,
                                  int frame)
    {
        for (std::size_t i = 0; i < beside.size(); ++i)
            Chain.Connect(beside[i].Step, beside[i].Input, images[i]);
        try {
            return Chain.Render(source, static_cast<double>(frame));
        } catch (const host::FlowError& error) {
            throw Failure("frame " + std::to_string(frame) + ": " + error.what());
        }
    }
};

// The source in the output's storage when that is wider (an 8-bit plate keyed into float keeps a
// float matte); null when the source's own storage serves.
std::unique_ptr<Image> WidenedForOutput(const Image& source, const std::optional<PixelStorage>& output)
{
    if (!output || !IsWider(*output, source.Storage()))
        return nullptr;
    return ConvertStorage(source, *output);
}

}  // namespace

AlphaReading AutoResultReading(const Operator& keyer, const Operator* finisher, std::string* reason)
{
    std::string why = "colour correction off";
    AlphaReading reading = AlphaReading::Straight;
    if (finisher != nullptr && finisher->FindInput("OutputMode") != nullptr &&
        std::floor(finisher->FindInput("OutputMode")->NumberValue() + 0.5) == 1.0) {
        why = "the matte alone";
        reading = AlphaReading::Associated;
    } else if (Active(keyer, "ColCor")) {
        why = "colour correction on";
        reading = AlphaReading::Associated;
    }
    if (reason != nullptr)
        *reason = why;
    return reading;
}

KeyTools PrepareKeyTools(const KeyerPlugin& plugin, const KeyOptions& options)
{
    // The record the settings make tells a finished output of this run from another run's under
    // --resume.
    KeyTools tools;
    tools.Plugin = &plugin;
    tools.Keyer = plugin.NewInstance();
    tools.Settings =
        WithKeyColorFromRegion(CollectRunSettings(*tools.Keyer, options.SettingsFile, options.KeyColor, options.Sets),
                               options.KeyColor, options.KeyColorFrom, options.Source, options.Frames);
    for (const std::string& warning : tools.Settings.RangeWarnings(*tools.Keyer))
        Warn(warning);
    tools.Settings.ApplyTo(*tools.Keyer);
    if (options.Finish.Requested() || !tools.Settings.File.FinishJson.empty()) {
        tools.Finishing = plugin.LoadSibling(kFinishingToolFile, kFinishingToolClassID);
        tools.Finisher = tools.Finishing->NewInstance();
        if (!tools.Settings.File.FinishJson.empty())
            tools.FinishValues = ParseFinishSectionJson(*tools.Finisher, tools.Settings.File.FinishJson,
                                                        options.SettingsFile + " (finish)");
        // Unmixing the edges decodes the colour as the source encodes it, unless told otherwise.
        const std::string encoding =
            options.Finish.Unmix == "auto" ? SourceColourEncoding(options.Source, options.Frames) : "";
        const std::vector<ControlValue> typed = FinishingValues(options.Finish, *tools.Keyer, encoding);
        // As for the keyer: what was typed or written by hand warns outside its range, a record
        // does not.
        std::vector<ControlValue> given = tools.Settings.File.Embedded ? std::vector<ControlValue>{} : tools.FinishValues;
        given.insert(given.end(), typed.begin(), typed.end());
        for (const std::string& warning : RangeWarnings(*tools.Finisher, given))
            Warn("finishing " + warning);
        tools.FinishValues.insert(tools.FinishValues.end(), typed.begin(), typed.end());
        ApplyControlValues(*tools.Finisher, tools.FinishValues);
        // Unmixing measures the keyed colour, from which colour correction has taken the key
        // colour by 1 - alpha already: the edges would read more solid than they are.
        const Input* amount = tools.Keyer->FindInput("CCAmount");
        if (UnmixesEdges(tools.Finisher.get()) && Active(*tools.Keyer, "ColCor") && amount != nullptr &&
            amount->NumberValue() != 0.0) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", amount->NumberValue());
            Warn(std::string("unmixing the edges measures the keyed colour, which colour correction has changed (CC "
                             "Amount ") +
                 text + "): the edges read more solid than they are; key with --set ColCor=0 to unmix them");
        }
    }
    tools.Write.Result = ResultReading(options, *tools.Keyer, tools.Finisher.get(), tools.Reason);
    tools.Version = std::string("qualvex ") + QUALVEX_VERSION + "; " + plugin.Version();
    if (tools.Finishing)
        tools.Version += "; " + tools.Finishing->Version();
    tools.Write.Record = {SettingsRecordJson(*tools.Keyer, tools.Finisher.get()), tools.Version};
    if (!options.RequireVersion.empty() && options.RequireVersion != tools.Version)
        throw Failure("this is " + tools.Version + ", not " + options.RequireVersion +
                      " as the job was planned with; install the same build everywhere");
    return tools;
}

KeyPlan PlanKey(KeyTools& tools, const KeyOptions& options)
{
    WriteOptions& write = tools.Write;
    JobRequest request = RequestOf(options, write.Record.Json);
    // Movies: a source read frame by frame through its decoder, an output written as one file.
    std::optional<MovieFacts> movie;
    if (!FramePattern(options.Source).IsSequence() && IsMovieName(options.Source))
        movie = InspectMovie(options.Source, "source");
    CheckMovieOutputName(options.Output);
    request.MovieFrames = movie ? movie->Frames : 0;
    request.MovieOutput = IsMovieOutputName(options.Output);
    if (request.MovieOutput && !options.Compression.empty())
        throw UsageError("--compression applies to EXR and TIFF outputs; \"" + options.Output + "\" is a movie");
    if (!request.MovieOutput && !options.FrameRate.empty())
        throw UsageError("--frame-rate applies to a movie output (.mov, .webm)");
    const FrameRate askedRate = options.FrameRate.empty() ? FrameRate{} : ParseFrameRate(options.FrameRate);
    if (!options.Finish.Garbage.empty())
        request.Masks.push_back({options.Finish.Garbage, "garbage matte"});
    if (!options.Finish.Core.empty())
        request.Masks.push_back({options.Finish.Core, "core matte"});
    KeyPlan plan{.Job = PlanKeyJob(request, RealDisk()), .Movie = movie, .AskedRate = askedRate, .Beside = {}};
    const KeyJob& job = plan.Job;
    // A sequence's files are coded in the threads that key their frames, from the first header
    // read: the image library's own threads (OpenEXR's pool) cost CPU and time in handing blocks
    // over, with one worker as with one per core. A lone frame on a machine of several cores
    // leaves them to the library, as nothing else would use them.
    CodeImagesInCallingThreads(job.Frames.size() > 1 || UsableCores() == 1);
    std::vector<std::filesystem::path> outputs;
    for (int frame : job.Frames)
        outputs.push_back(job.Output.PathFor(frame));
    if (job.WritePreview) {
        outputs.emplace_back(options.Preview);
        RequireImageFiles();
    }
    // A plan touches nothing: a temporary file may be a running task's.
    if (!options.PlanOnly)
        RemoveStaleTemporaries(outputs);

    // The images read beside the source, and where each goes in the flow.
    if (job.Key)
        plan.Beside.push_back({*job.Key, "key image", 0, "KeyImage"});
    for (const auto& [mask, role] : job.Masks)
        plan.Beside.push_back({mask, role, 1, role == "garbage matte" ? "GarbageMatte" : "CoreMatte"});

    // What one frame holds at once, from the first frame's headers, against the memory limit.
    plan.MemoryLimit = options.MemoryLimit != 0 ? options.MemoryLimit : DefaultMemoryLimit();
    const std::uint64_t limit = plan.MemoryLimit;
    if (job.Frames.empty())
        return plan;
    const std::filesystem::path first = job.Source.PathFor(job.Frames.front());
    ImageFacts source{};
    if (movie) {
        // The decoded frame, its RGBA copy, and the host image and the keyed image made from it.
        const std::uint64_t pixels = static_cast<std::uint64_t>(movie->Width) * static_cast<std::uint64_t>(movie->Height);
        const std::uint64_t bytes = KindOf(movie->Storage).Bytes;
        source = {movie->Storage, movie->Width, movie->Height, 4, pixels * (4 * bytes * 3 + 4), "movie", "",
                  movie->ColourEncoding, ""};
    } else {
        source = InspectImage(first, "source");
    }
    plan.FirstWidth = source.Width;
    plan.FirstHeight = source.Height;
    plan.FirstEncoding = source.ColourEncoding;
    plan.FrameBytes = source.BytesToKey * (tools.Finishing ? 2 : 1);  // the finishing tool makes one more image
    // Unmixing the edges keeps the frame's colour (three floats a pixel) and a second matte and
    // two marks a pixel beside it.
    if (UnmixesEdges(tools.Finisher.get()))
        plan.FrameBytes += static_cast<std::uint64_t>(source.Width) * static_cast<std::uint64_t>(source.Height) * 18;
    for (const BesideImage& beside : plan.Beside) {
        const std::filesystem::path file = beside.Pattern.PathFor(job.Frames.front());
        const ImageFacts facts = InspectImage(file, beside.Role);
        CheckMatteSize(beside.Role, file.string(), facts.Width, facts.Height, source.Width, source.Height);
        if (beside.Role == "key image" && !facts.CleanPlateSpace.empty())
            CheckCleanPlate(file.string(), facts, source.Width, source.Height, *tools.Keyer);
        plan.FrameBytes += facts.BytesToKey;
    }
    if (plan.FrameBytes > limit)
        throw Failure(first.string() + ": the source claims " + std::to_string(source.Width) + " x " +
                      std::to_string(source.Height) + " pixels in " + std::to_string(source.Channels) +
                      " channels; keying one frame takes about " + Mebibytes(plan.FrameBytes) + ", more than the " +
                      "memory limit of " + Mebibytes(limit) + " (--memory-limit)");
    // Checked against the first frame; the others are checked as they are written.
    const std::filesystem::path output = job.Output.PathFor(job.Frames.front());
    plan.DataType = options.DataType;
    if (!plan.DataType && !job.MovieOutput &&
        DefaultOutputStorage(output, source.Storage) != source.Storage) {
        plan.DataType = DefaultOutputStorage(output, source.Storage);
        if (!options.Quiet)
            Say(output.string() + ": the " + FormatOf(output) + " format holds half and float values only: the " +
                KindOf(source.Storage).Name + " source is written as " + KindOf(*plan.DataType).Name +
                " (--data-type chooses)");
    }
    write.Storage = plan.DataType ? *plan.DataType : source.Storage;
    if (!job.MovieOutput)
        CheckOutputFormat(output, write.Storage);
    if (!options.Quiet)
        Say(AlphaStatement(output, write.Result, tools.Reason));
    if (options.OutputColourspace != "source" && options.OutputColourspace != "linear")
        throw UsageError("--output-colorspace \"" + options.OutputColourspace + "\": expected source or linear");
    write.LinearColour = options.OutputColourspace == "linear";
    if (write.LinearColour) {
        if (job.MovieOutput)
            throw UsageError("--output-colorspace linear applies to image outputs; a movie keeps its video's encoding");
        if (!options.Quiet)
            Say(output.string() + ": colour converted from " +
                (source.ColourEncoding.empty() ? std::string("(not said)") : source.ColourEncoding) +
                " to linear on write (--output-colorspace linear)");
    }
    if (!job.MovieOutput) {
        write.Compression = OutputCompression(output, options.Compression, source.Format, source.Compression);
        if (CompressionLosesPrecision(write.Compression) && !options.Quiet)
            Warn(output.string() + ": " + write.Compression + " compression may change the values written: " +
                 "the outputs are not bit-exact, and keying them again will not reproduce them");
        if (!KeepsSettingsRecord(FormatOf(output)) && !options.Quiet)
            Warn(output.string() + ": the " + FormatOf(output) + " format keeps no settings record: --settings "
                 "cannot restore from these outputs, and --resume takes any readable one as finished");
    }
    return plan;
}

KeyResult PlannedResult(const KeyTools& tools, const KeyPlan& plan)
{
    KeyResult planned;
    planned.Planned = plan.Job.Frames;
    planned.FramesSkipped = plan.Job.Skipped;
    planned.SettingsRecord = tools.Write.Record.Json;
    planned.Version = tools.Version;
    return planned;
}

namespace {

// The movie the plan writes, opened before the first frame: the frame rate asked for, else the
// source movie's, else 24.
std::unique_ptr<MovieWriter> OpenMovie(const KeyTools& tools, const KeyPlan& plan, const KeyOptions& options)
{
    MovieWriteOptions movieOptions;
    if (plan.AskedRate.Numerator > 0) {
        movieOptions.RateNumerator = plan.AskedRate.Numerator;
        movieOptions.RateDenominator = plan.AskedRate.Denominator;
    } else if (plan.Movie && plan.Movie->RateNumerator > 0) {
        movieOptions.RateNumerator = plan.Movie->RateNumerator;
        movieOptions.RateDenominator = plan.Movie->RateDenominator;
    } else if (!options.Quiet) {
        Say(options.Output + ": 24 frames per second (--frame-rate sets another)");
    }
    movieOptions.Matrix = plan.Movie ? plan.Movie->Matrix : VideoMatrix::Bt709;
    movieOptions.Result = tools.Write.Result;
    movieOptions.ColourEncoding = plan.FirstEncoding;
    movieOptions.Existing = plan.Job.ReplaceMovie ? ExistingFile::Replace : ExistingFile::Keep;
    if (plan.Movie && plan.Movie->SoundStreams > 0 && !options.NoAudio && plan.Movie->RateNumerator > 0) {
        // The sound keeps the source's clock: it goes along only where the frames keep it too.
        const bool sameRate = static_cast<std::int64_t>(movieOptions.RateNumerator) * plan.Movie->RateDenominator ==
                              static_cast<std::int64_t>(plan.Movie->RateNumerator) * movieOptions.RateDenominator;
        if (sameRate)
            movieOptions.Sound = {options.Source, plan.Job.Frames.front(), static_cast<int>(plan.Job.Frames.size()),
                                  plan.Movie->RateNumerator, plan.Movie->RateDenominator};
        else
            Warn(options.Output + ": the source's sound is left out: the frames play at another rate than the "
                                  "source's (--frame-rate)");
    }
    auto writer =
        std::make_unique<MovieWriter>(plan.Job.Output.PathFor(0), plan.FirstWidth, plan.FirstHeight, movieOptions);
    for (const MovieWriter::SoundNote& note : writer->SoundNotes())
        if (!note.Copied)
            Warn(options.Output + ": " + note.Text + " (--no-audio leaves the sound out without a word)");
        else if (!options.Quiet)
            Say(options.Output + ": " + note.Text + ", frames " + std::to_string(plan.Job.Frames.front()) + " to " +
                std::to_string(plan.Job.Frames.back()) + " of the source");
    return writer;
}

// One instance of each tool per worker, each with the same settings; no more workers than the
// memory limit holds frames. The first worker takes the instances the settings were checked on.
std::vector<Worker> MakeWorkers(KeyTools& tools, const KeyPlan& plan, const KeyOptions& options)
{
    const unsigned wanted = options.Threads == 0 ? UsableCores() : options.Threads;
    std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(wanted, plan.Job.Frames.size()));
    if (plan.FrameBytes > 0 && count > plan.MemoryLimit / plan.FrameBytes) {
        count = std::max<std::uint64_t>(1, plan.MemoryLimit / plan.FrameBytes);
        if (!options.Quiet)
            Warn("keying " + std::to_string(count) + " frames at once to stay within the memory limit of " +
                 Mebibytes(plan.MemoryLimit));
    }
    std::vector<Worker> workers(count);
    for (std::size_t i = 0; i < count; ++i) {
        Worker& worker = workers[i];
        if (i == 0) {
            worker.Keyer = std::move(tools.Keyer);
            worker.Finisher = std::move(tools.Finisher);
        } else {
            worker.Keyer = tools.Plugin->NewInstance();
            tools.Settings.ApplyTo(*worker.Keyer);
            if (tools.Finishing) {
                worker.Finisher = tools.Finishing->NewInstance();
                ApplyControlValues(*worker.Finisher, tools.FinishValues);
            }
        }
        worker.Chain.Append(*worker.Keyer);
        if (worker.Finisher)
            worker.Chain.Append(*worker.Finisher);
    }
    return workers;
}

}  // namespace

KeyResult KeyFrames(KeyTools& tools, const KeyPlan& plan, const KeyOptions& options)
{
    const KeyJob& job = plan.Job;
    const WriteOptions& write = tools.Write;
    const std::uint64_t limit = plan.MemoryLimit;
    std::vector<FrameImage> extras;
    for (const BesideImage& beside : plan.Beside)
        extras.emplace_back(beside.Pattern, beside.Role, limit);
    SourceFrames sourceFrames(job, plan.Movie);
    std::unique_ptr<MovieWriter> movieWriter;
    if (job.MovieOutput && !job.Frames.empty())
        movieWriter = OpenMovie(tools, plan, options);

    std::vector<Worker> workers = MakeWorkers(tools, plan, options);
    const std::uint64_t frameLimit = limit / workers.size();
    ProgressDisplay progress(static_cast<int>(job.Frames.size()), options.Quiet);
    OnceWarnings warnings;
    std::optional<OrderedMovie> ordered;
    if (movieWriter)
        ordered.emplace(*movieWriter, workers.size());
    // Fully keyed pixels of an associated result hold colour 0 unless asked to keep theirs.
    const bool clearKeyedColour = write.Result == AlphaReading::Associated && !options.KeepKeyedColour;
    std::atomic<std::uint64_t> cleared{0};
    // A frame's file is flushed to disk and named there while its worker keys the next. Up to
    // four frames a worker may wait (open files and the kernel's unwritten pages, not this
    // program's memory): the disk writes in bursts, and fewer stalled two workers on it.
    OutputCommits commits(4 * workers.size());
    auto keyFrame = [&](std::size_t worker, std::size_t index) {
        const int frame = job.Frames[index];
        const std::filesystem::path output = job.Output.PathFor(frame);
        try {
            const FrameInputs inputs =
                ReadFrameInputs(sourceFrames.InOrder(index, frameLimit), extras, frame, frameLimit);
            warnings.Dropped(warnings.DroppedSource, inputs.Source, job.Source.PathFor(frame));
            const std::unique_ptr<Image> widened = WidenedForOutput(*inputs.Source.Pixels, plan.DataType);
            std::unique_ptr<Image> keyed = workers[worker].Render(
                widened ? *widened : *inputs.Source.Pixels, inputs.Images, plan.Beside, frame);
            warnings.FlatMatte(*keyed, output);
            if (clearKeyedColour)
                cleared += ClearKeyedColour(*keyed);
            if (ordered) {
                ordered->Put(index, std::move(keyed));
                progress.FrameDone();
                return;
            }
            WriteOptions frameWrite = write;
            if (!plan.DataType) {
                frameWrite.Storage = inputs.Source.Pixels->Storage();
                CheckOutputFormat(output, frameWrite.Storage);
            }
            frameWrite.Existing = std::binary_search(job.Replacing.begin(), job.Replacing.end(), frame)
                                      ? ExistingFile::Replace
                                      : ExistingFile::Keep;
            std::vector<std::string> notWritten;
            EncodedFile encoded = EncodeImageFile(output, *keyed, inputs.Source.Layout, frameWrite, notWritten);
            keyed.reset();
            if (!notWritten.empty())
                std::call_once(warnings.NotWritten, [&] {
                    Warn(output.string() + ": the format cannot hold the channels " + JoinNames(notWritten) +
                         "; they are not written");
                });
            commits.Hand(std::move(encoded), [&progress] { progress.FrameDone(); });
            return;
        } catch (const std::bad_alloc&) {
            if (ordered)
                ordered->Abandon();
            throw Failure(job.Source.PathFor(frame).string() + ": not enough memory to key this frame (" +
                          output.string() + " not written)");
        } catch (...) {
            if (ordered)
                ordered->Abandon();
            throw;
        }
        progress.FrameDone();
    };
    FrameRunnerOptions runner;
    runner.Workers = workers.size();
    FrameRunnerResult run;
    // The frames already encoded are complete: they are put in place before a frame's failure is
    // reported (a failure of theirs is not the first).
    std::exception_ptr failure;
    try {
        run = RunFrames(job.Frames.size(), keyFrame, runner);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        commits.Finish();
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    progress.Finish();
    if (failure)
        std::rethrow_exception(failure);

    KeyResult result = PlannedResult(tools, plan);
    result.FramesWritten = static_cast<int>(movieWriter ? run.FramesDone : commits.Committed());
    result.Interrupted = run.Stopped;
    if (result.Interrupted) {
        // An unfinished movie is not put in place: none of its frames is written.
        if (movieWriter)
            result.FramesWritten = 0;
        return result;
    }
    if (movieWriter) {
        movieWriter->Finish();
        if (movieWriter->ClampedValues() > 0)
            Warn(options.Output + ": " + std::to_string(movieWriter->ClampedValues()) + " colour or alpha values " +
                 "outside 0..1 were clamped to the video's range (write EXR to keep them)");
    }

    if (cleared > 0 && !options.Quiet)
        Say("colour set to 0 where the matte is 0: " + std::to_string(cleared.load()) +
            " pixels (the keyed colour reads as associated, and an over would add it to the background; "
            "--keep-keyed-colour keeps it)");

    if (job.WritePreview) {
        const FrameInputs inputs =
            ReadFrameInputs(sourceFrames.Any(job.PreviewFrame, limit), extras, job.PreviewFrame, limit);
        const std::unique_ptr<Image> widened = WidenedForOutput(*inputs.Source.Pixels, plan.DataType);
        const std::unique_ptr<Image> keyed =
            workers[0].Render(widened ? *widened : *inputs.Source.Pixels, inputs.Images, plan.Beside, job.PreviewFrame);
        if (clearKeyedColour)
            ClearKeyedColour(*keyed);
        WriteContactSheet(options.Preview, *inputs.Source.Pixels, *keyed, write.Result,
                          job.ReplacePreview ? ExistingFile::Replace : ExistingFile::Keep);
    }
    return result;
}

}  // namespace qualvex
