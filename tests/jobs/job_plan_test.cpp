// Job planning on a described disk: which frames are keyed, skipped or refused, and why.
#include "base/errors.h"
#include "jobs/job_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace qualvex {
namespace {

// A disk that holds the listed sequence frames and files; "alias" names resolve to their target.
// A file listed without a state is a finished output of this run.
struct DescribedDisk {
    std::map<std::string, std::vector<int>> Sequences;  // pattern text to frames on disk
    std::set<std::string> Files;
    std::map<std::string, OutputState> States;
    std::map<std::string, std::string> Aliases;

    DiskView View() const
    {
        DiskView view;
        view.FramesOnDisk = [this](const FramePattern& pattern) {
            const auto found = Sequences.find(pattern.Text());
            return found == Sequences.end() ? std::vector<int>{} : found->second;
        };
        view.Inspect = [this](const std::filesystem::path& path, const std::string&) {
            const auto state = States.find(path.string());
            if (state != States.end())
                return state->second;
            return Files.count(path.string()) > 0 ? OutputState::Finished : OutputState::Missing;
        };
        view.Canonical = [this](const std::filesystem::path& path) {
            const auto alias = Aliases.find(path.string());
            return std::filesystem::path(alias == Aliases.end() ? path.string() : alias->second);
        };
        return view;
    }
};

JobRequest Request(std::string source, std::string output, std::string frames = "",
                   ExistingOutputs existing = ExistingOutputs::Refuse, std::string key = "", std::string preview = "")
{
    return {std::move(source), std::move(output), std::move(key), std::move(frames), std::move(preview), existing,
            "{\"FadeRed\":0.5}"};
}

struct PlanCase {
    const char* What;
    JobRequest Asked;
    std::vector<int> Frames;
    int Skipped;
    int PreviewFrame;
    std::vector<int> Replacing = {};
    bool WritePreview = false;
    bool ReplacePreview = false;
};

TEST(JobPlan, ChoosesTheFramesToKey)
{
    DescribedDisk disk;
    disk.Sequences["in.####.exr"] = {1001, 1002, 1003, 1004};
    disk.Sequences["key.####.exr"] = {1001, 1002, 1003, 1004};
    disk.Files = {"out.1002.exr", "out.1003.exr", "sheet.png"};
    disk.States["part.1002.exr"] = OutputState::Unfinished;
    disk.States["part.1003.exr"] = OutputState::Finished;

    const PlanCase cases[] = {
        {"every frame on disk, outputs kept", Request("in.####.exr", "new.####.exr"), {1001, 1002, 1003, 1004}, 0, 1001},
        {"a range", Request("in.####.exr", "new.####.exr", "1002-1003"), {1002, 1003}, 0, 1002},
        {"one frame", Request("in.####.exr", "new.####.exr", "1004"), {1004}, 0, 1004},
        {"resume skips existing outputs", Request("in.####.exr", "out.####.exr", "", ExistingOutputs::Resume),
         {1001, 1004}, 2, 1001},
        {"resume with everything written", Request("in.####.exr", "out.####.exr", "1002-1003", ExistingOutputs::Resume),
         {}, 2, 1002},
        {"overwrite keys them again", Request("in.####.exr", "out.####.exr", "", ExistingOutputs::Overwrite),
         {1001, 1002, 1003, 1004}, 0, 1001, {1002, 1003}},
        {"resume keys an unfinished output again, replacing it",
         Request("in.####.exr", "part.####.exr", "", ExistingOutputs::Resume), {1001, 1002, 1004}, 1, 1001, {1002}},
        {"a new preview", Request("in.####.exr", "new.####.exr", "", ExistingOutputs::Refuse, "", "new.png"),
         {1001, 1002, 1003, 1004}, 0, 1001, {}, true, false},
        {"an existing preview replaced", Request("in.####.exr", "new.####.exr", "", ExistingOutputs::Overwrite, "", "sheet.png"),
         {1001, 1002, 1003, 1004}, 0, 1001, {}, true, true},
        {"an existing preview kept on resume", Request("in.####.exr", "new.####.exr", "", ExistingOutputs::Resume, "", "sheet.png"),
         {1001, 1002, 1003, 1004}, 0, 1001, {}, false, false},
        {"a key sequence covering the range",
         Request("in.####.exr", "new.####.exr", "1001-1004", ExistingOutputs::Refuse, "key.####.exr"),
         {1001, 1002, 1003, 1004}, 0, 1001},
        {"a single file is frame 0", Request("plate.exr", "keyed.exr"), {0}, 0, 0},
        {"a single key image with a sequence", Request("in.####.exr", "new.####.exr", "", ExistingOutputs::Refuse, "k.exr"),
         {1001, 1002, 1003, 1004}, 0, 1001},
    };
    for (const PlanCase& c : cases) {
        const KeyJob job = PlanKeyJob(c.Asked, disk.View());
        EXPECT_EQ(job.Frames, c.Frames) << c.What;
        EXPECT_EQ(job.Skipped, c.Skipped) << c.What;
        EXPECT_EQ(job.PreviewFrame, c.PreviewFrame) << c.What;
        EXPECT_EQ(job.Replacing, c.Replacing) << c.What;
        EXPECT_EQ(job.WritePreview, c.WritePreview) << c.What;
        EXPECT_EQ(job.ReplacePreview, c.ReplacePreview) << c.What;
    }
}

struct RefusalCase {
    const char* What;
    JobRequest Asked;
    bool Usage;           // UsageError (exit 2) rather than Failure (exit 1)
    const char* Message;  // exact text
};

// Each case is refused with exactly its message, as a usage error or as a failure.
template <std::size_t N>
void ExpectRefusals(const RefusalCase (&cases)[N], const DescribedDisk& disk)
{
    for (const RefusalCase& c : cases) {
        try {
            PlanKeyJob(c.Asked, disk.View());
            ADD_FAILURE() << c.What << ": planned without complaint";
        } catch (const UsageError& error) {
            EXPECT_TRUE(c.Usage) << c.What << ": a usage error, expected a failure";
            EXPECT_EQ(std::string(error.what()), c.Message) << c.What;
        } catch (const Failure& error) {
            EXPECT_FALSE(c.Usage) << c.What << ": a failure, expected a usage error";
            EXPECT_EQ(std::string(error.what()), c.Message) << c.What;
        }
    }
}

TEST(JobPlan, RefusesWithTheReason)
{
    DescribedDisk disk;
    disk.Sequences["in.####.exr"] = {1, 2, 3, 5, 6, 7, 9};
    disk.Sequences["key.####.exr"] = {1, 2};
    disk.Sequences["sparse.####.exr"] = {2, 4, 6, 8, 10, 12, 14};
    std::vector<int> many;
    for (int frame = 1; frame <= 12; ++frame) {
        many.push_back(frame);
        disk.Files.insert("full." + std::string(frame < 10 ? "000" : "00") + std::to_string(frame) + ".exr");
    }
    disk.Sequences["long.####.exr"] = many;
    disk.Files.insert("same.exr");
    disk.Files.insert("sheet.png");
    disk.States["other.0001.exr"] = OutputState::OtherSettings;
    disk.States["folder.0001.exr"] = OutputState::NotAFile;
    for (int frame : {1, 2, 3})
        disk.States["gone/out.000" + std::to_string(frame) + ".exr"] = OutputState::NoFolder;
    disk.States["gone/sheet.png"] = OutputState::NoFolder;
    disk.States["gone/out.mov"] = OutputState::NoFolder;
    disk.Aliases["./in.0001.exr"] = "in.0001.exr";
    disk.Aliases["link.exr"] = "plate.exr";

    const RefusalCase cases[] = {
        {"sequence into a file", Request("in.####.exr", "out.exr"), true,
         "a source sequence needs an output sequence pattern (e.g. out.####.exr), not \"out.exr\""},
        {"file into a sequence", Request("plate.exr", "out.####.exr"), true,
         "a single source file needs a single output file, not the pattern \"out.####.exr\""},
        {"--frames on a file", Request("plate.exr", "out.exr", "1-2"), true,
         "--frames applies to a sequence; \"plate.exr\" is a single file"},
        {"gaps in the range", Request("in.####.exr", "out.####.exr", "1-9"), false,
         "in.####.exr: source frames missing: 4, 8 (--allow-gaps keys the frames that exist)"},
        {"no frames at all", Request("none.####.exr", "out.####.exr"), false,
         "none.####.exr: no frames of the source sequence found"},
        {"key sequence short", Request("in.####.exr", "out.####.exr", "1-3", ExistingOutputs::Refuse, "key.####.exr"),
         false, "key.####.exr: key image frames missing: 3"},
        {"key sequence for one file", Request("plate.exr", "out.exr", "", ExistingOutputs::Refuse, "key.####.exr"), true,
         "a key image sequence needs a source sequence"},
        {"output is the source", Request("in.####.exr", "./in.####.exr", "1"), true,
         "./in.0001.exr: the output would replace the source"},
        {"output is the source through a link", Request("plate.exr", "link.exr"), true,
         "link.exr: the output would replace the source"},
        {"output is the key image", Request("plate.exr", "k.exr", "", ExistingOutputs::Refuse, "k.exr"), true,
         "k.exr: the output would replace the key image"},
        {"no folder for the outputs: named once, whatever the policy",
         Request("in.####.exr", "gone/out.####.exr", "1-3", ExistingOutputs::Resume), false,
         "output folder missing (create it first):\n  gone"},
        {"no folder for the preview, even under --resume",
         Request("plate.exr", "new.exr", "", ExistingOutputs::Resume, "", "gone/sheet.png"), false,
         "output folder missing (create it first):\n  gone"},
        {"an existing output", Request("plate.exr", "same.exr"), false,
         "output exists (use --overwrite to replace or --resume to skip):\n  same.exr"},
        {"many existing outputs: ten named, the rest counted", Request("long.####.exr", "full.####.exr"), false,
         "output exists (use --overwrite to replace or --resume to skip):\n  full.0001.exr\n  full.0002.exr\n"
         "  full.0003.exr\n  full.0004.exr\n  full.0005.exr\n  full.0006.exr\n  full.0007.exr\n  full.0008.exr\n"
         "  full.0009.exr\n  full.0010.exr\n  and 2 more"},
        {"resume never takes another run's output for its own",
         Request("in.####.exr", "other.####.exr", "1", ExistingOutputs::Resume), false,
         "output keyed with other settings (use --overwrite to replace):\n  other.0001.exr"},
        {"a folder under an output's name", Request("in.####.exr", "folder.####.exr", "1", ExistingOutputs::Overwrite),
         false, "output exists (use --overwrite to replace or --resume to skip):\n  folder.0001.exr (not a plain file)"},
        {"an existing preview", Request("in.####.exr", "out.####.exr", "1", ExistingOutputs::Refuse, "", "sheet.png"),
         false, "output exists (use --overwrite to replace or --resume to skip):\n  sheet.png"},
        {"the preview is the source", Request("plate.exr", "out.exr", "", ExistingOutputs::Overwrite, "", "link.exr"),
         true, "link.exr: the output would replace the source"},
        {"the preview is the key image", Request("plate.exr", "out.exr", "", ExistingOutputs::Overwrite, "k.png", "k.png"),
         true, "k.png: the output would replace the key image"},
        {"the preview is an output", Request("in.####.exr", "o.####.png", "1-3", ExistingOutputs::Overwrite, "", "o.0002.png"),
         true, "o.0002.png: the preview would replace an output of this run"},
        {"a vast range over a short sequence lists a few runs and counts the rest",
         Request("in.####.exr", "out.####.exr", "0-2000000000"), false,
         "in.####.exr: source frames missing: 0, 4, 8, 10-2000000000 (--allow-gaps keys the frames that exist)"},
        {"many gaps: five runs named, the frames of the rest counted", Request("sparse.####.exr", "x.####.exr", "1-15"),
         false, "sparse.####.exr: source frames missing: 1, 3, 5, 7, 9 and 3 more (--allow-gaps keys the frames that exist)"},
    };
    ExpectRefusals(cases, disk);
}

TEST(JobPlan, TheLargestFrameNumberEndsTheRangeWithoutOverflow)
{
    DescribedDisk disk;
    disk.Sequences["in.#.exr"] = {2147483646, 2147483647};
    const KeyJob job = PlanKeyJob(Request("in.#.exr", "out.#.exr", "2147483646-2147483647"), disk.View());
    EXPECT_EQ(job.Frames, (std::vector<int>{2147483646, 2147483647}));
}

TEST(JobPlan, GapsAndThePreviewFrameWhenAsked)
{
    DescribedDisk disk;
    disk.Sequences["in.####.exr"] = {1, 2, 3, 5, 6, 9};
    JobRequest gaps = Request("in.####.exr", "out.####.exr", "2-8");
    gaps.AllowGaps = true;
    EXPECT_EQ(PlanKeyJob(gaps, disk.View()).Frames, (std::vector<int>{2, 3, 5, 6}));
    gaps.PreviewFrame = 5;
    EXPECT_EQ(PlanKeyJob(gaps, disk.View()).PreviewFrame, 5);

    gaps.PreviewFrame = 4;  // a gap: nothing to show
    try {
        PlanKeyJob(gaps, disk.View());
        ADD_FAILURE() << "a preview of a frame that is not keyed";
    } catch (const UsageError& error) {
        EXPECT_STREQ(error.what(), "--preview-frame 4: not one of the frames keyed (2-3, 5-6)");
    }
    JobRequest none = Request("in.####.exr", "out.####.exr", "10-20");
    none.AllowGaps = true;
    try {
        PlanKeyJob(none, disk.View());
        ADD_FAILURE() << "a range with no frames at all";
    } catch (const Failure& error) {
        EXPECT_STREQ(error.what(), "in.####.exr: no frames of the source sequence in 10-20");
    }
}

// A movie source counts its frames from 1; a movie output is one file for every frame.
JobRequest Movie(std::string source, std::string output, int sourceFrames, bool movieOutput, std::string frames = "",
                 ExistingOutputs existing = ExistingOutputs::Refuse, std::string preview = "")
{
    JobRequest request = Request(std::move(source), std::move(output), std::move(frames), existing, "", std::move(preview));
    request.MovieFrames = sourceFrames;
    request.MovieOutput = movieOutput;
    return request;
}

TEST(JobPlan, MoviesInAndOut)
{
    DescribedDisk disk;
    disk.Sequences["in.####.exr"] = {7, 8, 9};
    disk.Files = {"old.mov"};
    struct MovieCase {
        const char* What;
        JobRequest Asked;
        std::vector<int> Frames;
        bool Replace;
    };
    const MovieCase planned[] = {
        {"every frame of a movie into a sequence", Movie("in.mp4", "out.####.exr", 4, false), {1, 2, 3, 4}, false},
        {"a range of a movie into a movie", Movie("in.mp4", "out.mov", 10, true, "3-5"), {3, 4, 5}, false},
        {"the last frame alone", Movie("in.mp4", "out.webm", 10, true, "10"), {10}, false},
        {"a sequence into a movie", Movie("in.####.exr", "out.mov", 0, true), {7, 8, 9}, false},
        {"one image into a movie", Movie("plate.exr", "out.mov", 0, true), {0}, false},
        {"an existing movie replaced when asked", Movie("in.mp4", "old.mov", 2, true, "", ExistingOutputs::Overwrite),
         {1, 2}, true},
    };
    for (const MovieCase& c : planned) {
        const KeyJob job = PlanKeyJob(c.Asked, disk.View());
        EXPECT_EQ(job.Frames, c.Frames) << c.What;
        EXPECT_EQ(job.ReplaceMovie, c.Replace) << c.What;
        EXPECT_EQ(job.MovieOutput, c.Asked.MovieOutput) << c.What;
        EXPECT_EQ(job.PreviewFrame, c.Frames.front()) << c.What;
    }

    const RefusalCase refused[] = {
        {"a movie into one image", Movie("in.mp4", "out.exr", 4, false), true,
         "a movie source needs an output sequence pattern (e.g. out.####.exr) or a movie (.mov, .webm), not \"out.exr\""},
        {"a movie's name with a frame number", Movie("in.mp4", "out.####.mov", 4, true), true,
         "\"out.####.mov\": a movie is one file; its name holds no frame number"},
        {"resume into a movie", Movie("in.####.exr", "out.mov", 0, true, "", ExistingOutputs::Resume), true,
         "--resume: a movie is written whole and put in place at the end; key it again with --overwrite"},
        {"frame 0 of a movie", Movie("in.mp4", "out.mov", 4, true, "0-2"), false,
         "in.mp4: the movie holds frames 1-4, not all of 0-2"},
        {"past a movie's end", Movie("in.mp4", "out.mov", 4, true, "3-5"), false,
         "in.mp4: the movie holds frames 1-4, not all of 3-5"},
        {"an existing movie kept", Movie("in.mp4", "old.mov", 4, true), false,
         "output exists (use --overwrite to replace or --resume to skip):\n  old.mov"},
        {"a movie output over its source", Movie("in.mov", "in.mov", 4, true, "", ExistingOutputs::Overwrite), true,
         "in.mov: the output would replace the source"},
        {"the preview over the movie", Movie("in.mp4", "out.mov", 4, true, "", ExistingOutputs::Refuse, "out.mov"),
         true, "out.mov: the preview would replace an output of this run"},
    };
    ExpectRefusals(refused, disk);
}

}  // namespace
}  // namespace qualvex
