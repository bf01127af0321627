#include "media/movie_codec.h"

#include "media/movie_reader.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <mutex>

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

void QuietCodecLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}  // namespace qualvex
