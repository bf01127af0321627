#include "finish/loaded_finisher.h"

#include "host/host_testing.h"

#include <stdexcept>
#include <string>

namespace qualvex::finish::testing {

void LoadedFinisher::SetUp()
{
    host::testing::Disarm();
    m_Plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/QualvexFinish.plugin");
    ASSERT_NE(host::FindClass(kFinisherClass), nullptr);
}

void LoadedFinisher::TearDown()
{
    host::testing::Disarm();
    if (m_Plugin)
        m_Plugin->Unload();
}

const Registry& LoadedFinisher::Class() const
{
    const Registry* entry = host::FindClass(kFinisherClass);
    if (entry == nullptr)
        throw std::runtime_error(std::string("class ") + kFinisherClass + " is not registered");
    return *entry;
}

std::unique_ptr<Operator> LoadedFinisher::NewInstance() const { return host::CreateInstance(Class()); }

void LoadedFinisher::Set(Operator& op, const char* id, double value)
{
    Input* input = op.FindInput(id);
    if (input == nullptr)
        throw std::runtime_error(std::string("no input ") + id);
    AutoNumber number(value);
    input->SetValueAt(number, 0.0);
}

}  // namespace qualvex::finish::testing
