// The frame runner: every frame once, the first failure stops the run and comes back after every
// thread is joined, a stop request keeps what is done, a thread that cannot start is left out.
#include "jobs/frame_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qualvex {
namespace {

struct Calls {
    std::mutex Mutex;
    std::vector<int> TimesRendered = std::vector<int>(64, 0);
    std::vector<std::size_t> Workers;

    void Record(std::size_t worker, std::size_t index)
    {
        std::lock_guard lock(Mutex);
        ++TimesRendered.at(index);
        Workers.push_back(worker);
    }
};

TEST(FrameRunner, RendersEveryFrameOnceWhateverTheWorkerCount)
{
    for (std::size_t workers : {1u, 2u, 3u, 8u}) {
        Calls calls;
        FrameRunnerOptions options;
        options.Workers = workers;
        options.StopOnSignals = false;
        const FrameRunnerResult result =
            RunFrames(40, [&](std::size_t worker, std::size_t index) { calls.Record(worker, index); }, options);
        EXPECT_EQ(result.FramesDone, 40u) << workers;
        EXPECT_EQ(result.WorkersStarted, workers);
        EXPECT_FALSE(result.Stopped);
        for (std::size_t i = 0; i < 40; ++i)
            EXPECT_EQ(calls.TimesRendered[i], 1) << "frame " << i << " with " << workers << " workers";
        for (std::size_t worker : calls.Workers)
            EXPECT_LT(worker, workers);
    }
}

TEST(FrameRunner, TheFirstFailureStopsHandingOutFramesAndIsRethrownAfterJoining)
{
    for (std::size_t workers : {1u, 3u}) {
        Calls calls;
        FrameRunnerOptions options;
        options.Workers = workers;
        options.StopOnSignals = false;
        try {
            RunFrames(
                64,
                [&](std::size_t worker, std::size_t index) {
                    calls.Record(worker, index);
                    if (index == 5)
                        throw std::runtime_error("frame 5 is damaged");
                },
                options);
            ADD_FAILURE() << "the failure did not come back with " << workers << " workers";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "frame 5 is damaged");
        }
        for (int times : calls.TimesRendered)
            EXPECT_LE(times, 1);
        EXPECT_EQ(calls.TimesRendered[5], 1);
        if (workers == 1) {
            // Alone, the worker stops at the failing frame: nothing after it is started.
            int rendered = 0;
            for (int times : calls.TimesRendered)
                rendered += times;
            EXPECT_EQ(rendered, 6);
        }
    }
}

TEST(FrameRunner, InterruptKeepsTheFramesDoneAndStartsNoNewOne)
{
    for (int signal : {SIGINT, SIGTERM}) {
        Calls calls;
        FrameRunnerOptions options;
        options.Workers = 1;
        const FrameRunnerResult result = RunFrames(
            10,
            [&](std::size_t worker, std::size_t index) {
                calls.Record(worker, index);
                if (index == 2)
                    std::raise(signal);  // arrives while frame 2 is in flight
            },
            options);
        EXPECT_TRUE(result.Stopped) << signal;
        EXPECT_EQ(result.FramesDone, 3u) << "the frame in flight finishes";
        EXPECT_EQ(calls.TimesRendered[3], 0);
    }
    // The handlers are gone with the run: the previous ones are back.
    struct sigaction current {};
    sigaction(SIGINT, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST(FrameRunner, AThreadThatCannotStartIsLeftOutAndTheOthersDoItsFrames)
{
    Calls calls;
    FrameRunnerOptions options;
    options.Workers = 4;
    options.StopOnSignals = false;
    int started = 0;
    options.StartThread = [&started](std::function<void()> body) {
        if (++started >= 2)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    };
    const FrameRunnerResult result =
        RunFrames(20, [&](std::size_t worker, std::size_t index) { calls.Record(worker, index); }, options);
    EXPECT_EQ(result.WorkersStarted, 2u);
    EXPECT_EQ(result.FramesDone, 20u);
    for (std::size_t i = 0; i < 20; ++i)
        EXPECT_EQ(calls.TimesRendered[i], 1) << i;
    for (std::size_t worker : calls.Workers)
        EXPECT_LT(worker, 2u);
}

TEST(FrameRunner, NoFramesIsANormalEnd)
{
    FrameRunnerOptions options;
    options.StopOnSignals = false;
    const FrameRunnerResult result = RunFrames(0, [](std::size_t, std::size_t) { FAIL(); }, options);
    EXPECT_EQ(result.FramesDone, 0u);
    EXPECT_FALSE(result.Stopped);
}

}  // namespace
}  // namespace qualvex
