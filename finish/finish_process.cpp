#include "finish/finish_process.h"

#include "finish/alpha_plane.h"
#include "finish/clip.h"
#include "finish/despill.h"
#include "finish/finish_isa.h"
#include "finish/mask_mix.h"
#include "finish/shrink_grow.h"
#include "finish/soften.h"
#include "host/image.h"
#include "host/link.h"
#include "host/request.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace qualvex::finish {

namespace {

enum class OutputMode { Result, Matte, Spill };

struct FinishSettings {
    DespillSettings Despill;
    ClipPoints Clip;
    UnmixSettings Unmix;
    double Shrink = 0.0;
    double Soften = 0.0;
    OutputMode Output = OutputMode::Result;
};

double ReadNumber(Request& request, Input* input)
{
    return static_cast<Number*>(request.GetInputData(input, 0))->Value;
}

Image* ReadImage(Request& request, Input* input)
{
    Parameter* data = request.GetInputData(input, 0);
    return (data != nullptr && data->Kind() == ParameterKind::Image) ? static_cast<Image*>(data) : nullptr;
}

// The entry a combo value names: the nearest whole number, when it is one of the `count`
// entries; otherwise (NaN included) the fallback.
int Entry(double value, int count, int fallback)
{
    const double nearest = std::floor(value + 0.5);
    return (nearest >= 0.0 && nearest < static_cast<double>(count)) ? static_cast<int>(nearest) : fallback;
}

FinishSettings ReadSettings(Request& request, const FinishLinks& links)
{
    FinishSettings s;
    s.Despill.Method = static_cast<DespillMethod>(Entry(ReadNumber(request, links.Despill), 4, 0));
    s.Despill.Screen = static_cast<ScreenChannel>(Entry(ReadNumber(request, links.ScreenChannel), 3, 1));
    s.Despill.Amount = static_cast<float>(ReadNumber(request, links.DespillAmount));
    s.Despill.SpillToGrey = Entry(ReadNumber(request, links.SpillToGrey), 2, 0) == 1;
    s.Despill.ScreenColour = Rgb{static_cast<float>(ReadNumber(request, links.ScreenRed)),
                                 static_cast<float>(ReadNumber(request, links.ScreenGreen)),
                                 static_cast<float>(ReadNumber(request, links.ScreenBlue))};
    s.Clip.Black = ReadNumber(request, links.ClipBlack);
    s.Clip.White = ReadNumber(request, links.ClipWhite);
    s.Unmix.Light = static_cast<UnmixLight>(Entry(ReadNumber(request, links.UnmixEdges), 4, 0));
    s.Unmix.Reach = ReadNumber(request, links.UnmixReach);
    s.Unmix.Screen = s.Despill.ScreenColour;
    s.Shrink = ReadNumber(request, links.Shrink);
    s.Soften = ReadNumber(request, links.Soften);
    s.Output = static_cast<OutputMode>(Entry(ReadNumber(request, links.OutputMode), 3, 0));
    return s;
}

// Address of a pixel in one plane: the row's address plus step x column, the product formed in
// 32 bits as tools form it. A plane without a row table gives null.
unsigned char* PlaneAddress(unsigned char* row, std::int32_t step, std::int32_t x)
{
    if (row == nullptr)
        return nullptr;
    const auto offset = static_cast<std::int32_t>(static_cast<std::uint32_t>(step) * static_cast<std::uint32_t>(x));
    return row + offset;
}

unsigned char* RowAddress(const Image& image, int plane, std::int32_t y)
{
    return image.PlaneRows[plane] != nullptr ? image.PlaneRows[plane][y] : nullptr;
}

Pixel ReadAt(const Image& image, unsigned char* const row[2], std::int32_t x)
{
    Pixel record;
    image.ReadPixel(&record, PlaneAddress(row[0], image.PixelStep[0], x), PlaneAddress(row[1], image.PixelStep[1], x),
                    &image);
    return record;
}

// Truncation toward zero; -1 (outside every image) for NaN and values beyond the 32-bit range.
std::int32_t Truncate(double value)
{
    return (value > -2147483649.0 && value < 2147483648.0) ? static_cast<std::int32_t>(value) : -1;
}

// Reads one mask's alpha at the mask pixel that stands for each frame pixel.
class MaskSampler {
public:
    MaskSampler(const Image* mask, std::int32_t width, std::int32_t height) : m_Mask(mask)
    {
        // An empty mask, or a frame without pixels (nothing to divide by), samples no mask.
        if (m_Mask == nullptr || m_Mask->Width <= 0 || m_Mask->Height <= 0 || width <= 0 || height <= 0) {
            m_Mask = nullptr;
            return;
        }
        m_ScaleX = static_cast<double>(m_Mask->Width) / static_cast<double>(width);
        m_ScaleY = static_cast<double>(m_Mask->Height) / static_cast<double>(height);
    }

