#include "host/image.h"

#include "host/host_testing.h"

#include <Imath/half.h>

#if defined(__SSE2__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

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
void ReadRowByValue(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b, float* g,
                    float* r, float* a)
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
void WriteRowByValue(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b,
                     const float* g, const float* r, const float* a)
{
    unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(T[4]);
    for (std::int32_t i = 0; i < count; ++i) {
        const T stored[4] = {Storage<T>::Narrow(b[i]), Storage<T>::Narrow(g[i]), Storage<T>::Narrow(r[i]),
                             Storage<T>::Narrow(a[i])};
        std::memcpy(row + static_cast<std::size_t>(i) * sizeof stored, stored, sizeof stored);
    }
}

// Value by value, as the pixel reader and writer do; faster forms below for some kinds.
template <typename T>
void ReadRowAs(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b, float* g, float* r,
               float* a)
{
    ReadRowByValue<T>(image, y, x, count, b, g, r, a);
}

template <typename T>
void WriteRowAs(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b, const float* g,
                const float* r, const float* a)
{
    WriteRowByValue<T>(image, y, x, count, b, g, r, a);
}

#if defined(__SSE2__)
// Four pixels, one a vector of B, G, R, A, transposed into the channel arrays from `i`.
inline void StoreChannels(__m128 p0, __m128 p1, __m128 p2, __m128 p3, std::int32_t i, float* b, float* g, float* r,
                          float* a)
{
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    _mm_storeu_ps(b + i, p0);
    _mm_storeu_ps(g + i, p1);
    _mm_storeu_ps(r + i, p2);
    _mm_storeu_ps(a + i, p3);
}

// The channel arrays' four pixels from `i`, one a vector of B, G, R, A.
inline void LoadPixels(std::int32_t i, const float* b, const float* g, const float* r, const float* a,
                       __m128 (&p)[4])
{
    p[0] = _mm_loadu_ps(b + i);
    p[1] = _mm_loadu_ps(g + i);
    p[2] = _mm_loadu_ps(r + i);
    p[3] = _mm_loadu_ps(a + i);
    _MM_TRANSPOSE4_PS(p[0], p[1], p[2], p[3]);
}

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
    for (; i + 4 <= count; i += 4)
        StoreChannels(_mm_loadu_ps(row + 4 * i), _mm_loadu_ps(row + 4 * i + 4), _mm_loadu_ps(row + 4 * i + 8),
                      _mm_loadu_ps(row + 4 * i + 12), i, b, g, r, a);
    ReadRowByValue<float>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
}

// Four pixels at a time from the channel arrays into a float row, streamed to memory or stored
// through the caches; returns how many pixels it wrote.
template <bool Stream>
std::int32_t WriteFourAtATime(float* row, std::int32_t count, const float* b, const float* g, const float* r,
                              const float* a)
{
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 p[4];
        LoadPixels(i, b, g, r, a, p);
        float* const to = row + 4 * i;
        for (int k = 0; k < 4; ++k) {
            if constexpr (Stream)
                _mm_stream_ps(to + 4 * k, p[k]);
            else
                _mm_storeu_ps(to + 4 * k, p[k]);
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
    const std::int32_t i =
        stream ? WriteFourAtATime<true>(row, count, b, g, r, a) : WriteFourAtATime<false>(row, count, b, g, r, a);
    WriteRowByValue<float>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
}

// Integer rows, four pixels at a time: each lane takes the IEEE operations of Storage<T>::Widen
// and Narrow on one value (the stored integer made a float and divided by the largest stored
// value; scaled, clamped and rounded back), so the values are those of the pixel reader and
// writer; the pixels are transposed into the channel arrays and back with vector shuffles.
template <typename T>
struct IntegerLanes;

template <>
struct IntegerLanes<std::uint8_t> {
    static constexpr float kLargest = 255.0f;
    // Four pixels' B, G, R, A as 32-bit integers, one pixel a vector.
    static void Load(const unsigned char* pixels, __m128i (&p)[4])
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        const __m128i high = _mm_unpackhi_epi8(bytes, zero);
        p[0] = _mm_unpacklo_epi16(low, zero);
        p[1] = _mm_unpackhi_epi16(low, zero);
        p[2] = _mm_unpacklo_epi16(high, zero);
        p[3] = _mm_unpackhi_epi16(high, zero);
    }
    // Values 0..255: the saturating packs keep them as they are.
    static void Store(unsigned char* pixels, const __m128i (&p)[4])
    {
        const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(p[0], p[1]), _mm_packs_epi32(p[2], p[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), packed);
    }
};

