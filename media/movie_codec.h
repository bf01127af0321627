// What the movie reader and writer share of FFmpeg's libraries.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
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
struct CloseInput {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

// The scaler's coefficient set for a YUV matrix (SWS_CS_...).
int SwsMatrix(VideoMatrix matrix);

// FFmpeg's message for one of its negative error codes.
std::string AvErrorText(int code);

// The libraries report errors only: their informational lines (encoder versions, stream notes)
// would mix with qualvex's own messages.
void QuietCodecLibraries();

// Damage a demuxer reports only in its log: after a cut-short file or a stretch it cannot parse,
// it skips what it cannot read and then answers "end of file" as it does at a clean end. While a
// watch is held on a container, the first error the libraries log for it is kept (and still
// printed). Watches may be held by several threads, on different containers.
class DemuxerWatch {
public:
    explicit DemuxerWatch(const void* container);
    ~DemuxerWatch();
    DemuxerWatch(const DemuxerWatch&) = delete;
    DemuxerWatch& operator=(const DemuxerWatch&) = delete;

    // The first error logged for the container since the watch began; empty when none.
    std::string FirstError() const;

    // Called by the libraries' log callback with an error line logged for a context.
    static void Keep(const void* context, const std::string& line);

private:
    const void* m_Container;
    std::string m_FirstError;
};

}  // namespace qualvex
