#include "media/plain_exr.h"

#include "base/errors.h"
#include "media/durable_file.h"
#include "media/format_policy.h"
#include "media/memory_limit.h"
#include "media/movie_reader.h"
#include "media/settings_record.h"
#include "media/storage_kinds.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/openexr.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace qualvex::plain_exr {
namespace {

// The compressions by OpenEXR's numbers, under the image library's names for them.
constexpr std::array<std::string_view, 10> kCompressionNames = {"none",  "rle", "zips", "zip",  "piz",
                                                                "pxr24", "b44", "b44a", "dwaa", "dwab"};
// DWA's level is the image library's choice on writing, and part of its name on reading.
constexpr int kFirstDwa = 8;
// Decoded by OpenEXR's core into this reader's strides, B44's float chunks did not give the
// values the image library reads (values from other rows and channels): files in B44 are read by
// the image library.
constexpr int kFirstB44 = 6;

// Where each channel sits in the float plane's pixel (B, G, R, A), by its name; -1 for any other.
int PlaneSlot(std::string_view name)
{
    if (name == "B")
        return 0;
    if (name == "G")
        return 1;
    if (name == "R")
        return 2;
    if (name == "A")
        return 3;
    return -1;
}

// A file read through OpenEXR's core: the last message it gave, kept for ours.
class CoreFile {
public:
    CoreFile() = default;
    CoreFile(const CoreFile&) = delete;
    CoreFile& operator=(const CoreFile&) = delete;
    ~CoreFile()
    {
        if (m_Context != nullptr)
            exr_finish(&m_Context);
    }

    // Header errors are not printed: a file refused here is handed to the image library, which
    // says what is wrong with it.
    bool Open(const std::filesystem::path& file)
    {
        exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
        init.error_handler_fn = &CoreFile::Keep;
        init.user_data = this;
        init.flags = EXR_CONTEXT_FLAG_SILENT_HEADER_PARSE;
        return exr_start_read(&m_Context, file.c_str(), &init) == EXR_ERR_SUCCESS;
    }

    exr_context_t Context() const { return m_Context; }

    std::string Why(exr_result_t result) const
    {
        return m_Message.empty() ? std::string(exr_get_default_error_message(result)) : m_Message;
    }

private:
    static void Keep(exr_const_context_t context, exr_result_t, const char* message)
    {
        void* self = nullptr;
        if (exr_get_user_data(context, &self) == EXR_ERR_SUCCESS && self != nullptr && message != nullptr)
            static_cast<CoreFile*>(self)->m_Message = message;
    }

    exr_context_t m_Context = nullptr;
    std::string m_Message;
};

// What a plain file's header says.
struct PlainHeader {
    PixelStorage Storage = PixelStorage::Float;  // float or half, every channel alike
    exr_attr_box2i_t Data{};
    exr_attr_box2i_t Display{};
    int Compression = 0;
    std::string ColourEncoding;
    std::string CleanPlateSpace;
    std::int64_t Width = 0;
    std::int64_t Height = 0;
};

// A string attribute's text: empty when absent; false when present but not a string.
bool StringAttribute(exr_const_context_t context, const char* name, std::string& text)
{
    const exr_attribute_t* attribute = nullptr;
    if (exr_get_attribute_by_name(context, 0, name, &attribute) != EXR_ERR_SUCCESS || attribute == nullptr)
        return true;
    if (attribute->type != EXR_ATTR_STRING || attribute->string == nullptr || attribute->string->length < 0)
        return false;
    text.assign(attribute->string->str, static_cast<std::size_t>(attribute->string->length));
    return true;
}

bool StartsAsExr(const std::filesystem::path& file)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || error)
        return false;
    unsigned char magic[4] = {};
    std::ifstream in(file, std::ios::binary);
    return in.read(reinterpret_cast<char*>(magic), sizeof magic) && magic[0] == 0x76 && magic[1] == 0x2f &&
           magic[2] == 0x31 && magic[3] == 0x01;
}

