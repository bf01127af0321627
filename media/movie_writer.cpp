#include "media/movie_writer.h"

#include "base/errors.h"
#include "media/movie_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace qualvex {
namespace {

struct FreeDictionary {
    AVDictionary* Entries = nullptr;
    ~FreeDictionary() { av_dict_free(&Entries); }
};

AVColorSpace ColorSpaceOf(VideoMatrix matrix)
{
    switch (matrix) {
    case VideoMatrix::Bt601: return AVCOL_SPC_SMPTE170M;
    case VideoMatrix::Bt709: return AVCOL_SPC_BT709;
    case VideoMatrix::Bt2020: return AVCOL_SPC_BT2020_NCL;
    }
    return AVCOL_SPC_BT709;
}

// A value for a 16-bit video sample: 0..1 kept, the rest clamped and counted (NaN reads as 0).
std::uint16_t Quantised(float value, std::uint64_t& clamped)
{
    if (!(value >= 0.0f)) {
        clamped += 1;
        return 0;
    }
    if (value > 1.0f) {
        clamped += 1;
        return 65535;
    }
    return static_cast<std::uint16_t>(std::lround(static_cast<double>(value) * 65535.0));
}

}  // namespace

bool IsMovieOutputName(const std::filesystem::path& file)
{
    const std::string extension = LowerCaseExtension(file);
    return extension == ".mov" || extension == ".webm";
}

void CheckMovieOutputName(const std::filesystem::path& file)
{
    if (IsMovieName(file) && !IsMovieOutputName(file))
        throw UsageError(file.string() + ": keyed movies are written as .mov (ProRes 4444) or .webm (VP9 with "
                                         "alpha); a " + LowerCaseExtension(file) + " file would not keep the matte");
}

struct MovieWriter::State {
    std::filesystem::path File;
    MovieWriteOptions Options;
    FileInProgress Written;
    int Width;
    int Height;
    bool Prores;
    AVFormatContext* Container = nullptr;
    AVStream* Stream = nullptr;
    std::unique_ptr<AVCodecContext, FreeCodec> Encoder;
    std::unique_ptr<AVPacket, FreePacket> Packet{av_packet_alloc()};
    std::unique_ptr<AVFrame, FreeFrame> Frame{av_frame_alloc()};
    std::unique_ptr<SwsContext, FreeScaler> Scaler;
    std::vector<std::uint16_t> Rgba;
    int Frames = 0;
    std::uint64_t Clamped = 0;
    bool Finished = false;

    State(const std::filesystem::path& file, int width, int height, const MovieWriteOptions& options)
        : File(file), Options(options), Written(file), Width(width), Height(height),
          Prores(LowerCaseExtension(file) == ".mov")
    {
    }

    ~State()
    {
        if (Container != nullptr) {
            if (Container->pb != nullptr)
                avio_closep(&Container->pb);
            avformat_free_context(Container);
        }
    }

    [[noreturn]] void Fail(const std::string& what, int code) const
    {
        throw Failure(File.string() + ": " + what + ": " + AvErrorText(code));
    }

    void Open()
    {
        QuietCodecLibraries();
        if (Width <= 0 || Height <= 0)
            throw Failure(File.string() + ": a movie needs a picture, not " + std::to_string(Width) + " x " +
                          std::to_string(Height));
        // VP9 with alpha subsamples colour and alpha by two.
        if (!Prores && (Width % 2 != 0 || Height % 2 != 0))
            throw Failure(File.string() + ": VP9 with alpha needs an even width and height, not " +
                          std::to_string(Width) + " x " + std::to_string(Height) + " (write .mov instead)");
        if (Options.RateNumerator <= 0 || Options.RateDenominator <= 0)
            throw Failure(File.string() + ": the frame rate must be above 0");
        if (const int code = avformat_alloc_output_context2(&Container, nullptr, Prores ? "mov" : "webm",
                                                            Written.Path().c_str());
            code < 0)
            Fail("cannot set up the movie file", code);
        const AVCodec* codec = avcodec_find_encoder_by_name(Prores ? "prores_ks" : "libvpx-vp9");
        if (codec == nullptr)
            throw Failure(File.string() + ": FFmpeg's libraries here have no " +
                          (Prores ? "ProRes (prores_ks)" : "VP9 (libvpx-vp9)") + " encoder");
        Encoder.reset(avcodec_alloc_context3(codec));
        AVCodecContext& encoder = *Encoder;
        encoder.width = Width;
        encoder.height = Height;
        encoder.pix_fmt = Prores ? AV_PIX_FMT_YUVA444P10LE : AV_PIX_FMT_YUVA420P;
        encoder.framerate = AVRational{Options.RateNumerator, Options.RateDenominator};
        encoder.time_base = AVRational{Options.RateDenominator, Options.RateNumerator};
        encoder.colorspace = ColorSpaceOf(Options.Matrix);
        encoder.color_range = AVCOL_RANGE_MPEG;
        encoder.thread_count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        if ((Container->oformat->flags & AVFMT_GLOBALHEADER) != 0)
            encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        FreeDictionary settings;
        if (Prores) {
            av_dict_set(&settings.Entries, "profile", "4444", 0);
            av_dict_set(&settings.Entries, "alpha_bits", "16", 0);
        } else {
            // Constant quality, high enough that the matte's edges survive; alternate reference
            // frames are off because the alpha stream cannot follow them.
            av_dict_set(&settings.Entries, "crf", "10", 0);
            av_dict_set(&settings.Entries, "b", "0", 0);
            av_dict_set(&settings.Entries, "deadline", "good", 0);
            av_dict_set(&settings.Entries, "cpu-used", "4", 0);
            av_dict_set(&settings.Entries, "row-mt", "1", 0);
            av_dict_set(&settings.Entries, "auto-alt-ref", "0", 0);
        }
        if (const int code = avcodec_open2(&encoder, codec, &settings.Entries); code < 0)
            Fail("cannot open the encoder", code);
        Stream = avformat_new_stream(Container, nullptr);
        if (Stream == nullptr)
            throw Failure(File.string() + ": cannot add the video stream");
        Stream->time_base = encoder.time_base;
        Stream->avg_frame_rate = encoder.framerate;
        if (const int code = avcodec_parameters_from_context(Stream->codecpar, &encoder); code < 0)
            Fail("cannot describe the video stream", code);
        if (!Prores)
            av_dict_set(&Stream->metadata, "alpha_mode", "1", 0);
        if (const int code = avio_open(&Container->pb, Written.Path().c_str(), AVIO_FLAG_WRITE); code < 0)
            Fail("cannot create the output's temporary file", code);
        if (const int code = avformat_write_header(Container, nullptr); code < 0)
            Fail("cannot write the movie's header", code);

        Scaler.reset(sws_getContext(Width, Height, AV_PIX_FMT_RGBA64, Width, Height, encoder.pix_fmt,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr));
        if (!Scaler)
            throw Failure(File.string() + ": no conversion from RGB to the video's pixel format");
        const int* matrix = sws_getCoefficients(SwsMatrix(Options.Matrix));
        sws_setColorspaceDetails(Scaler.get(), matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16);
        Rgba.resize(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height) * 4);
    }

    // Hands the encoder's packets to the file; `frame` null ends the stream.
    void Encode(const AVFrame* frame)
    {
        if (const int code = avcodec_send_frame(Encoder.get(), frame); code < 0)
            Fail("the encoder refused a frame", code);
        while (true) {
            const int code = avcodec_receive_packet(Encoder.get(), Packet.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                return;
            if (code < 0)
                Fail("cannot encode", code);
            av_packet_rescale_ts(Packet.get(), Encoder->time_base, Stream->time_base);
            Packet->stream_index = Stream->index;
            if (const int written = av_interleaved_write_frame(Container, Packet.get()); written < 0)
                Fail("cannot write the movie", written);
        }
    }
};

