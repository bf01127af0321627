// What the movie reader and writer share of FFmpeg's libraries.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace qualvex {

enum class VideoMatrix;  // movie_reader.h

// Owners of the libraries' objects.
struct FreeCodec {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FreePacket {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FreeFrame {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreeScaler {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// The scaler's coefficient set for a YUV matrix (SWS_CS_...).
int SwsMatrix(VideoMatrix matrix);

// FFmpeg's message for one of its negative error codes.
std::string AvErrorText(int code);

// The libraries report errors only: their informational lines (encoder versions, stream notes)
// would mix with qualvex's own messages.
void QuietCodecLibraries();

}  // namespace qualvex
