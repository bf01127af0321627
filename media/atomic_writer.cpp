#include "media/atomic_writer.h"

#include "base/errors.h"
#include "media/oiio_errors.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <system_error>

namespace qualvex {
namespace {

constexpr const char* kTemporaryTag = ".qualvex-";

std::string TemporaryName(const std::filesystem::path& file)
{
    // Unique per process and per write, so threads writing frames side by side never collide;
    // the process number lets a later run tell a stale file from one still being written.
    static std::atomic<unsigned> counter{0};
    std::string name = ".";
    name += file.filename().string();
    name += kTemporaryTag + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    return name;
}

std::string SystemError(int error) { return std::generic_category().message(error); }

// The temporary file's name, removed when the write is over.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : m_Path(std::move(path)) {}
    ~TemporaryFile()
    {
        std::error_code ignored;
        std::filesystem::remove(m_Path, ignored);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

// Writes every byte and makes it durable; any short or failed write, flush or close throws.
void WriteBytes(const std::filesystem::path& file, const TemporaryFile& temporary,
                const std::vector<unsigned char>& bytes)
{
    const int fd = ::open(temporary.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        throw Failure(file.string() + ": cannot create the output's temporary file: " + SystemError(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int error = written < 0 ? errno : ENOSPC;
            ::close(fd);
            throw Failure(file.string() + ": cannot write the output: " + SystemError(error));
        }
        done += static_cast<std::size_t>(written);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        throw Failure(file.string() + ": cannot write the output: " + SystemError(error));
    }
    if (::close(fd) != 0)
        throw Failure(file.string() + ": cannot write the output: " + SystemError(errno));
}

// For a format that only writes files: the encoder writes the temporary file itself, which is then
// read back in full, so that a file the encoder cut short without saying so is caught.
void WriteThroughEncoder(const std::filesystem::path& file, const TemporaryFile& temporary, OIIO::ImageOutput& out,
                         const OIIO::ImageSpec& header, OIIO::TypeDesc type, const void* data)
{
    // The encoder's own error state is not asked here: TIFF's writer reports a failed Exif directory
    // on every file, with nothing wrong in it. What counts is what reads back.
    if (!out.open(temporary.Path().string(), header) || !out.write_image(type, data) || !out.close())
        throw Failure(file.string() + ": cannot write the output: " + ErrorText(out.geterror(), "write failed"));
    auto in = OIIO::ImageInput::open(temporary.Path().string());
    std::vector<float> check;
    bool complete = in != nullptr && in->spec().width == header.width && in->spec().height == header.height;
    if (complete) {
        check.resize(static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.height) *
                     static_cast<std::size_t>(in->spec().nchannels));
        complete = in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, check.data()) && !in->has_error();
    }
    if (!complete)
        throw Failure(file.string() + ": cannot write the output: the written file does not read back complete");
    const int fd = ::open(temporary.Path().c_str(), O_RDONLY | O_CLOEXEC);
    const bool durable = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!durable)
        throw Failure(file.string() + ": cannot write the output: " + SystemError(errno));
}

// Gives the temporary file the output's name: renamed over an existing file when replacing,
// otherwise a rename that never replaces.
void Rename(const std::filesystem::path& file, const TemporaryFile& temporary, ExistingFile existing)
{
    if (existing == ExistingFile::Replace) {
        if (::rename(temporary.Path().c_str(), file.c_str()) != 0)
            throw Failure(file.string() + ": cannot move the finished output into place: " + SystemError(errno));
        return;
    }
    // Never replaces: another run that put a file under this name meanwhile wins, and this write
    // fails rather than mixing two runs' frames.
    if (::renameat2(AT_FDCWD, temporary.Path().c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0)
        return;
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the no-replace rename: a hard link refuses an existing name too.
        if (::link(temporary.Path().c_str(), file.c_str()) == 0)
            return;
        error = errno;
    }
    if (error == EEXIST)
        throw Failure(file.string() + ": appeared while this run was writing it (another run?); it is kept, not "
                                      "replaced (use --overwrite to replace)");
    throw Failure(file.string() + ": cannot move the finished output into place: " + SystemError(error));
}

// The name lives in the folder: until the folder is flushed too, a power cut can lose the name of
// a file whose data is safe. A file system that cannot flush a folder (EINVAL) keeps its names by
// other means.
void FlushFolder(const std::filesystem::path& file)
{
    const std::filesystem::path folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw Failure(file.string() + ": written, but its folder cannot be opened to flush it: " + SystemError(errno));
    const bool flushed = ::fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(fd);
    if (!flushed)
        throw Failure(file.string() + ": written, but its folder cannot be flushed to the disk: " + SystemError(error));
}

void PutInPlace(const std::filesystem::path& file, const TemporaryFile& temporary, ExistingFile existing)
{
    Rename(file, temporary, existing);
    FlushFolder(file);
}

}  // namespace

