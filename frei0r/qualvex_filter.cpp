// qualvex as a frei0r filter, for the video tools that load them (ffmpeg, GStreamer, ...): each
// RGBA8888 frame is keyed through the host exactly as `qualvex key` keys the same 8-bit frame
// with the same settings file, and written back with straight colour, as a PNG stores it.
//
// Parameter 0, "settings", is the path of a settings file (what `qualvex fit`, the tuning page's
// Save and `qualvex key --settings` take; its "finish" object runs the finishing tool too). The
// host and both tools are loaded from the install prefix this filter sits in. A settings file
// that is missing or malformed leaves the frames unchanged and is said once on standard error.
#include "base/errors.h"
#include "host/flow.h"
#include "host/image.h"
#include "jobs/key_job.h"
#include "jobs/frame_render.h"
#include "jobs/key_options.h"
#include "jobs/keyer_plugin.h"
#include "media/format_policy.h"

#include <OpenImageIO/imageio.h>
#include <dlfcn.h>

// The header declares the entry points the hosts look up, without C linkage of its own; they are
// the only symbols this file shows.
#pragma GCC visibility push(default)
extern "C" {
#include <frei0r.h>
}
#pragma GCC visibility pop

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using qualvex::AlphaReading;

// The install prefix's plug-in folder, from where this file was loaded: <prefix>/lib/frei0r-1/.
std::filesystem::path PluginFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&f0r_init), &info) == 0 || info.dli_fname == nullptr)
        return {};
    const std::filesystem::path self = std::filesystem::weakly_canonical(info.dli_fname);
    return self.parent_path().parent_path().parent_path() / QUALVEX_FREI0R_PLUGIN_DIR;
}

struct Filter {
    int Width = 0;
    int Height = 0;
    std::string Settings;         // as the host set it
    bool Ready = false;           // the tools are set up for Settings
    bool Tried = false;           // setting up for Settings was tried (and said, when it failed)
    std::unique_ptr<qualvex::KeyerPlugin> Plugin;
    std::optional<qualvex::KeyTools> Tools;
    std::optional<host::Flow> Chain;
    std::unique_ptr<Image> Source;
    std::vector<float> Row;

    void SetUp()
    {
        Tried = true;
        Ready = false;
        Chain.reset();
        Tools.reset();
        try {
            if (Settings.empty())
                throw qualvex::UsageError("no settings file is set (the filter's \"settings\" parameter)");
            if (!Plugin)
                Plugin = std::make_unique<qualvex::KeyerPlugin>(PluginFolder());
            qualvex::KeyOptions options;
            options.SettingsFile = Settings;
            options.Quiet = true;
            Tools.emplace(qualvex::PrepareKeyTools(*Plugin, options));
            Chain.emplace();
            Chain->Append(*Tools->Keyer);
            if (Tools->Finisher)
                Chain->Append(*Tools->Finisher);
            Source = std::make_unique<Image>(Width, Height, PixelStorage::UInt8, false);
            Row.assign(static_cast<std::size_t>(Width) * 4, 0.0f);
            Ready = true;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "qualvex frei0r filter: %s; frames pass through unchanged\n", error.what());
        }
    }

    void Key(const std::uint32_t* in, std::uint32_t* out)
    {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(in);
        auto* written = reinterpret_cast<std::uint8_t*>(out);
        const std::size_t width = static_cast<std::size_t>(Width);
        // Stored values widened as the image readers widen an 8-bit file: the image stores them
        // back exactly.
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x) {
                const std::uint8_t* v = bytes + (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)) * 4;
                Pixel p;
                p.R = static_cast<float>(v[0]) / 255.0f;
                p.G = static_cast<float>(v[1]) / 255.0f;
                p.B = static_cast<float>(v[2]) / 255.0f;
                p.A = static_cast<float>(v[3]) / 255.0f;
                Source->SetPixel(x, y, p);
            }
        const std::unique_ptr<Image> keyed = Chain->Render(*Source, 0.0);
        // Straight colour, as a PNG of the same run stores it: an associated result is divided by
        // alpha where alpha > 0, and holds colour 0 where alpha is 0.
        const bool dissociate = Tools->Write.Result == AlphaReading::Associated;
        if (dissociate)
            qualvex::ClearKeyedColour(*keyed);
        for (int y = 0; y < Height; ++y) {
            for (int x = 0; x < Width; ++x) {
                const Pixel p = keyed->GetPixel(x, y);
                float* value = &Row[static_cast<std::size_t>(x) * 4];
                value[0] = p.R;
                value[1] = p.G;
                value[2] = p.B;
                value[3] = p.A;
                if (dissociate && p.A > 0.0f)
                    for (int c = 0; c < 3; ++c)
                        value[c] /= p.A;
            }
            OIIO::convert_pixel_values(OIIO::TypeDesc::FLOAT, Row.data(), OIIO::TypeDesc::UINT8,
                                       written + static_cast<std::size_t>(y) * width * 4, Width * 4);
        }
    }
};

}  // namespace

