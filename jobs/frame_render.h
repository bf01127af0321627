// One frame through a tool instance: the source (and key image) connected to its image inputs,
// a render request made through the host, the inputs disconnected again.
#pragma once

#include "host/image.h"

#include <memory>

class Operator;

namespace qualvex {

// Returns the keyed image; throws Failure when the tool produces none.
std::unique_ptr<Image> KeyOneFrame(Operator& keyer, Image& source, Image* key, int frame);

}  // namespace qualvex
