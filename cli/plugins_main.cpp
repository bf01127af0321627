// qualvex-plugins [PLUGIN_FOLDER]
// Loads every plug-in in the folder through the host, prints each registered class with its
// registration attributes and the control page of a new instance, keys a small built-in frame
// with it, and unloads again. Exits non-zero when a plug-in is refused or nothing registers.
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/request.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

std::string DescribeTag(const TagEntry& entry)
{
    char buffer[64];
    switch (entry.Type()) {
    case TagType::Integer: return std::to_string(entry.Integer());
    case TagType::Double: std::snprintf(buffer, sizeof buffer, "%.9g", entry.Double()); return buffer;
    case TagType::String:
    case TagType::ClassID: return "\"" + entry.Text + "\"";
    case TagType::Pointer: return "(address)";
    }
    return "?";
}

std::string Range(const LinkDescription& d)
{
    char buffer[96];
    if (d.Min && d.Max) {
        std::snprintf(buffer, sizeof buffer, "%g .. %g", *d.Min, *d.Max);
        return buffer;
    }
    return "";
}

void PrintControls(const Operator& op)
{
    for (const auto& page : op.Pages())
        std::printf("  page \"%s\"\n", page.c_str());
    int n = 0;
    for (const auto& input : op.Inputs()) {
        const LinkDescription& d = input->Description();
        std::string entries;
        for (const auto& e : d.Entries)
            entries += (entries.empty() ? "" : ", ") + ("\"" + e + "\"");
        std::printf("  %2d %-16s %-34s %-18s %-10s default %-6s %s%s\n", ++n, ("\"" + d.ID + "\"").c_str(),
                    ("\"" + d.Name + "\"").c_str(), d.Control.empty() ? d.DataType.c_str() : d.Control.c_str(),
                    Range(d).c_str(), d.Default ? std::to_string(*d.Default).substr(0, 6).c_str() : "-",
                    entries.empty() ? "" : ("[" + entries + "] ").c_str(), d.Notify ? "notify" : "");
    }
    for (const auto& output : op.Outputs())
        std::printf("  output \"%s\"\n", output->ID().c_str());
}

// Keys a row of four pixels against a green key and prints the alphas.
void KeyTestFrame(Operator& op)
{
    Image source(4, 1, PixelStorage::Float);
    const float colours[4][3] = {{0.1f, 0.8f, 0.1f}, {0.15f, 0.75f, 0.2f}, {0.8f, 0.4f, 0.3f}, {0.5f, 0.5f, 0.5f}};
    for (int x = 0; x < 4; ++x) {
        Pixel p;
        p.R = colours[x][0];
        p.G = colours[x][1];
        p.B = colours[x][2];
        p.A = 1.0f;
        source.SetPixel(x, 0, p);
    }
    op.FindInput("Image")->ConnectImage(&source);
    const struct {
        const char* id;
        double value;
    } settings[] = {{"ValueRed", 0.1},  {"ValueGreen", 0.8}, {"ValueBlue", 0.1}, {"MiRedn", 0.1},
                    {"MinGreen", 0.1},  {"MinBlue", 0.1},    {"MaxRed", 0.1},    {"MaxGreen", 0.1},
                    {"MaxBlue", 0.1},   {"FadeRed", 0.5},    {"ColCor", 0.0}};
    for (const auto& s : settings) {
        AutoNumber value(s.value);
        op.FindInput(s.id)->SetValueAt(value, 0.0);
    }
    std::unique_ptr<Image> result = host::RenderFrame(op, 0.0);
    op.FindInput("Image")->ConnectImage(nullptr);
    std::printf("  keyed test row against RGB (0.1, 0.8, 0.1), window 0.1 each side, Fade 0.5:\n");
    for (int x = 0; x < 4; ++x) {
        const Pixel p = result->GetPixel(x, 0);
        std::printf("    (%.2f, %.2f, %.2f) -> alpha %.9g\n", colours[x][0], colours[x][1], colours[x][2], p.A);
    }
}

// The plug-in folder of an installed layout beside this program, else the build tree's.
std::filesystem::path DefaultPluginFolder()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed = self.parent_path().parent_path() / QUALVEX_INSTALLED_PLUGIN_DIR;
        if (std::filesystem::is_directory(installed, error))
            return installed;
    }
    return QUALVEX_DEFAULT_PLUGIN_DIR;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::fprintf(stderr, "usage: qualvex-plugins [PLUGIN_FOLDER]\n");
        return argc == 2 ? 0 : 2;
    }
    const std::filesystem::path folder = argc == 2 ? std::filesystem::path(argv[1]) : DefaultPluginFolder();
    try {
        host::PluginFolder plugins = host::LoadPluginFolder(folder);
        for (const auto& refused : plugins.Refused)
            std::fprintf(stderr, "qualvex-plugins: %s\n", refused.c_str());
        for (const auto& plugin : plugins.Loaded)
            std::printf("loaded %s (%s %s, APIVersion %s)\n", plugin->File().string().c_str(),
                        plugin->Record().Get("ProductName").c_str(), plugin->Record().Get("#FileVersion").c_str(),
                        plugin->Record().Get("APIVersion").c_str());
        const auto classes = host::RegisteredClasses();
        if (classes.empty()) {
            std::fprintf(stderr, "qualvex-plugins: %s: no tool class registered\n", folder.string().c_str());
            return 1;
        }
        for (const Registry* entry : classes) {
            std::printf("class \"%s\"\n", entry->ID().c_str());
            for (const TagEntry& tag : entry->Entries())
                std::printf("  tag 0x%08x = %s\n", tag.Tag, DescribeTag(tag).c_str());
            std::unique_ptr<Operator> instance = host::CreateInstance(*entry);
            std::printf("instance of \"%s\": %zu bytes\n", entry->ID().c_str(), instance->GetObjectSize());
            PrintControls(*instance);
            if (instance->FindInput("Image") && instance->FindOutput("Output"))
                KeyTestFrame(*instance);
        }
        return plugins.Refused.empty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qualvex-plugins: %s\n", error.what());
        return 1;
    }
}
