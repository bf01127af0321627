#include "media/storage_kinds.h"

#include "base/errors.h"

#include <OpenImageIO/typedesc.h>

namespace qualvex {
namespace {

constexpr StorageKind kStorageKinds[] = {
    {PixelStorage::UInt8, "uint8", OIIO::TypeDesc::UINT8, 1},
    {PixelStorage::UInt16, "uint16", OIIO::TypeDesc::UINT16, 2},
    {PixelStorage::Half, "half", OIIO::TypeDesc::HALF, 2},
    {PixelStorage::Float, "float", OIIO::TypeDesc::FLOAT, 4},
};

}  // namespace

const StorageKind& KindOf(PixelStorage storage)
{
    for (const StorageKind& kind : kStorageKinds)
        if (kind.Storage == storage)
            return kind;
    return kStorageKinds[3];  // unreachable for a valid enumerator; float keeps every value
}

PixelStorage StorageForFileType(OIIO::TypeDesc type)
{
    for (const StorageKind& kind : kStorageKinds)
        if (type.basetype == kind.FileType)
            return kind.Storage;
    return PixelStorage::Float;
}

bool IsWider(PixelStorage storage, PixelStorage than) { return KindOf(storage).Bytes > KindOf(than).Bytes; }

PixelStorage ParseStorage(const std::string& name)
{
    std::string accepted;
    for (const StorageKind& kind : kStorageKinds) {
        if (name == kind.Name)
            return kind.Storage;
        accepted += std::string(accepted.empty() ? "" : ", ") + kind.Name;
    }
    throw UsageError("--data-type \"" + name + "\": expected one of " + accepted);
}

std::unique_ptr<Image> ConvertStorage(const Image& image, PixelStorage storage)
{
    auto converted = std::make_unique<Image>(image.Width, image.Height, storage, image.HasFurtherChannels());
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x)
            converted->SetPixel(x, y, image.GetPixel(x, y));
    return converted;
}

}  // namespace qualvex
