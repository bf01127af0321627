#include "media/movie_library.h"
#include "media/movie_reader.h"

#include "base/errors.h"
#include "media/movie_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <system_error>
#include <vector>

namespace qualvex {
namespace {

void CheckPlainFile(const std::filesystem::path& file, const std::string& role)
{
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status))
        throw Failure(file.string() + ": " + role + " not found");
    if (!std::filesystem::is_regular_file(status))
        throw Failure(file.string() + ": " + role + " is not a plain file");
}

std::unique_ptr<AVFormatContext, CloseInput> OpenContainer(const std::filesystem::path& file, const std::string& role,
                                                           int& stream)
{
    CheckPlainFile(file, role);
    QuietCodecLibraries();
    AVFormatContext* raw = nullptr;
    if (const int code = avformat_open_input(&raw, file.c_str(), nullptr, nullptr); code < 0)
        throw Failure(file.string() + ": cannot read the " + role + " as a movie: " + AvErrorText(code));
    std::unique_ptr<AVFormatContext, CloseInput> container(raw);
    if (const int code = avformat_find_stream_info(raw, nullptr); code < 0)
        throw Failure(file.string() + ": cannot read the " + role + "'s streams: " + AvErrorText(code));
    stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0)
        throw Failure(file.string() + ": the " + role + " holds no video stream");
    return container;
}

// VP8 and VP9 carry alpha beside the picture; only libvpx's decoders read it.
bool CarriesVpxAlpha(const AVStream& stream)
{
    const AVDictionaryEntry* mode = av_dict_get(stream.metadata, "alpha_mode", nullptr, 0);
    return mode != nullptr && std::string(mode->value) == "1" &&
           (stream.codecpar->codec_id == AV_CODEC_ID_VP9 || stream.codecpar->codec_id == AV_CODEC_ID_VP8);
}

const AVCodec* DecoderFor(const AVStream& stream)
{
    if (CarriesVpxAlpha(stream)) {
        const AVCodec* vpx =
            avcodec_find_decoder_by_name(stream.codecpar->codec_id == AV_CODEC_ID_VP9 ? "libvpx-vp9" : "libvpx");
        if (vpx != nullptr)
            return vpx;
    }
    return avcodec_find_decoder(stream.codecpar->codec_id);
}

VideoMatrix MatrixOf(const AVCodecParameters& parameters)
{
    switch (parameters.color_space) {
    case AVCOL_SPC_BT709: return VideoMatrix::Bt709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return VideoMatrix::Bt601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return VideoMatrix::Bt2020;
    default:
        // Unnamed: the convention of the picture's size.
        return parameters.height >= 720 ? VideoMatrix::Bt709 : VideoMatrix::Bt601;
    }
}

bool FullRange(AVPixelFormat format, AVColorRange range)
{
    return range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
           format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P;
}

[[noreturn]] void Damaged(const std::filesystem::path& file, const std::string& role, int frame,
                          const std::string& what)
{
    throw Failure(file.string() + ": frame " + std::to_string(frame) + " of the " + role +
                  ": the file is damaged or cut short (" + what + ")");
}

// Counts the stream's packets without decoding them: one frame each in the containers read here
// (VP9 in WebM packs hidden frames into the shown frame's packet). Only a clean end of the file
// ends the count: a read error, or damage the demuxer logs before it answers "end of file", fails
// naming the first frame it cost.
int CountFrames(AVFormatContext& container, int stream, const std::filesystem::path& file, const std::string& role)
{
    std::unique_ptr<AVPacket, FreePacket> packet(av_packet_alloc());
    const DemuxerWatch watch(&container);
    int frames = 0;
    while (true) {
        const int read = av_read_frame(&container, packet.get());
        if (const std::string logged = watch.FirstError(); !logged.empty())
            Damaged(file, role, frames + 1, logged);
        if (read == AVERROR_EOF)
            break;
        if (read < 0)
            Damaged(file, role, frames + 1, AvErrorText(read));
        if (packet->stream_index == stream && packet->size > 0)
            ++frames;
        av_packet_unref(packet.get());
    }
    if (container.pb != nullptr && container.pb->error < 0)
        Damaged(file, role, frames + 1, AvErrorText(container.pb->error));
    return frames;
}

