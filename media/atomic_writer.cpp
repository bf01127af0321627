#include "media/atomic_writer.h"

#include "base/errors.h"
#include "media/durable_file.h"
#include "media/oiio_errors.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace qualvex {
namespace {

constexpr const char* kTemporaryTag = ".qualvex-";

// Gives the temporary file the output's name: renamed over an existing file when replacing,
// otherwise a rename that never replaces.
void Rename(const std::filesystem::path& file, const durable::TemporaryFile& temporary, ExistingFile existing)
{
    if (existing == ExistingFile::Replace) {
        if (::rename(temporary.Path().c_str(), file.c_str()) != 0)
            throw Failure(file.string() + ": cannot move the finished output into place: " + durable::SystemError(errno));
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
    throw Failure(file.string() + ": cannot move the finished output into place: " + durable::SystemError(error));
}

// The name lives in the folder: until the folder is flushed too, a power cut can lose the name of
// a file whose data is safe. A file system that cannot flush a folder (EINVAL) keeps its names by
// other means.
void FlushFolder(const std::filesystem::path& file)
{
    const std::filesystem::path folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw Failure(file.string() + ": written, but its folder cannot be opened to flush it: " + durable::SystemError(errno));
    const bool flushed = ::fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(fd);
    if (!flushed)
        throw Failure(file.string() + ": written, but its folder cannot be flushed to the disk: " + durable::SystemError(error));
}

}  // namespace

namespace durable {

std::string TemporaryName(const std::filesystem::path& file)
{
    static std::atomic<unsigned> counter{0};
    std::string name = ".";
    name += file.filename().string();
    name += kTemporaryTag + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
    return name;
}

std::string SystemError(int error) { return std::generic_category().message(error); }

TemporaryFile::~TemporaryFile()
{
    std::error_code ignored;
    std::filesystem::remove(m_Path, ignored);
}

FileBytes::FileBytes(const std::filesystem::path& file, const TemporaryFile& temporary) : m_File(file)
{
    m_Descriptor = ::open(temporary.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_Descriptor < 0)
        throw Failure(file.string() + ": cannot create the output's temporary file: " + SystemError(errno));
}

FileBytes::~FileBytes()
{
    if (m_Descriptor >= 0)
        ::close(m_Descriptor);
}

std::size_t FileBytes::Write(const void* buffer, std::size_t bytes, std::int64_t offset)
{
    std::size_t done = 0;
    while (m_Error == 0 && done < bytes) {
        const ssize_t written = ::pwrite(m_Descriptor, static_cast<const unsigned char*>(buffer) + done, bytes - done,
                                         static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            m_Error = written < 0 ? errno : ENOSPC;
        else
            done += static_cast<std::size_t>(written);
    }
    m_End = std::max(m_End, offset + static_cast<std::int64_t>(done));
    return done;
}

Failure FileBytes::Failed(const std::string& encoderError) const
{
    return Failure(m_File.string() + ": cannot write the output: " +
                   (m_Error != 0 ? SystemError(m_Error) : ErrorText(encoderError, "the encoder failed")));
}

void FileBytes::Finish()
{
    if (m_Error == 0 && ::fsync(m_Descriptor) != 0)
        m_Error = errno;
    const int descriptor = std::exchange(m_Descriptor, -1);
    if (::close(descriptor) != 0 && m_Error == 0)
        m_Error = errno;
    if (m_Error != 0)
        throw Failed({});
}

void PutInPlace(const std::filesystem::path& file, const TemporaryFile& temporary, ExistingFile existing)
{
    Rename(file, temporary, existing);
    FlushFolder(file);
}

}  // namespace durable

EncodedFile::EncodedFile(std::unique_ptr<Pending> pending) : m_Pending(std::move(pending)) {}
EncodedFile::EncodedFile(EncodedFile&&) noexcept = default;
EncodedFile& EncodedFile::operator=(EncodedFile&&) noexcept = default;
EncodedFile::~EncodedFile() = default;

void EncodedFile::PutInPlace()
{
    if (!m_Pending)
        throw std::logic_error("an encoded file is put in place once");
    const std::unique_ptr<Pending> pending = std::move(m_Pending);
    pending->PutInPlace();
}

void WriteTextAtomically(const std::filesystem::path& file, const std::string& text, ExistingFile existing)
{
    const durable::TemporaryFile temporary(file.parent_path() / durable::TemporaryName(file));
    {
        durable::FileBytes bytes(file, temporary);
        bytes.Write(text.data(), text.size(), 0);
        bytes.Finish();
    }
    durable::PutInPlace(file, temporary, existing);
}

FileInProgress::FileInProgress(const std::filesystem::path& file)
    : m_File(file), m_Temporary(file.parent_path() / durable::TemporaryName(file))
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
        throw Failure(m_File.string() + ": the written output is gone: " + durable::SystemError(errno));
    const bool flushed = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!flushed)
        throw Failure(m_File.string() + ": cannot write the output: " + durable::SystemError(error));
    const durable::TemporaryFile temporary(m_Temporary);
    durable::PutInPlace(m_File, temporary, existing);
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
