// Puts keyed frames' files in place on a thread of its own, in the order they are handed over: the
// flush to disk of one frame waits there while the workers key the next. A frame counts as written
// only once its file is on disk under its name.
#pragma once

#include "media/atomic_writer.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace qualvex {

class OutputCommits {
public:
    // At most `mostWaiting` files wait at once (each an open file and its unflushed pages); Hand
    // blocks beyond that.
    explicit OutputCommits(std::size_t mostWaiting);
    // Puts in place whatever still waits (its failures unreported: call Finish to hear them).
    ~OutputCommits();
    OutputCommits(const OutputCommits&) = delete;
    OutputCommits& operator=(const OutputCommits&) = delete;

    // Queues `file`; `done` runs once it is in place. Throws the first failure of an earlier file
    // instead, so that the run stops handing out frames. Without a thread of its own (the system
    // refused one) the file is put in place at once.
    void Hand(EncodedFile file, std::function<void()> done);
    // Waits until every file handed over is in place (or has failed); throws the first failure.
    void Finish();
    // Files put in place so far.
    std::size_t Committed();

private:
    struct Waiting {
        EncodedFile File;
        std::function<void()> Done;
    };
    void Run();
    void Commit(Waiting& waiting);
    void Stop();

    const std::size_t m_MostWaiting;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::deque<Waiting> m_Waiting;
    bool m_Busy = false;  // a file taken off the queue is being put in place
    bool m_Stopping = false;
    bool m_NoThread = false;
    std::size_t m_Committed = 0;
    std::exception_ptr m_Failure;
    std::thread m_Thread;
};

}  // namespace qualvex
