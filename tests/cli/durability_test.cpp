// Nothing is reported written before it is on disk: every output goes into a temporary file beside
// its name, which is flushed to the disk (fsync) before it takes the output's name, and then the
// folder that holds the name is flushed too. Observed from outside with strace on the installed
// program, for each kind of file qualvex writes: a keyed image, a settings file from fit, a movie.
#include "support/qualvex_program.h"

#include <fstream>
#include <sstream>

namespace qualvex::testing {
namespace {

struct Calls {
    std::vector<std::string> Lines;  // the traced calls, in the order they returned
};

Calls ReadTrace(const std::filesystem::path& log)
{
    Calls calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find("resumed>") == std::string::npos && line.find("<unfinished") == std::string::npos &&
            line.find("= 0") != std::string::npos)
            calls.Lines.push_back(line);
    return calls;
}

// The place in `calls` of the first line from `from` on holding all of `parts`; -1 when none does.
int Find(const Calls& calls, const std::vector<std::string>& parts, std::size_t from = 0)
{
    for (std::size_t i = from; i < calls.Lines.size(); ++i) {
        bool all = true;
        for (const std::string& part : parts)
            all = all && calls.Lines[i].find(part) != std::string::npos;
        if (all)
            return static_cast<int>(i);
    }
    return -1;
}

TEST_F(QualvexCommand, EveryOutputIsOnDiskBeforeItTakesItsNameAndItsNameAfter)
{
    if (std::system("strace -V >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is needed to watch the program's calls (scripts/install-deps.sh --tests installs it)";
    WriteImage(P("plate.exr"), 16, 8, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(16, 8, 4));
    const bool movies = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
    const struct {
        const char* Output;
        std::vector<std::string> Args;
    } cases[] = {
        {"keyed.exr", With({"key", "plate.exr", "-o", "keyed.exr", "-q"}, kKey)},
        {"shot.json", {"fit", "plate.exr", "--screen", "0,0,2,8", "--subject", "14,0,2,8", "-o", "shot.json"}},
        {"keyed.mov", With({"key", "plate.exr", "-o", "keyed.mov", "-q"}, kKey)},
    };
    for (const auto& c : cases) {
        if (!movies && std::string(c.Output) == "keyed.mov")
            continue;
        const std::filesystem::path log = P(std::string(c.Output) + ".trace");
        // The leak checker of a sanitizer build cannot run under ptrace: off for this run only.
        const RunResult run = Run(c.Args, "ASAN_OPTIONS=detect_leaks=0 strace -f -y -qq "
                                          "-e trace=fsync,fdatasync,rename,renameat,renameat2,link,linkat "
                                          "-o '" + log.string() + "' ");
        ASSERT_EQ(run.ExitCode, 0) << c.Output << ": " << run.Err;
        const Calls calls = ReadTrace(log);
        // The call that gives the output its name, from the temporary file beside it.
        std::string quoted = "\"";
        quoted += c.Output;
        quoted += '"';
        const int named = Find(calls, {quoted});
        ASSERT_GE(named, 0) << c.Output << ": no rename or link to it in\n" << Slurp(log);
        const std::string& naming = calls.Lines[static_cast<std::size_t>(named)];
        const std::size_t open = naming.find(", \"");
        ASSERT_NE(open, std::string::npos) << naming;
        const std::string temporary = naming.substr(open + 3, naming.find('"', open + 3) - open - 3);
        EXPECT_NE(temporary, c.Output) << naming;
        // Its data flushed before that, through a descriptor of the temporary file.
        const int flushed = Find(calls, {"sync(", "/" + temporary + ">"});
        ASSERT_GE(flushed, 0) << c.Output << ": the temporary " << temporary << " is never flushed:\n" << Slurp(log);
        EXPECT_LT(flushed, named) << c.Output << ": named before it is on disk:\n" << Slurp(log);
        // Then the folder, whose entry holds the name.
        std::string where = "<";
        where += std::filesystem::canonical(m_Dir).string();
        where += ">)";
        const int folder = Find(calls, {"sync(", where}, static_cast<std::size_t>(named) + 1);
        EXPECT_GT(folder, named) << c.Output << ": its folder is not flushed after it is named:\n" << Slurp(log);
        EXPECT_TRUE(std::filesystem::exists(P(c.Output)));
    }
}

}  // namespace
}  // namespace qualvex::testing
