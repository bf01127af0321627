#include "host/image.h"

#include "host/host_testing.h"

#include <Imath/half.h>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

std::atomic<std::size_t> g_LiveImages{0};

struct FurtherChannels {
    float Z;
    float Coverage;
    std::uint32_t ObjectID;
    std::uint32_t MaterialID;
};
static_assert(sizeof(FurtherChannels) == 16);

// Widening and narrowing of one stored colour value. Integers map 0..max to 0..1; narrowing
// rounds to the nearest step and clamps to the storable range (NaN stores as 0). Half and float
// keep values outside 0..1.
template <typename T>
struct Storage;

template <>
struct Storage<std::uint8_t> {
    static float Widen(std::uint8_t v) { return static_cast<float>(v) / 255.0f; }
    static std::uint8_t Narrow(float v)
    {
        const float scaled = v * 255.0f;
        if (!(scaled > 0.0f))
            return 0;
        if (scaled >= 255.0f)
            return 255;
        return static_cast<std::uint8_t>(scaled + 0.5f);
    }
};

template <>
struct Storage<std::uint16_t> {
    static float Widen(std::uint16_t v) { return static_cast<float>(v) / 65535.0f; }
    static std::uint16_t Narrow(float v)
    {
        const float scaled = v * 65535.0f;
        if (!(scaled > 0.0f))
            return 0;
        if (scaled >= 65535.0f)
            return 65535;
        return static_cast<std::uint16_t>(scaled + 0.5f);
    }
};

// IEEE half, held as its bits. Narrowing rounds to nearest even; values beyond the half range
// become infinities and NaN stays NaN, as with any float narrowing.
struct HalfBits {
    std::uint16_t Bits;
};

template <>
struct Storage<HalfBits> {
    static float Widen(HalfBits v) { return imath_half_to_float(v.Bits); }
    static HalfBits Narrow(float v) { return HalfBits{imath_float_to_half(v)}; }
};

template <>
struct Storage<float> {
    static float Widen(float v) { return v; }
    static float Narrow(float v) { return v; }
};

// One reader and one writer per storage kind and plane layout, chosen when the image is made,
// so the per-pixel calls carry no test of the storage kind.
template <typename T, bool HasChannels>
void ReadPixelAs(Pixel* record, const unsigned char* colour, const unsigned char* channels, const Image*)
{
    T stored[4];
    std::memcpy(stored, colour, sizeof stored);
    record->B = Storage<T>::Widen(stored[0]);
    record->G = Storage<T>::Widen(stored[1]);
    record->R = Storage<T>::Widen(stored[2]);
    record->A = Storage<T>::Widen(stored[3]);
    FurtherChannels further{0.0f, 1.0f, 0, 0};
    if constexpr (HasChannels)
        std::memcpy(&further, channels, sizeof further);
    record->Z = further.Z;
    record->Coverage = further.Coverage;
    record->ObjectID = further.ObjectID;
    record->MaterialID = further.MaterialID;
}

template <typename T, bool HasChannels>
void WritePixelAs(const Pixel* record, unsigned char* colour, unsigned char* channels, const Image*)
{
    const T stored[4] = {Storage<T>::Narrow(record->B), Storage<T>::Narrow(record->G), Storage<T>::Narrow(record->R),
                         Storage<T>::Narrow(record->A)};
    std::memcpy(colour, stored, sizeof stored);
    if constexpr (HasChannels) {
        const FurtherChannels further{record->Z, record->Coverage, record->ObjectID, record->MaterialID};
        std::memcpy(channels, &further, sizeof further);
    }
}

// The same widening and narrowing, a run of a row at a time: the stored B, G, R, A of each pixel
// lie side by side, the channel arrays apart. The loops hold no call and no test of the storage
// kind, so that the compiler can turn the interleaving into vector shuffles.
template <typename T>
void ReadRowAs(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b, float* g, float* r,
               float* a)
{
    const unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(T[4]);
    for (std::int32_t i = 0; i < count; ++i) {
        T stored[4];
        std::memcpy(stored, row + static_cast<std::size_t>(i) * sizeof stored, sizeof stored);
        b[i] = Storage<T>::Widen(stored[0]);
        g[i] = Storage<T>::Widen(stored[1]);
        r[i] = Storage<T>::Widen(stored[2]);
        a[i] = Storage<T>::Widen(stored[3]);
    }
}

