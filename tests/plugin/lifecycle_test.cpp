// Creating and destroying instances, including creation that fails part way.
#include "host/host_testing.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

namespace qualvex::testing {
namespace {

using Lifecycle = LoadedSondrel;

TEST_F(Lifecycle, SizeQueryEqualsTheStorageTheCreationCallbackAllocates)
{
    std::unique_ptr<Operator> instance = NewInstance();
    const host::testing::ObjectMemory memory = host::testing::ObjectMemoryStats();
    EXPECT_EQ(instance->GetObjectSize(), memory.LastAllocationSize);
    EXPECT_GT(instance->GetObjectSize(), sizeof(ThreadedOperator));
    EXPECT_EQ(memory.LiveAllocations, 1u);
    instance.reset();
    EXPECT_EQ(host::testing::ObjectMemoryStats().LiveAllocations, 0u);
    EXPECT_EQ(host::testing::ObjectMemoryStats().LiveBytes, 0u);
}

TEST_F(Lifecycle, NoStorageGivesNoInstance)
{
    host::testing::FailNextObjectAllocation();
    ScriptVal table;
    TagList none;
    EXPECT_EQ(Class().Creator()(&Class(), table, none), nullptr);
    EXPECT_EQ(host::testing::ObjectMemoryStats().LiveAllocations, 0u);
}

TEST_F(Lifecycle, AFailingHostCallDuringConstructionLeavesNothingBehind)
{
    // Fail each host call of construction in turn, from the base constructor to the output.
    std::uint64_t failures = 0;
    for (std::uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 1000u) << "construction never completed";
        host::testing::ArmFailureOnCall(n);
        ScriptVal table;
        TagList none;
        Operator* instance = nullptr;
        try {
            instance = Class().Creator()(&Class(), table, none);
        } catch (const host::testing::InjectedFault& fault) {
            // The host's own exception, passed on unchanged.
            ++failures;
            EXPECT_EQ(host::testing::ObjectMemoryStats().LiveAllocations, 0u) << fault.what();
            continue;
        }
        host::testing::Disarm();
        ASSERT_NE(instance, nullptr);
        EXPECT_EQ(instance->Inputs().size(), 27u);
        delete instance;
        break;
    }
    // The base, the page's list and the page, then for each of 28 links its two identifiers, its
    // tag list and the call that adds it.
    EXPECT_EQ(failures, 3u + 28u * 4u);
    EXPECT_EQ(host::testing::ObjectMemoryStats().LiveAllocations, 0u);
}

TEST_F(Lifecycle, InstancesAreIndependent)
{
    std::unique_ptr<Operator> first = NewInstance();
    std::unique_ptr<Operator> second = NewInstance();
    Set(*first, "FadeRed", 0.5);
    EXPECT_EQ(first->FindInput("FadeRed")->NumberValue(), 0.5);
    EXPECT_EQ(second->FindInput("FadeRed")->NumberValue(), 0.0);
    EXPECT_NE(first->FindInput("FadeRed"), second->FindInput("FadeRed"));
}

}  // namespace
}  // namespace qualvex::testing
