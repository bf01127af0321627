// Finds and loads Sondrel.plugin through the host, as any host program would, and makes
// instances of the tool class it registers.
#pragma once

#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace qualvex {

inline constexpr const char* kToolClassID = "Tavelorn.Qualvex";
inline constexpr const char* kToolFile = "Sondrel.plugin";
inline constexpr const char* kFinishingToolClassID = "Tavelorn.QualvexFinish";
inline constexpr const char* kFinishingToolFile = "QualvexFinish.plugin";

class KeyerPlugin {
public:
    // Looks in `pluginPath` (a folder or the plug-in file itself) when given, else in each folder
    // of QUALVEX_PLUGIN_PATH, else in the plug-in folder beside the program (installed or in the
    // build tree). Throws Failure saying where it looked.
    explicit KeyerPlugin(const std::optional<std::filesystem::path>& pluginPath, const char* file = kToolFile,
                         const char* classID = kToolClassID);
    ~KeyerPlugin();
    KeyerPlugin(const KeyerPlugin&) = delete;
    KeyerPlugin& operator=(const KeyerPlugin&) = delete;

    const Registry& Class() const { return *m_Class; }
    std::unique_ptr<Operator> NewInstance() const;
    const host::LoadedPlugin& Library() const { return *m_Library; }
    // "Sondrel.plugin 1.0.0.0", from the library's version record.
    std::string Version() const;
    // Another tool's plug-in file from the folder this one was loaded from: the tools of one
    // installation travel together.
    std::unique_ptr<KeyerPlugin> LoadSibling(const char* file, const char* classID) const;

private:
    std::unique_ptr<host::LoadedPlugin> m_Library;
    const Registry* m_Class = nullptr;
};

}  // namespace qualvex
