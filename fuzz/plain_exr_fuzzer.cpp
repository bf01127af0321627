// OpenEXR files read without the image library, from arbitrary bytes: the header is weighed and
// the pixels decoded through the same calls `qualvex key` makes. Any outcome but a crash is
// allowed (turned down for the image library, refused by name, or read), and what is read must
// agree with what its header was said to hold.
#include "fuzz_check.h"

#include "base/errors.h"
#include "media/plain_exr.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using qualvex::fuzz::Require;

// The file every input is written to: one per process, replaced in place for each input.
const std::filesystem::path& InputFile()
{
    static const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("qualvex-fuzz-plain-exr-" + std::to_string(::getpid()) + ".exr");
    return file;
}

void Write(const std::uint8_t* data, std::size_t size)
{
    std::FILE* out = std::fopen(InputFile().c_str(), "wb");
    Require(out != nullptr, "the input file can be written");
    Require(size == 0 || std::fwrite(data, 1, size, out) == size, "the input is written whole");
    std::fclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Write(data, size);
    // What a frame may take: a header that claims more is refused before anything is allocated.
    constexpr std::uint64_t kLimit = std::uint64_t{64} << 20;
    const auto facts = qualvex::plain_exr::Inspect(InputFile(), "source");
    try {
        const auto image = qualvex::plain_exr::Read(InputFile(), "source", kLimit);
        Require(image.has_value() == facts.has_value(), "a file is plain to both calls or to neither");
        if (image) {
            Require(image->Pixels->Width == facts->Width && image->Pixels->Height == facts->Height,
                    "the image has the size its header gave");
            Require(facts->BytesToKey <= kLimit, "a frame over the limit is refused");
        }
    } catch (const qualvex::Failure& error) {
        Require(facts.has_value(), "only a plain file is refused here");
        Require(std::string(error.what()).find(InputFile().string() + ": ") == 0, "a refusal names the file");
    }
    return 0;
}
