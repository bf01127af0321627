// qualvex farm on the installed program: submit plans as key does and writes the job script;
// verify finds missing, damaged and foreign frames; and, as root on a machine with Slurm, a real
// single-node Slurm keys a sequence in chunks bit for bit as a local run does, and a cancelled task
// is found by verify and completed by submit --resume.
#include "support/qualvex_program.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace qualvex::testing {
namespace {

std::vector<std::string> Sequence(const std::filesystem::path& folder, int frames, int width, int height)
{
    for (int f = 1; f <= frames; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "plate.%04d.exr", f);
        WriteImage(folder / name, width, height, {"R", "G", "B", "A"}, TypeDesc::FLOAT, PlatePixels(width, height, 4, f));
    }
    return {};
}

std::string Frame(const std::string& prefix, int frame)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s.%04d.exr", prefix.c_str(), frame);
    return name;
}

TEST_F(QualvexCommand, FarmSubmitPlansAsKeyDoesAndPrintsTheJobScript)
{
    Sequence(m_Dir, 10, 16, 8);
    const std::string output = P("out").string() + "/keyed.####.exr";
    const RunResult run = Run(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "4", "--partition",
                                    "comp", "--dry-run", "--data-type", "half"},
                                   kKey));
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Out.find("#SBATCH --array=0,1,2\n"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("#SBATCH --partition=\"comp\"\n"), std::string::npos);
    EXPECT_NE(run.Out.find("--frames 1-4 --resume"), std::string::npos);
    EXPECT_NE(run.Out.find("--frames 9-10 --resume"), std::string::npos);
    EXPECT_NE(run.Out.find("--settings '" + P("out").string() + "/keyed.qualvex-farm.json'"), std::string::npos);
    EXPECT_NE(run.Out.find("--require-version 'qualvex "), std::string::npos);
    EXPECT_NE(run.Out.find("--data-type 'half'"), std::string::npos);
    EXPECT_NE(run.Out.find("key '" + P("plate.####.exr").string() + "'"), std::string::npos) << "sources made absolute";
    // A dry run writes nothing.
    EXPECT_FALSE(std::filesystem::exists(P("out")));

    const struct {
        std::vector<std::string> Args;
        int Code;
        const char* Says;
    } refusals[] = {
        {{"farm", "submit", "plate.####.exr", "-o", "out/keyed.####.exr", "--chunk", "4"}, 2, "absolute path"},
        {{"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "0"}, 2, "--chunk"},
        {{"farm", "submit", "plate.####.exr", "-o", output}, 2, "--chunk"},
        {{"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "4", "--frames", "1-12"}, 1,
         "source frames missing: 11-12"},
        {{"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "4", "--preview", "p.png"}, 2, "--preview"},
        {{"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "4", "--set", "Fade=1"}, 2, "unknown control"},
    };
    for (const auto& c : refusals) {
        const RunResult refused = Run(c.Args);
        EXPECT_EQ(refused.ExitCode, c.Code) << c.Says << ": " << refused.Err;
        EXPECT_NE(refused.Err.find(c.Says), std::string::npos) << refused.Err;
    }
}

// The job script runs on every farm node: no value may end one of its lines and start a command.
// A newline anywhere a value reaches the script is refused before anything is planned; any other
// name, however hostile, reaches the task as the path it is. The script of a dry run is run here
// as a node runs it (its first task) on an output folder named to break out if it could.
TEST_F(QualvexCommand, FarmScriptsCarryHostileNamesAsNamesAndRefuseNewlines)
{
    Sequence(m_Dir, 4, 16, 8);
    const std::string newline = P("d\ntouch MARK\n").string() + "/o.####.exr";
    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } refusals[] = {
        {{"farm", "submit", "plate.####.exr", "-o", newline, "--chunk", "1", "--dry-run"}, "-o"},
        {{"farm", "submit", "plate.####.exr", "-o", P("o").string() + "/k.####.exr", "--chunk", "1", "--partition",
          "comp\ntouch MARK", "--dry-run"},
         "--partition"},
        {{"farm", "submit", "plate.####.exr", "-o", P("o").string() + "/k.####.exr", "--chunk", "1", "--compression",
          "zip\rtouch MARK", "--dry-run"},
         "--compression"},
    };
    for (const auto& r : refusals) {
        const RunResult run = Run(With(r.Args, kKey));
        EXPECT_EQ(run.ExitCode, 2) << r.Says << ": " << run.Err;
        EXPECT_NE(run.Err.find(std::string(r.Says) + " \""), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("control character"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out.find("#SBATCH"), std::string::npos) << run.Out;
    }

    // Submitted for real to a stand-in sbatch that keeps the script it is handed; then its second
    // task run as a node runs it.
    const std::filesystem::path folder = P("out dir $(touch MARK) 'q' `touch MARK` ;touch MARK");
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(P("bin"));
    std::ofstream(P("bin/sbatch")) << "#!/bin/sh\ncat > '" << P("handed.sh").string() << "'\necho 77\n";
    std::filesystem::permissions(P("bin/sbatch"), std::filesystem::perms::owner_all);
    const RunResult submitted =
        Run(With({"farm", "submit", "plate.####.exr", "-o", folder.string() + "/keyed.####.exr", "--chunk", "2"}, kKey),
            "PATH='" + P("bin").string() + "':\"$PATH\" ");
    ASSERT_EQ(submitted.ExitCode, 0) << submitted.Err;
    EXPECT_NE(submitted.Out.find("job 77"), std::string::npos) << submitted.Out;
    const std::string script = Slurp(P("handed.sh"));
    EXPECT_NE(script.find("#SBATCH --output=\"" + folder.string() + "/keyed.qualvex-farm-logs/task-%A_%a.log\"\n"),
              std::string::npos)
        << script;
    const int status = std::system(("cd '" + m_Dir.string() + "' && SLURM_ARRAY_TASK_ID=1 bash handed.sh >task.out "
                                    "2>&1 </dev/null").c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << Slurp(P("task.out"));
    for (int frame = 1; frame <= 4; ++frame)
        EXPECT_EQ(std::filesystem::exists(folder / Frame("keyed", frame)), frame >= 3) << "frame " << frame;
    EXPECT_FALSE(std::filesystem::exists(P("MARK")));
    EXPECT_FALSE(std::filesystem::exists(folder / "MARK"));
}

// --resume submits exactly the chunks that still hold a frame to key: the frame missing may be a
// chunk's first or last, and a chunk whose frames are all keyed with these settings is left out.
TEST_F(QualvexCommand, FarmResubmitsOnlyTheChunksWithAFrameLeft)
{
    Sequence(m_Dir, 8, 16, 8);
    std::filesystem::create_directories(P("out"));
    const std::string output = P("out").string() + "/keyed.####.exr";
    const struct {
        std::vector<int> Missing;
        const char* Array;  // the array line of the job script; null: nothing to submit
    } cases[] = {
        {{4}, "#SBATCH --array=0\n"},
        {{5}, "#SBATCH --array=1\n"},
        {{8}, "#SBATCH --array=1\n"},
        {{1, 8}, "#SBATCH --array=0,1\n"},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Run(With({"key", "plate.####.exr", "-o", output, "--overwrite", "-q"}, kKey)).ExitCode, 0);
        for (int frame : c.Missing)
            std::filesystem::remove(P("out") / Frame("keyed", frame));
        const RunResult run =
            Run(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "4", "--resume", "--dry-run"}, kKey));
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        if (c.Array == nullptr) {
            EXPECT_NE(run.Out.find("nothing to submit"), std::string::npos) << run.Out;
        } else {
            EXPECT_NE(run.Out.find(c.Array), std::string::npos) << c.Array << " in\n" << run.Out;
        }
    }
}

TEST_F(QualvexCommand, FarmVerifyListsMissingDamagedAndForeignFrames)
{
    Sequence(m_Dir, 8, 16, 8);
    ASSERT_EQ(Run(With({"key", "plate.####.exr", "-o", "keyed.####.exr", "-q"}, kKey)).ExitCode, 0);
    // Frame 6 keyed again with another Fade, frame 3 removed, frame 4 cut short.
    ASSERT_EQ(Run(With(With({"key", "plate.####.exr", "-o", "keyed.####.exr", "--frames", "6", "--overwrite", "-q"}, kKey),
                       {"--set", "FadeRed=0.5"}))
                  .ExitCode,
              0);
    std::filesystem::remove(P(Frame("keyed", 3)));
    std::filesystem::resize_file(P(Frame("keyed", 4)), std::filesystem::file_size(P(Frame("keyed", 4))) / 2);
    // The settings of the first run, as the record of an image keyed with them.
    ASSERT_EQ(Run(With({"key", "plate.0001.exr", "-o", "ref.exr", "-q"}, kKey)).ExitCode, 0);

    const RunResult run = Run({"farm", "verify", "keyed.####.exr", "--frames", "1-9", "--settings", "ref.exr"});
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_NE(run.Out.find("9 frames: 5 complete, 2 missing, 1 damaged, 1 foreign"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("missing: keyed.0003.exr, keyed.0009.exr"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("damaged (unreadable or cut short): keyed.0004.exr"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("foreign (keyed with other settings, or none): keyed.0006.exr"), std::string::npos) << run.Out;

    const RunResult whole = Run({"farm", "verify", "keyed.####.exr", "--frames", "1-2"});
    EXPECT_EQ(whole.ExitCode, 0) << whole.Out << whole.Err;
    EXPECT_NE(whole.Out.find("2 frames: 2 complete, 0 missing, 0 damaged, 0 foreign"), std::string::npos);
}

// ---- a real Slurm ----------------------------------------------------------------------------

// The id in "qualvex farm: job 12: ...", or empty.
std::string JobIdIn(const std::string& text)
{
    const std::string marker = "qualvex farm: job ";
    const std::size_t at = text.find(marker);
    if (at == std::string::npos)
        return "";
    const std::size_t start = at + marker.size();
    const std::size_t end = text.find_first_not_of("0123456789", start);
    return end == std::string::npos || end == start || text[end] != ':' ? "" : text.substr(start, end - start);
}

std::string Shell(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* pipe = ::popen(("(" + command + ") 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int result = ::pclose(pipe);
    if (status != nullptr)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return out;
}

// A single-node Slurm on this machine for the suite: munge, slurmctld and slurmd from Debian with
// a configuration of the test's own, everything in a temporary folder, root as the Slurm user.
class SlurmFarm : public QualvexCommand {
protected:
    static void SetUpTestSuite()
    {
        if (::geteuid() != 0) {
            s_Skip = "the Slurm end-to-end test brings up slurmctld and slurmd, which needs root";
            return;
        }
        for (const char* program : {"munged", "slurmctld", "slurmd", "sbatch", "scontrol", "scancel", "sinfo"})
            if (Shell(std::string("command -v ") + program).empty()) {
                s_Skip = std::string(program) + " is not installed (Debian: slurm-wlm and munge)";
                return;
            }
        s_Cluster = std::filesystem::path(QUALVEX_TEST_WORK_DIR) / "slurm-cluster";
        std::filesystem::remove_all(s_Cluster);
        for (const char* folder : {"state", "spool", "munge"})
            std::filesystem::create_directories(s_Cluster / folder);
        std::filesystem::permissions(s_Cluster / "munge", std::filesystem::perms::owner_all);
        const std::string c = s_Cluster.string();
        Shell("dd if=/dev/urandom of=" + c + "/munge/munge.key bs=1024 count=1 && chmod 600 " + c + "/munge/munge.key");
        int status = 0;
        const std::string munge = Shell("munged --force --socket=" + c + "/munge/munge.sock --key-file=" + c +
                                            "/munge/munge.key --pid-file=" + c + "/munge/munged.pid --log-file=" + c +
                                            "/munge/munged.log --seed-file=" + c + "/munge/seed",
                                        &status);
        if (status != 0) {
            s_Skip = "munged would not start: " + munge;
            return;
        }
        const std::string host = Shell("hostname -s");
        const std::string node = host.substr(0, host.find('\n'));
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        std::ofstream(s_Cluster / "slurm.conf")
            << "ClusterName=qualvextest\nSlurmctldHost=" << node << "\nSlurmUser=root\nSlurmdUser=root\n"
            << "SlurmctldPort=26817\nSlurmdPort=26818\nAuthType=auth/munge\nCredType=cred/munge\n"
            << "AuthInfo=socket=" << c << "/munge/munge.sock\nStateSaveLocation=" << c << "/state\n"
            << "SlurmdSpoolDir=" << c << "/spool\nSlurmctldPidFile=" << c << "/slurmctld.pid\n"
            << "SlurmdPidFile=" << c << "/slurmd.pid\nSlurmctldLogFile=" << c << "/slurmctld.log\n"
            << "SlurmdLogFile=" << c << "/slurmd.log\nProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
            << "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\n"
            << "JobCompType=jobcomp/none\nSelectType=select/cons_tres\nSelectTypeParameters=CR_CPU\n"
            << "MpiDefault=none\nReturnToService=2\nMinJobAge=3600\n"
            << "NodeName=" << node << " CPUs=" << cores << " State=UNKNOWN\n"
            << "PartitionName=qualvex Nodes=ALL Default=YES MaxTime=INFINITE State=UP\n";
        ::setenv("SLURM_CONF", (s_Cluster / "slurm.conf").c_str(), 1);
        // From here on Slurm is there and this is root: a node that does not come up is a failure,
        // said as soon as it is known, with the daemons' own words.
        const std::string logs = "tail -5 " + c + "/slurmd.log " + c + "/slurmctld.log";
        const std::string started = Shell("slurmctld -c && slurmd", &status);
        if (status != 0) {
            s_Failure = "slurmctld or slurmd would not start: " + started + Shell(logs);
            return;
        }
        for (int i = 0; i < 300; ++i) {
            const std::string state = Shell("sinfo -h -o '%T %E'");
            if (state.find("idle") != std::string::npos)
                return;
            for (const char* daemon : {"slurmctld", "slurmd"})
                if (!Running(s_Cluster / (std::string(daemon) + ".pid"))) {
                    s_Failure = std::string(daemon) + " stopped while the node was coming up: " + Shell(logs);
                    return;
                }
            if (state.rfind("down", 0) == 0 || state.rfind("drain", 0) == 0 || state.rfind("fail", 0) == 0) {
                s_Failure = "the Slurm node is " + state + Shell(logs);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        s_Failure = "the Slurm node did not come up in 30 s: " + Shell("sinfo; " + logs);
    }

    // Whether the process in `pidFile` is alive; a pid file not yet written counts as alive.
    static bool Running(const std::filesystem::path& pidFile)
    {
        const std::string pid = Shell("cat '" + pidFile.string() + "' 2>/dev/null");
        if (pid.empty() || pid.find_first_not_of("0123456789\n") != std::string::npos)
            return true;
        return ::kill(std::stoi(pid), 0) == 0;
    }

    static void TearDownTestSuite()
    {
        if (s_Cluster.empty())
            return;
        // The jobs this suite submitted, and nobody else's.
        for (const std::string& job : s_Jobs)
            Shell("scancel " + job);
        // Every daemon this suite started, by its pid file.
        for (const char* pidFile : {"slurmd.pid", "slurmctld.pid", "munge/munged.pid"}) {
            const std::string pid = Shell("cat " + (s_Cluster / pidFile).string() + " 2>/dev/null");
            if (pid.empty() || pid.find_first_not_of("0123456789\n") != std::string::npos)
                continue;
            const std::string number = pid.substr(0, pid.find('\n'));
            Shell("kill " + number);
            // Until the process itself is gone: the next suite binds the same ports.
            for (int i = 0; i < 200 && Shell("kill -0 " + number + " && echo up").find("up") == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::unsetenv("SLURM_CONF");
    }

    void SetUp() override
    {
        if (!s_Skip.empty())
            GTEST_SKIP() << s_Skip;
        if (!s_Failure.empty())
            GTEST_FAIL() << s_Failure;
        QualvexCommand::SetUp();
    }

    std::string Submit(const std::vector<std::string>& args)
    {
        const RunResult run = Run(args);
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        const std::string job = JobIdIn(run.Out);
        if (!job.empty())
            s_Jobs.push_back(job);
        return job;
    }

    // Waits until no task of `job` is pending or running; returns the last status line.
    std::string WaitFor(const std::string& job)
    {
        std::string status;
        for (int i = 0; i < 1200; ++i) {
            status = Run({"farm", "status", job}).Out;
            if (status.find(" 0 pending, 0 running") != std::string::npos)
                return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "job " << job << " did not finish: " << status;
        return status;
    }

    // The pixels and settings record of every frame, bit for bit, against a local run's.
    void ExpectSameAsLocal(const std::vector<std::string>& keyOptions, int frames)
    {
        std::filesystem::create_directories(P("local"));
        const RunResult local =
            Run(With({"key", "plate.####.exr", "-o", P("local").string() + "/keyed.####.exr", "-q"}, keyOptions));
        ASSERT_EQ(local.ExitCode, 0) << local.Err;
        for (int f = 1; f <= frames; ++f) {
            const ReadBack farm = ReadImage(P("out") / Frame("keyed", f));
            const ReadBack here = ReadImage(P("local") / Frame("keyed", f));
            ASSERT_EQ(farm.Pixels.size(), here.Pixels.size()) << f;
            EXPECT_EQ(std::memcmp(farm.Pixels.data(), here.Pixels.data(), farm.Pixels.size() * sizeof(float)), 0)
                << "frame " << f;
            EXPECT_EQ(farm.Header.get_string_attribute("qualvex:settings"),
                      here.Header.get_string_attribute("qualvex:settings"))
                << "frame " << f;
            EXPECT_EQ(farm.Header.get_string_attribute("compression"), here.Header.get_string_attribute("compression"));
        }
    }

    static std::string s_Skip;
    static std::string s_Failure;
    static std::vector<std::string> s_Jobs;
    static std::filesystem::path s_Cluster;
};

std::string SlurmFarm::s_Skip;
std::string SlurmFarm::s_Failure;
std::vector<std::string> SlurmFarm::s_Jobs;
std::filesystem::path SlurmFarm::s_Cluster;

TEST_F(SlurmFarm, KeysASequenceInChunksBitForBitAsALocalRun)
{
    Sequence(m_Dir, 24, 64, 32);
    // The output folder does not exist yet: submit makes it (the tasks could not).
    const std::string output = P("out").string() + "/keyed.####.exr";
    const std::string job = Submit(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "6"}, kKey));
    ASSERT_FALSE(job.empty());
    const std::string status = WaitFor(job);
    EXPECT_NE(status.find("4 chunks: 0 pending, 0 running, 4 done"), std::string::npos) << status;
    EXPECT_NE(status.find("frames written: 24 of 24"), std::string::npos) << status;
    ExpectSameAsLocal(kKey, 24);
    const RunResult verify = Run({"farm", "verify", output, "--frames", "1-24"});
    EXPECT_EQ(verify.ExitCode, 0) << verify.Out;
    // Submitted again, nothing is left to key.
    const RunResult again = Run(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "6", "--resume"}, kKey));
    EXPECT_EQ(again.ExitCode, 0) << again.Err;
    EXPECT_NE(again.Out.find("nothing to submit"), std::string::npos) << again.Out;
}

TEST_F(SlurmFarm, ACancelledTaskIsFoundByVerifyAndCompletedByResume)
{
    // Frames large enough, and one at a time per task, that a task is still keying when cancelled.
    Sequence(m_Dir, 24, 640, 480);
    const std::string output = P("out").string() + "/keyed.####.exr";
    std::filesystem::create_directories(P("out"));
    const std::vector<std::string> options = With(kKey, {"--threads", "1"});
    const std::string job = Submit(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "6"}, options));
    ASSERT_FALSE(job.empty());
    // The last chunk (frames 19-24) is cancelled once its first frame is written.
    for (int i = 0; i < 6000 && !std::filesystem::exists(P("out") / Frame("keyed", 19)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Shell("scancel " + job + "_3");
    WaitFor(job);
    std::vector<int> missing;
    for (int f = 1; f <= 24; ++f)
        if (!std::filesystem::exists(P("out") / Frame("keyed", f)))
            missing.push_back(f);
    ASSERT_FALSE(missing.empty()) << "the last chunk finished before it could be cancelled";
    for (int f : missing)
        EXPECT_GT(f, 19) << "only the cancelled chunk's frames are missing";

    const RunResult verify = Run({"farm", "verify", output, "--frames", "1-24"});
    EXPECT_EQ(verify.ExitCode, 1);
    EXPECT_NE(verify.Out.find(std::to_string(24 - missing.size()) + " complete, " + std::to_string(missing.size()) +
                              " missing, 0 damaged, 0 foreign"),
              std::string::npos)
        << verify.Out;
    EXPECT_NE(verify.Out.find("missing: " + Frame("keyed", missing.front())), std::string::npos) << verify.Out;

    const RunResult resumed =
        Run(With({"farm", "submit", "plate.####.exr", "-o", output, "--chunk", "6", "--resume"}, options));
    ASSERT_EQ(resumed.ExitCode, 0) << resumed.Err;
    EXPECT_NE(resumed.Out.find("1 of 4 chunks"), std::string::npos) << resumed.Out;
    const std::string resumedJob = JobIdIn(resumed.Out);
    ASSERT_FALSE(resumedJob.empty()) << resumed.Out;
    s_Jobs.push_back(resumedJob);
    const std::string status = WaitFor(resumedJob);
    EXPECT_NE(status.find("1 chunks: 0 pending, 0 running, 1 done"), std::string::npos) << status;
    EXPECT_EQ(Run({"farm", "verify", output, "--frames", "1-24"}).ExitCode, 0);
    ExpectSameAsLocal(options, 24);
}

}  // namespace
}  // namespace qualvex::testing
