#include "support/loaded_sondrel.h"

#include "host/host_testing.h"

#include <stdexcept>

namespace qualvex::testing {

void LoadedSondrel::SetUp()
{
    host::testing::Disarm();
    m_Plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    ASSERT_NE(host::FindClass("Tavelorn.Qualvex"), nullptr);
}

void LoadedSondrel::TearDown()
{
    host::testing::Disarm();
    if (m_Plugin)
        m_Plugin->Unload();
}

const Registry& LoadedSondrel::Class() const
{
    const Registry* entry = host::FindClass("Tavelorn.Qualvex");
    if (entry == nullptr)
        throw std::runtime_error("class Tavelorn.Qualvex is not registered");
    return *entry;
}

std::unique_ptr<Operator> LoadedSondrel::NewInstance() const { return host::CreateInstance(Class()); }

void LoadedSondrel::Set(Operator& op, const char* id, double value)
{
    Input* input = op.FindInput(id);
    if (input == nullptr)
        throw std::runtime_error(std::string("no input ") + id);
    AutoNumber number(value);
    input->SetValueAt(number, 0.0);
}

}  // namespace qualvex::testing
