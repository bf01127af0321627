#include "host/debug_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace host {
namespace {

std::mutex g_SinkMutex;
DebugSink g_Sink;

bool DebugToStandardError()
{
    const char* flag = std::getenv("QUALVEX_HOST_DEBUG");
    return flag != nullptr && *flag != '\0' && std::strcmp(flag, "0") != 0;
}

}  // namespace

void DebugLog(const std::string& message)
{
    std::lock_guard lock(g_SinkMutex);
    if (g_Sink) {
        g_Sink(message);
        return;
    }
    static const bool toStandardError = DebugToStandardError();
    if (toStandardError)
        std::fprintf(stderr, "qualvex host: %s\n", message.c_str());
}

DebugSink SetDebugSink(DebugSink sink)
{
    std::lock_guard lock(g_SinkMutex);
    return std::exchange(g_Sink, std::move(sink));
}

}  // namespace host