MovieWriter::MovieWriter(const std::filesystem::path& file, int width, int height, const MovieWriteOptions& options)
    : m_State(std::make_unique<State>(file, width, height, options))
{
    m_State->Open();
}

MovieWriter::~MovieWriter() = default;

void MovieWriter::WriteFrame(const Image& keyed)
{
    State& state = *m_State;
    if (keyed.Width != state.Width || keyed.Height != state.Height)
        throw Failure(state.File.string() + ": frame " + std::to_string(state.Frames + 1) + " is " +
                      std::to_string(keyed.Width) + " x " + std::to_string(keyed.Height) + ", the movie " +
                      std::to_string(state.Width) + " x " + std::to_string(state.Height));
    const bool associated = state.Options.Result == AlphaReading::Associated;
    std::uint16_t* out = state.Rgba.data();
    for (int y = 0; y < keyed.Height; ++y)
        for (int x = 0; x < keyed.Width; ++x) {
            const Pixel p = keyed.GetPixel(x, y);
            float colour[3] = {p.R, p.G, p.B};
            // Movies store colour straight: associated colour is divided by alpha where there is
            // any; where alpha is 0 (or not a number) the colour is kept as it is.
            if (associated && p.A > 0.0f)
                for (float& c : colour)
                    c /= p.A;
            *out++ = Quantised(colour[0], state.Clamped);
            *out++ = Quantised(colour[1], state.Clamped);
            *out++ = Quantised(colour[2], state.Clamped);
            *out++ = Quantised(p.A, state.Clamped);
        }

    AVFrame& frame = *state.Frame;
    av_frame_unref(&frame);
    frame.format = state.Encoder->pix_fmt;
    frame.width = state.Width;
    frame.height = state.Height;
    frame.colorspace = state.Encoder->colorspace;
    frame.color_range = AVCOL_RANGE_MPEG;
    if (const int code = av_frame_get_buffer(&frame, 0); code < 0)
        state.Fail("not enough memory for a frame", code);
    const std::uint8_t* planes[4] = {reinterpret_cast<const std::uint8_t*>(state.Rgba.data()), nullptr, nullptr,
                                     nullptr};
    const int strides[4] = {state.Width * 8, 0, 0, 0};
    sws_scale(state.Scaler.get(), planes, strides, 0, state.Height, frame.data, frame.linesize);
    frame.pts = state.Frames;
    state.Encode(&frame);
    ++state.Frames;
}

void MovieWriter::Finish()
{
    State& state = *m_State;
    if (state.Finished)
        return;
    state.Encode(nullptr);
    if (const int code = av_write_trailer(state.Container); code < 0)
        state.Fail("cannot end the movie", code);
    const int pending = state.Container->pb->error;
    if (const int code = avio_closep(&state.Container->pb); code < 0 || pending < 0)
        state.Fail("cannot write the movie", code < 0 ? code : pending);
    state.Written.Commit(state.Options.Existing);
    state.Finished = true;
}

int MovieWriter::FramesWritten() const { return m_State->Frames; }

std::uint64_t MovieWriter::ClampedValues() const { return m_State->Clamped; }

}  // namespace qualvex
