// Finds plug-in files, checks their version record, and loads them with the platform loader. The
// library's static initialisation registers its classes; unloading it removes them.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host {

// A plug-in the host refuses or cannot load; the message names the file.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PluginVersionRecord {
    std::vector<std::pair<std::string, std::string>> Entries;  // in file order

    // The value under `key`, or "" when the record has none.
    std::string Get(std::string_view key) const;
};

// Reads the version record from a plug-in file without loading it.
PluginVersionRecord ReadPluginVersionRecord(const std::filesystem::path& file);

class LoadedPlugin {
public:
    LoadedPlugin(std::filesystem::path file, PluginVersionRecord record, void* handle);
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;
    ~LoadedPlugin();  // unloads

    const std::filesystem::path& File() const { return m_File; }
    const PluginVersionRecord& Record() const { return m_Record; }
    // Unloads the library; its classes leave the class list. Throws PluginError on failure.
    void Unload();

private:
    std::filesystem::path m_File;
    PluginVersionRecord m_Record;
    void* m_Handle;
};

// Checks the file's version record ("APIVersion" must be the host's) and loads it.
std::unique_ptr<LoadedPlugin> LoadPlugin(const std::filesystem::path& file);

struct PluginFolder {
    std::vector<std::unique_ptr<LoadedPlugin>> Loaded;
    std::vector<std::string> Refused;  // one message per file that was not loaded
};

// Loads every "*.plugin" file in the folder, in name order; a refused file does not stop the rest.
PluginFolder LoadPluginFolder(const std::filesystem::path& folder);

}  // namespace host
