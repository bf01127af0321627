#include "jobs/output_commits.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace qualvex {

OutputCommits::OutputCommits(std::size_t mostWaiting) : m_MostWaiting(std::max<std::size_t>(1, mostWaiting)) {}

OutputCommits::~OutputCommits() { Stop(); }

void OutputCommits::Stop()
{
    {
        const std::lock_guard lock(m_Mutex);
        m_Stopping = true;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
}

void OutputCommits::Commit(Waiting& waiting)
{
    try {
        waiting.File.PutInPlace();
    } catch (...) {
        const std::lock_guard lock(m_Mutex);
        if (!m_Failure)
            m_Failure = std::current_exception();
        return;
    }
    {
        const std::lock_guard lock(m_Mutex);
        ++m_Committed;
    }
    if (waiting.Done)
        waiting.Done();
}

void OutputCommits::Hand(EncodedFile file, std::function<void()> done)
{
    Waiting waiting{std::move(file), std::move(done)};
    {
        std::unique_lock lock(m_Mutex);
        if (m_Failure)
            std::rethrow_exception(m_Failure);
        if (!m_Thread.joinable() && !m_NoThread) {
            try {
                m_Thread = std::thread([this] { Run(); });
            } catch (const std::system_error&) {
                m_NoThread = true;
            }
        }
        if (!m_NoThread) {
            m_Changed.wait(lock, [&] { return m_Waiting.size() < m_MostWaiting; });
            m_Waiting.push_back(std::move(waiting));
            lock.unlock();
            m_Changed.notify_all();
            return;
        }
    }
    Commit(waiting);
    const std::lock_guard lock(m_Mutex);
    if (m_Failure)
        std::rethrow_exception(m_Failure);
}

void OutputCommits::Run()
{
    std::unique_lock lock(m_Mutex);
    for (;;) {
        m_Changed.wait(lock, [&] { return !m_Waiting.empty() || m_Stopping; });
        if (m_Waiting.empty())
            return;
        Waiting waiting = std::move(m_Waiting.front());
        m_Waiting.pop_front();
        m_Busy = true;
        lock.unlock();
        m_Changed.notify_all();
        Commit(waiting);
        lock.lock();
        m_Busy = false;
        m_Changed.notify_all();
    }
}

void OutputCommits::Finish()
{
    std::unique_lock lock(m_Mutex);
    m_Changed.wait(lock, [&] { return m_Waiting.empty() && !m_Busy; });
    if (m_Failure)
        std::rethrow_exception(m_Failure);
}

std::size_t OutputCommits::Committed()
{
    const std::lock_guard lock(m_Mutex);
    return m_Committed;
}

}  // namespace qualvex
