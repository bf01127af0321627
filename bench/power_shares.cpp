// How many pixels of a plate need Gamma's power: keys the plate (an image file, its values read as
// stored) with a settings file (a flat one, as qualvex fit writes; Gamma replaced when one is
// given, 1.4 when the file's is 1), or else as bench/compare.sh's benchmark does (the pixel at
// (8, 8) as the key colour, windows 0.15 around it in each colour space, Fade 0.3, Gamma 1.4), and
// counts the pixels fully keyed, those whose alpha the clamp decides whatever the power gives, and
// the rest; then the blocks of 4 and 8 pixels in a row that need no power at all, as the vector
// matte takes them.
//
//   qualvex_power_shares PLATE [SETTINGS.json [GAMMA]]
#include "render/pixel_matte.h"

#include <OpenImageIO/imageio.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: qualvex_power_shares PLATE [SETTINGS.json [GAMMA]]\n");
        return 2;
    }
    nlohmann::json file;
    if (argc >= 3) {
        std::ifstream text(argv[2]);
        file = nlohmann::json::parse(text, nullptr, false);
        if (!file.is_object()) {
            std::fprintf(stderr, "%s: not a settings file\n", argv[2]);
            return 1;
        }
    }
    auto in = OIIO::ImageInput::open(argv[1]);
    if (!in) {
        std::fprintf(stderr, "%s: %s\n", argv[1], OIIO::geterror().c_str());
        return 1;
    }
    const OIIO::ImageSpec header = in->spec();
    const auto width = static_cast<std::size_t>(header.width);
    std::vector<float> rgb(width * static_cast<std::size_t>(header.height) * 3);
    if (header.nchannels < 3 || !in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, rgb.data())) {
        std::fprintf(stderr, "%s: not an RGB image\n", argv[1]);
        return 1;
    }
    const float* corner = &rgb[(8 * width + 8) * 3];
    std::printf("%s (%d x %d), %s\n", argv[1], header.width, header.height,
                argc >= 3 ? argv[2] : "the benchmark's settings on the pixel at (8, 8)");
    const char* names[] = {"RGB", "HSV", "YXy", "YUV", "YCbCr"};
    std::printf("| space | fully keyed | clamped to 0 | clamped to 1 | needs the power | blocks of 4 without it | blocks of 8 without it |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    const auto number = [&](const char* id, double otherwise) {
        return file.contains(id) && file[id].is_number() ? file[id].get<double>() : otherwise;
    };
    int fileSpace = static_cast<int>(number("Colorspace", -1));
    for (int i = 0; file.contains("Colorspace") && file["Colorspace"].is_string() && i < 5; ++i)
        if (file["Colorspace"] == names[i])
            fileSpace = i;
    for (int space = 0; space < 5; ++space) {
        if (argc >= 3 && space != fileSpace)
            continue;
        qualvex::FrameSettings s;
        s.Mode = space;
        const ColorVec key = qualvex::RgbToSpace(qualvex::MakeColor(corner[0], corner[1], corner[2]), space);
        const float value[3] = {key.R, key.G, key.B};
        const char* ids[3][3] = {{"ValueRed", "MiRedn", "MaxRed"}, {"ValueGreen", "MinGreen", "MaxGreen"},
                                 {"ValueBlue", "MinBlue", "MaxBlue"}};
        for (int i = 0; i < 3; ++i) {
            s.Value[i] = number(ids[i][0], value[i]);
            s.Min[i] = number(ids[i][1], 0.15);
            s.Max[i] = number(ids[i][2], 0.15);
        }
        s.Fade = number("FadeRed", 0.3);
        s.Gamma = argc == 4 ? std::atof(argv[3]) : number("GammaAlpha", 1.0) == 1.0 ? 1.4 : number("GammaAlpha", 1.0);
        s.Offset = number("OffAlpha", 0.0);
        s.Mult = number("MultAlpha", 1.0);
        s.Invert = static_cast<std::int32_t>(number("InvAlpha", 0));
        s.ColorCorrect = static_cast<std::int32_t>(number("ColCor", 0));
        const qualvex::MatteFrame frame = qualvex::PrepareMatteFrame(s);
        const qualvex::KeyReference ref = qualvex::SliderReference(frame);
        std::size_t keyed = 0, low = 0, high = 0, rest = 0, free4 = 0, blocks4 = 0, free8 = 0, blocks8 = 0;
        for (int y = 0; y < header.height; ++y) {
            bool needs4 = false, needs8 = false;
            for (std::size_t x = 0; x < width; ++x) {
                const float* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
                const ColorVec pixel{p[2], p[1], p[0], 1.0f};
                float a = 0.0f;
                bool needs = false;
                if (!qualvex::MatteBeforeGamma(pixel, ref, frame, a))
                    ++keyed;
                else if (a > 0.0f && a <= frame.PowerLow)
                    ++low;
                else if (a >= frame.PowerHigh)
                    ++high;
                else
                    needs = ++rest > 0;
                needs4 = needs4 || needs;
                needs8 = needs8 || needs;
                if (x % 4 == 3) {
                    free4 += needs4 ? 0 : 1;
                    ++blocks4;
                    needs4 = false;
                }
                if (x % 8 == 7) {
                    free8 += needs8 ? 0 : 1;
                    ++blocks8;
                    needs8 = false;
                }
            }
        }
        const double all = static_cast<double>(width) * header.height;
        const auto pct = [](std::size_t n, double of) { return of > 0 ? 100.0 * static_cast<double>(n) / of : 0.0; };
        std::printf("| %s | %.1f %% | %.1f %% | %.1f %% | %.1f %% | %.1f %% | %.1f %% |\n", names[space], pct(keyed, all),
                    pct(low, all), pct(high, all), pct(rest, all), pct(free4, static_cast<double>(blocks4)),
                    pct(free8, static_cast<double>(blocks8)));
    }
    return 0;
}
