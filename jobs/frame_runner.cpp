#include "jobs/frame_runner.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace qualvex {
namespace {

std::atomic<bool> g_StopRequested{false};

extern "C" void RequestStop(int) { g_StopRequested = true; }

// While it lives, Ctrl-C or a termination request sets the stop flag instead of ending the
// process, so that the frames in flight finish and are renamed into place.
class StopOnSignal {
public:
    explicit StopOnSignal(bool active) : m_Active(active)
    {
        if (!m_Active)
            return;
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &m_PreviousInterrupt);
        sigaction(SIGTERM, &action, &m_PreviousTerminate);
    }
    ~StopOnSignal()
    {
        if (!m_Active)
            return;
        sigaction(SIGINT, &m_PreviousInterrupt, nullptr);
        sigaction(SIGTERM, &m_PreviousTerminate, nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    bool m_Active;
    struct sigaction m_PreviousInterrupt {};
    struct sigaction m_PreviousTerminate {};
};

// Joins every started thread on the way out, also when starting a later one throws.
class ThreadGroup {
public:
    ~ThreadGroup()
    {
        for (auto& thread : m_Threads)
            if (thread.joinable())
                thread.join();
    }
    void Add(std::thread thread) { m_Threads.push_back(std::move(thread)); }
    void JoinAll()
    {
        for (auto& thread : m_Threads)
            thread.join();
        m_Threads.clear();
    }

private:
    std::vector<std::thread> m_Threads;
};

}  // namespace

FrameRunnerResult RunFrames(std::size_t count, const std::function<void(std::size_t, std::size_t)>& renderFrame,
                            const FrameRunnerOptions& options)
{
    g_StopRequested = false;
    const StopOnSignal stopOnSignal(options.StopOnSignals);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex failureMutex;
    std::exception_ptr failure;

    auto work = [&](std::size_t worker) {
        while (!g_StopRequested) {
            const std::size_t index = next++;
            if (index >= count)
                return;
            try {
                renderFrame(worker, index);
                ++done;
            } catch (...) {
                std::lock_guard lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                g_StopRequested = true;
                return;
            }
        }
    };

    FrameRunnerResult result;
    result.WorkersStarted = 1;
    {
        ThreadGroup threads;
        const std::size_t workers = options.Workers == 0 ? 1 : options.Workers;
        for (std::size_t worker = 1; worker < workers; ++worker) {
            try {
                threads.Add(options.StartThread([&work, worker] { work(worker); }));
                ++result.WorkersStarted;
            } catch (const std::system_error& error) {
                std::fprintf(stderr, "qualvex: warning: cannot start a thread for worker %zu (%s); continuing with %zu\n",
                             worker, error.what(), result.WorkersStarted);
                break;
            } catch (...) {
                g_StopRequested = true;  // the started workers end after their current frame
                throw;
            }
        }
        work(0);
        threads.JoinAll();
    }
    if (failure)
        std::rethrow_exception(failure);
    result.FramesDone = done;
    result.Stopped = done < count;
    return result;
}

}  // namespace qualvex
