#include "render/keying_process.h"

#include "color/int_conversion.h"
#include "host/image.h"
#include "host/link.h"
#include "host/request.h"
#include "render/pixel_matte.h"
#include "render/pixel_record.h"
#include "render/power_series.h"
#include "render/row_matte.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace qualvex {

namespace {

double ReadNumber(Request& request, Input* input)
{
    return static_cast<Number*>(request.GetInputData(input, 0))->Value;
}

Image* ReadImage(Request& request, Input* input)
{
    Parameter* data = request.GetInputData(input, 0);
    return (data != nullptr && data->Kind() == ParameterKind::Image) ? static_cast<Image*>(data) : nullptr;
}

// Address of a pixel in one plane: the row's address plus step x column, the product formed in
// 32 bits as tools have always formed it. A plane without a row table gives null.
inline unsigned char* PlaneAddress(unsigned char* row, std::int32_t step, std::int32_t x)
{
    if (row == nullptr)
        return nullptr;
    const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(step) * static_cast<std::uint32_t>(x));
    return row + offset;
}

inline unsigned char* RowAddress(const Image& image, int plane, std::int32_t y)
{
    return image.PlaneRows[plane] != nullptr ? image.PlaneRows[plane][y] : nullptr;
}

}  // namespace

void RenderKeyedFrame(Request& request, const KeyerLinks& links)
{
    FrameSettings settings;
    settings.Mode = RoundIndex(ReadNumber(request, links.Colorspace));
    ReadNumber(request, links.BGAlphaBlend);  // read as the host expects; it changes nothing
    settings.ColorCorrect = RoundIndex(ReadNumber(request, links.ColCor));
    settings.Invert = RoundIndex(ReadNumber(request, links.InvAlpha));
    settings.CCAmount = ReadNumber(request, links.CCAmount);
    settings.Desaturate = ReadNumber(request, links.DesaturateAlpha);
    for (int i = 0; i < 3; ++i)
        settings.Value[i] = ReadNumber(request, links.Value[i]);
    for (int i = 0; i < 3; ++i)
        settings.Min[i] = ReadNumber(request, links.Min[i]);
    for (int i = 0; i < 3; ++i)
        settings.Max[i] = ReadNumber(request, links.Max[i]);
    settings.Fade = ReadNumber(request, links.Fade);
    settings.Gamma = ReadNumber(request, links.GammaAlpha);
    settings.Mult = ReadNumber(request, links.MultAlpha);
    settings.Offset = ReadNumber(request, links.OffAlpha);

    Image* source = ReadImage(request, links.Image);
    if (source == nullptr)
        return;  // nothing to key: no output for this request

    // Every pixel of the output is written below: the host need not clear it first.
    OwnedImage output = NewImageToOverwrite(*source);
    const std::int32_t width = source->Width;
    const std::int32_t height = source->Height;
    if (width == 0 || height == 0)
        return;

    Image* key = links.KeyImage->IsConnected() ? ReadImage(request, links.KeyImage) : nullptr;
    const bool sampleKey = key != nullptr && key->Width > 0 && key->Height > 0;
    double scaleX = -1.0;
    double scaleY = -1.0;
    // The source sizes are not 0 here; negative ones run no pixel, so only positive ones divide.
    if (sampleKey && width > 0 && height > 0) {
        scaleX = static_cast<double>(key->Width) / static_cast<double>(width);
        scaleY = static_cast<double>(key->Height) / static_cast<double>(height);
    }

    const MatteFrame frame = PrepareMatteFrame(settings);
    // The slider reference holds until a key pixel replaces it.
    KeyReference reference = SliderReference(frame);

    if (!sampleKey && width > 0 && height > 0) {
        // One reference for every pixel: whole rows go through the vector matte. Images that
        // offer rows are read and written a row at a time, and their further channels, which the
        // matte leaves as they are, copied as whole rows; others pixel by pixel through their own
        // reader and writer. Both give the same bytes.
        const MatteIsa isa = ChosenMatteIsa();
        const std::shared_ptr<const row_kernel::PowerSeries> series =
            NeedsPower(frame) ? PowerSeriesFor(frame.InverseGamma) : nullptr;
        const auto count = static_cast<std::size_t>(width);
        const bool rows = RowsCarryAcross(*source, *output);
        const std::size_t furtherBytes = rows ? count * static_cast<std::size_t>(source->PixelStep[1]) : 0;
        std::vector<Pixel> records(rows ? 0 : count);
        std::vector<float> channels(4 * count);
        std::vector<std::uint8_t> fullyKeyed(count);
        const MatteRow row{channels.data(), channels.data() + count, channels.data() + 2 * count,
                           channels.data() + 3 * count, fullyKeyed.data(), width};
        for (std::int32_t y = 0; y < height; ++y) {
            unsigned char* const sourceRow[2] = {RowAddress(*source, 0, y), RowAddress(*source, 1, y)};
            unsigned char* const outputRow[2] = {RowAddress(*output, 0, y), RowAddress(*output, 1, y)};
            if (rows) {
                source->ReadRow(source, y, 0, width, row.B, row.G, row.R, row.A);
            } else {
                for (std::int32_t x = 0; x < width; ++x) {
                    Pixel& record = records[static_cast<std::size_t>(x)];
                    source->ReadPixel(&record, PlaneAddress(sourceRow[0], source->PixelStep[0], x),
                                      PlaneAddress(sourceRow[1], source->PixelStep[1], x), source);
                    row.R[x] = record.R;
                    row.G[x] = record.G;
                    row.B[x] = record.B;
                    row.A[x] = record.A;
                }
            }
            ApplyMatteToRow(row, reference, frame, isa, series.get());
            if (rows) {
                output->WriteRow(output.get(), y, 0, width, row.B, row.G, row.R, row.A);
                if (furtherBytes > 0 && sourceRow[1] != nullptr)
                    std::memcpy(outputRow[1], sourceRow[1], furtherBytes);
                continue;
            }
            for (std::int32_t x = 0; x < width; ++x) {
                Pixel& record = records[static_cast<std::size_t>(x)];
                SetColour(record, ColorVec{row.B[x], row.G[x], row.R[x], row.A[x]});
                output->WritePixel(&record, PlaneAddress(outputRow[0], output->PixelStep[0], x),
                                   PlaneAddress(outputRow[1], output->PixelStep[1], x), output.get());
            }
        }
        request.SetOutputData(links.Out, output.release());
        return;
    }

    for (std::int32_t y = 0; y < height; ++y) {
        unsigned char* const sourceRow[2] = {RowAddress(*source, 0, y), RowAddress(*source, 1, y)};
        unsigned char* const outputRow[2] = {RowAddress(*output, 0, y), RowAddress(*output, 1, y)};
        const std::int32_t ky = sampleKey ? TruncateToInt32(static_cast<double>(y) * scaleY) : 0;
        const bool keyRowInside = sampleKey && ky >= 0 && ky < key->Height;
        unsigned char* const keyRow[2] = {keyRowInside ? RowAddress(*key, 0, ky) : nullptr,
                                          keyRowInside ? RowAddress(*key, 1, ky) : nullptr};
        for (std::int32_t x = 0; x < width; ++x) {
            Pixel record;
            source->ReadPixel(&record, PlaneAddress(sourceRow[0], source->PixelStep[0], x),
                              PlaneAddress(sourceRow[1], source->PixelStep[1], x), source);
            if (keyRowInside) {
                const std::int32_t kx = TruncateToInt32(static_cast<double>(x) * scaleX);
                if (kx >= 0 && kx < key->Width) {
                    Pixel keyRecord;
                    key->ReadPixel(&keyRecord, PlaneAddress(keyRow[0], key->PixelStep[0], kx),
                                   PlaneAddress(keyRow[1], key->PixelStep[1], kx), key);
                    reference = KeyPixelReference(ColourOf(keyRecord), frame);
                }
            }
            ColorVec colour = ColourOf(record);
            ApplyMatte(colour, reference, frame);
            SetColour(record, colour);
            output->WritePixel(&record, PlaneAddress(outputRow[0], output->PixelStep[0], x),
                               PlaneAddress(outputRow[1], output->PixelStep[1], x), output.get());
        }
    }
    request.SetOutputData(links.Out, output.release());
}

}  // namespace qualvex