// Opens the file and reads its header, when it is a plain file: one part of scanlines; channels
// R, G, B and A only, each a float at every pixel; pixels inside the limits; compression other
// than B44 and DWA; the attributes looked at here, where present, strings.
std::optional<PlainHeader> OpenPlain(const std::filesystem::path& file, CoreFile& core)
{
    // A movie's name is refused by the image library's reader, whatever the file holds.
    if (IsMovieName(file) || !StartsAsExr(file) || !core.Open(file))
        return std::nullopt;
    exr_const_context_t context = core.Context();
    int parts = 0;
    exr_storage_t storage = EXR_STORAGE_LAST_TYPE;
    const exr_attr_chlist_t* channels = nullptr;
    exr_compression_t compression = EXR_COMPRESSION_LAST_TYPE;
    PlainHeader header;
    if (exr_get_count(context, &parts) != EXR_ERR_SUCCESS || parts != 1 ||
        exr_get_storage(context, 0, &storage) != EXR_ERR_SUCCESS || storage != EXR_STORAGE_SCANLINE ||
        exr_get_channels(context, 0, &channels) != EXR_ERR_SUCCESS || channels == nullptr ||
        channels->num_channels != 4 || exr_get_compression(context, 0, &compression) != EXR_ERR_SUCCESS ||
        static_cast<int>(compression) < 0 || static_cast<int>(compression) >= kFirstB44 ||
        exr_get_data_window(context, 0, &header.Data) != EXR_ERR_SUCCESS ||
        exr_get_display_window(context, 0, &header.Display) != EXR_ERR_SUCCESS)
        return std::nullopt;
    bool seen[4] = {};
    const exr_pixel_type_t type = channels->entries[0].pixel_type;
    if (type != EXR_PIXEL_FLOAT && type != EXR_PIXEL_HALF)
        return std::nullopt;
    header.Storage = type == EXR_PIXEL_FLOAT ? PixelStorage::Float : PixelStorage::Half;
    for (int c = 0; c < channels->num_channels; ++c) {
        const exr_attr_chlist_entry_t& channel = channels->entries[c];
        const int slot = PlaneSlot(std::string_view(channel.name.str, static_cast<std::size_t>(std::max(channel.name.length, 0))));
        if (slot < 0 || seen[slot] || channel.pixel_type != type || channel.x_sampling != 1 || channel.y_sampling != 1)
            return std::nullopt;
        seen[slot] = true;
    }
    header.Compression = static_cast<int>(compression);
    // Widened before subtracting: a window of the whole 32-bit range cannot overflow.
    header.Width = std::int64_t{header.Data.max.x} - header.Data.min.x + 1;
    header.Height = std::int64_t{header.Data.max.y} - header.Data.min.y + 1;
    // Empty, inverted or larger than keying takes: the image library refuses it, in its words.
    if (header.Width <= 0 || header.Height <= 0 || header.Width * header.Height > (std::int64_t{1} << 31))
        return std::nullopt;
    // The image library reads every OpenEXR file as linear light unless its own attribute says
    // otherwise.
    if (!StringAttribute(context, "oiio:ColorSpace", header.ColourEncoding) ||
        !StringAttribute(context, "qualvex:cleanplate", header.CleanPlateSpace))
        return std::nullopt;
    if (header.ColourEncoding.empty())
        header.ColourEncoding = "Linear";
    return header;
}

ImageFacts FactsOf(const PlainHeader& header)
{
    const auto width = static_cast<std::uint64_t>(header.Width);
    const auto height = static_cast<std::uint64_t>(header.Height);
    return {header.Storage,
            static_cast<int>(header.Width),
            static_cast<int>(header.Height),
            4,
            BytesToKey(width, height, 4, KindOf(header.Storage).Bytes, 0, false),
            "openexr",
            std::string(kCompressionNames[static_cast<std::size_t>(header.Compression)]),
            header.ColourEncoding,
            header.CleanPlateSpace};
}

