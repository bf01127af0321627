// What a file's name says about movies, without FFmpeg's libraries: a run decides by the name
// alone whether it needs the movie module.
#include "media/movie_reader.h"
#include "media/movie_writer.h"

#include "base/errors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace qualvex {

bool IsMovieName(const std::filesystem::path& file)
{
    static constexpr std::array<const char*, 11> kExtensions = {".mov", ".mp4", ".m4v", ".mkv",  ".webm", ".avi",
                                                                 ".mxf", ".mpg", ".mpeg", ".ts", ".ogv"};
    const std::string extension = LowerCaseExtension(file);
    return std::find(kExtensions.begin(), kExtensions.end(), extension) != kExtensions.end();
}

std::string LowerCaseExtension(const std::filesystem::path& file)
{
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

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

}  // namespace qualvex