    void StartRow(std::int32_t y)
    {
        m_RowInside = false;
        if (m_Mask == nullptr)
            return;
        const std::int32_t my = Truncate(static_cast<double>(y) * m_ScaleY);
        m_RowInside = my >= 0 && my < m_Mask->Height;
        if (m_RowInside) {
            m_Row[0] = RowAddress(*m_Mask, 0, my);
            m_Row[1] = RowAddress(*m_Mask, 1, my);
        }
    }

    float Alpha(std::int32_t x) const
    {
        if (!m_RowInside)
            return 0.0f;
        const std::int32_t mx = Truncate(static_cast<double>(x) * m_ScaleX);
        if (mx < 0 || mx >= m_Mask->Width)
            return 0.0f;
        return ReadAt(*m_Mask, m_Row, mx).A;
    }

private:
    const Image* m_Mask;
    double m_ScaleX = 0.0;
    double m_ScaleY = 0.0;
    bool m_RowInside = false;
    unsigned char* m_Row[2] = {nullptr, nullptr};
};

float RemovedLight(float original, float despilled)
{
    const float removed = original - despilled;
    return removed > 0.0f ? removed : 0.0f;
}

// The Result of a frame without masks, its despill (`despill`, the colour's despilled colour: the
// method and the screen channels fixed where it is compiled) in the loop: no branch inside, so the
// compiler runs it in vectors. Value for value the operations of the pixel-by-pixel path. Float
// frames are read and written in their own rows; others through the channel arrays `channels`
// (B, G, R, A) of their row reader and writer. The further channels are copied as whole rows. The
// matte is the finished plane, or (ClipInLoop: no step needs the whole frame) each pixel's own
// alpha clipped as it is read, which is what the plane would hold: one pass over the source.
template <bool ClipInLoop, typename Despill>
[[gnu::always_inline]] inline void FinishResultFrame(Image& source, Image& output, const AlphaPlane& matte,
                                                     const ClipPoints& clip, const Despill& despill,
                                                     float* const (&channels)[4])
{
    const std::int32_t width = source.Width;
    const auto further = static_cast<std::size_t>(width) * static_cast<std::size_t>(source.PixelStep[1]);
    const bool floatRows = FloatColourRow(source, 0) != nullptr && FloatColourRow(output, 0) != nullptr;
    float* const b = channels[0];
    float* const g = channels[1];
    float* const r = channels[2];
    float* const a = channels[3];
    for (std::int32_t y = 0; y < source.Height; ++y) {
        const float* const alpha = ClipInLoop ? nullptr : matte.Values.data() + matte.Index(0, y);
        if (floatRows) {
            const float* const in = FloatColourRow(source, y);
            float* const out = FloatColourRow(output, y);
            for (std::int32_t x = 0; x < width; ++x) {
                const Rgb result = despill(Rgb{in[4 * x + 2], in[4 * x + 1], in[4 * x]});
                out[4 * x] = result.B;
                out[4 * x + 1] = result.G;
                out[4 * x + 2] = result.R;
                out[4 * x + 3] = MixMasks(ClipInLoop ? ClipAlpha(in[4 * x + 3], clip) : alpha[x], 0.0f, 0.0f);
            }
        } else {
            source.ReadRow(&source, y, 0, width, b, g, r, a);
            for (std::int32_t x = 0; x < width; ++x) {
                const Rgb result = despill(Rgb{r[x], g[x], b[x]});
                r[x] = result.R;
                g[x] = result.G;
                b[x] = result.B;
                a[x] = MixMasks(ClipInLoop ? ClipAlpha(a[x], clip) : alpha[x], 0.0f, 0.0f);
            }
            output.WriteRow(&output, y, 0, width, b, g, r, a);
        }
        unsigned char* const row = RowAddress(source, 1, y);
        if (row != nullptr)
            std::memcpy(RowAddress(output, 1, y), row, further);
    }
}

// Picks the loop for the settings' despill; the same code for each instruction set.
template <bool ClipInLoop>
[[gnu::always_inline]] inline void FinishResultFrameFor(Image& source, Image& output, const AlphaPlane& matte,
                                                        const ClipPoints& clip, const DespillSettings& despill,
                                                        float* const (&channels)[4])
{
    WithDespill(despill, [&](auto despilled) {
        FinishResultFrame<ClipInLoop>(source, output, matte, clip, despilled, channels);
    });
}

// The matte from the finished plane, or clipped in the loop (`clip` non-null).
[[gnu::always_inline]] inline void FinishResultFrameFrom(Image& source, Image& output, const AlphaPlane& matte,
                                                         const ClipPoints* clip, const DespillSettings& despill,
                                                         float* const (&channels)[4])
{
    if (clip != nullptr)
        FinishResultFrameFor<true>(source, output, matte, *clip, despill, channels);
    else
        FinishResultFrameFor<false>(source, output, matte, ClipPoints{}, despill, channels);
}

void FinishResultFrameBaseline(Image& source, Image& output, const AlphaPlane& matte, const ClipPoints* clip,
                               const DespillSettings& despill, float* const (&channels)[4])
{
    FinishResultFrameFrom(source, output, matte, clip, despill, channels);
}

[[gnu::target("avx2")]] void FinishResultFrameAvx2(Image& source, Image& output, const AlphaPlane& matte,
                                                   const ClipPoints* clip, const DespillSettings& despill,
                                                   float* const (&channels)[4])
{
    FinishResultFrameFrom(source, output, matte, clip, despill, channels);
}

}  // namespace

