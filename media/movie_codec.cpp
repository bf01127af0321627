#include "media/movie_codec.h"

#include "media/movie_reader.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace qualvex {

std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0)
        return "error " + std::to_string(code);
    return text;
}

int SwsMatrix(VideoMatrix matrix)
{
    switch (matrix) {
    case VideoMatrix::Bt601: return SWS_CS_ITU601;
    case VideoMatrix::Bt709: return SWS_CS_ITU709;
    case VideoMatrix::Bt2020: return SWS_CS_BT2020;
    }
    return SWS_CS_ITU709;
}

namespace {

std::mutex g_WatchesLock;
std::vector<DemuxerWatch*> g_Watches;

void LogLine(void* context, int level, const char* format, va_list arguments)
{
    if (level <= AV_LOG_ERROR && context != nullptr) {
        va_list copy;
        va_copy(copy, arguments);
        char line[512] = {};
        int prefix = 0;  // the message alone, without the "[matroska @ 0x...]" prefix
        av_log_format_line2(context, level, format, copy, line, sizeof line, &prefix);
        va_end(copy);
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        DemuxerWatch::Keep(context, text);
    }
    av_log_default_callback(context, level, format, arguments);
}

}  // namespace

void DemuxerWatch::Keep(const void* context, const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_WatchesLock);
    for (DemuxerWatch* watch : g_Watches)
        if (watch->m_Container == context && watch->m_FirstError.empty())
            watch->m_FirstError = line.empty() ? "an unnamed error" : line;
}

void QuietCodecLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_ERROR);
        av_log_set_callback(LogLine);
    });
}

DemuxerWatch::DemuxerWatch(const void* container) : m_Container(container)
{
    QuietCodecLibraries();
    std::lock_guard<std::mutex> lock(g_WatchesLock);
    g_Watches.push_back(this);
}

DemuxerWatch::~DemuxerWatch()
{
    std::lock_guard<std::mutex> lock(g_WatchesLock);
    g_Watches.erase(std::remove(g_Watches.begin(), g_Watches.end(), this), g_Watches.end());
}

std::string DemuxerWatch::FirstError() const
{
    std::lock_guard<std::mutex> lock(g_WatchesLock);
    return m_FirstError;
}

}  // namespace qualvex
