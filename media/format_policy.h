// What each output format can hold, decided before any frame is rendered: alpha, the storage
// kinds it offers, and how it stores colour beside alpha.
#pragma once

#include "host/image.h"

#include <filesystem>
#include <string>

namespace qualvex {

// Throws UsageError naming the file when its format (from the extension) has no alpha or does
// not offer `storage`.
void CheckOutputFormat(const std::filesystem::path& file, PixelStorage storage);

// The storage an output of this name gets when none is asked for: the source's, or half float for
// an 8- or 16-bit source going into a format that holds only half and float (OpenEXR), which keeps
// the values as they are meant without a refusal. Formats that offer the source's storage, or no
// half float, keep the source's (CheckOutputFormat then says what it cannot hold).
PixelStorage DefaultOutputStorage(const std::filesystem::path& file, PixelStorage source);

// How colour beside alpha is to be read: straight (independent of alpha) or associated (already
// multiplied by alpha, "premultiplied").
enum class AlphaReading { Straight, Associated };

// "straight" or "associated", as files and messages say it.
const char* AlphaReadingName(AlphaReading reading);

// How files of `format` store colour when the tool's result reads as `result`: OpenEXR associated
// (its readers take colour so by convention), TIFF as the result is (its extra sample says which),
// every other format straight.
AlphaReading StoredAlpha(const std::string& format, AlphaReading result);

// Whether files of `format` (OpenImageIO's name for it) keep the settings record qualvex embeds,
// so that --settings can restore from them and --resume can tell whose they are.
bool KeepsSettingsRecord(const std::string& format);

// The compression an output is written with. `asked` (--compression) must be one that the
// output's format offers: OpenEXR none, rle, zip, zips, piz, pxr24, b44, b44a, dwaa, dwab; TIFF
// none, lzw, zip, packbits; other formats take none (UsageError naming the file otherwise).
// Nothing asked: the source's compression when the source has the output's format and names one
// it offers, else zip for OpenEXR and TIFF, and the format's own (empty) for the rest.
std::string OutputCompression(const std::filesystem::path& output, const std::string& asked,
                              const std::string& sourceFormat, const std::string& sourceCompression);

// Whether values written with this compression may come back changed (OpenEXR's lossy ones).
bool CompressionLosesPrecision(const std::string& compression);

// The format a file of this name is written in ("openexr", "png", ...), or empty when none is.
std::string FormatOf(const std::filesystem::path& file);

}  // namespace qualvex