// The entry points the frei0r hosts look up; everything else in this file is hidden.
#pragma GCC visibility push(default)
extern "C" {

int f0r_init() { return 1; }

void f0r_deinit() {}

void f0r_get_plugin_info(f0r_plugin_info_t* info)
{
    info->name = "qualvex";
    info->author = "Qualvex";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = 1;
    info->minor_version = 0;
    info->num_params = 1;
    info->explanation = "Keys each frame with the settings of a qualvex settings file";
}

void f0r_get_param_info(f0r_param_info_t* info, int index)
{
    if (index != 0)
        return;
    info->name = "settings";
    info->type = F0R_PARAM_STRING;
    info->explanation = "Path of a qualvex settings file (qualvex fit, the tuning page's Save, qualvex key --settings)";
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height)
{
    // A frame whose rows do not fit the host's image is not one this filter can key.
    if (width == 0 || height == 0 || width > (1u << 16) || height > (1u << 16))
        return nullptr;
    try {
        auto* filter = new Filter;
        filter->Width = static_cast<int>(width);
        filter->Height = static_cast<int>(height);
        return filter;
    } catch (...) {
        return nullptr;
    }
}

void f0r_destruct(f0r_instance_t instance) { delete static_cast<Filter*>(instance); }

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index)
{
    auto* filter = static_cast<Filter*>(instance);
    if (filter == nullptr || param == nullptr || index != 0)
        return;
    const char* text = *static_cast<f0r_param_string*>(param);
    const std::string value = text != nullptr ? text : "";
    if (value == filter->Settings && filter->Tried)
        return;
    filter->Settings = value;
    filter->Tried = false;
    filter->Ready = false;
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index)
{
    auto* filter = static_cast<Filter*>(instance);
    if (filter == nullptr || param == nullptr || index != 0)
        return;
    *static_cast<f0r_param_string*>(param) = const_cast<char*>(filter->Settings.c_str());
}

void f0r_update(f0r_instance_t instance, double, const std::uint32_t* inframe, std::uint32_t* outframe)
{
    auto* filter = static_cast<Filter*>(instance);
    if (filter == nullptr || inframe == nullptr || outframe == nullptr)
        return;
    if (!filter->Tried)
        filter->SetUp();
    const std::size_t bytes = static_cast<std::size_t>(filter->Width) * static_cast<std::size_t>(filter->Height) * 4;
    if (filter->Ready) {
        try {
            filter->Key(inframe, outframe);
            return;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "qualvex frei0r filter: %s; frames pass through unchanged\n", error.what());
            filter->Ready = false;
        }
    }
    if (inframe != outframe)
        std::memcpy(outframe, inframe, bytes);
}

}  // extern "C"
#pragma GCC visibility pop
