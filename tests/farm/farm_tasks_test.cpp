// How a job becomes farm tasks, and what the manager says of them: chunks, the files beside the
// outputs, and Slurm's lines for each task's state.
#include "farm/farm_scheduler.h"
#include "farm/farm_tasks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace qualvex {
namespace {

TEST(FarmChunks, RunsOfConsecutiveFramesTheLastOneShorter)
{
    const struct {
        std::vector<int> Frames;
        std::size_t Chunk;
        std::vector<std::pair<int, int>> Expected;
    } cases[] = {
        {{1, 2, 3, 4, 5, 6}, 2, {{1, 2}, {3, 4}, {5, 6}}},
        {{1, 2, 3, 4, 5}, 2, {{1, 2}, {3, 4}, {5, 5}}},
        {{10, 11, 12}, 6, {{10, 12}}},
        {{1, 2, 5, 6, 7}, 2, {{1, 2}, {5, 6}, {7, 7}}},  // a gap (--allow-gaps) stays inside a chunk's range
        {{0}, 1, {{0, 0}}},
        {{}, 4, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChunksOf(c.Frames, c.Chunk), c.Expected) << c.Chunk;
}

TEST(FarmFiles, AreNamedAfterTheOutputPatternBesideIt)
{
    EXPECT_EQ(FrozenSettingsFile("/shows/a/keyed.####.exr"), "/shows/a/keyed.qualvex-farm.json");
    EXPECT_EQ(JobDescriptionFile("/shows/a/keyed.%04d.exr"), "/shows/a/keyed.qualvex-farm-job.json");
    EXPECT_EQ(TaskLogFolder("/shows/a/####.exr"), "/shows/a/frames.qualvex-farm-logs");
}

TEST(SlurmJobLines, GiveEachTasksStateAndTheJobsDescription)
{
    const std::string text =
        "JobId=7 ArrayJobId=7 ArrayTaskId=4-5,8 JobName=qualvex-keyed JobState=PENDING Reason=Resources "
        "Comment=/shows/my%20show/keyed.qualvex-farm-job.json StdErr=/x\n"
        "JobId=9 ArrayJobId=7 ArrayTaskId=1 JobState=RUNNING Comment=/shows/my%20show/keyed.qualvex-farm-job.json\n"
        "JobId=8 ArrayJobId=7 ArrayTaskId=0 JobState=COMPLETED Comment=x\n"
        "JobId=10 ArrayJobId=7 ArrayTaskId=2 JobState=CANCELLED Comment=x\n"
        "JobId=11 ArrayJobId=7 ArrayTaskId=3 JobState=FAILED Comment=x\n"
        "JobId=12 ArrayJobId=7 ArrayTaskId=6 JobState=TIMEOUT Comment=x\n"
        "JobId=13 ArrayJobId=7 ArrayTaskId=7 JobState=COMPLETING Comment=x\n";
    const JobStatus status = ParseSlurmJobLines(text);
    EXPECT_EQ(status.Description, "/shows/my show/keyed.qualvex-farm-job.json");
    const TaskState expected[] = {TaskState::Done,   TaskState::Running, TaskState::Cancelled,
                                  TaskState::Failed, TaskState::Pending, TaskState::Pending,
                                  TaskState::Failed, TaskState::Running, TaskState::Pending};
    ASSERT_EQ(status.Tasks.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(status.Tasks[i].Task, i);
        EXPECT_EQ(status.Tasks[i].State, expected[i]) << "task " << i;
    }
}

// The job's description travels on an unquoted #SBATCH line and comes back from Slurm's one-line
// output, where spaces end a field: every character a reader there could take as quoting or as
// the end of the value is written as %XX, and read back as it was.
TEST(SlurmJobLines, CarryADescriptionWithQuotesSpacesAndBackslashesIntact)
{
    const std::string description = "/shows/it's \"here\"\\now 100%/keyed.qualvex-farm-job.json";
    ArrayJobRequest job;
    job.Name = "qualvex-keyed";
    job.Commands = {"true"};
    job.Tasks = {0};
    job.LogFolder = "/shows/logs";
    job.Description = description;
    const std::string script = MakeSlurmScheduler()->Script(job);
    const std::string line = "#SBATCH --comment=";
    const std::size_t at = script.find(line);
    ASSERT_NE(at, std::string::npos) << script;
    const std::string value = script.substr(at + line.size(), script.find('\n', at) - at - line.size());
    EXPECT_EQ(value, "/shows/it%27s%20%22here%22%5Cnow%20100%25/keyed.qualvex-farm-job.json");
    const JobStatus status = ParseSlurmJobLines("JobId=7 ArrayJobId=7 ArrayTaskId=0 JobState=PENDING Comment=" + value +
                                                " StdErr=/x\n");
    EXPECT_EQ(status.Description, description);
    // A stray % that starts no code is kept as it is.
    EXPECT_EQ(ParseSlurmJobLines("JobId=7 ArrayJobId=7 ArrayTaskId=0 JobState=PENDING Comment=a%zzb%4\n").Description,
              "a%zzb%4");
}

// The words a POSIX shell makes of `line`, as bash parses it (NUL-separated by printf).
std::vector<std::string> ShellWords(const std::string& line)
{
    char folder[] = "/tmp/qualvex-farm-words-XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    const std::filesystem::path script = std::filesystem::path(folder) / "words.sh";
    std::ofstream(script) << "set -- " << line << "\nprintf '%s\\0' \"$@\"\n";
    std::vector<std::string> words;
    if (FILE* out = popen(("bash " + script.string()).c_str(), "r")) {
        std::string word;
        for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
            if (c == 0) {
                words.push_back(word);
                word.clear();
            } else {
                word += static_cast<char>(c);
            }
        }
        EXPECT_EQ(pclose(out), 0);
    }
    std::filesystem::remove_all(folder);
    return words;
}

// A task's command reaches the node's shell as the words the submitter meant, whatever its paths
// hold: spaces, quotes, a newline, a dollar sign, a glob.
TEST(TaskCommand, EveryValueReachesTheTaskAsOneWord)
{
    KeyOptions key;
    key.Source = "/shows/my show/plate.####.exr";
    key.Output = "/shows/it's\nhere/$HOME/keyed.####.exr";
    key.KeyImage = "/keys/'quoted' *.exr";
    key.Finish.Garbage = "/mattes/a\"b`c`.exr";
    key.Threads = 2;
    const TaskSettings task{"/opt/q plugins", "/shows/it's\nhere/$HOME/keyed.qualvex-farm.json",
                            "qualvex 1.0.0; Sondrel.plugin 1.0.0.0", true, "half", "8G"};
    std::error_code error;
    const std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
    const std::vector<std::string> expected = {
        program, "--plugin-path", "/opt/q plugins", "key", key.Source, "-o", key.Output, "--settings",
        "/shows/it's\nhere/$HOME/keyed.qualvex-farm.json", "--frames", "5-8", "--resume", "-q", "--require-version",
        "qualvex 1.0.0; Sondrel.plugin 1.0.0.0", "--key-image", key.KeyImage, "--data-type", "half", "--garbage",
        key.Finish.Garbage, "--memory-limit", "8G", "--threads", "2"};
    EXPECT_EQ(ShellWords(TaskCommand(task, key, {5, 8})), expected);

    // A single file takes no frame range; --overwrite replaces instead of resuming.
    key.Overwrite = true;
    const TaskSettings single{"/p", "/f.json", "v", false, "", ""};
    const std::vector<std::string> words = ShellWords(TaskCommand(single, key, {0, 0}));
    EXPECT_EQ(std::count(words.begin(), words.end(), "--frames"), 0);
    EXPECT_EQ(std::count(words.begin(), words.end(), "--overwrite"), 1);
    EXPECT_EQ(std::count(words.begin(), words.end(), "--resume"), 0);
}

TEST(SafeJobName, KeepsLettersDigitsDashesUnderscoresAndDots)
{
    EXPECT_EQ(SafeJobName("/shows/a/keyed.####.exr"), "qualvex-keyed");
    EXPECT_EQ(SafeJobName("/shows/a/my shot$1;x.####.exr"), "qualvex-my_shot_1_x");
    EXPECT_EQ(SafeJobName("/shows/a/####.exr"), "qualvex-frames");
}

}  // namespace
}  // namespace qualvex
