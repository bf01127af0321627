#include "cli/info_command.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "jobs/control_kind.h"
#include "jobs/keyer_plugin.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

namespace qualvex::cli {
namespace {

std::string TagText(const Registry& entry, std::uint32_t tag)
{
    for (const TagEntry& e : entry.Entries())
        if (e.Tag == tag)
            return e.Text;
    return "";
}

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

}  // namespace

void PrintInfo(const KeyerPlugin& plugin, const std::string& image, const std::string& embeddedJson,
               const std::string& embeddedVersion)
{
    nlohmann::json embedded;
    if (!image.empty()) {
        if (embeddedJson.empty())
            throw Failure(image + ": holds no settings embedded by qualvex");
        if (JsonNestingDepth(embeddedJson) > kMaxJsonDepth)
            throw Failure(image + ": its settings record is damaged (nested more than " +
                          std::to_string(kMaxJsonDepth) + " levels deep)");
        embedded = nlohmann::json::parse(embeddedJson, nullptr, false);
    }

    const Registry& entry = plugin.Class();
    std::printf("tool\n");
    std::printf("  identifier   %s\n", entry.ID().c_str());
    std::printf("  name         %s\n", TagText(entry, RegTag::Name).c_str());
    std::printf("  author       %s\n", TagText(entry, RegTag::Author).c_str());
    std::printf("  short label  %s\n", TagText(entry, RegTag::ShortName).c_str());
    std::printf("library %s\n", plugin.Library().File().string().c_str());
    for (const auto& [key, value] : plugin.Library().Record().Entries)
        std::printf("  %-17s %s\n", Printable(key).c_str(), Printable(value).c_str());
    if (!image.empty())
        std::printf("image %s\n  written by   %s\n", Printable(image, 4096).c_str(), Printable(embeddedVersion).c_str());

    const std::unique_ptr<Operator> instance = plugin.NewInstance();
    for (const std::string& page : instance->Pages())
        std::printf("page \"%s\"\n", page.c_str());
    std::printf("  %-16s %-32s %-12s %-14s %-9s %s\n", "ID", "name", "kind", "range", "default",
                image.empty() ? "entries" : "value in image / entries");
    for (const auto& input : instance->Inputs()) {
        const LinkDescription& d = input->Description();
        std::string range;
        if (d.Min && d.Max)
            range = Number(*d.Min) + " .. " + Number(*d.Max);
        std::string entries;
        for (std::size_t i = 0; i < d.Entries.size(); ++i)
            entries += (i ? ", " : "") + std::to_string(i) + " \"" + d.Entries[i] + "\"";
        std::string value;
        if (embedded.is_object() && embedded.contains(d.ID))
            value = embedded[d.ID].is_number() ? Number(embedded[d.ID].get<double>()) : Printable(embedded[d.ID].dump(), 80);
        const bool number = input->Value() != nullptr && input->Value()->Kind() == ParameterKind::Number;
        std::printf("  %-16s %-32s %-12s %-14s %-9s %s%s%s\n", d.ID.c_str(), ("\"" + d.Name + "\"").c_str(),
                    ControlKindName(d).c_str(), range.c_str(), number && d.Default ? Number(*d.Default).c_str() : "",
                    value.c_str(), value.empty() || entries.empty() ? "" : "  ", entries.c_str());
    }
    for (const auto& output : instance->Outputs())
        std::printf("  %-16s output\n", output->ID().c_str());

    // What p1, p2 and p3 are, in the colour space in force: the image's, else the default.
    static constexpr const char* kComponents[][3] = {
        {"red", "green", "blue"},
        {"hue (degrees / 360)", "saturation", "value"},
        {"luminance Y", "chromaticity x", "chromaticity y"},
        {"luma Y", "U, 0.565 (blue - Y)", "V, 0.713 (red - Y)"},
        {"luma Y", "Cb (grey at 128/255)", "Cr (grey at 128/255)"},
    };
    const Input* space = instance->FindInput("Colorspace");
    if (space != nullptr) {
        double index = space->NumberValue();
        if (embedded.is_object() && embedded.contains("Colorspace") && embedded["Colorspace"].is_number())
            index = embedded["Colorspace"].get<double>();
        const LinkDescription& d = space->Description();
        // Rounded half up, as the tool reads it; an index outside the entries names no space.
        const double entry = std::floor(index + 0.5);
        if (entry >= 0 && entry < static_cast<double>(std::size(kComponents)) &&
            entry < static_cast<double>(d.Entries.size())) {
            const auto i = static_cast<std::size_t>(entry);
            std::printf("components in %s%s: p1 %s, p2 %s, p3 %s\n", d.Entries[i].c_str(),
                        image.empty() ? " (the default)" : " (the image's)", kComponents[i][0], kComponents[i][1],
                        kComponents[i][2]);
        }
    }
}

}  // namespace qualvex::cli
