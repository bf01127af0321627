// What the movie reader and writer share of FFmpeg's libraries.
#pragma once

#include <string>

namespace qualvex::cli {

// FFmpeg's message for one of its negative error codes.
std::string AvErrorText(int code);

// The libraries report errors only: their informational lines (encoder versions, stream notes)
// would mix with qualvex's own messages.
void QuietCodecLibraries();

}  // namespace qualvex::cli
