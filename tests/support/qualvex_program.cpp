#include "support/qualvex_program.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace qualvex::testing {

const std::vector<std::string> kKey = {"--set", "ValueRed=0.1",  "--set", "ValueGreen=0.8", "--set", "ValueBlue=0.15",
                                       "--set", "MiRedn=0.1",    "--set", "MaxRed=0.1",     "--set", "MinGreen=0.1",
                                       "--set", "MaxGreen=0.1",  "--set", "MinBlue=0.1",    "--set", "MaxBlue=0.1",
                                       "--set", "FadeRed=0.9",   "--set", "InvAlpha=1",     "--set", "GammaAlpha=1.4",
                                       "--set", "OffAlpha=-0.5", "--set", "MultAlpha=2"};


// A small plate: green screen on the left, warm subject on the right, a soft edge between.
std::vector<float> PlatePixels(int width, int height, int channels, int frame)
{
    std::vector<float> pixels(static_cast<std::size_t>(width * height * channels));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const float t = std::clamp((x - width / 2.0f + frame) / 4.0f + 0.5f, 0.0f, 1.0f);
            float* p = &pixels[static_cast<std::size_t>((y * width + x) * channels)];
            const float rgb[3] = {0.1f + 0.7f * t + 0.01f * y, 0.8f - 0.5f * t, 0.15f + 0.2f * t};
            for (int c = 0; c < channels; ++c)
                p[c] = c < 3 ? rgb[c] : c == 3 ? 1.0f : 10.0f + x + 0.5f * y;  // channel 4: depth
        }
    return pixels;
}

void WriteImage(const std::filesystem::path& file, int width, int height, const std::vector<std::string>& names,
                TypeDesc type, const std::vector<float>& pixels, const std::string& compression)
{
    ImageSpec header(width, height, static_cast<int>(names.size()), type);
    header.channelnames = names;
    header.alpha_channel = -1;
    for (std::size_t c = 0; c < names.size(); ++c)
        if (names[c] == "A")
            header.alpha_channel = static_cast<int>(c);
    header.attribute("oiio:UnassociatedAlpha", 1);
    if (!compression.empty())
        header.attribute("compression", compression);
    auto out = ImageOutput::create(file.string());
    ASSERT_TRUE(out && out->open(file.string(), header)) << file;
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data()));
    out->close();
}

ReadBack ReadImage(const std::filesystem::path& file)
{
    ImageSpec config;
    config["oiio:UnassociatedAlpha"] = 1;
    auto in = ImageInput::open(file.string(), &config);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    ReadBack result{in->spec(), {}};
    result.Pixels.resize(static_cast<std::size_t>(result.Header.width * result.Header.height * result.Header.nchannels));
    in->read_image(0, 0, 0, result.Header.nchannels, TypeDesc::FLOAT, result.Pixels.data());
    return result;
}

}  // namespace qualvex::testing
