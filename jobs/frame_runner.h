// Renders the frames of a job on several threads at once: frames are handed out in order, one
// worker per tool instance; the first failure, Ctrl-C or a termination request stops handing
// out new frames, the frames in flight finish, and every thread is joined before it returns.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace qualvex {

struct FrameRunnerOptions {
    // Workers wanted; the calling thread is worker 0, each other worker gets a thread.
    std::size_t Workers = 1;
    // Stop on SIGINT and SIGTERM (their previous handlers are back when the run ends).
    bool StopOnSignals = true;
    // Starts a thread for a worker; may throw std::system_error as std::thread does when the
    // system has no thread to give. Replaceable so tests can refuse threads.
    std::function<std::thread(std::function<void()>)> StartThread = [](std::function<void()> body) {
        return std::thread(std::move(body));
    };
};

struct FrameRunnerResult {
    std::size_t FramesDone = 0;
    std::size_t WorkersStarted = 0;  // including the calling thread
    bool Stopped = false;            // a stop request ended the run before every frame was done
};

// Calls `renderFrame(worker, index)` once for each index in [0, count) until done or stopped.
// A worker whose thread cannot be started is left out with a warning: the others take its
// frames. The first exception a frame throws is rethrown once every thread is joined.
FrameRunnerResult RunFrames(std::size_t count, const std::function<void(std::size_t worker, std::size_t index)>& renderFrame,
                            const FrameRunnerOptions& options);

}  // namespace qualvex
