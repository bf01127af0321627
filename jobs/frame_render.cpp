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

}  // namespace qualvex