template <>
struct IntegerLanes<std::uint16_t> {
    static constexpr float kLargest = 65535.0f;
    static void Load(const unsigned char* pixels, __m128i (&p)[4])
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16));
        p[0] = _mm_unpacklo_epi16(first, zero);
        p[1] = _mm_unpackhi_epi16(first, zero);
        p[2] = _mm_unpacklo_epi16(second, zero);
        p[3] = _mm_unpackhi_epi16(second, zero);
    }
    // Values 0..65535, moved into the signed 16-bit range for the saturating pack (which then
    // keeps them) and back.
    static void Store(unsigned char* pixels, const __m128i (&p)[4])
    {
        const __m128i offset = _mm_set1_epi32(32768);
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        const auto pack = [&](__m128i x, __m128i y) {
            return _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(x, offset), _mm_sub_epi32(y, offset)), flip);
        };
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), pack(p[0], p[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 16), pack(p[2], p[3]));
    }
};

template <typename T>
void ReadIntegerRow(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b, float* g,
                    float* r, float* a)
{
    const unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(T[4]);
    const __m128 largest = _mm_set1_ps(IntegerLanes<T>::kLargest);
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i stored[4];
        IntegerLanes<T>::Load(row + static_cast<std::size_t>(i) * sizeof(T[4]), stored);
        const auto widen = [&](__m128i values) { return _mm_div_ps(_mm_cvtepi32_ps(values), largest); };
        StoreChannels(widen(stored[0]), widen(stored[1]), widen(stored[2]), widen(stored[3]), i, b, g, r, a);
    }
    ReadRowByValue<T>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
}

// Storage<T>::Narrow in each lane: not above 0 (NaN included) gives 0, at or above the largest
// value the largest, otherwise the scaled value plus a half, truncated.
template <typename T>
__m128i NarrowLanes(__m128 values)
{
    const __m128 largest = _mm_set1_ps(IntegerLanes<T>::kLargest);
    const __m128 scaled = _mm_mul_ps(values, largest);
    const __m128i rounded = _mm_cvttps_epi32(_mm_add_ps(scaled, _mm_set1_ps(0.5f)));
    const __m128i positive = _mm_castps_si128(_mm_cmpgt_ps(scaled, _mm_setzero_ps()));
    const __m128i top = _mm_castps_si128(_mm_cmpge_ps(scaled, largest));
    const __m128i most = _mm_set1_epi32(static_cast<int>(IntegerLanes<T>::kLargest));
    const __m128i clamped = _mm_or_si128(_mm_and_si128(top, most), _mm_andnot_si128(top, rounded));
    return _mm_and_si128(positive, clamped);
}

template <typename T>
void WriteIntegerRow(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b,
                     const float* g, const float* r, const float* a)
{
    unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(T[4]);
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 p[4];
        LoadPixels(i, b, g, r, a, p);
        const __m128i stored[4] = {NarrowLanes<T>(p[0]), NarrowLanes<T>(p[1]), NarrowLanes<T>(p[2]),
                                   NarrowLanes<T>(p[3])};
        IntegerLanes<T>::Store(row + static_cast<std::size_t>(i) * sizeof(T[4]), stored);
    }
    WriteRowByValue<T>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
}

template <>
void ReadRowAs<std::uint8_t>(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b,
                             float* g, float* r, float* a)
{
    ReadIntegerRow<std::uint8_t>(image, y, x, count, b, g, r, a);
}

template <>
void ReadRowAs<std::uint16_t>(const Image* image, std::int32_t y, std::int32_t x, std::int32_t count, float* b,
                              float* g, float* r, float* a)
{
    ReadIntegerRow<std::uint16_t>(image, y, x, count, b, g, r, a);
}