void WriteImageAtomically(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                          OIIO::TypeDesc type, const void* data, ExistingFile existing)
{
    // Gone on every way out: after a rename it names nothing, after a hard link it is a second name.
    const TemporaryFile temporary(file.parent_path() / TemporaryName(file));
    // TIFF's writer cannot put its directories into memory; it writes the file and is read back.
    if (out.supports("ioproxy") && std::string(out.format_name()) != "tiff") {
        // Room for the pixels as they are, and the header: an uncompressed image is encoded
        // without the buffer growing (and copying itself) on the way.
        std::vector<unsigned char> encoded;
        encoded.reserve(static_cast<std::size_t>(header.image_bytes()) + (std::size_t{1} << 16));
        OIIO::Filesystem::IOVecOutput memory(encoded);
        if (!out.set_ioproxy(&memory) || !out.open(file.string(), header) || !out.write_image(type, data) ||
            !out.close() || out.has_error())
            throw Failure(file.string() + ": cannot write the output: " + ErrorText(out.geterror(), "the encoder failed"));
        WriteBytes(file, temporary, encoded);
    } else {
        WriteThroughEncoder(file, temporary, out, header, type, data);
    }
    PutInPlace(file, temporary, existing);
}

void WriteTextAtomically(const std::filesystem::path& file, const std::string& text, ExistingFile existing)
{
    const TemporaryFile temporary(file.parent_path() / TemporaryName(file));
    WriteBytes(file, temporary, std::vector<unsigned char>(text.begin(), text.end()));
    PutInPlace(file, temporary, existing);
}

FileInProgress::FileInProgress(const std::filesystem::path& file)
    : m_File(file), m_Temporary(file.parent_path() / TemporaryName(file))
{
}

FileInProgress::~FileInProgress()
{
    std::error_code ignored;
    std::filesystem::remove(m_Temporary, ignored);
}

void FileInProgress::Commit(ExistingFile existing)
{
    const int fd = ::open(m_Temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Failure(m_File.string() + ": the written output is gone: " + SystemError(errno));
    const bool durable = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!durable)
        throw Failure(m_File.string() + ": cannot write the output: " + SystemError(error));
    const TemporaryFile temporary(m_Temporary);
    PutInPlace(m_File, temporary, existing);
}

int RemoveStaleTemporaries(const std::vector<std::filesystem::path>& files)
{
    std::set<std::filesystem::path> folders;
    std::set<std::string> names;
    for (const auto& file : files) {
        folders.insert(file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path());
        std::string name = ".";
        name += file.filename().string();
        names.insert(std::move(name));
    }
    int removed = 0;
    for (const auto& folder : folders) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            const std::size_t tag = name.rfind(kTemporaryTag);
            if (tag == std::string::npos || name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0 ||
                names.count(name.substr(0, tag)) == 0)
                continue;
            const std::string rest = name.substr(tag + std::strlen(kTemporaryTag));
            char* end = nullptr;
            const long pid = std::strtol(rest.c_str(), &end, 10);
            if (end == rest.c_str() || *end != '-' || pid <= 0)
                continue;
            // Only a run that is gone leaves a stale file: one still running is writing it.
            if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
                continue;
            std::error_code ignored;
            removed += std::filesystem::remove(entry.path(), ignored) ? 1 : 0;
        }
    }
    return removed;
}

}  // namespace qualvex
