// QualvexFinish.plugin's registration: its version record, its one class with its tags, its
// creation callback.
#include "finish/loaded_finisher.h"
#include "host/host_testing.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <typeinfo>

namespace qualvex::finish::testing {
namespace {

using Registration = LoadedFinisher;

TEST_F(Registration, VersionRecordNamesTheHostInterface)
{
    EXPECT_EQ(m_Plugin->Record().Get("APIVersion"), "7");
    EXPECT_EQ(m_Plugin->Record().Get("OriginalFilename"), "QualvexFinish.plugin");
    EXPECT_EQ(m_Plugin->Record().Get("InternalName"), "QualvexFinish");
}

TEST_F(Registration, LoadingRegistersExactlyOneClass)
{
    const auto classes = host::RegisteredClasses();
    ASSERT_EQ(classes.size(), 1u);
    EXPECT_EQ(classes[0]->ID().str(), kFinisherClass);
    EXPECT_TRUE(classes[0]->Initialised());
}

TEST_F(Registration, CarriesItsTagsInOrder)
{
    const auto& tags = Class().Entries();
    const std::uint32_t order[] = {0x60000001, 0x60000002, 0x10000000, 0x30000008, 0x60000010, 0x60000005,
                                   0x60000000, 0x30000002, 0x30000003, 0x30000004, 0x30000005};
    ASSERT_EQ(tags.size(), std::size(order));
    for (std::size_t i = 0; i < tags.size(); ++i)
        EXPECT_EQ(tags[i].Tag, order[i]) << "tag " << i;
    EXPECT_EQ(tags[2].Integer(), 1);
    EXPECT_EQ(tags[3].Text.rfind("Built: ", 0), 0u);
    EXPECT_EQ(tags[4].Pointer(), &ThreadedOperator::ClassID);
    const auto* script = static_cast<const ScriptInfo*>(tags[5].Pointer());
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->ClassName(), kFinisherClass);
    EXPECT_EQ(tags[7].Text, "Qualvex Finish");
    EXPECT_EQ(tags[8].Text, "Tavelorn");
    EXPECT_EQ(tags[9].Text, "QvF");
    EXPECT_EQ(tags[10].Text, "QualvexFinish");
}

TEST_F(Registration, RecordsTheClassAsBuiltOnThreadedOperator)
{
    std::unique_ptr<Operator> instance = NewInstance();
    const Operator& object = *instance;
    EXPECT_EQ(host::RecordedBaseType(typeid(object)), typeid(ThreadedOperator).name());
    EXPECT_NE(dynamic_cast<ThreadedOperator*>(instance.get()), nullptr);
    EXPECT_EQ(host::testing::ObjectMemoryStats().LastAllocationSize, instance->GetObjectSize());
}

TEST_F(Registration, CreationWithoutStorageGivesNoInstance)
{
    const std::size_t live = host::testing::ObjectMemoryStats().LiveAllocations;
    host::testing::FailNextObjectAllocation();
    ScriptVal table;
    TagList none;
    Operator* created = Class().Creator()(&Class(), table, none);
    EXPECT_EQ(created, nullptr);
    host::testing::FailNextObjectAllocation();
    EXPECT_THROW(NewInstance(), std::runtime_error);
    EXPECT_EQ(host::testing::ObjectMemoryStats().LiveAllocations, live);
}

TEST_F(Registration, UnloadingRemovesTheClassAndReloadingRestoresIt)
{
    m_Plugin->Unload();
    EXPECT_TRUE(host::RegisteredClasses().empty());
    m_Plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/QualvexFinish.plugin");
    ASSERT_EQ(host::RegisteredClasses().size(), 1u);
    EXPECT_NE(NewInstance(), nullptr);
}

}  // namespace
}  // namespace qualvex::finish::testing
