#include "media/movie_library.h"
#include "media/movie_writer.h"

#include "base/cores.h"
#include "base/errors.h"
#include "media/movie_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace qualvex {
namespace {

struct FreeResampler {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

struct FreeFifo {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

// One of the source's sound streams in the keyed movie: copied packet for packet, or, where the
// container cannot hold its codec, decoded, resampled and encoded again.
struct SoundTrack {
    AVStream* Out = nullptr;  // null: not in the movie
    std::unique_ptr<AVCodecContext, FreeCodec> Decoder;
    std::unique_ptr<AVCodecContext, FreeCodec> Encoder;  // null: copied
    std::unique_ptr<SwrContext, FreeResampler> Resampler;
    std::unique_ptr<AVAudioFifo, FreeFifo> Waiting;  // resampled, not yet a whole encoder frame
    std::int64_t Encoded = 0;                         // samples handed to the encoder
};

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
    // value x 65535 is exact in double (24 and 16 bits), and so is adding one half (below 2^16,
    // 40 bits): truncating it rounds half away from 0, as lround does, without the call (checked
    // for every float in 0..1).
    return static_cast<std::uint16_t>(static_cast<double>(value) * 65535.0 + 0.5);
}

}  // namespace

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
    // The frame as 16-bit G, B, R and A planes, one after another: the converter reads planes
    // without looking up their format for every pixel, as it does for interleaved 16-bit RGBA
    // (the video comes out the same, byte for byte).
    std::vector<std::uint16_t> Planes;
    std::vector<float> Row;  // one row's B, G, R, A as the keyed image's reader gives them
    int Frames = 0;
    std::uint64_t Clamped = 0;
    bool Finished = false;

    // The source's sound: its file, and the stream each of its streams is copied to (null: not
    // copied). Times are seconds from the first keyed frame.
    std::unique_ptr<AVFormatContext, CloseInput> SoundInput;
    std::vector<SoundTrack> Sound;  // by the source's stream index
    std::unique_ptr<AVPacket, FreePacket> SoundPacket{av_packet_alloc()};
    bool SoundHeld = false;  // SoundPacket holds a packet read but not yet due
    double SoundAt = 0.0;    // when the held packet starts
    bool SoundEnded = true;
    double SourceStart = 0.0;  // the source's first frame on its own clock
    double SoundFrom = 0.0;    // the first keyed frame on the source's clock, from its first frame
    double SoundLength = 0.0;  // the keyed frames' duration
    std::vector<MovieWriter::SoundNote> SoundNotes;

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
        if (Options.ColourEncoding == "sRGB" || Options.ColourEncoding == "Rec709") {
            encoder.color_primaries = AVCOL_PRI_BT709;
            encoder.color_trc = Options.ColourEncoding == "sRGB" ? AVCOL_TRC_IEC61966_2_1 : AVCOL_TRC_BT709;
        } else if (Options.ColourEncoding == "Linear") {
            encoder.color_primaries = AVCOL_PRI_BT709;
            encoder.color_trc = AVCOL_TRC_LINEAR;
        }
        encoder.color_range = AVCOL_RANGE_MPEG;
        encoder.thread_count = static_cast<int>(UsableCores());
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
        OpenSound();
        if (const int code = avio_open(&Container->pb, Written.Path().c_str(), AVIO_FLAG_WRITE); code < 0)
            Fail("cannot create the output's temporary file", code);
        if (const int code = avformat_write_header(Container, nullptr); code < 0)
            Fail("cannot write the movie's header", code);

