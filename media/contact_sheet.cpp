#include "media/contact_sheet.h"

#include "media/image_writer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qualvex {
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

// Capitals 5 pixels wide and 7 high, a row a byte, the leftmost pixel in bit 4: just the letters
// the panels' labels use.
struct Glyph {
    char Letter;
    std::uint8_t Rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
};

// Writes `text` into the strip above a panel starting at column `left`, clipped to `panelWidth`.
void DrawLabel(std::vector<std::uint8_t>& rgb, int sheetWidth, int left, int panelWidth, int scale, const char* text)
{
    constexpr std::uint8_t kInk = 200;
    for (int i = 0; text[i] != '\0'; ++i) {
        const Glyph* glyph = nullptr;
        for (const Glyph& g : kGlyphs)
            if (g.Letter == text[i])
                glyph = &g;
        if (glyph == nullptr)
            continue;  // a space
        for (int row = 0; row < 7 * scale; ++row)
            for (int column = 0; column < 5 * scale; ++column) {
                const int x = 2 * scale + i * 6 * scale + column;
                if (x >= panelWidth || ((glyph->Rows[row / scale] >> (4 - column / scale)) & 1) == 0)
                    continue;
                std::uint8_t* at = rgb.data() + (static_cast<std::size_t>(2 * scale + row) * static_cast<std::size_t>(sheetWidth) +
                                                 static_cast<std::size_t>(left + x)) * 3;
                at[0] = at[1] = at[2] = kInk;
            }
    }
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
    // A strip above the panels names them; letters twice the size once the panels are wide.
    const int scale = panelWidth >= 160 ? 2 : 1;
    const int strip = 11 * scale;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(panelHeight + strip) * 3, 32);
    const char* labels[3] = {"SOURCE", "MATTE", "RESULT"};
    for (int panel = 0; panel < 3; ++panel)
        DrawLabel(rgb, width, panel * (panelWidth + kGap), panelWidth, scale, labels[panel]);
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
                    rgb.data() + (static_cast<std::size_t>(strip + y) * static_cast<std::size_t>(width) +
                                  static_cast<std::size_t>(panel * (panelWidth + kGap) + x)) * 3;
                for (int c = 0; c < 3; ++c)
                    at[c] = Display(panels[panel][c]);
            }
        }
    }
    WriteRgb8Png(file, width, panelHeight + strip, rgb, existing);
}

}  // namespace qualvex
