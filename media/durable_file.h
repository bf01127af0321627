// The pieces every atomic write shares, inside the file layer: the temporary name beside a file,
// checked writes to it, and putting it in place. The image encoder (which runs in the image
// library's module) and the text and movie writers use the same ones.
#pragma once

#include "base/errors.h"
#include "media/atomic_writer.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace qualvex::durable {

// A name beside `file`, unique per process and per write, so threads writing side by side never
// collide; it carries the process number, so that a later run tells a stale file from one still
// being written.
std::string TemporaryName(const std::filesystem::path& file);

// The system's text for an errno value.
std::string SystemError(int error);

// The temporary file's name, removed when the write is over.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : m_Path(std::move(path)) {}
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& Path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
};

// Bytes written to the temporary file as they come. Every write is checked; the first failure is
// kept, so that the error names the system's reason (a full disk, a file size limit), and nothing
// is written after it.
class FileBytes {
public:
    FileBytes(const std::filesystem::path& file, const TemporaryFile& temporary);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    // Writes `bytes` at `offset`; returns how many were written (fewer only after a failure).
    std::size_t Write(const void* buffer, std::size_t bytes, std::int64_t offset);
    // One past the last byte written.
    std::int64_t End() const { return m_End; }

    // The failure to report for an encoder that gave up: the system's reason where a write failed.
    Failure Failed(const std::string& encoderError) const;
    // Makes every byte durable and closes the file; any failure, earlier or now, throws.
    void Finish();

private:
    std::filesystem::path m_File;
    int m_Descriptor = -1;
    int m_Error = 0;
    std::int64_t m_End = 0;
};

// Gives the temporary file `file`'s name (replacing only when asked) and flushes the folder.
void PutInPlace(const std::filesystem::path& file, const TemporaryFile& temporary, ExistingFile existing);

}  // namespace qualvex::durable
