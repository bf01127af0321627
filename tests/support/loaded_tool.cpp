#include "support/loaded_tool.h"

#include "host/host_testing.h"

#include <stdexcept>

namespace qualvex::testing {

void LoadedTool::SetUp()
{
    host::testing::Disarm();
    m_Plugin = host::LoadPlugin(std::string(QUALVEX_PLUGIN_DIR "/") + m_PluginFile);
    ASSERT_NE(host::FindClass(m_ClassName.c_str()), nullptr);
}

void LoadedTool::TearDown()
{
    host::testing::Disarm();
    if (m_Plugin)
        m_Plugin->Unload();
}

const Registry& LoadedTool::Class() const
{
    const Registry* entry = host::FindClass(m_ClassName.c_str());
    if (entry == nullptr)
        throw std::runtime_error("class " + m_ClassName + " is not registered");
    return *entry;
}

std::unique_ptr<Operator> LoadedTool::NewInstance() const { return host::CreateInstance(Class()); }

void LoadedTool::Set(Operator& op, const char* id, double value)
{
    Input* input = op.FindInput(id);
    if (input == nullptr)
        throw std::runtime_error(std::string("no input ") + id);
    AutoNumber number(value);
    input->SetValueAt(number, 0.0);
}

}  // namespace qualvex::testing
