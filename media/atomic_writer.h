// The one way qualvex writes an image file. The image is encoded a strip of rows at a time into a
// temporary file beside its name, with every write, flush and close checked (a format that can
// only write to a file by name writes it itself, and it is read back in full), made durable, and
// only then put in place. So a name never holds a partial image, a full disk or a file size limit
// ends in a clear error with the temporary file removed, and nothing existing is replaced unless
// asked.
#pragma once

// Declared only: the image library's full header costs every file that includes this one.
#include <OpenImageIO/oiioversion.h>
OIIO_NAMESPACE_BEGIN
class ImageOutput;
class ImageSpec;
struct TypeDesc;
OIIO_NAMESPACE_END

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qualvex {

enum class ExistingFile {
    Keep,     // a file that appears under the name meanwhile is kept: the write fails
    Replace,  // an existing file is replaced
};

// Fills rows top..bottom - 1 of the image (counted from its first row), packed, into `into`.
using FillRows = std::function<void(int top, int bottom, void* into)>;

// An image encoded into its temporary file beside its name, not yet durable and not yet under its
// name: PutInPlace() flushes it to the disk, gives it its name and flushes the folder (throwing
// Failure naming the file). Dropped without that, the temporary file is removed and the name
// untouched. So the flush of one frame can wait on another thread while the next is keyed.
class EncodedFile {
public:
    // What the file holds until it is put in place: the writer's own.
    class Pending {
    public:
        virtual ~Pending() = default;
        virtual void PutInPlace() = 0;
    };
    explicit EncodedFile(std::unique_ptr<Pending> pending);
    EncodedFile(EncodedFile&&) noexcept;
    EncodedFile& operator=(EncodedFile&&) noexcept;
    ~EncodedFile();

    void PutInPlace();

private:
    std::unique_ptr<Pending> m_Pending;
};

// Encodes the image through `out`, an output created for `file`'s format, asking `fill` for its
// rows in order: pixels of `type`, or of the header's per-channel formats when `type` is UNKNOWN.
// Throws Failure naming `file`.
EncodedFile EncodeImage(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                        OIIO::TypeDesc type, const FillRows& fill, ExistingFile existing);

// EncodeImage of an image held whole in `data`, then PutInPlace.
void WriteImageAtomically(const std::filesystem::path& file, OIIO::ImageOutput& out, const OIIO::ImageSpec& header,
                          OIIO::TypeDesc type, const void* data, ExistingFile existing);

// Writes a small text file (settings, a job's description) the same way: beside its name, every
// write checked, then put in place. Throws Failure naming `file`.
void WriteTextAtomically(const std::filesystem::path& file, const std::string& text, ExistingFile existing);

// A file an encoder writes by a name of its own (a movie, frame after frame): it writes Path(), a
// temporary file beside `file`, and Commit() makes that durable and puts it in place. Until then,
// and whenever Commit is not reached, `file` is untouched and the temporary is removed.
class FileInProgress {
public:
    explicit FileInProgress(const std::filesystem::path& file);
    ~FileInProgress();
    FileInProgress(const FileInProgress&) = delete;
    FileInProgress& operator=(const FileInProgress&) = delete;

    const std::filesystem::path& Path() const { return m_Temporary; }
    // Throws Failure naming the file.
    void Commit(ExistingFile existing);

private:
    std::filesystem::path m_File;
    std::filesystem::path m_Temporary;
};

// Removes the temporary files that runs which no longer exist left beside `files` (a run that was
// killed cannot clean up after itself). Returns how many were removed.
int RemoveStaleTemporaries(const std::vector<std::filesystem::path>& files);

}  // namespace qualvex