// Decodes every chunk of scanlines into the image, as floats. Into a float plane, a chunk is
// decoded into a strip laid out as the plane is (B, G, R, A floats side by side), so that each of
// its rows goes into the plane, whose rows lie bottom-up, in one copy. Into any other, the strip
// holds each channel's rows apart, and each row goes through the image's row writer, as the image
// library's values do.
void DecodeInto(CoreFile& core, const PlainHeader& header, Image& image, const std::string& name,
                const std::string& role)
{
    exr_const_context_t context = core.Context();
    int32_t chunkRows = 0;
    if (exr_get_scanlines_per_chunk(context, 0, &chunkRows) != EXR_ERR_SUCCESS || chunkRows <= 0)
        chunkRows = 1;
    const auto width = static_cast<std::size_t>(header.Width);
    const std::size_t rowValues = 4 * width;
    const auto rows = static_cast<std::size_t>(chunkRows);
    std::vector<float> strip(rowValues * rows);
    const bool plane = FloatColourRow(image, 0) != nullptr;
    exr_decode_pipeline_t decoder{};  // filled by exr_decoding_initialize
    bool started = false;
    struct Release {
        exr_const_context_t Context;
        exr_decode_pipeline_t& Decoder;
        bool& Started;
        ~Release()
        {
            if (Started)
                exr_decoding_destroy(Context, &Decoder);
        }
    } release{context, decoder, started};

    for (std::int64_t top = 0; top < header.Height; top += chunkRows) {
        const std::int64_t bottom = std::min<std::int64_t>(header.Height, top + chunkRows);
        const auto fail = [&](exr_result_t result) {
            return Failure(name + ": cannot read the " + role + "'s pixels (rows " + std::to_string(top) + "-" +
                           std::to_string(bottom - 1) + "): " + core.Why(result));
        };
        exr_chunk_info_t chunk{};
        exr_result_t result = exr_read_scanline_chunk_info(context, 0, static_cast<int>(header.Data.min.y + top), &chunk);
        if (result != EXR_ERR_SUCCESS)
            throw fail(result);
        // The chunk must be the rows asked for: a file whose chunk table says otherwise is damaged.
        if (chunk.start_y != header.Data.min.y + top || chunk.height != bottom - top || chunk.width != header.Width)
            throw fail(EXR_ERR_CORRUPT_CHUNK);
        result = started ? exr_decoding_update(context, 0, &chunk, &decoder)
                         : exr_decoding_initialize(context, 0, &chunk, &decoder);
        if (result != EXR_ERR_SUCCESS)
            throw fail(result);
        started = true;
        for (int c = 0; c < decoder.channel_count; ++c) {
            exr_coding_channel_info_t& channel = decoder.channels[c];
            const int slot = PlaneSlot(channel.channel_name != nullptr ? channel.channel_name : "");
            if (slot < 0)
                throw fail(EXR_ERR_CORRUPT_CHUNK);
            const auto at = static_cast<std::size_t>(slot);
            channel.decode_to_ptr = reinterpret_cast<uint8_t*>(strip.data() + (plane ? at : at * width * rows));
            channel.user_pixel_stride = static_cast<int32_t>((plane ? 4 : 1) * sizeof(float));
            channel.user_line_stride = static_cast<int32_t>((plane ? rowValues : width) * sizeof(float));
            channel.user_bytes_per_element = sizeof(float);
            channel.user_data_type = EXR_PIXEL_FLOAT;
        }
        result = exr_decoding_choose_default_routines(context, 0, &decoder);
        if (result == EXR_ERR_SUCCESS)
            result = exr_decoding_run(context, 0, &decoder);
        if (result != EXR_ERR_SUCCESS)
            throw fail(result);
        for (std::int64_t y = top; y < bottom; ++y) {
            const auto row = static_cast<std::size_t>(y - top);
            if (plane) {
                std::memcpy(FloatColourRow(image, static_cast<std::int32_t>(y)), strip.data() + row * rowValues,
                            rowValues * sizeof(float));
                continue;
            }
            const float* channel[4];
            for (std::size_t c = 0; c < 4; ++c)
                channel[c] = strip.data() + (c * rows + row) * width;
            image.WriteRow(&image, static_cast<std::int32_t>(y), 0, image.Width, channel[0], channel[1], channel[2],
                           channel[3]);
        }
    }
}