MovieFacts FactsOf(AVFormatContext& container, int stream, const std::filesystem::path& file, const std::string& role)
{
    const AVStream& video = *container.streams[stream];
    const AVCodecParameters& parameters = *video.codecpar;
    MovieFacts facts;
    facts.Width = parameters.width;
    facts.Height = parameters.height;
    if (facts.Width <= 0 || facts.Height <= 0)
        throw Failure(file.string() + ": the " + role + "'s video has no picture size");
    const AVRational rate = av_guess_frame_rate(&container, container.streams[stream], nullptr);
    facts.RateNumerator = rate.num;
    facts.RateDenominator = rate.den > 0 ? rate.den : 1;
    const AVPixFmtDescriptor* pixels = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(parameters.format));
    if (pixels == nullptr)
        throw Failure(file.string() + ": the " + role + "'s video has no pixel format FFmpeg knows");
    facts.Storage = pixels->comp[0].depth > 8 ? PixelStorage::UInt16 : PixelStorage::UInt8;
    facts.HasAlpha = (pixels->flags & AV_PIX_FMT_FLAG_ALPHA) != 0 || CarriesVpxAlpha(video);
    facts.Matrix = MatrixOf(parameters);
    switch (parameters.color_trc) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12: facts.ColourEncoding = "Rec709"; break;
    case AVCOL_TRC_LINEAR: facts.ColourEncoding = "Linear"; break;
    default: facts.ColourEncoding = "sRGB"; break;
    }
    const AVCodecDescriptor* codec = avcodec_descriptor_get(parameters.codec_id);
    facts.Codec = codec != nullptr ? codec->name : "unknown";
    for (unsigned i = 0; i < container.nb_streams; ++i)
        facts.SoundStreams += container.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
    return facts;
}

}  // namespace

MovieFacts movie_library::InspectMovie(const std::filesystem::path& file, const std::string& role)
{
    int stream = -1;
    auto container = OpenContainer(file, role, stream);
    MovieFacts facts = FactsOf(*container, stream, file, role);
    if (DecoderFor(*container->streams[stream]) == nullptr)
        throw Failure(file.string() + ": no decoder for the " + role + "'s video (" + facts.Codec + ")");
    facts.Frames = CountFrames(*container, stream, file, role);
    if (facts.Frames == 0)
        throw Failure(file.string() + ": the " + role + "'s video holds no frames");
    return facts;
}

struct MovieReader::State {
    std::filesystem::path File;
    std::string Role;
    MovieFacts Facts;
    std::unique_ptr<AVFormatContext, CloseInput> Container;
    std::optional<DemuxerWatch> Watch;  // on Container
    std::unique_ptr<AVCodecContext, FreeCodec> Decoder;
    std::unique_ptr<AVPacket, FreePacket> Packet{av_packet_alloc()};
    std::unique_ptr<AVFrame, FreeFrame> Frame{av_frame_alloc()};
    std::unique_ptr<SwsContext, FreeScaler> Scaler;
    int Stream = -1;
    int Delivered = 0;  // frames decoded so far; the decoder's frame is the last of them
    bool Draining = false;
    bool Ended = false;

    [[noreturn]] void Fail(int frame, const std::string& what) const
    {
        throw Failure(File.string() + ": frame " + std::to_string(frame) + " of the " + Role + ": " + what);
    }

    void Open()
    {
        Watch.reset();
        Container = OpenContainer(File, Role, Stream);
        Watch.emplace(Container.get());
        const AVStream& video = *Container->streams[Stream];
        const AVCodec* codec = DecoderFor(video);
        if (codec == nullptr)
            throw Failure(File.string() + ": no decoder for the " + Role + "'s video");
        Decoder.reset(avcodec_alloc_context3(codec));
        if (!Decoder || avcodec_parameters_to_context(Decoder.get(), video.codecpar) < 0)
            throw Failure(File.string() + ": cannot set up the " + Role + "'s decoder");
        Decoder->pkt_timebase = video.time_base;
        if (const int code = avcodec_open2(Decoder.get(), codec, nullptr); code < 0)
            throw Failure(File.string() + ": cannot open the " + Role + "'s decoder: " + AvErrorText(code));
        Delivered = 0;
        Draining = false;
        Ended = false;
    }

