// Host images: two storage planes, each a table of row addresses and a pixel step, with a pixel
// reader and a pixel writer that move one pixel between storage and the host pixel record, and a
// row reader and writer that move the colour of a run of pixels to and from channel arrays.
#pragma once

#include "host/image_memory.h"
#include "host/parameter.h"
#include "host/tag_list.h"

#include <cstdint>
#include <memory>
#include <vector>

// The host pixel record: colour first, then the further per-pixel channels that compositing
// images carry. Readers widen stored values to this record; writers narrow them back.
struct Pixel {
    float B = 0.0f;
    float G = 0.0f;
    float R = 0.0f;
    float A = 0.0f;
    float Z = 0.0f;         // depth
    float Coverage = 1.0f;  // share of the pixel covered by the object in front
    std::uint32_t ObjectID = 0;
    std::uint32_t MaterialID = 0;
};

// How the colour plane stores its B, G, R, A values. The second plane always holds the further
// channels at full precision (depth and coverage as 32-bit floats, IDs as 32-bit integers).
enum class PixelStorage { UInt8, UInt16, Half, Float };

const char* PixelStorageName(PixelStorage storage);

namespace ImageTag {
inline constexpr std::uint32_t Model = 0x60020000;  // an image whose size and storage to copy
// Nonzero: the tool writes every pixel of the new image before handing it on, so the host may
// leave its memory as it finds it instead of clearing it to 0.
inline constexpr std::uint32_t Overwritten = 0x10020001;
}

class Image : public Parameter {
public:
    using PixelReader = void (*)(Pixel* record, const unsigned char* colour, const unsigned char* channels,
                                 const Image* image);
    using PixelWriter = void (*)(const Pixel* record, unsigned char* colour, unsigned char* channels,
                                 const Image* image);
    // `count` pixels of row `y` from column `x`: the colour plane's B, G, R, A values, each
    // widened or narrowed exactly as the pixel reader and writer do it. The caller keeps to the
    // image (0 <= x, x + count <= Width, 0 <= y < Height); the further channels are not touched.
    using RowReader = void (*)(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b,
                               float* g, float* r, float* a);
    using RowWriter = void (*)(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b,
                               const float* g, const float* r, const float* a);

    // Dimensions must be 0 or more. Without further channels the second plane has no row table
    // and its address is null for every pixel: readers then fill the channels' neutral values.
    // Every stored value starts at 0, unless `cleared` is false: then the planes hold whatever
    // the memory held, for a maker that writes every pixel anyway.
    Image(std::int32_t width, std::int32_t height, PixelStorage storage, bool furtherChannels = true,
          bool cleared = true);
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() override;

    ParameterKind Kind() const override { return ParameterKind::Image; }
    // Releases an image that its owner did not hand to the host.
    void Recycle() { delete this; }

    PixelStorage Storage() const { return m_Storage; }
    bool HasFurtherChannels() const { return m_FurtherChannels; }

    // Convenience access for the host and tools outside the render path.
    Pixel GetPixel(std::int32_t x, std::int32_t y) const;
    void SetPixel(std::int32_t x, std::int32_t y, const Pixel& pixel);

    // Geometry and access, as tools use them.
    std::int32_t Width;
    std::int32_t Height;
    unsigned char* const* PlaneRows[2];  // per plane: row table indexed by row, or null
    std::int32_t PixelStep[2];           // per plane: bytes between horizontal neighbours
    PixelReader ReadPixel;
    PixelWriter WritePixel;

private:
    unsigned char* Address(int plane, std::int32_t x, std::int32_t y) const;

    PixelStorage m_Storage;
    bool m_FurtherChannels;
    host::ImageMemory m_Planes[2];
    std::vector<unsigned char*> m_Rows[2];

public:
    // Row access, after every other member so that tools built before it find the others where
    // they were. Null where an image offers no rows: a tool then goes pixel by pixel.
    RowReader ReadRow = nullptr;
    RowWriter WriteRow = nullptr;
};

// Makes a new image with the size and storage of the image under tag ImageTag::Model, cleared to
// 0 unless ImageTag::Overwritten is given and nonzero. The caller owns it until it hands it to
// Request::SetOutputData; otherwise it releases it with Recycle().
Image* NewImageTagList(const TagList& tags);

// A new image, until its maker hands it on with release(); any way out before that recycles it.
struct RecycleImage {
    void operator()(Image* image) const { image->Recycle(); }
};
using OwnedImage = std::unique_ptr<Image, RecycleImage>;

// Whether a tool can read `source` and write `output` a row at a time, carrying the further
// channels across as whole rows: both offer rows, and their further channels are laid out alike.
inline bool RowsCarryAcross(const Image& source, const Image& output)
{
    return source.ReadRow != nullptr && output.WriteRow != nullptr && source.PixelStep[1] == output.PixelStep[1] &&
           (source.PlaneRows[1] == nullptr) == (output.PlaneRows[1] == nullptr);
}

// Row `y` of a float image's colour plane (B, G, R, A of each pixel, side by side: the stored
// values are the values, no conversion between), or null for any other storage kind and for an
// image that offers no rows. The caller keeps to 0 <= y < Height.
inline float* FloatColourRow(const Image& image, std::int32_t y)
{
    if (image.Storage() != PixelStorage::Float || image.ReadRow == nullptr || image.WriteRow == nullptr ||
        image.PlaneRows[0] == nullptr ||
        image.PixelStep[0] != static_cast<std::int32_t>(4 * sizeof(float)))
        return nullptr;
    return reinterpret_cast<float*>(image.PlaneRows[0][y]);
}

// The new image a tool renders every pixel of: the size and storage of `model`, its memory left
// uncleared (NewImageTagList with ImageTag::Model and ImageTag::Overwritten).
inline OwnedImage NewImageToOverwrite(const Image& model)
{
    const std::uint64_t words[] = {ImageTag::Model, reinterpret_cast<std::uint64_t>(&model), ImageTag::Overwritten, 1,
                                   0, 0};
    return OwnedImage(NewImageTagList(TagList(words, false)));
}