template <typename T>
void WriteRowAs(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b, const float* g,
                const float* r, const float* a)
{
    unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(T[4]);
    for (std::int32_t i = 0; i < count; ++i) {
        const T stored[4] = {Storage<T>::Narrow(b[i]), Storage<T>::Narrow(g[i]), Storage<T>::Narrow(r[i]),
                             Storage<T>::Narrow(a[i])};
        std::memcpy(row + static_cast<std::size_t>(i) * sizeof stored, stored, sizeof stored);
    }
}

#if defined(__SSE2__)
// Float rows move as they are stored, four pixels at a time: their B, G, R, A transposed into
// the four channel arrays (and back) with vector shuffles. The values are moved, never changed;
// streamed stores are fenced before the row is handed back, so another thread that takes the
// image after this one sees them.
template <>
void ReadRowAs<float>(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b, float* g,
                      float* r, float* a)
{
    const auto* row =
        reinterpret_cast<const float*>(image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(float[4]));
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 p0 = _mm_loadu_ps(row + 4 * i);
        __m128 p1 = _mm_loadu_ps(row + 4 * i + 4);
        __m128 p2 = _mm_loadu_ps(row + 4 * i + 8);
        __m128 p3 = _mm_loadu_ps(row + 4 * i + 12);
        _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
        _mm_storeu_ps(b + i, p0);
        _mm_storeu_ps(g + i, p1);
        _mm_storeu_ps(r + i, p2);
        _mm_storeu_ps(a + i, p3);
    }
    for (; i < count; ++i) {
        b[i] = row[4 * i];
        g[i] = row[4 * i + 1];
        r[i] = row[4 * i + 2];
        a[i] = row[4 * i + 3];
    }
}

// Four pixels at a time from the channel arrays into a float row, streamed to memory or stored
// through the caches; returns how many pixels it wrote.
template <bool Stream>
std::int32_t WriteFourAtATime(float* row, std::int32_t count, const float* b, const float* g, const float* r,
                              const float* a)
{
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 p0 = _mm_loadu_ps(b + i);
        __m128 p1 = _mm_loadu_ps(g + i);
        __m128 p2 = _mm_loadu_ps(r + i);
        __m128 p3 = _mm_loadu_ps(a + i);
        _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
        float* const to = row + 4 * i;
        if constexpr (Stream) {
            _mm_stream_ps(to, p0);
            _mm_stream_ps(to + 4, p1);
            _mm_stream_ps(to + 8, p2);
            _mm_stream_ps(to + 12, p3);
        } else {
            _mm_storeu_ps(to, p0);
            _mm_storeu_ps(to + 4, p1);
            _mm_storeu_ps(to + 8, p2);
            _mm_storeu_ps(to + 12, p3);
        }
    }
    if constexpr (Stream)
        _mm_sfence();
    return i;
}

template <>
void WriteRowAs<float>(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b, const float* g,
                       const float* r, const float* a)
{
    auto* row = reinterpret_cast<float*>(image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(float[4]));
    // An image this large leaves the caches before anyone reads it again: its rows are streamed
    // to memory, without the caches first fetching the lines they overwrite.
    constexpr std::int64_t kStreamedImageBytes = std::int64_t{16} << 20;
    const auto bytes = static_cast<std::int64_t>(image->Width) * image->Height * std::int64_t{sizeof(float[4])};
    const bool stream = bytes >= kStreamedImageBytes && (reinterpret_cast<std::uintptr_t>(row) & 15) == 0;
    std::int32_t i =
        stream ? WriteFourAtATime<true>(row, count, b, g, r, a) : WriteFourAtATime<false>(row, count, b, g, r, a);
    for (; i < count; ++i) {
        row[4 * i] = b[i];
        row[4 * i + 1] = g[i];
        row[4 * i + 2] = r[i];
        row[4 * i + 3] = a[i];
    }
}
#endif

template <typename T>
void ChooseAccess(Image& image, bool furtherChannels)
{
    image.PixelStep[0] = static_cast<std::int32_t>(4 * sizeof(T));
    image.ReadPixel = furtherChannels ? &ReadPixelAs<T, true> : &ReadPixelAs<T, false>;
    image.WritePixel = furtherChannels ? &WritePixelAs<T, true> : &WritePixelAs<T, false>;
    image.ReadRow = &ReadRowAs<T>;
    image.WriteRow = &WriteRowAs<T>;
}

}  // namespace

