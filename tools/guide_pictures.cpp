// Draws the pictures of docs/guide.md from renders through the loaded tool, so that they show
// what the tool does, not a model of it:
//   shaping.png            alpha along the grey diagonal through the window, for four shapings
//   matte-*.png            the demo plate's matte at four settings (half size)
//   rejection.png          which components fall outside their window on the demo plate
// Usage: qualvex_guide_pictures PLATE.exr SETTINGS.json OUTPUT_FOLDER
#include "host/image.h"
#include "host/operator.h"
#include "jobs/control_settings.h"
#include "jobs/frame_render.h"
#include "jobs/keyer_plugin.h"
#include "media/image_writer.h"
#include "tune/tune_session.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace qualvex;

struct Canvas {
    int Width, Height;
    std::vector<std::uint8_t> Rgb;
    Canvas(int width, int height, std::uint8_t grey)
        : Width(width), Height(height), Rgb(static_cast<std::size_t>(width * height * 3), grey)
    {
    }
    void Dot(int x, int y, const std::uint8_t (&colour)[3])
    {
        if (x < 0 || y < 0 || x >= Width || y >= Height)
            return;
        std::copy(colour, colour + 3, &Rgb[static_cast<std::size_t>((y * Width + x) * 3)]);
    }
    void Line(int x0, int y0, int x1, int y1, const std::uint8_t (&colour)[3], int thickness = 1)
    {
        const int steps = std::max({std::abs(x1 - x0), std::abs(y1 - y0), 1});
        for (int i = 0; i <= steps; ++i) {
            const int x = x0 + (x1 - x0) * i / steps;
            const int y = y0 + (y1 - y0) * i / steps;
            for (int dx = 0; dx < thickness; ++dx)
                for (int dy = 0; dy < thickness; ++dy)
                    Dot(x + dx, y + dy, colour);
        }
    }
};

// Alpha along the grey diagonal: every component at 0.5 + t for t from -0.5 to 0.5, against a
// window from 0.4 to 0.6 in each (Value 0.5, Min and Max 0.1), colour correction and Invert off.
std::vector<float> DiagonalAlpha(const KeyerPlugin& plugin, const std::vector<ControlValue>& shaping, int samples)
{
    const std::unique_ptr<Operator> op = plugin.NewInstance();
    std::vector<ControlValue> values = {{"Colorspace", 0}, {"ColCor", 0},    {"InvAlpha", 0},  {"ValueRed", 0.5},
                                        {"ValueGreen", 0.5}, {"ValueBlue", 0.5}, {"MiRedn", 0.1},  {"MinGreen", 0.1},
                                        {"MinBlue", 0.1},  {"MaxRed", 0.1},  {"MaxGreen", 0.1}, {"MaxBlue", 0.1}};
    values.insert(values.end(), shaping.begin(), shaping.end());
    ApplyControlValues(*op, values);
    Image ramp(samples, 1, PixelStorage::Float);
    for (int i = 0; i < samples; ++i) {
        Pixel p;
        p.R = p.G = p.B = 0.5f + static_cast<float>(i) / static_cast<float>(samples - 1) - 0.5f;
        p.A = 1.0f;
        ramp.SetPixel(i, 0, p);
    }
    const std::unique_ptr<Image> keyed = KeyOneFrame(*op, ramp, nullptr, 0);
    std::vector<float> alpha;
    for (int i = 0; i < samples; ++i)
        alpha.push_back(keyed->GetPixel(i, 0).A);
    return alpha;
}

