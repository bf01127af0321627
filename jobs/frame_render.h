// One frame through a tool instance: the source (and key image) connected to its image inputs,
// a render request made through the host, the inputs disconnected again.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <memory>

class Operator;

namespace qualvex {

// Returns the keyed image; throws Failure when the tool produces none.
std::unique_ptr<Image> KeyOneFrame(Operator& keyer, Image& source, Image* key, int frame);

// For a result whose colour reads as associated: sets the colour to 0 wherever the matte is
// exactly 0. A reader of associated colour adds what is left there to the background in an over
// (colour correction leaves values such as -0.32), where a reader of straight colour adds nothing.
// Returns how many pixels held a colour other than 0 (NaN included); alpha and the further
// channels are left as they are.
std::uint64_t ClearKeyedColour(Image& keyed);

}  // namespace qualvex
