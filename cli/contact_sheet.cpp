#include "cli/contact_sheet.h"

#include "cli/image_writer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qualvex::cli {
namespace {

std::uint8_t Display(float value)
{
    // Only the picture for the eye is clamped; the keyed files keep their values.
    if (!(value > 0.0f))
        return 0;
    if (value >= 1.0f)
        return 255;
    return static_cast<std::uint8_t>(value * 255.0f + 0.5f);
}

}  // namespace

void WriteContactSheet(const std::filesystem::path& file, const Image& source, const Image& keyed,
                       AlphaReading keyedColour, ExistingFile existing)
{
    // Panels at most 640 pixels wide, sampled nearest; a 4-pixel gap between them.
    constexpr int kGap = 4;
    const int step = std::max(1, (source.Width + 639) / 640);
    const int panelWidth = std::max(1, source.Width / step);
    const int panelHeight = std::max(1, source.Height / step);
    const int width = panelWidth * 3 + kGap * 2;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(panelHeight) * 3, 32);
    const int checker = std::max(4, panelHeight / 24);
    for (int y = 0; y < panelHeight; ++y) {
        for (int x = 0; x < panelWidth; ++x) {
            const int sx = std::min(x * step, source.Width - 1);
            const int sy = std::min(y * step, source.Height - 1);
            const Pixel in = source.GetPixel(sx, sy);
            const Pixel out = keyed.GetPixel(sx, sy);
            const float alpha = std::clamp(out.A, 0.0f, 1.0f);
            const float board = ((x / checker + y / checker) % 2 == 0) ? 0.8f : 0.55f;
            // Over: associated colour already carries its alpha.
            const float own = keyedColour == AlphaReading::Associated ? 1.0f : alpha;
            const float panels[3][3] = {
                {in.R, in.G, in.B},
                {out.A, out.A, out.A},
                {out.R * own + board * (1 - alpha), out.G * own + board * (1 - alpha), out.B * own + board * (1 - alpha)},
            };
            for (int panel = 0; panel < 3; ++panel) {
                std::uint8_t* at =
                    rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                  static_cast<std::size_t>(panel * (panelWidth + kGap) + x)) * 3;
                for (int c = 0; c < 3; ++c)
                    at[c] = Display(panels[panel][c]);
            }
        }
    }
    WriteRgb8Png(file, width, panelHeight, rgb, existing);
}

}  // namespace qualvex::cli
