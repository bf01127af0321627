// A frame's matte as the finishing steps work on it: one float per pixel, row by row from the
// top row (y = 0) down, x across.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qualvex::finish {

struct AlphaPlane {
    AlphaPlane() = default;
    // Sizes below 0 count as 0.
    AlphaPlane(std::int32_t width, std::int32_t height, float fill = 0.0f)
        : Width(width > 0 ? width : 0), Height(height > 0 ? height : 0),
          Values(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height), fill)
    {
    }

    // Takes the new size keeping the memory it has; values are left as they are, to be written.
    void Resize(std::int32_t width, std::int32_t height)
    {
        Width = width > 0 ? width : 0;
        Height = height > 0 ? height : 0;
        Values.resize(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height));
    }

    std::size_t Index(std::int32_t x, std::int32_t y) const
    {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x);
    }
    float& At(std::int32_t x, std::int32_t y) { return Values[Index(x, y)]; }
    float At(std::int32_t x, std::int32_t y) const { return Values[Index(x, y)]; }

    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::vector<float> Values;
};

}  // namespace qualvex::finish