const char* PixelStorageName(PixelStorage storage)
{
    switch (storage) {
    case PixelStorage::UInt8: return "8-bit";
    case PixelStorage::UInt16: return "16-bit";
    case PixelStorage::Half: return "half";
    case PixelStorage::Float: return "float";
    }
    return "unknown";
}

Image::Image(std::int32_t width, std::int32_t height, PixelStorage storage, bool furtherChannels, bool cleared)
    : Width(width), Height(height), PlaneRows{nullptr, nullptr}, PixelStep{0, 0}, m_Storage(storage),
      m_FurtherChannels(furtherChannels)
{
    if (width < 0 || height < 0)
        throw std::invalid_argument("image: negative size " + std::to_string(width) + " x " + std::to_string(height));
    switch (storage) {
    case PixelStorage::UInt8: ChooseAccess<std::uint8_t>(*this, furtherChannels); break;
    case PixelStorage::UInt16: ChooseAccess<std::uint16_t>(*this, furtherChannels); break;
    case PixelStorage::Half: ChooseAccess<HalfBits>(*this, furtherChannels); break;
    case PixelStorage::Float: ChooseAccess<float>(*this, furtherChannels); break;
    default: throw std::invalid_argument("image: unknown pixel storage");
    }
    PixelStep[1] = furtherChannels ? static_cast<std::int32_t>(sizeof(FurtherChannels)) : 0;

    const int planes = furtherChannels ? 2 : 1;
    for (int plane = 0; plane < planes; ++plane) {
        // Row offsets are formed as 32-bit products by tools: a row must fit in that range.
        const std::int64_t rowBytes = static_cast<std::int64_t>(width) * PixelStep[plane];
        if (rowBytes > std::numeric_limits<std::int32_t>::max())
            throw std::invalid_argument("image: a row of " + std::to_string(width) + " pixels is too wide");
        m_Planes[plane] = host::TakeImageMemory(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height), cleared);
        m_Rows[plane].resize(static_cast<std::size_t>(height));
        // Rows are stored bottom-up: the row table, not arithmetic on the first row, finds a row.
        for (std::int32_t y = 0; y < height; ++y)
            m_Rows[plane][static_cast<std::size_t>(y)] =
                m_Planes[plane].get() + static_cast<std::size_t>(height - 1 - y) * static_cast<std::size_t>(rowBytes);
        PlaneRows[plane] = m_Rows[plane].data();
    }
    ++g_LiveImages;
}

Image::~Image() { --g_LiveImages; }

std::size_t host::testing::LiveImages() { return g_LiveImages.load(); }

unsigned char* Image::Address(int plane, std::int32_t x, std::int32_t y) const
{
    if (PlaneRows[plane] == nullptr)
        return nullptr;
    return PlaneRows[plane][y] + static_cast<std::ptrdiff_t>(PixelStep[plane]) * x;
}

Pixel Image::GetPixel(std::int32_t x, std::int32_t y) const
{
    if (x < 0 || y < 0 || x >= Width || y >= Height)
        throw std::out_of_range("image: pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside " +
                                std::to_string(Width) + " x " + std::to_string(Height));
    Pixel pixel;
    ReadPixel(&pixel, Address(0, x, y), Address(1, x, y), this);
    return pixel;
}

void Image::SetPixel(std::int32_t x, std::int32_t y, const Pixel& pixel)
{
    if (x < 0 || y < 0 || x >= Width || y >= Height)
        throw std::out_of_range("image: pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") lies outside " +
                                std::to_string(Width) + " x " + std::to_string(Height));
    WritePixel(&pixel, Address(0, x, y), Address(1, x, y), this);
}

Image* NewImageTagList(const TagList& tags)
{
    host::testing::CountHostCall("NewImageTagList");
    const auto* model = static_cast<const Image*>(tags.GetPointer(ImageTag::Model));
    if (model == nullptr)
        throw std::invalid_argument("NewImageTagList: no model image given");
    const bool overwritten = tags.GetInteger(ImageTag::Overwritten).value_or(0) != 0;
    return new Image(model->Width, model->Height, model->Storage(), model->HasFurtherChannels(), !overwritten);
}
