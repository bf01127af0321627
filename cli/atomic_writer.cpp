#include "cli/atomic_writer.h"

#include "cli/cli_errors.h"
#include "cli/oiio_errors.h"

#include <unistd.h>

#include <atomic>
#include <string>
#include <system_error>

namespace qualvex::cli {

void WriteImageAtomically(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                          OIIO::TypeDesc type, const void* data)
{
    // Unique per process and per write, so threads writing frames side by side never collide.
    static std::atomic<unsigned> counter{0};
    std::string name = ".";
    name += file.filename().string();
    name += ".qualvex-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    const std::filesystem::path temporary = file.parent_path() / name;
    auto discard = [&temporary] {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    };
    if (!out.open(temporary.string(), header) || !out.write_image(type, data) || !out.close()) {
        const std::string reason = ErrorText(out.geterror(), "write failed");
        out.close();
        discard();
        throw Failure(file.string() + ": cannot write the output: " + reason);
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    if (error) {
        discard();
        throw Failure(file.string() + ": cannot move the finished output into place: " + error.message());
    }
}

}  // namespace qualvex::cli
