// The plug-in version record read from arbitrary file contents. The bytes are written to a file
// of this process's own and read with ReadPluginVersionRecord, which never loads the library: a
// fuzz input is never handed to the platform loader.
#include "fuzz_check.h"

#include "host/plugin_loader.h"
#include "host/plugin_version_record.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using qualvex::fuzz::Require;

// Never destroyed, so that the removal at exit can still name it.
const std::filesystem::path& ScratchFile()
{
    static const std::filesystem::path* const file = [] {
        auto* path = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                               ("qualvex-fuzz-record-" + std::to_string(::getpid()) + ".plugin"));
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove(ScratchFile(), ignored);
        });
        return path;
    }();
    return *file;
}

bool Contains(const std::string& haystack, const std::string& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::filesystem::path& file = ScratchFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        Require(static_cast<bool>(out.flush()), "the scratch file " + file.string() + " can be written");
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        const host::PluginVersionRecord record = host::ReadPluginVersionRecord(file);
        // Whatever was read came from the file: the magic text, then each key and value as
        // NUL-terminated strings.
        Require(Contains(bytes, std::string(HOST_PLUGIN_VERSION_MAGIC) + '\0'), "an accepted record starts with the magic text");
        Require(Contains(bytes, std::string(HOST_PLUGIN_VERSION_SECTION) + '\0'), "an accepted record has its section name");
        for (const auto& [key, value] : record.Entries) {
            Require(!key.empty(), "an empty key closes the record, it is never an entry");
            Require(Contains(bytes, key + '\0' + value + '\0'), "entry \"" + key + "\" is read from the file");
        }
        if (!record.Entries.empty())
            Require(record.Get(record.Entries.front().first) == record.Entries.front().second,
                    "Get finds the first entry under its key");
    } catch (const host::PluginError& refused) {
        Require(std::string(refused.what()).starts_with(file.string() + ": "), "a refusal names the file");
    }
    return 0;
}