// The encoder's bytes go to the temporary file a megabyte at a time (OpenEXR writes its header a
// byte at a time, and each chunk in three pieces); it seeks back once, at the end, to write the
// table of where its chunks lie.
class TemporaryStream final : public Imf::OStream {
public:
    TemporaryStream(durable::FileBytes& bytes, const std::string& name) : Imf::OStream(name.c_str()), m_Bytes(bytes) {}

    void write(const char buffer[], int count) override
    {
        if (m_At != m_BufferAt + m_Buffer.size()) {
            Flush();
            m_BufferAt = m_At;
        }
        m_Buffer.insert(m_Buffer.end(), buffer, buffer + std::max(count, 0));
        m_At += static_cast<std::uint64_t>(std::max(count, 0));
        if (m_Buffer.size() >= kBufferBytes)
            Flush();
    }
    std::uint64_t tellp() override { return m_At; }
    void seekp(std::uint64_t at) override { m_At = at; }

    // Writes what is held; the caller's last call, once the encoder is done.
    void Flush()
    {
        if (m_Buffer.empty())
            return;
        if (m_Bytes.Write(m_Buffer.data(), m_Buffer.size(), static_cast<std::int64_t>(m_BufferAt)) != m_Buffer.size())
            throw std::runtime_error("write failed");  // FileBytes keeps the system's reason
        m_BufferAt += m_Buffer.size();
        m_Buffer.clear();
    }

private:
    static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
    durable::FileBytes& m_Bytes;
    std::vector<char> m_Buffer;
    std::uint64_t m_BufferAt = 0;  // where the held bytes go
    std::uint64_t m_At = 0;
};

// The image library's date and time of writing ("2026:12:10 00:11:48", local time), which it adds
// to every OpenEXR file it writes.
std::string WritingTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = {};
    if (localtime_r(&now, &local) == nullptr || std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local) == 0)
        return std::string();
    return text;
}

// The header the image library writes for the same image and options.
Imf::Header HeaderFor(const Image& image, const ImageLayout& layout, const WriteOptions& options,
                      Imf::Compression compression, Imf::PixelType type)
{
    const int fullWidth = layout.FullWidth > 0 ? layout.FullWidth : image.Width;
    const int fullHeight = layout.FullHeight > 0 ? layout.FullHeight : image.Height;
    const Imath::Box2i display(Imath::V2i(layout.FullX, layout.FullY),
                               Imath::V2i(layout.FullX + fullWidth - 1, layout.FullY + fullHeight - 1));
    const Imath::Box2i data(Imath::V2i(layout.X, layout.Y),
                            Imath::V2i(layout.X + image.Width - 1, layout.Y + image.Height - 1));
    Imf::Header header(display, data, 1.0f, Imath::V2f(0.0f, 0.0f), 1.0f, Imf::INCREASING_Y, compression);
    for (const char* channel : {"R", "G", "B", "A"})
        header.channels().insert(channel, Imf::Channel(type));
    const auto text = [&](const std::string& name, const std::string& value) {
        header.insert(name, Imf::StringAttribute(value));
    };
    text("qualvex:alpha", "premultiplied");
    if (!options.Record.Empty()) {
        text("qualvex:settings", options.Record.Json);
        text("qualvex:version", options.Record.Version);
        Imf::addComments(header, SettingsDescription(options.Record));
    }
    for (const auto& [name, value] : options.Attributes)
        text(name, value);
    const std::string encoding = options.LinearColour ? "Linear" : layout.ColourEncoding;
    if (!encoding.empty())
        text("qualvex:colorspace", encoding);
    if (const std::string time = WritingTime(); !time.empty())
        Imf::addCapDate(header, time);
    return header;
}

