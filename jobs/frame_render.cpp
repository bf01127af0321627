#include "jobs/frame_render.h"

#include "base/errors.h"
#include "host/operator.h"
#include "host/request.h"

#include <string>
#include <vector>

namespace qualvex {

std::unique_ptr<Image> KeyOneFrame(Operator& keyer, Image& source, Image* key, int frame)
{
    Input* image = keyer.FindInput("Image");
    Input* keyImage = keyer.FindInput("KeyImage");
    if (image == nullptr || keyImage == nullptr)
        throw Failure("the loaded tool has no \"Image\" and \"KeyImage\" inputs");
    image->ConnectImage(&source);
    keyImage->ConnectImage(key);
    // The instance must not keep pointers to images that end with this frame.
    struct Disconnect {
        Input* a;
        Input* b;
        ~Disconnect()
        {
            a->ConnectImage(nullptr);
            b->ConnectImage(nullptr);
        }
    } disconnect{image, keyImage};
    std::unique_ptr<Image> keyed = host::RenderFrame(keyer, static_cast<double>(frame));
    if (!keyed)
        throw Failure("frame " + std::to_string(frame) + ": the keyer produced no image");
    return keyed;
}

namespace {

// -0.0 is 0 as far as an over is concerned; NaN is not, and is cleared with the rest.
bool HoldsKeyedColour(float r, float g, float b, float a)
{
    return a == 0.0f && !(r == 0.0f && g == 0.0f && b == 0.0f);
}

}  // namespace

std::uint64_t ClearKeyedColour(Image& keyed)
{
    std::uint64_t cleared = 0;
    if (keyed.Height > 0 && FloatColourRow(keyed, 0) != nullptr) {
        // Float colour is its stored values: cleared where it lies, every other value untouched.
        for (std::int32_t y = 0; y < keyed.Height; ++y) {
            float* pixel = FloatColourRow(keyed, y);
            for (std::int32_t x = 0; x < keyed.Width; ++x, pixel += 4) {
                if (!HoldsKeyedColour(pixel[2], pixel[1], pixel[0], pixel[3]))
                    continue;
                pixel[0] = pixel[1] = pixel[2] = 0.0f;
                ++cleared;
            }
        }
        return cleared;
    }
    if (keyed.ReadRow != nullptr && keyed.WriteRow != nullptr) {
        // A row at a time; only the runs of pixels that change are written back, so every other
        // stored value keeps its bits.
        const auto width = static_cast<std::size_t>(keyed.Width);
        std::vector<float> row(4 * width);
        float* const b = row.data();
        float* const g = b + width;
        float* const r = g + width;
        float* const a = r + width;
        for (std::int32_t y = 0; y < keyed.Height; ++y) {
            keyed.ReadRow(&keyed, y, 0, keyed.Width, b, g, r, a);
            std::int32_t x = 0;
            while (x < keyed.Width) {
                if (!HoldsKeyedColour(r[x], g[x], b[x], a[x])) {
                    ++x;
                    continue;
                }
                const std::int32_t first = x;
                for (; x < keyed.Width && HoldsKeyedColour(r[x], g[x], b[x], a[x]); ++x)
                    r[x] = g[x] = b[x] = 0.0f;
                keyed.WriteRow(&keyed, y, first, x - first, b + first, g + first, r + first, a + first);
                cleared += static_cast<std::uint64_t>(x - first);
            }
        }
        return cleared;
    }
    Pixel p;
    for (std::int32_t y = 0; y < keyed.Height; ++y) {
        unsigned char* colourRow = keyed.PlaneRows[0] != nullptr ? keyed.PlaneRows[0][y] : nullptr;
        unsigned char* furtherRow = keyed.PlaneRows[1] != nullptr ? keyed.PlaneRows[1][y] : nullptr;
        for (std::int32_t x = 0; x < keyed.Width; ++x) {
            unsigned char* colour = colourRow + static_cast<std::ptrdiff_t>(x) * keyed.PixelStep[0];
            unsigned char* further =
                furtherRow != nullptr ? furtherRow + static_cast<std::ptrdiff_t>(x) * keyed.PixelStep[1] : nullptr;
            keyed.ReadPixel(&p, colour, further, &keyed);
            if (!HoldsKeyedColour(p.R, p.G, p.B, p.A))
                continue;
            p.R = p.G = p.B = 0.0f;
            keyed.WritePixel(&p, colour, further, &keyed);
            ++cleared;
        }
    }
    return cleared;
}

}  // namespace qualvex