void RenderFinishedFrame(Request& request, const FinishLinks& links, FinishWorkspace& workspace)
{
    const FinishSettings settings = ReadSettings(request, links);
    Image* source = ReadImage(request, links.Image);
    if (source == nullptr)
        return;  // nothing to finish: no output for this request

    // Every pixel of the output is written below: the host need not clear it first.
    OwnedImage output = NewImageToOverwrite(*source);
    const std::int32_t width = source->Width;
    const std::int32_t height = source->Height;
    if (width == 0 || height == 0) {
        request.SetOutputData(links.Out, output.release());
        return;
    }

    // Images that offer rows are read and written a row at a time, the further channels, which
    // the steps leave as they are, copied as whole rows; others pixel by pixel. Same bytes.
    const bool rows = RowsCarryAcross(*source, *output);
    const auto count = static_cast<std::size_t>(width);
    if (rows)
        for (std::vector<float>& channel : workspace.Row)
            channel.resize(count);  // every value is written by each row read
    float* const b = rows ? workspace.Row[0].data() : nullptr;
    float* const g = rows ? workspace.Row[1].data() : nullptr;
    float* const r = rows ? workspace.Row[2].data() : nullptr;
    float* const a = rows ? workspace.Row[3].data() : nullptr;

    // A float image's matte is read straight from its own rows, where the stored values are the
    // values: no channel arrays between.
    const bool floatRows = rows && FloatColourRow(*source, 0) != nullptr && FloatColourRow(*output, 0) != nullptr;

    // The common case, a frame's result without masks, is finished in one loop (below).
    const bool garbageConnected = links.GarbageMatte->IsConnected();
    const bool coreConnected = links.CoreMatte->IsConnected();
    const bool oneLoop = rows && settings.Output == OutputMode::Result && !garbageConnected && !coreConnected;
    const auto finishInOneLoop = [&](const ClipPoints* clip) {
        float* const channels[4] = {b, g, r, a};
        if (ChosenFinishIsa() == FinishIsa::Avx2)
            FinishResultFrameAvx2(*source, *output, workspace.Matte, clip, settings.Despill, channels);
        else
            FinishResultFrameBaseline(*source, *output, workspace.Matte, clip, settings.Despill, channels);
        request.SetOutputData(links.Out, output.release());
    };
    // Without a step that needs the whole frame (unmixing, shrinking or growing, softening), the
    // matte is each pixel's own alpha clipped: that loop clips it as it reads the pixel, and the
    // source is read once.
    const bool unmix = settings.Unmix.Light != UnmixLight::Off;
    const bool wholeFrame = unmix || settings.Shrink > 0.0 || settings.Shrink < 0.0 || settings.Soften > 0.0;
    if (oneLoop && !wholeFrame) {
        finishInOneLoop(&settings.Clip);
        return;
    }

    // The matte: clipped as it is read, then the steps that need the whole frame. Unmixing the
    // edges needs the frame's colours too.
    AlphaPlane& matte = workspace.Matte;
    matte.Resize(width, height);  // every value is written just below
    std::vector<float>& colour = workspace.Colour;
    if (unmix)
        colour.resize(3 * matte.Values.size());  // every value is written just below
    const auto keepColour = [&](std::int32_t x, std::int32_t y, float red, float green, float blue) {
        float* const c = &colour[3 * matte.Index(x, y)];
        c[0] = red;
        c[1] = green;
        c[2] = blue;
    };
    for (std::int32_t y = 0; y < height; ++y) {
        if (floatRows) {
            const float* const pixels = FloatColourRow(*source, y);
            float* const alpha = &matte.At(0, y);
            for (std::int32_t x = 0; x < width; ++x) {
                alpha[x] = ClipAlpha(pixels[4 * x + 3], settings.Clip);
                if (unmix)
                    keepColour(x, y, pixels[4 * x + 2], pixels[4 * x + 1], pixels[4 * x]);
            }
            continue;
        }
        if (rows) {
            source->ReadRow(source, y, 0, width, b, g, r, a);
            for (std::int32_t x = 0; x < width; ++x) {
                matte.At(x, y) = ClipAlpha(a[x], settings.Clip);
                if (unmix)
                    keepColour(x, y, r[x], g[x], b[x]);
            }
            continue;
        }
        unsigned char* const row[2] = {RowAddress(*source, 0, y), RowAddress(*source, 1, y)};
        for (std::int32_t x = 0; x < width; ++x) {
            const Pixel pixel = ReadAt(*source, row, x);
            matte.At(x, y) = ClipAlpha(pixel.A, settings.Clip);
            if (unmix)
                keepColour(x, y, pixel.R, pixel.G, pixel.B);
        }
    }
    if (unmix)
        UnmixEdges(matte, colour, settings.Unmix, workspace.Unmix);
    ShrinkGrow(matte, settings.Shrink, workspace.Edge, workspace.Distance);
    Soften(matte, settings.Soften, workspace.SoftenSpare);

    if (oneLoop) {
        finishInOneLoop(nullptr);
        return;
    }

    MaskSampler garbage(garbageConnected ? ReadImage(request, links.GarbageMatte) : nullptr, width, height);
    MaskSampler core(coreConnected ? ReadImage(request, links.CoreMatte) : nullptr, width, height);

    // Each pixel's colour and alpha as the output mode has them; the record's further channels
    // are left as they came.
    const auto finish = [&](Pixel& record, std::int32_t x, std::int32_t y) {
        const Rgb original{record.R, record.G, record.B};
        switch (settings.Output) {
        case OutputMode::Result: {
            const Rgb despilled = Despill(original, settings.Despill);
            record.R = despilled.R;
            record.G = despilled.G;
            record.B = despilled.B;
            record.A = MixMasks(matte.At(x, y), garbage.Alpha(x), core.Alpha(x));
            break;
        }
        case OutputMode::Matte:
            record.R = record.G = record.B = record.A = MixMasks(matte.At(x, y), garbage.Alpha(x), core.Alpha(x));
            break;
        case OutputMode::Spill: {
            const Rgb despilled = Despill(original, settings.Despill);
            record.R = RemovedLight(original.R, despilled.R);
            record.G = RemovedLight(original.G, despilled.G);
            record.B = RemovedLight(original.B, despilled.B);
            record.A = 1.0f;
            break;
        }
        }
    };

    for (std::int32_t y = 0; y < height; ++y) {
        unsigned char* const row[2] = {RowAddress(*source, 0, y), RowAddress(*source, 1, y)};
        unsigned char* const outRow[2] = {RowAddress(*output, 0, y), RowAddress(*output, 1, y)};
        garbage.StartRow(y);
        core.StartRow(y);
        if (rows) {
            source->ReadRow(source, y, 0, width, b, g, r, a);
            for (std::int32_t x = 0; x < width; ++x) {
                Pixel record;
                record.R = r[x];
                record.G = g[x];
                record.B = b[x];
                record.A = a[x];
                finish(record, x, y);
                r[x] = record.R;
                g[x] = record.G;
                b[x] = record.B;
                a[x] = record.A;
            }
            output->WriteRow(output.get(), y, 0, width, b, g, r, a);
            if (row[1] != nullptr)
                std::memcpy(outRow[1], row[1], count * static_cast<std::size_t>(source->PixelStep[1]));
            continue;
        }
        for (std::int32_t x = 0; x < width; ++x) {
            Pixel record = ReadAt(*source, row, x);
            finish(record, x, y);
            output->WritePixel(&record, PlaneAddress(outRow[0], output->PixelStep[0], x),
                               PlaneAddress(outRow[1], output->PixelStep[1], x), output.get());
        }
    }
    request.SetOutputData(links.Out, output.release());
}

}  // namespace qualvex::finish