// Hands the encoder the image in strips of whole chunks (32 rows is a whole number of chunks for
// every compression written here), each filled just before it is encoded, while it is in the
// cache. `associate`: the image's colour reads straight, and is multiplied by its alpha on the way,
// as OpenEXR holds colour associated. `halves`: the file holds half.
void WriteStrips(Imf::OutputFile& out, const Image& image, const Imath::Box2i& data, bool associate, bool halves)
{
    constexpr int kStripRows = 32;
    const auto width = static_cast<std::size_t>(image.Width);
    std::vector<float> strip(4 * width * kStripRows);
    // Where the file holds half, the floats narrowed as the image library narrows them.
    std::vector<Imath::half> narrowed(halves ? strip.size() : 0);
    // A float plane's rows are its values; any other image's come through its row reader.
    const bool plane = FloatColourRow(image, 0) != nullptr;
    std::vector<float> channels(plane ? 0 : 4 * width);
    for (int top = 0; top < image.Height; top += kStripRows) {
        const int bottom = std::min(image.Height, top + kStripRows);
        for (int y = top; y < bottom; ++y) {
            float* row = strip.data() + static_cast<std::size_t>(y - top) * 4 * width;
            if (plane) {
                TradeRedAndBlue(FloatColourRow(image, y), row, width);
            } else {
                float* b = channels.data();
                image.ReadRow(&image, y, 0, image.Width, b, b + width, b + 2 * width, b + 3 * width);
                for (std::size_t x = 0; x < width; ++x)
                    for (std::size_t c = 0; c < 4; ++c)
                        row[4 * x + c] = channels[(c == 3 ? 3 : 2 - c) * width + x];
            }
            if (associate)
                for (std::size_t x = 0; x < width; ++x)
                    for (std::size_t c = 0; c < 3; ++c)
                        row[4 * x + c] *= row[4 * x + 3];
        }
        const std::size_t values = static_cast<std::size_t>(bottom - top) * 4 * width;
        for (std::size_t i = 0; halves && i < values; ++i)
            narrowed[i] = Imath::half(strip[i]);
        // OpenEXR finds pixel (x, y) at base + x * xStride + y * yStride: the base is the strip's
        // start, moved back by the strip's first pixel.
        const std::size_t bytes = halves ? sizeof(Imath::half) : sizeof(float);
        const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(data.min.x) +
                                     static_cast<std::ptrdiff_t>(data.min.y + top) * static_cast<std::ptrdiff_t>(width);
        char* start = halves ? reinterpret_cast<char*>(narrowed.data()) : reinterpret_cast<char*>(strip.data());
        char* base = start - first * static_cast<std::ptrdiff_t>(4 * bytes);
        Imf::FrameBuffer frame;
        const char* names[4] = {"R", "G", "B", "A"};
        for (int c = 0; c < 4; ++c)
            frame.insert(names[c], Imf::Slice(halves ? Imf::HALF : Imf::FLOAT, base + static_cast<std::size_t>(c) * bytes,
                                              4 * bytes, 4 * bytes * width));
        out.setFrameBuffer(frame);
        out.writePixels(bottom - top);
    }
}

// An encoded file waiting to be made durable and named.
class PendingExr final : public EncodedFile::Pending {
public:
    PendingExr(const std::filesystem::path& file, ExistingFile existing)
        : m_File(file), m_Existing(existing), m_Temporary(file.parent_path() / durable::TemporaryName(file)),
          m_Bytes(file, m_Temporary)
    {
    }

    void Encode(const Image& image, const Imf::Header& header, bool associate)
    {
        try {
            TemporaryStream stream(m_Bytes, m_Temporary.Path().string());
            {
                // In the calling thread: a sequence's frame workers keep the cores busy.
                Imf::OutputFile out(stream, header, 0);
                WriteStrips(out, image, header.dataWindow(), associate,
                            header.channels().begin().channel().type == Imf::HALF);
            }  // the encoder writes its table of chunks as it closes
            stream.Flush();
        } catch (const std::exception& error) {
            throw m_Bytes.Failed(error.what());
        }
    }

