// The storage kinds a keyed file can have: the host's pixel storage, the name users type for it,
// the OpenImageIO type that carries it and its size. Every conversion between them reads this
// one table.
#pragma once

#include "host/image.h"

// Declared only: the image library's header costs every file that includes this one.
#include <OpenImageIO/oiioversion.h>
OIIO_NAMESPACE_BEGIN
struct TypeDesc;
OIIO_NAMESPACE_END

#include <cstddef>
#include <memory>
#include <string>

namespace qualvex {

struct StorageKind {
    PixelStorage Storage;
    const char* Name;                  // as --data-type takes it
    unsigned char FileType;            // the image library's base type (TypeDesc::BASETYPE) in files
    std::size_t Bytes;                 // per channel value
};

const StorageKind& KindOf(PixelStorage storage);

// A copy of `image` stored as `storage`, pixel for pixel through the host's pixel record (values
// a narrower kind cannot hold are rounded and clamped as the host stores them).
std::unique_ptr<Image> ConvertStorage(const Image& image, PixelStorage storage);

// The storage a file's channel type is keyed in: types without a kind of their own (signed,
// 32-bit integers, doubles) are keyed in single precision.
PixelStorage StorageForFileType(OIIO::TypeDesc type);

// Whether values of `storage` take more bytes than values of `than`: an output of a wider kind
// than its source is keyed in the wider kind, so that the matte is not quantised to the source's.
bool IsWider(PixelStorage storage, PixelStorage than);

// "uint8", "uint16", "half" or "float"; throws UsageError naming --data-type otherwise.
PixelStorage ParseStorage(const std::string& name);

// A run of float pixels between a file's R, G, B, A order and the float plane's B, G, R, A (the
// same exchange both ways): the values are copied as they are, bit for bit.
inline void TradeRedAndBlue(const float* from, float* to, std::size_t pixels)
{
    for (std::size_t x = 0; x < pixels; ++x) {
        to[4 * x] = from[4 * x + 2];
        to[4 * x + 1] = from[4 * x + 1];
        to[4 * x + 2] = from[4 * x];
        to[4 * x + 3] = from[4 * x + 3];
    }
}

}  // namespace qualvex
