// Images encoded through the image library into their temporary files, for the atomic writer:
// the part of it that needs the library, so that it lives where the library is loaded.
#include "base/errors.h"
#include "media/atomic_writer.h"
#include "media/durable_file.h"
#include "media/oiio_errors.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {
namespace {

// The encoder's bytes go straight to the temporary file as it makes them, a block at a time, while
// they are still in the processor's cache: no copy of the whole file is held.
class FileOutput final : public OIIO::Filesystem::IOProxy {
public:
    FileOutput(const std::filesystem::path& file, const durable::TemporaryFile& temporary)
        : IOProxy(temporary.Path().string(), Write), m_Bytes(file, temporary)
    {
    }

    const char* proxytype() const override { return "qualvex-file"; }
    std::size_t size() const override { return static_cast<std::size_t>(m_Bytes.End()); }
    std::size_t write(const void* buffer, std::size_t bytes) override
    {
        const std::size_t done = pwrite(buffer, bytes, m_pos);
        m_pos += static_cast<std::int64_t>(done);
        return done;
    }
    std::size_t pwrite(const void* buffer, std::size_t bytes, std::int64_t offset) override
    {
        return m_Bytes.Write(buffer, bytes, offset);
    }
    std::size_t read(void*, std::size_t) override { return 0; }
    std::size_t pread(void*, std::size_t, std::int64_t) override { return 0; }

    Failure Failed(const std::string& encoderError) const { return m_Bytes.Failed(encoderError); }
    void Finish() { m_Bytes.Finish(); }

private:
    durable::FileBytes m_Bytes;
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
void WriteThroughEncoder(const std::filesystem::path& file, const durable::TemporaryFile& temporary, OIIO::ImageOutput& out,
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
        throw Failure(file.string() + ": cannot write the output: " + durable::SystemError(errno));
}

// An encoded image in its temporary file, waiting to be made durable and named.
class PendingImage final : public EncodedFile::Pending {
public:
    PendingImage(const std::filesystem::path& file, ExistingFile existing)
        : m_File(file), m_Existing(existing), m_Temporary(file.parent_path() / durable::TemporaryName(file))
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
        durable::PutInPlace(m_File, m_Temporary, m_Existing);
    }

private:
    std::filesystem::path m_File;
    ExistingFile m_Existing;
    // Gone on every way out: after a rename it names nothing, after a hard link it is a second name.
    durable::TemporaryFile m_Temporary;
    // Open until the bytes are made durable; none where the encoder wrote and flushed the file itself.
    std::unique_ptr<FileOutput> m_Bytes;
};

}  // namespace

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

}  // namespace qualvex