    void PutInPlace() override
    {
        m_Bytes.Finish();
        durable::PutInPlace(m_File, m_Temporary, m_Existing);
    }

private:
    std::filesystem::path m_File;
    ExistingFile m_Existing;
    durable::TemporaryFile m_Temporary;
    durable::FileBytes m_Bytes;
};

}  // namespace

bool IsExrName(const std::filesystem::path& file) { return LowerCaseExtension(file) == ".exr"; }

std::optional<ImageFacts> Inspect(const std::filesystem::path& file, const std::string&)
{
    CoreFile core;
    const std::optional<PlainHeader> header = OpenPlain(file, core);
    if (!header)
        return std::nullopt;
    return FactsOf(*header);
}

std::optional<SettingsRecord> ReadRecord(const std::filesystem::path& file)
{
    CoreFile core;
    if (!OpenPlain(file, core))
        return std::nullopt;
    // Attributes of another type read as none, as the image library reads them.
    const auto text = [&](const char* name) {
        std::string value;
        return StringAttribute(core.Context(), name, value) ? value : std::string();
    };
    return SettingsRecordFrom(text("qualvex:settings"), text("qualvex:version"), text("comments"));
}

std::optional<ImageFile> Read(const std::filesystem::path& file, const std::string& role, std::uint64_t maxBytes)
{
    CoreFile core;
    const std::optional<PlainHeader> header = OpenPlain(file, core);
    if (!header)
        return std::nullopt;
    const std::string name = file.string();
    const ImageFacts facts = FactsOf(*header);
    if (facts.BytesToKey > maxBytes)
        throw Failure(name + ": the " + role + " claims " + std::to_string(facts.Width) + " x " +
                      std::to_string(facts.Height) + " pixels in 4 channels; keying it takes about " +
                      Mebibytes(facts.BytesToKey) + ", more than the " + Mebibytes(maxBytes) +
                      " this frame may use (--memory-limit)");
    // Its memory is taken only as its rows are written: a file that claims more than it holds
    // fails at its first missing chunk, having cost that much.
    auto image = std::make_unique<Image>(facts.Width, facts.Height, header->Storage, false, false);
    if (image->WriteRow == nullptr)
        return std::nullopt;
    DecodeInto(core, *header, *image, name, role);
    ImageFile result;
    result.Pixels = std::move(image);
    const int fullWidth = header->Display.max.x - header->Display.min.x + 1;
    const int fullHeight = header->Display.max.y - header->Display.min.y + 1;
    result.Layout = {header->Data.min.x, header->Data.min.y, header->Display.min.x, header->Display.min.y,
                     fullWidth,          fullHeight,         {},                    header->ColourEncoding};
    return result;
}

std::optional<EncodedFile> Encode(const std::filesystem::path& file, const Image& image, const ImageLayout& layout,
                                  const WriteOptions& options)
{
    const bool floats = options.Storage == PixelStorage::Float;
    if (!IsExrName(file) || (!floats && options.Storage != PixelStorage::Half) || !layout.FurtherChannels.empty() ||
        (options.LinearColour && layout.ColourEncoding != "Linear") || image.Width <= 0 || image.Height <= 0 ||
        image.ReadRow == nullptr)
        return std::nullopt;
    const std::string compression = options.Compression.empty() ? "zip" : options.Compression;
    const auto named = std::find(kCompressionNames.begin(), kCompressionNames.begin() + kFirstDwa, compression);
    if (named == kCompressionNames.begin() + kFirstDwa)
        return std::nullopt;
    // Floats go to the encoder as they are; it narrows them to half where the file holds half.
    const Imf::Header header = HeaderFor(image, layout, options, static_cast<Imf::Compression>(named - kCompressionNames.begin()),
                                         floats ? Imf::FLOAT : Imf::HALF);
    auto pending = std::make_unique<PendingExr>(file, options.Existing);
    pending->Encode(image, header, options.Result == AlphaReading::Straight);
    return EncodedFile(std::move(pending));
}

}  // namespace qualvex::plain_exr