void DrawShaping(const KeyerPlugin& plugin, const std::filesystem::path& file)
{
    constexpr int kWidth = 720, kHeight = 300, kLeft = 20, kTop = 20, kPlotWidth = 680, kPlotHeight = 260;
    Canvas canvas(kWidth, kHeight, 24);
    const std::uint8_t axis[3] = {110, 110, 110}, grid[3] = {55, 55, 55}, window[3] = {40, 70, 40};
    const auto xOf = [&](double t) { return kLeft + static_cast<int>(std::lround((t + 0.5) * kPlotWidth)); };
    const auto yOf = [&](double a) { return kTop + static_cast<int>(std::lround((1.0 - a) * kPlotHeight)); };
    // The window, shaded; grid lines at alpha 0, 0.5, 1 and every 0.1 of t.
    for (int x = xOf(-0.1); x <= xOf(0.1); ++x)
        canvas.Line(x, yOf(1.0), x, yOf(0.0), window);
    for (int i = 0; i <= 10; ++i)
        canvas.Line(xOf(-0.5 + 0.1 * i), yOf(1.0), xOf(-0.5 + 0.1 * i), yOf(0.0), grid);
    for (double a : {0.5, 1.0})
        canvas.Line(xOf(-0.5), yOf(a), xOf(0.5), yOf(a), grid);
    canvas.Line(xOf(-0.5), yOf(0.0), xOf(0.5), yOf(0.0), axis);
    canvas.Line(xOf(0.0), yOf(1.0), xOf(0.0), yOf(0.0), axis);

    const struct {
        std::vector<ControlValue> Shaping;
        std::uint8_t Colour[3];
    } curves[] = {
        {{{"FadeRed", 1}}, {240, 240, 240}},                                        // white
        {{{"FadeRed", 0.3}}, {255, 160, 40}},                                       // orange
        {{{"FadeRed", 0.3}, {"GammaAlpha", 2}}, {60, 200, 255}},                    // blue
        {{{"FadeRed", 1}, {"OffAlpha", -0.2}, {"MultAlpha", 2}}, {230, 80, 230}},  // magenta
    };
    constexpr int kSamples = 1001;
    for (const auto& curve : curves) {
        const std::vector<float> alpha = DiagonalAlpha(plugin, curve.Shaping, kSamples);
        for (int i = 1; i < kSamples; ++i) {
            const double t0 = static_cast<double>(i - 1) / (kSamples - 1) - 0.5;
            const double t1 = static_cast<double>(i) / (kSamples - 1) - 0.5;
            canvas.Line(xOf(t0), yOf(alpha[static_cast<std::size_t>(i - 1)]), xOf(t1),
                        yOf(alpha[static_cast<std::size_t>(i)]), curve.Colour, 2);
        }
    }
    WriteRgb8Png(file, kWidth, kHeight, canvas.Rgb, ExistingFile::Replace);
}

// The page's PNGs come uncompressed (for speed on the loopback); pictures kept in the repository
// are written again with the PNG writer's own compression.
void WritePng(const std::filesystem::path& file, const std::string& png)
{
    std::vector<unsigned char> bytes(png.begin(), png.end());
    OIIO::Filesystem::IOMemReader reader(bytes.data(), bytes.size());
    auto in = OIIO::ImageInput::open("view.png", nullptr, &reader);
    if (!in)
        throw std::runtime_error("cannot read back a view: " + OIIO::geterror());
    const int width = in->spec().width, height = in->spec().height, channels = in->spec().nchannels;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width * height * channels));
    if (!in->read_image(0, 0, 0, -1, OIIO::TypeDesc::UINT8, pixels.data()))
        throw std::runtime_error("cannot read back a view: " + in->geterror());
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width * height * 3));
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = pixels[(i / 3) * static_cast<std::size_t>(channels) + (channels == 3 ? i % 3 : 0)];
    WriteRgb8Png(file, width, height, rgb, ExistingFile::Replace);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: qualvex_guide_pictures PLATE.exr SETTINGS.json OUTPUT_FOLDER\n");
        return 2;
    }
    try {
        const std::filesystem::path folder = argv[3];
        std::filesystem::create_directories(folder);
        const KeyerPlugin plugin(std::filesystem::path(QUALVEX_PLUGIN_DIR));
        DrawShaping(plugin, folder / "shaping.png");

        TuneSession session(plugin, TuneSource{argv[1], "", "", "", argv[2]});
        constexpr int kHalf = 2;
        WritePng(folder / "rejection.png", session.RenderViewPng(TuneView::Rejection, 0, kHalf));
        WritePng(folder / "matte-shipped.png", session.RenderViewPng(TuneView::Matte, 0, kHalf));
        const struct {
            const char* Name;
            std::vector<std::pair<std::string, std::string>> Changes;
        } variants[] = {
            {"matte-narrow.png", {{"MinGreen", "0.06"}, {"MaxGreen", "0.06"}}},
            {"matte-wide.png", {{"MinGreen", "0.25"}, {"MaxGreen", "0.25"}}},
            {"matte-soft.png", {{"MultAlpha", "1.5"}}},
        };
        for (const auto& variant : variants) {
            session.Load(argv[2]);
            session.SetControls(variant.Changes);
            WritePng(folder / variant.Name, session.RenderViewPng(TuneView::Matte, 0, kHalf));
        }
        std::printf("qualvex_guide_pictures: pictures written to %s\n", folder.string().c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qualvex_guide_pictures: %s\n", error.what());
        return 1;
    }
}
