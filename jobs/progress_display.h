// Progress of a keying run on standard error: a line redrawn in place on a terminal (frames done
// of total, frames per second, time left), plain periodic lines otherwise, nothing when quiet.
#pragma once

#include <chrono>
#include <mutex>

namespace qualvex {

class ProgressDisplay {
public:
    ProgressDisplay(int total, bool quiet);
    void FrameDone();
    void Finish();

private:
    void Print(bool final);

    std::mutex m_Mutex;
    int m_Total;
    int m_Done = 0;
    bool m_Quiet;
    bool m_Terminal;
    std::chrono::steady_clock::time_point m_Start;
    std::chrono::steady_clock::time_point m_LastLine;
};

}  // namespace qualvex