template <>
void WriteRowAs<std::uint8_t>(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b,
                              const float* g, const float* r, const float* a)
{
    WriteIntegerRow<std::uint8_t>(image, y, x, count, b, g, r, a);
}

template <>
void WriteRowAs<std::uint16_t>(Image* image, std::int32_t y, std::int32_t x, std::int32_t count, const float* b,
                               const float* g, const float* r, const float* a)
{
    WriteIntegerRow<std::uint16_t>(image, y, x, count, b, g, r, a);
}

// Half rows on processors with the half-float conversions (F16C), four pixels at a time. They
// convert as the image library's half does in software (to nearest, ties to even; subnormals and
// overflow to infinity alike): every half and the floats around every half step are checked
// against the pixel reader and writer by the tests. NaN is the exception (the instructions quiet a
// signalling one, the software keeps it): four pixels holding one go value by value.
bool HasHalfConversions()
{
    // F16C is bit 29 of CPUID leaf 1's ECX (not every compiler's __builtin_cpu_supports names it);
    // AVX, which its 256-bit forms need, as the compiler checks it (the system saving its state).
    static const bool has = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 29)) != 0;
    }();
    return has;
}

[[gnu::target("avx,f16c")]] void ReadHalfRowConverted(const Image* image, std::int32_t y, std::int32_t x,
                                                       std::int32_t count, float* b, float* g, float* r, float* a)
{
    const unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(HalfBits[4]);
    const __m128i exponent = _mm_set1_epi16(0x7c00);
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const unsigned char* pixels = row + static_cast<std::size_t>(i) * sizeof(HalfBits[4]);
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16));
        // An infinity or a NaN (the exponent all ones) among them: value by value.
        const __m128i special = _mm_or_si128(_mm_cmpeq_epi16(_mm_and_si128(first, exponent), exponent),
                                             _mm_cmpeq_epi16(_mm_and_si128(second, exponent), exponent));
        if (_mm_movemask_epi8(special) != 0) {
            ReadRowByValue<HalfBits>(image, y, x + i, 4, b + i, g + i, r + i, a + i);
            continue;
        }
        const __m256 low = _mm256_cvtph_ps(first);
        const __m256 high = _mm256_cvtph_ps(second);
        StoreChannels(_mm256_castps256_ps128(low), _mm256_extractf128_ps(low, 1), _mm256_castps256_ps128(high),
                      _mm256_extractf128_ps(high, 1), i, b, g, r, a);
    }
    ReadRowByValue<HalfBits>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
}

[[gnu::target("avx,f16c")]] void WriteHalfRowConverted(Image* image, std::int32_t y, std::int32_t x,
                                                        std::int32_t count, const float* b, const float* g,
                                                        const float* r, const float* a)
{
    unsigned char* row = image->PlaneRows[0][y] + static_cast<std::size_t>(x) * sizeof(HalfBits[4]);
    constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    std::int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128 p[4];
        LoadPixels(i, b, g, r, a, p);
        const __m128 nan = _mm_or_ps(_mm_or_ps(_mm_cmpunord_ps(p[0], p[0]), _mm_cmpunord_ps(p[1], p[1])),
                                     _mm_or_ps(_mm_cmpunord_ps(p[2], p[2]), _mm_cmpunord_ps(p[3], p[3])));
        if (_mm_movemask_ps(nan) != 0) {
            WriteRowByValue<HalfBits>(image, y, x + i, 4, b + i, g + i, r + i, a + i);
            continue;
        }
        unsigned char* pixels = row + static_cast<std::size_t>(i) * sizeof(HalfBits[4]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), _mm256_cvtps_ph(_mm256_set_m128(p[1], p[0]), kNearest));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 16),
                         _mm256_cvtps_ph(_mm256_set_m128(p[3], p[2]), kNearest));
    }
    WriteRowByValue<HalfBits>(image, y, x + i, count - i, b + i, g + i, r + i, a + i);
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
#if defined(__SSE2__)
    if constexpr (std::is_same_v<T, HalfBits>)
        if (HasHalfConversions()) {
            image.ReadRow = &ReadHalfRowConverted;
            image.WriteRow = &WriteHalfRowConverted;
        }
#endif
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