        Scaler.reset(sws_getContext(Width, Height, AV_PIX_FMT_GBRAP16, Width, Height, encoder.pix_fmt,
                                    SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr));
        if (!Scaler)
            throw Failure(File.string() + ": no conversion from RGB to the video's pixel format");
        const int* matrix = sws_getCoefficients(SwsMatrix(Options.Matrix));
        sws_setColorspaceDetails(Scaler.get(), matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16);
        Planes.resize(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height) * 4);
    }

    [[noreturn]] void FailSound(const std::string& what, int code) const
    {
        throw Failure(Options.Sound.Source.string() + ": " + what + ": " + AvErrorText(code));
    }

    // Adds a stream for each sound stream of the source that the container can hold as it is.
    void OpenSound()
    {
        const MovieSound& sound = Options.Sound;
        if (sound.Source.empty() || sound.Frames <= 0 || sound.RateNumerator <= 0 || sound.RateDenominator <= 0)
            return;
        AVFormatContext* raw = nullptr;
        if (const int code = avformat_open_input(&raw, sound.Source.c_str(), nullptr, nullptr); code < 0)
            FailSound("cannot read the source's sound", code);
        SoundInput.reset(raw);
        if (const int code = avformat_find_stream_info(raw, nullptr); code < 0)
            FailSound("cannot read the source's sound", code);
        const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video >= 0 && raw->streams[video]->start_time != AV_NOPTS_VALUE)
            SourceStart = static_cast<double>(raw->streams[video]->start_time) * av_q2d(raw->streams[video]->time_base);
        // The rate was checked above 0.
        const double seconds = static_cast<double>(sound.RateDenominator) / sound.RateNumerator;
        SoundFrom = (sound.FirstFrame - 1) * seconds;
        SoundLength = sound.Frames * seconds;
        Sound.resize(raw->nb_streams);
        int number = 0;
        for (unsigned i = 0; i < raw->nb_streams; ++i) {
            AVStream* in = raw->streams[i];
            if (in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
                in->discard = AVDISCARD_ALL;
                continue;
            }
            const char* codec = avcodec_get_name(in->codecpar->codec_id);
            const std::string what = "sound stream " + std::to_string(++number) + " (" + codec + ", " +
                                     std::to_string(in->codecpar->ch_layout.nb_channels) + " channels)";
            SoundTrack& track = Sound[i];
            if (avformat_query_codec(Container->oformat, in->codecpar->codec_id, FF_COMPLIANCE_NORMAL) == 1) {
                track.Out = NewSoundStream(in->time_base);
                if (const int code = avcodec_parameters_copy(track.Out->codecpar, in->codecpar); code < 0)
                    Fail("cannot describe a sound stream", code);
                track.Out->codecpar->codec_tag = 0;  // the container's own tag for the codec
                av_dict_copy(&track.Out->metadata, in->metadata, 0);
                SoundNotes.push_back({what + ": copied", true});
                continue;
            }
            const char* encoder = Prores ? "aac" : "libopus";
            const std::string why = std::string("a ") + (Prores ? ".mov" : ".webm") + " file cannot hold " + codec;
            const std::string failed = OpenReencoding(track, *in, encoder);
            if (!failed.empty()) {
                SoundNotes.push_back({what + ": left out: " + why + ", and it cannot be re-encoded (" + failed + ")",
                                      false});
                track = SoundTrack{};
                in->discard = AVDISCARD_ALL;
                continue;
            }
            av_dict_copy(&track.Out->metadata, in->metadata, 0);
            SoundNotes.push_back({what + ": re-encoded as " + avcodec_get_name(track.Encoder->codec_id) + " (" + why +
                                      " as it is)",
                                  true});
        }
        SoundEnded = std::none_of(Sound.begin(), Sound.end(), [](const SoundTrack& t) { return t.Out != nullptr; });
    }

    AVStream* NewSoundStream(AVRational timeBase)
    {
        AVStream* out = avformat_new_stream(Container, nullptr);
        if (out == nullptr)
            throw Failure(File.string() + ": cannot add a sound stream");
        out->time_base = timeBase;
        return out;
    }

    // Sets up decoding, resampling and encoding with `encoderName` for a stream the container
    // cannot hold as it is; returns what failed, empty when all is set.
    std::string OpenReencoding(SoundTrack& track, const AVStream& in, const char* encoderName)
    {
        const AVCodec* decoder = avcodec_find_decoder(in.codecpar->codec_id);
        const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName);
        if (decoder == nullptr)
            return "no decoder for it";
        if (encoder == nullptr)
            return std::string("no ") + encoderName + " encoder";
        track.Decoder.reset(avcodec_alloc_context3(decoder));
        if (avcodec_parameters_to_context(track.Decoder.get(), in.codecpar) < 0 ||
            avcodec_open2(track.Decoder.get(), decoder, nullptr) < 0)
            return "its decoder does not open";
        AVCodecContext& source = *track.Decoder;
        track.Encoder.reset(avcodec_alloc_context3(encoder));
        AVCodecContext& target = *track.Encoder;
        // Opus runs at 48 kHz; AAC keeps the source's rate.
        target.sample_rate = encoder->id == AV_CODEC_ID_OPUS ? 48000 : source.sample_rate;
        target.sample_fmt = encoder->sample_fmts != nullptr ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
        if (source.ch_layout.nb_channels > 2) {
            av_channel_layout_default(&target.ch_layout, 2);  // more than stereo is mixed down
        } else if (av_channel_layout_copy(&target.ch_layout, &source.ch_layout) < 0) {
            return "its channel layout";
        }
        target.bit_rate = 64000 * target.ch_layout.nb_channels;
        target.time_base = AVRational{1, target.sample_rate};
        if ((Container->oformat->flags & AVFMT_GLOBALHEADER) != 0)
            target.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (const int code = avcodec_open2(&target, encoder, nullptr); code < 0)
            return "the " + std::string(encoderName) + " encoder does not open: " + AvErrorText(code);
        SwrContext* resampler = nullptr;
        if (swr_alloc_set_opts2(&resampler, &target.ch_layout, target.sample_fmt, target.sample_rate,
                                &source.ch_layout, source.sample_fmt, source.sample_rate, 0, nullptr) < 0 ||
            swr_init(resampler) < 0) {
            swr_free(&resampler);
            return "no resampling to the encoder's format";
        }
        track.Resampler.reset(resampler);
        track.Waiting.reset(av_audio_fifo_alloc(target.sample_fmt, target.ch_layout.nb_channels, 4096));
        if (!track.Waiting)
            return "not enough memory";
        track.Out = NewSoundStream(target.time_base);
        if (avcodec_parameters_from_context(track.Out->codecpar, &target) < 0)
            return "its stream cannot be described";
        return {};
    }

    // Decodes a packet of a re-encoded stream, resamples it and encodes every whole frame
    // waiting; `packet` null ends the stream.
    void Reencode(SoundTrack& track, AVPacket* packet)
    {
        if (const int code = avcodec_send_packet(track.Decoder.get(), packet); code < 0 && code != AVERROR_EOF)
            FailSound("cannot decode the source's sound", code);
        std::unique_ptr<AVFrame, FreeFrame> decoded(av_frame_alloc());
        while (true) {
            const int code = avcodec_receive_frame(track.Decoder.get(), decoded.get());
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                break;
            if (code < 0)
                FailSound("cannot decode the source's sound", code);
            Resample(track, const_cast<const std::uint8_t**>(decoded->extended_data), decoded->nb_samples);
            av_frame_unref(decoded.get());
        }
        if (packet == nullptr)
            Resample(track, nullptr, 0);  // what the resampler still holds
        EncodeWaiting(track, packet == nullptr);
    }

    void Resample(SoundTrack& track, const std::uint8_t** input, int samples)
    {
        const AVCodecContext& target = *track.Encoder;
        const int room = swr_get_out_samples(track.Resampler.get(), samples);
        if (room <= 0)
            return;
        std::uint8_t** converted = nullptr;
        if (const int code = av_samples_alloc_array_and_samples(&converted, nullptr, target.ch_layout.nb_channels,
                                                                room, target.sample_fmt, 0);
            code < 0)
            Fail("not enough memory for the sound", code);
        const int made = swr_convert(track.Resampler.get(), converted, room, input, samples);
        const int kept = made > 0 ? av_audio_fifo_write(track.Waiting.get(), reinterpret_cast<void**>(converted), made)
                                  : made;
        av_freep(&converted[0]);
        av_freep(&converted);
        if (made < 0 || kept < made)
            Fail("cannot resample the sound", made < 0 ? made : AVERROR(ENOMEM));
    }

    // Encodes the waiting samples a whole encoder frame at a time (and the rest too when `all`).
    void EncodeWaiting(SoundTrack& track, bool all)
    {
        AVCodecContext& target = *track.Encoder;
        const int frameSize = target.frame_size > 0 ? target.frame_size : 1024;
        while (av_audio_fifo_size(track.Waiting.get()) >= (all ? 1 : frameSize)) {
            std::unique_ptr<AVFrame, FreeFrame> frame(av_frame_alloc());
            frame->nb_samples = std::min(frameSize, av_audio_fifo_size(track.Waiting.get()));
            frame->format = target.sample_fmt;
            frame->sample_rate = target.sample_rate;
            if (av_channel_layout_copy(&frame->ch_layout, &target.ch_layout) < 0 ||
                av_frame_get_buffer(frame.get(), 0) < 0)
                Fail("not enough memory for the sound", AVERROR(ENOMEM));
            av_audio_fifo_read(track.Waiting.get(), reinterpret_cast<void**>(frame->data), frame->nb_samples);
            frame->pts = track.Encoded;
            track.Encoded += frame->nb_samples;
            SendSound(track, frame.get());
        }
        if (all)
            SendSound(track, nullptr);
    }

    void SendSound(SoundTrack& track, const AVFrame* frame)
    {
        std::unique_ptr<AVPacket, FreePacket> packet(av_packet_alloc());
        EncodeInto(*track.Encoder, frame, *packet, *track.Out,
                   {"the sound encoder refused its samples", "cannot encode the sound", "cannot write the movie's sound"});
    }

    // What an encoder's failures are called, for its stream.
    struct EncodingWords {
        const char* Refused;
        const char* NotEncoded;
        const char* NotWritten;
    };

    // Sends `frame` (null ends the stream) to `encoder` and hands every packet it gives to the file
    // as `out`'s.
    void EncodeInto(AVCodecContext& encoder, const AVFrame* frame, AVPacket& packet, AVStream& out,
                    const EncodingWords& words)
    {
        if (const int code = avcodec_send_frame(&encoder, frame); code < 0)
            Fail(words.Refused, code);
        while (true) {
            const int code = avcodec_receive_packet(&encoder, &packet);
            if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
                return;
            if (code < 0)
                Fail(words.NotEncoded, code);
            av_packet_rescale_ts(&packet, encoder.time_base, out.time_base);
            packet.stream_index = out.index;
            if (const int written = av_interleaved_write_frame(Container, &packet); written < 0)
                Fail(words.NotWritten, written);
        }
    }

    // Copies the source's sound packets that start before `until`, in seconds from the first
    // keyed frame. Packets are whole: the sound starts with the first packet at or after the
    // first keyed frame and ends with the last that starts before the keyed frames end.
    void WriteSoundUntil(double until)
    {
        AVPacket* packet = SoundPacket.get();
        while (!SoundEnded) {
            if (!SoundHeld) {
                const int code = av_read_frame(SoundInput.get(), packet);
                if (code == AVERROR_EOF) {
                    SoundEnded = true;
                    return;
                }
                if (code < 0)
                    FailSound("cannot read the source's sound", code);
                const auto index = static_cast<std::size_t>(packet->stream_index);
                const std::int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                if (index >= Sound.size() || Sound[index].Out == nullptr || stamp == AV_NOPTS_VALUE) {
                    av_packet_unref(packet);
                    continue;
                }
                SoundAt = static_cast<double>(stamp) * av_q2d(SoundInput->streams[index]->time_base) - SourceStart -
                          SoundFrom;
                // A microsecond's slack: the frame and packet clocks round differently.
                if (SoundAt < -1e-6 || SoundAt >= SoundLength - 1e-6) {
                    av_packet_unref(packet);
                    continue;
                }
                SoundHeld = true;
            }
            if (SoundAt >= until)
                return;
            SoundHeld = false;
            SoundTrack& track = Sound[static_cast<std::size_t>(packet->stream_index)];
            if (track.Encoder) {
                // Decoded, its samples counted from the first keyed frame by the encoder's clock.
                Reencode(track, packet);
                av_packet_unref(packet);
                continue;
            }
            const AVStream* in = SoundInput->streams[packet->stream_index];
            AVStream* out = track.Out;
            const auto shift = static_cast<std::int64_t>(std::llround((SourceStart + SoundFrom) / av_q2d(in->time_base)));
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts -= shift;
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts -= shift;
            av_packet_rescale_ts(packet, in->time_base, out->time_base);
            packet->stream_index = out->index;
            packet->pos = -1;
            if (const int written = av_interleaved_write_frame(Container, packet); written < 0)
                Fail("cannot write the movie's sound", written);
        }
    }

    // Hands the encoder's packets to the file; `frame` null ends the stream.
    void Encode(const AVFrame* frame)
    {
        EncodeInto(*Encoder, frame, *Packet, *Stream, {"the encoder refused a frame", "cannot encode", "cannot write the movie"});
    }
};

