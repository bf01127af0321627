// Loads a built plug-in through the host, as a program would, for the length of a test.
#pragma once

#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

namespace qualvex::testing {

class LoadedTool : public ::testing::Test {
protected:
    // `pluginFile`: the file's name in the plug-in folder; `className`: the class it registers.
    LoadedTool(std::string pluginFile, std::string className)
        : m_PluginFile(std::move(pluginFile)), m_ClassName(std::move(className))
    {
    }

    void SetUp() override;
    void TearDown() override;

    // The registered class; throws when it is missing.
    const Registry& Class() const;
    std::unique_ptr<Operator> NewInstance() const;
    // Sets a number input of an instance through the host, as a user edit would.
    static void Set(Operator& op, const char* id, double value);

    std::unique_ptr<host::LoadedPlugin> m_Plugin;

private:
    std::string m_PluginFile;
    std::string m_ClassName;
};

}  // namespace qualvex::testing
