#include "jobs/frame_render.h"

#include "base/errors.h"
#include "host/operator.h"
#include "host/request.h"

#include <string>

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

std::uint64_t ClearKeyedColour(Image& keyed)
{
    std::uint64_t cleared = 0;
    Pixel p;
    for (std::int32_t y = 0; y < keyed.Height; ++y) {
        unsigned char* colourRow = keyed.PlaneRows[0] != nullptr ? keyed.PlaneRows[0][y] : nullptr;
        unsigned char* furtherRow = keyed.PlaneRows[1] != nullptr ? keyed.PlaneRows[1][y] : nullptr;
        for (std::int32_t x = 0; x < keyed.Width; ++x) {
            unsigned char* colour = colourRow + static_cast<std::ptrdiff_t>(x) * keyed.PixelStep[0];
            unsigned char* further =
                furtherRow != nullptr ? furtherRow + static_cast<std::ptrdiff_t>(x) * keyed.PixelStep[1] : nullptr;
            keyed.ReadPixel(&p, colour, further, &keyed);
            // -0.0 is 0 as far as an over is concerned; NaN is not, and is cleared with the rest.
            if (p.A != 0.0f || (p.R == 0.0f && p.G == 0.0f && p.B == 0.0f))
                continue;
            p.R = p.G = p.B = 0.0f;
            keyed.WritePixel(&p, colour, further, &keyed);
            ++cleared;
        }
    }
    return cleared;
}

}  // namespace qualvex
