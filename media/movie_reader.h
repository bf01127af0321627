// Movie files read frame by frame through FFmpeg's libraries. Frames are numbered from 1 in the
// order they are shown, as an image sequence extracted from the movie would be. YUV video is
// turned into RGB with the matrix and range the stream names (unnamed: BT.709 from 720 lines up,
// BT.601 below, limited range); colour stays in the movie's own encoding, with no transfer curve
// applied or removed. A stream with alpha (ProRes 4444, VP9 or VP8 with alpha) keeps it; without,
// alpha reads as 1.
#pragma once

#include "host/image.h"
#include "media/image_reader.h"

#include <filesystem>
#include <memory>
#include <string>

namespace qualvex {

// Whether a file of this name is read as a movie (by its extension: .mov, .mp4, .m4v, .mkv,
// .webm, .avi, .mxf, .mpg, .mpeg, .ts, .ogv).
bool IsMovieName(const std::filesystem::path& file);

// The name's extension in lower case (".mov"), as movie names are told apart.
std::string LowerCaseExtension(const std::filesystem::path& file);

// The YUV matrix a movie's colour was encoded with (and that a keyed movie is written with).
enum class VideoMatrix { Bt601, Bt709, Bt2020 };

struct MovieFacts {
    int Width = 0;
    int Height = 0;
    int Frames = 0;                 // counted in the file, not taken from its header
    int RateNumerator = 0;          // frames per second as a fraction
    int RateDenominator = 1;
    PixelStorage Storage = PixelStorage::UInt8;  // UInt8 for 8-bit video, UInt16 for deeper
    VideoMatrix Matrix = VideoMatrix::Bt709;
    bool HasAlpha = false;
    std::string Codec;  // FFmpeg's name for it
    int SoundStreams = 0;
    // How its colour is encoded, in OpenImageIO's colour space names: "sRGB" where the stream
    // says so or says nothing (as untagged 8-bit video is shown), "Rec709" for the video
    // standards' curve, "Linear" for linear light.
    std::string ColourEncoding = "sRGB";
};

// Throws Failure naming the file when it is missing, not a plain file, holds no video stream, or
// cannot be decoded.
MovieFacts InspectMovie(const std::filesystem::path& file, const std::string& role);

// Reads frames in ascending order from one open file; a frame before the last one read opens the
// file again. Not for several threads at once.
class MovieReader {
public:
    MovieReader(const std::filesystem::path& file, const std::string& role);
    // With the facts InspectMovie gave for this file: the file is not walked again to count them.
    MovieReader(std::filesystem::path file, std::string role, const MovieFacts& facts);
    ~MovieReader();
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;

    const MovieFacts& Facts() const;
    // Throws Failure naming the file and the frame when the frame is not there or cannot be
    // decoded.
    ImageFile ReadFrame(int frame);

    // The decoder's state, which lives in the movie module (movie_library.h).
    struct State;

private:
    State* m_State = nullptr;
};

}  // namespace qualvex
