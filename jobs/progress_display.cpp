#include "jobs/progress_display.h"

#include <unistd.h>

#include <cstdio>

namespace qualvex {

ProgressDisplay::ProgressDisplay(int total, bool quiet)
    : m_Total(total), m_Quiet(quiet), m_Terminal(::isatty(STDERR_FILENO) == 1),
      m_Start(std::chrono::steady_clock::now()), m_LastLine(m_Start)
{
}

void ProgressDisplay::FrameDone()
{
    std::lock_guard lock(m_Mutex);
    ++m_Done;
    const auto now = std::chrono::steady_clock::now();
    // A terminal line is cheap to redraw; a log gets a line every five seconds at most.
    if (m_Terminal || now - m_LastLine >= std::chrono::seconds(5)) {
        m_LastLine = now;
        Print(false);
    }
}

void ProgressDisplay::Finish()
{
    std::lock_guard lock(m_Mutex);
    Print(true);
}

void ProgressDisplay::Print(bool final)
{
    if (m_Quiet || m_Total == 0)
        return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    // No rate before the first second's worth of time has passed.
    const double rate = seconds > 0.0 ? m_Done / seconds : 0.0;
    const double left = rate > 0.0 ? (m_Total - m_Done) / rate : 0.0;
    if (m_Terminal) {
        std::fprintf(stderr, "\r%d/%d frames  %.2f frames/s  %.0f s left   ", m_Done, m_Total, rate, left);
        if (final)
            std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "qualvex: %d/%d frames, %.2f frames/s, %.0f s left\n", m_Done, m_Total, rate, left);
    }
    std::fflush(stderr);
}

}  // namespace qualvex
