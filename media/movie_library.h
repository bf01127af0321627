// The calls that need FFmpeg's libraries, as one table. Those libraries (some 140 with what they
// bring) take 0.03-0.04 s to load, a third of a one-frame image run; a run that reads and writes
// no movie need not pay that. So the program reaches these calls through a module of their own
// (qualvex-movies.so, beside the commands module), loaded the first time a movie is read or
// written; a program linked with the calls themselves (qualvex_media_movies) uses them directly.
// MovieReader, MovieWriter and InspectMovie are the way in; this table is the file layer's own.
#pragma once

#include "host/image.h"
#include "media/image_reader.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex::movie_library {

// The calls, as movie_reader.h and movie_writer.h describe them; a reader's and a writer's state
// is made by Open... and ended by Close....
MovieFacts InspectMovie(const std::filesystem::path& file, const std::string& role);
MovieReader::State* OpenReader(const std::filesystem::path& file, const std::string& role, const MovieFacts& facts);
void CloseReader(MovieReader::State* state);
const MovieFacts& ReaderFacts(const MovieReader::State& state);
ImageFile ReadFrame(MovieReader::State& state, int frame);
MovieWriter::State* OpenWriter(const std::filesystem::path& file, int width, int height,
                               const MovieWriteOptions& options);
void CloseWriter(MovieWriter::State* state);
void WriteFrame(MovieWriter::State& state, const Image& keyed);
void FinishWriter(MovieWriter::State& state);
int FramesWritten(const MovieWriter::State& state);
std::uint64_t ClampedValues(const MovieWriter::State& state);
const std::vector<MovieWriter::SoundNote>& SoundNotes(const MovieWriter::State& state);

struct Calls {
    // sizeof(Calls) and the program's version: a module from another build is refused.
    std::size_t Size;
    const char* Version;
    decltype(&InspectMovie) Inspect;
    decltype(&OpenReader) Open;
    decltype(&CloseReader) Close;
    decltype(&ReaderFacts) Facts;
    decltype(&ReadFrame) Read;
    decltype(&OpenWriter) OpenOutput;
    decltype(&CloseWriter) CloseOutput;
    decltype(&WriteFrame) Write;
    decltype(&FinishWriter) Finish;
    decltype(&FramesWritten) Written;
    decltype(&ClampedValues) Clamped;
    decltype(&SoundNotes) Notes;
};

// The calls in use: the ones linked into this program, or else the module's, loaded on first use.
// Throws Failure when the module is missing or from another build.
const Calls& Library();

// The module's one entry point: the table, QualvexMovieLibrary() (movie_library_table.cpp).
inline constexpr const char* kModuleEntry = "QualvexMovieLibrary";

}  // namespace qualvex::movie_library
