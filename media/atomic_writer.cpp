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

// The encoder's bytes go straight to the temporary file as it makes them, a block at a time, while
// they are still in the processor's cache: no copy of the whole file is held. Every write is
// checked; the first failure is kept, so that the error names the system's reason (a full disk, a
// file size limit), and nothing is written after it.
class FileOutput final : public OIIO::Filesystem::IOProxy {
public:
    FileOutput(const std::filesystem::path& file, const TemporaryFile& temporary)
        : IOProxy(temporary.Path().string(), Write), m_File(file)
    {
        m_Descriptor = ::open(temporary.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_Descriptor < 0)
            throw Failure(file.string() + ": cannot create the output's temporary file: " + SystemError(errno));
    }
    ~FileOutput() override
    {
        if (m_Descriptor >= 0)
            ::close(m_Descriptor);
    }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    const char* proxytype() const override { return "qualvex-file"; }
    std::size_t size() const override { return static_cast<std::size_t>(m_End); }
    std::size_t write(const void* buffer, std::size_t bytes) override
    {
        const std::size_t done = pwrite(buffer, bytes, m_pos);
        m_pos += static_cast<std::int64_t>(done);
        return done;
    }
    std::size_t pwrite(const void* buffer, std::size_t bytes, std::int64_t offset) override
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
    std::size_t read(void*, std::size_t) override { return 0; }
    std::size_t pread(void*, std::size_t, std::int64_t) override { return 0; }

    // The failure to report for an encoder that gave up: the system's reason where a write failed.
    Failure Failed(const std::string& encoderError) const
    {
        return Failure(m_File.string() + ": cannot write the output: " +
                       (m_Error != 0 ? SystemError(m_Error) : ErrorText(encoderError, "the encoder failed")));
    }

    // Makes every byte durable and closes the file; any failure, earlier or now, throws.
    void Finish()
    {
        if (m_Error == 0 && ::fsync(m_Descriptor) != 0)
            m_Error = errno;
        const int descriptor = std::exchange(m_Descriptor, -1);
        if (::close(descriptor) != 0 && m_Error == 0)
            m_Error = errno;
        if (m_Error != 0)
            throw Failed({});
    }

private:
    std::filesystem::path m_File;
    int m_Descriptor = -1;
    int m_Error = 0;
    std::int64_t m_End = 0;
};

// Closes the encoder on every way out, while what it writes to still exists: an encoder left open
// would write its closing bytes through a proxy that is gone.
struct CloseOnExit {
    OIIO::ImageOutput& Out;
    ~CloseOnExit() { Out.close(); }
};

// A packed row's bytes: pixels of `type`, or of the header's per-channel formats when UNKNOWN.
std::size_t RowBytes(const OIIO::ImageSpec& header, OIIO::TypeDesc type)
{
    return type == OIIO::TypeDesc::UNKNOWN
               ? static_cast<std::size_t>(header.scanline_bytes(true))
               : static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.nchannels) * type.size();
}

// Hands the encoder the image a strip of rows at a time, filled just before it is encoded.
bool EncodeStrips(OIIO::ImageOutput& out, const OIIO::ImageSpec& header, OIIO::TypeDesc type,
                  const FillRows& fill)
{
    const std::size_t rowBytes = RowBytes(header, type);
    // About half a megabyte: the strip stays in the cache from its filling to its encoding.
    const int strip = static_cast<int>(std::clamp<std::size_t>((std::size_t{1} << 19) / std::max<std::size_t>(rowBytes, 1),
                                                               1, static_cast<std::size_t>(std::max(header.height, 1))));
    std::vector<unsigned char> rows(rowBytes * static_cast<std::size_t>(strip));
    for (int top = 0; top < header.height; top += strip) {
        const int bottom = std::min(header.height, top + strip);
        fill(top, bottom, rows.data());
        if (!out.write_scanlines(header.y + top, header.y + bottom, header.z, type, rows.data()))
            return false;
    }
    return true;
}

// For a format that only writes files: the encoder writes the temporary file itself, which is then
// read back in full, so that a file the encoder cut short without saying so is caught.
void WriteThroughEncoder(const std::filesystem::path& file, const TemporaryFile& temporary, OIIO::ImageOutput& out,
                         const OIIO::ImageSpec& header, OIIO::TypeDesc type, const FillRows& fill)
{
    // The encoder's own error state is not asked here: TIFF's writer reports a failed Exif directory
    // on every file, with nothing wrong in it. What counts is what reads back.
    if (!out.open(temporary.Path().string(), header) || !EncodeStrips(out, header, type, fill) || !out.close())
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

// An encoded image in its temporary file, waiting to be made durable and named.
class PendingImage final : public EncodedFile::Pending {
public:
    PendingImage(const std::filesystem::path& file, ExistingFile existing)
        : m_File(file), m_Existing(existing), m_Temporary(file.parent_path() / TemporaryName(file))
    {
    }

    void Encode(OIIO::ImageOutput& out, const OIIO::ImageSpec& header, OIIO::TypeDesc type, const FillRows& fill)
    {
        // TIFF's writer cannot put its directories through a proxy; it writes the file and is read back.
        if (!out.supports("ioproxy") || std::string(out.format_name()) == "tiff") {
            WriteThroughEncoder(m_File, m_Temporary, out, header, type, fill);
            return;
        }
        m_Bytes = std::make_unique<FileOutput>(m_File, m_Temporary);
        CloseOnExit closing{out};
        if (!out.set_ioproxy(m_Bytes.get()) || !out.open(m_File.string(), header) ||
            !EncodeStrips(out, header, type, fill) || !out.close() || out.has_error())
            throw m_Bytes->Failed(out.geterror());
    }

    void PutInPlace() override
    {
        if (m_Bytes)
            m_Bytes->Finish();
        qualvex::PutInPlace(m_File, m_Temporary, m_Existing);
    }

private:
    std::filesystem::path m_File;
    ExistingFile m_Existing;
    // Gone on every way out: after a rename it names nothing, after a hard link it is a second name.
    TemporaryFile m_Temporary;
    // Open until the bytes are made durable; none where the encoder wrote and flushed the file itself.
    std::unique_ptr<FileOutput> m_Bytes;
};

}  // namespace

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

EncodedFile EncodeImage(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                        OIIO::TypeDesc type, const FillRows& fill, ExistingFile existing)
{
    auto pending = std::make_unique<PendingImage>(file, existing);
    pending->Encode(out, header, type, fill);
    return EncodedFile(std::move(pending));
}

void WriteImageAtomically(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                          OIIO::TypeDesc type, const void* data, ExistingFile existing)
{
    const std::size_t rowBytes = RowBytes(header, type);
    const auto rows = [&](int top, int bottom, void* into) {
        std::memcpy(into, static_cast<const unsigned char*>(data) + static_cast<std::size_t>(top) * rowBytes,
                    static_cast<std::size_t>(bottom - top) * rowBytes);
    };
    EncodeImage(file, out, header, type, rows, existing).PutInPlace();
}

void WriteTextAtomically(const std::filesystem::path& file, const std::string& text, ExistingFile existing)
{
    const TemporaryFile temporary(file.parent_path() / TemporaryName(file));
    {
        FileOutput bytes(file, temporary);
        bytes.write(text.data(), text.size());
        bytes.Finish();
    }
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
