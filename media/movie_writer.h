// Keyed frames written as one movie with alpha, through FFmpeg's libraries: ProRes 4444 in a
// QuickTime file (.mov: 10-bit 4:4:4 colour, 10-bit alpha stored losslessly) or VP9 with alpha
// in WebM (.webm: 8-bit 4:2:0 colour, 8-bit alpha, both lossy). Colour is stored straight, as
// the readers of both expect, in limited range with the YUV matrix given. The movie is written
// into a temporary file beside its name and put in place by Finish alone: an interrupted or
// failed run leaves no partial movie.
#pragma once

#include "host/image.h"
#include "media/atomic_writer.h"
#include "media/format_policy.h"
#include "media/movie_reader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {

// Whether a file of this name is written as a movie with alpha (.mov or .webm).
bool IsMovieOutputName(const std::filesystem::path& file);

// Throws UsageError naming the file when it names a movie format that keyed frames are not
// written in (.mp4, .mkv, .avi and the other movie names: no alpha that their readers keep).
void CheckMovieOutputName(const std::filesystem::path& file);

// The sound of a movie source that goes along with its keyed frames.
struct MovieSound {
    std::filesystem::path Source;  // empty: none
    int FirstFrame = 1;            // the first frame keyed (the source's frames count from 1)
    int Frames = 0;                // how many frames from it are keyed
    int RateNumerator = 0;         // the source's frames per second (the movie's own)
    int RateDenominator = 1;
};

struct MovieWriteOptions {
    int RateNumerator = 24;  // frames per second as a fraction
    int RateDenominator = 1;
    VideoMatrix Matrix = VideoMatrix::Bt709;
    AlphaReading Result = AlphaReading::Straight;  // how the keyed images' colour reads
    ExistingFile Existing = ExistingFile::Keep;
    MovieSound Sound = {};
    // How the frames' colour is encoded (ImageLayout's names): tagged on the video stream as its
    // transfer curve, with the video standards' primaries.
    std::string ColourEncoding = {};
};

class MovieWriter {
public:
    // Throws Failure naming the file when the encoder or the file cannot be set up.
    MovieWriter(const std::filesystem::path& file, int width, int height, const MovieWriteOptions& options);
    ~MovieWriter();
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Appends the next frame, which must have the movie's size.
    void WriteFrame(const Image& keyed);
    // Ends the stream and puts the movie in place.
    void Finish();

    int FramesWritten() const;
    // What became of each of the source's sound streams, for the run to say.
    struct SoundNote {
        std::string Text;  // "sound stream 1 (aac, 2 channels): copied"
        bool Copied;       // copied or re-encoded; false: left out
    };
    const std::vector<SoundNote>& SoundNotes() const;
    // Colour and alpha values outside 0..1 (or NaN) that the video's range could not hold and
    // were clamped to it.
    std::uint64_t ClampedValues() const;

    // The encoder's state, which lives in the movie module (movie_library.h).
    struct State;

private:
    State* m_State = nullptr;
};

}  // namespace qualvex
