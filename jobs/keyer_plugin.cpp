#include "jobs/keyer_plugin.h"

#include "base/errors.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace qualvex {
namespace {

std::filesystem::path ProgramFolder()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

std::vector<std::filesystem::path> CandidateFiles(const std::optional<std::filesystem::path>& pluginPath,
                                                  const char* pluginFile)
{
    std::vector<std::filesystem::path> folders;
    if (pluginPath) {
        if (std::filesystem::is_regular_file(*pluginPath))
            return {*pluginPath};
        folders.push_back(*pluginPath);
    } else if (const char* list = std::getenv("QUALVEX_PLUGIN_PATH"); list != nullptr && *list != '\0') {
        std::string text(list);
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t colon = text.find(':', start);
            const std::string folder = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!folder.empty())
                folders.emplace_back(folder);
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    } else {
        const std::filesystem::path program = ProgramFolder();
        folders.push_back(program / QUALVEX_INSTALLED_PLUGIN_DIR_FROM_PROGRAM);
        folders.push_back(program / QUALVEX_BUILD_PLUGIN_DIR_FROM_PROGRAM);
    }
    std::vector<std::filesystem::path> files;
    for (const auto& folder : folders)
        files.push_back(folder / pluginFile);
    return files;
}

}  // namespace

KeyerPlugin::KeyerPlugin(const std::optional<std::filesystem::path>& pluginPath, const char* pluginFile,
                         const char* classID)
{
    std::string looked;
    for (const auto& file : CandidateFiles(pluginPath, pluginFile)) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(file, error)) {
            looked += "\n  " + file.lexically_normal().string() + ": not found";
            continue;
        }
        try {
            m_Library = host::LoadPlugin(file);
        } catch (const host::PluginError& refused) {
            throw Failure(refused.what());
        }
        m_Class = host::FindClass(classID);
        if (m_Class == nullptr)
            throw Failure(file.string() + ": loaded, but it registers no class \"" + classID + "\"");
        return;
    }
    throw Failure(std::string("cannot find ") + pluginFile + "; looked in:" + looked +
                  "\n  (give --plugin-path or set QUALVEX_PLUGIN_PATH)");
}

KeyerPlugin::~KeyerPlugin()
{
    // Instances are gone by now; unloading removes the class from the host's list.
    if (m_Library) {
        try {
            m_Library->Unload();
        } catch (const std::exception&) {
        }
    }
}

std::unique_ptr<Operator> KeyerPlugin::NewInstance() const
{
    try {
        return host::CreateInstance(*m_Class);
    } catch (const std::exception& error) {
        throw Failure(std::string("cannot create the keyer: ") + error.what());
    }
}

std::unique_ptr<KeyerPlugin> KeyerPlugin::LoadSibling(const char* file, const char* classID) const
{
    return std::make_unique<KeyerPlugin>(m_Library->File().parent_path(), file, classID);
}

std::string KeyerPlugin::Version() const
{
    std::string version = m_Library->Record().Get("#FileVersion");
    if (version.empty())
        version = m_Library->Record().Get("FileVersion");
    return m_Library->File().filename().string() + " " + version;
}

}  // namespace qualvex
