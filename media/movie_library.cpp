#include "media/movie_library.h"

#include "media/module_loader.h"

// Defined only where the calls are linked in: weak, so that a program without them links, and
// loads the module instead.
extern "C" [[gnu::weak]] const qualvex::movie_library::Calls* QualvexMovieLibrary();

namespace qualvex {

const movie_library::Calls& movie_library::Library()
{
    if (QualvexMovieLibrary != nullptr)
        return *QualvexMovieLibrary();
    // A failed load throws before the table is kept: the next call tries again and says why.
    static const Calls& loaded =
        LoadModuleTable<Calls>("qualvex-movies.so", kModuleEntry, "movie module", "reading and writing movies needs it");
    return loaded;
}

MovieFacts InspectMovie(const std::filesystem::path& file, const std::string& role)
{
    return movie_library::Library().Inspect(file, role);
}

MovieReader::MovieReader(const std::filesystem::path& file, const std::string& role)
    : MovieReader(file, role, InspectMovie(file, role))
{
}

MovieReader::MovieReader(std::filesystem::path file, std::string role, const MovieFacts& facts)
    : m_State(movie_library::Library().Open(file, role, facts))
{
}

MovieReader::~MovieReader() { movie_library::Library().Close(m_State); }

const MovieFacts& MovieReader::Facts() const { return movie_library::Library().Facts(*m_State); }

ImageFile MovieReader::ReadFrame(int frame) { return movie_library::Library().Read(*m_State, frame); }

MovieWriter::MovieWriter(const std::filesystem::path& file, int width, int height, const MovieWriteOptions& options)
    : m_State(movie_library::Library().OpenOutput(file, width, height, options))
{
}

MovieWriter::~MovieWriter() { movie_library::Library().CloseOutput(m_State); }

void MovieWriter::WriteFrame(const Image& keyed) { movie_library::Library().Write(*m_State, keyed); }

void MovieWriter::Finish() { movie_library::Library().Finish(*m_State); }

int MovieWriter::FramesWritten() const { return movie_library::Library().Written(*m_State); }

std::uint64_t MovieWriter::ClampedValues() const { return movie_library::Library().Clamped(*m_State); }

const std::vector<MovieWriter::SoundNote>& MovieWriter::SoundNotes() const
{
    return movie_library::Library().Notes(*m_State);
}

}  // namespace qualvex