    // Decodes the next frame into Frame; false at the end of the stream.
    bool Next(int wanted)
    {
        while (true) {
            const int received = avcodec_receive_frame(Decoder.get(), Frame.get());
            if (received == 0) {
                ++Delivered;
                return true;
            }
            if (received == AVERROR_EOF)
                return false;
            if (received != AVERROR(EAGAIN))
                Fail(wanted, "cannot decode: " + AvErrorText(received));
            if (Draining)
                return false;
            const int read = av_read_frame(Container.get(), Packet.get());
            if (const std::string logged = Watch->FirstError(); !logged.empty())
                Damaged(File, Role, wanted, logged);
            if (read == AVERROR_EOF) {
                Draining = true;
                avcodec_send_packet(Decoder.get(), nullptr);
                continue;
            }
            if (read < 0)
                Fail(wanted, "cannot read the file: " + AvErrorText(read));
            if (Packet->stream_index == Stream) {
                const int sent = avcodec_send_packet(Decoder.get(), Packet.get());
                av_packet_unref(Packet.get());
                if (sent < 0 && sent != AVERROR(EAGAIN))
                    Fail(wanted, "damaged video: " + AvErrorText(sent));
            } else {
                av_packet_unref(Packet.get());
            }
        }
    }

    ImageFile Convert(int frame)
    {
        const AVFrame& decoded = *Frame;
        if (decoded.width != Facts.Width || decoded.height != Facts.Height)
            Fail(frame, "its size (" + std::to_string(decoded.width) + " x " + std::to_string(decoded.height) +
                            ") differs from the movie's");
        const bool wide = Facts.Storage == PixelStorage::UInt16;
        // The host image's own layout: B, G, R, A of each pixel as stored values (8- or 16-bit,
        // in the machine's byte order), which the converter writes straight into its plane.
        const AVPixelFormat target = wide ? AV_PIX_FMT_BGRA64 : AV_PIX_FMT_BGRA;
        const auto source = static_cast<AVPixelFormat>(decoded.format);
        Scaler.reset(sws_getCachedContext(Scaler.release(), decoded.width, decoded.height, source, decoded.width,
                                          decoded.height, target,
                                          SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                          nullptr));
        if (!Scaler)
            Fail(frame, "no conversion from its pixel format to RGB");
        const AVPixFmtDescriptor* pixels = av_pix_fmt_desc_get(source);
        if (pixels != nullptr && (pixels->flags & AV_PIX_FMT_FLAG_RGB) == 0) {
            const int* matrix = sws_getCoefficients(SwsMatrix(Facts.Matrix));
            sws_setColorspaceDetails(Scaler.get(), matrix, FullRange(source, decoded.color_range) ? 1 : 0, matrix, 1,
                                     0, 1 << 16, 1 << 16);
        }

        ImageFile image;
        image.Layout = {0, 0, 0, 0, decoded.width, decoded.height, {}, Facts.ColourEncoding};
        // Every stored value is written by the converter just below.
        image.Pixels = std::make_unique<Image>(decoded.width, decoded.height, Facts.Storage, false, false);
        // The plane's rows lie a fixed step apart (bottom-up, so the step is negative), which the
        // converter takes as its stride from the first row.
        unsigned char* const* rows = image.Pixels->PlaneRows[0];
        const auto rowBytes = static_cast<std::ptrdiff_t>(decoded.width) * image.Pixels->PixelStep[0];
        const std::ptrdiff_t step = decoded.height > 1 ? rows[1] - rows[0] : rowBytes;
        std::uint8_t* planes[4] = {rows[0], nullptr, nullptr, nullptr};
        const int strides[4] = {static_cast<int>(step), 0, 0, 0};
        if (sws_scale(Scaler.get(), decoded.data, decoded.linesize, 0, decoded.height, planes, strides) !=
            decoded.height)
            Fail(frame, "its conversion to RGB failed");
        return image;
    }
};

MovieReader::State* movie_library::OpenReader(const std::filesystem::path& file, const std::string& role,
                                              const MovieFacts& facts)
{
    auto state = std::make_unique<MovieReader::State>();
    state->File = file;
    state->Role = role;
    state->Facts = facts;
    state->Open();
    return state.release();
}

void movie_library::CloseReader(MovieReader::State* state) { delete state; }

const MovieFacts& movie_library::ReaderFacts(const MovieReader::State& state) { return state.Facts; }

ImageFile movie_library::ReadFrame(MovieReader::State& state, int frame)
{
    if (frame < 1 || frame > state.Facts.Frames)
        state.Fail(frame, "not in the movie, which holds frames 1-" + std::to_string(state.Facts.Frames));
    // Going back means decoding from the start: frames depend on the ones before them.
    if (frame <= state.Delivered)
        state.Open();
    while (state.Delivered < frame)
        if (!state.Next(frame))
            state.Fail(frame, "the video ends after frame " + std::to_string(state.Delivered));
    return state.Convert(frame);
}

}  // namespace qualvex