MovieWriter::State* movie_library::OpenWriter(const std::filesystem::path& file, int width, int height,
                                              const MovieWriteOptions& options)
{
    auto state = std::make_unique<MovieWriter::State>(file, width, height, options);
    state->Open();
    return state.release();
}

void movie_library::CloseWriter(MovieWriter::State* state) { delete state; }

void movie_library::WriteFrame(MovieWriter::State& state, const Image& keyed)
{
    if (keyed.Width != state.Width || keyed.Height != state.Height)
        throw Failure(state.File.string() + ": frame " + std::to_string(state.Frames + 1) + " is " +
                      std::to_string(keyed.Width) + " x " + std::to_string(keyed.Height) + ", the movie " +
                      std::to_string(state.Width) + " x " + std::to_string(state.Height));
    const bool associated = state.Options.Result == AlphaReading::Associated;
    const std::size_t area = static_cast<std::size_t>(state.Width) * static_cast<std::size_t>(state.Height);
    std::uint16_t* const greens = state.Planes.data();
    std::uint16_t* const blues = greens + area;
    std::uint16_t* const reds = blues + area;
    std::uint16_t* const alphas = reds + area;
    // A row at a time through the image's row reader (the pixel reader's values), pixel by pixel
    // for an image that offers none.
    const auto width = static_cast<std::size_t>(keyed.Width);
    state.Row.resize(4 * width);
    float* const b = state.Row.data();
    float* const g = b + width;
    float* const r = g + width;
    float* const a = r + width;
    for (int y = 0; y < keyed.Height; ++y) {
        const std::size_t rowStart = static_cast<std::size_t>(y) * width;
        if (keyed.ReadRow != nullptr) {
            keyed.ReadRow(const_cast<Image*>(&keyed), y, 0, keyed.Width, b, g, r, a);
        } else {
            for (std::size_t x = 0; x < width; ++x) {
                const Pixel p = keyed.GetPixel(static_cast<int>(x), y);
                b[x] = p.B;
                g[x] = p.G;
                r[x] = p.R;
                a[x] = p.A;
            }
        }
        for (std::size_t x = 0; x < width; ++x) {
            float colour[3] = {r[x], g[x], b[x]};
            // Movies store colour straight: associated colour is divided by alpha where there is
            // any; where alpha is 0 (or not a number) the colour is kept as it is.
            if (associated && a[x] > 0.0f)
                for (float& c : colour)
                    c /= a[x];
            const std::size_t at = rowStart + x;
            reds[at] = Quantised(colour[0], state.Clamped);
            greens[at] = Quantised(colour[1], state.Clamped);
            blues[at] = Quantised(colour[2], state.Clamped);
            alphas[at] = Quantised(a[x], state.Clamped);
        }
    }

    AVFrame& frame = *state.Frame;
    av_frame_unref(&frame);
    frame.format = state.Encoder->pix_fmt;
    frame.width = state.Width;
    frame.height = state.Height;
    frame.colorspace = state.Encoder->colorspace;
    frame.color_primaries = state.Encoder->color_primaries;
    frame.color_trc = state.Encoder->color_trc;
    frame.color_range = AVCOL_RANGE_MPEG;
    if (const int code = av_frame_get_buffer(&frame, 0); code < 0)
        state.Fail("not enough memory for a frame", code);
    const std::uint8_t* planes[4] = {reinterpret_cast<const std::uint8_t*>(greens), reinterpret_cast<const std::uint8_t*>(blues),
                                     reinterpret_cast<const std::uint8_t*>(reds), reinterpret_cast<const std::uint8_t*>(alphas)};
    const int strides[4] = {state.Width * 2, state.Width * 2, state.Width * 2, state.Width * 2};
    sws_scale(state.Scaler.get(), planes, strides, 0, state.Height, frame.data, frame.linesize);
    frame.pts = state.Frames;
    state.Encode(&frame);
    ++state.Frames;
    // The sound goes along with the pictures: up to the end of the frames written (the rate is
    // the source's, checked above 0).
    if (!state.SoundEnded)
        state.WriteSoundUntil(static_cast<double>(state.Frames) * state.Options.Sound.RateDenominator /
                              state.Options.Sound.RateNumerator);
}

void movie_library::FinishWriter(MovieWriter::State& state)
{
    if (state.Finished)
        return;
    state.Encode(nullptr);
    state.WriteSoundUntil(std::numeric_limits<double>::infinity());
    for (SoundTrack& track : state.Sound)
        if (track.Encoder)
            state.Reencode(track, nullptr);
    if (const int code = av_write_trailer(state.Container); code < 0)
        state.Fail("cannot end the movie", code);
    const int pending = state.Container->pb->error;
    if (const int code = avio_closep(&state.Container->pb); code < 0 || pending < 0)
        state.Fail("cannot write the movie", code < 0 ? code : pending);
    state.Written.Commit(state.Options.Existing);
    state.Finished = true;
}

int movie_library::FramesWritten(const MovieWriter::State& state) { return state.Frames; }

std::uint64_t movie_library::ClampedValues(const MovieWriter::State& state) { return state.Clamped; }

const std::vector<MovieWriter::SoundNote>& movie_library::SoundNotes(const MovieWriter::State& state)
{
    return state.SoundNotes;
}

}  // namespace qualvex
