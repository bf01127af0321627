// The movie libraries' calls as a table, where they are linked in: every program but the
// command-line one, whose commands load them as a module (see movie_library.h).
#include "media/movie_library.h"

extern "C" [[gnu::visibility("default")]] const qualvex::movie_library::Calls* QualvexMovieLibrary()
{
    using namespace qualvex::movie_library;
    static const Calls calls{sizeof(Calls), QUALVEX_VERSION, InspectMovie,  OpenReader,    CloseReader,
                             ReaderFacts,   ReadFrame,       OpenWriter,    CloseWriter,   WriteFrame,
                             FinishWriter,  FramesWritten,   ClampedValues, SoundNotes};
    return &calls;
}
