#include "host/operator.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string_view>
#include <typeinfo>

namespace qualvex::testing {
namespace {

using Registration = LoadedSondrel;

// "Built: " and the build date as the compiler writes it: "Apr 13 2019", or "Apr  3 2019".
bool IsBuildNote(const std::string& note)
{
    const std::string_view prefix = "Built: ";
    if (note.size() != prefix.size() + 11 || note.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string date = note.substr(prefix.size());
    const std::string_view months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const bool month = months.find(date.substr(0, 3)) % 3 == 0 && months.find(date.substr(0, 3)) != std::string::npos;
    auto digit = [&](std::size_t i) { return std::isdigit(static_cast<unsigned char>(date[i])) != 0; };
    return month && date[3] == ' ' && (date[4] == ' ' || digit(4)) && digit(5) && date[6] == ' ' && digit(7) &&
           digit(8) && digit(9) && digit(10);
}

TEST_F(Registration, LoadingRegistersExactlyOneClass)
{
    const auto classes = host::RegisteredClasses();
    ASSERT_EQ(classes.size(), 1u);
    EXPECT_EQ(classes[0]->ID().str(), "Tavelorn.Qualvex");
    EXPECT_TRUE(classes[0]->Initialised());  // the host's registration hook accepted it
}

TEST_F(Registration, CarriesTheTwelveTagsInOrder)
{
    const auto& tags = Class().Entries();
    const std::uint32_t order[] = {0x60000001, 0x60000002, 0x10000000, 0x30000008, 0x60000010, 0x60000005,
                                   0x60000000, 0x3000000f, 0x30000002, 0x30000003, 0x30000004, 0x30000005};
    ASSERT_EQ(tags.size(), std::size(order));
    for (std::size_t i = 0; i < tags.size(); ++i)
        EXPECT_EQ(tags[i].Tag, order[i]) << "tag " << i;

    EXPECT_EQ(tags[0].Pointer(), reinterpret_cast<const void*>(&Operator::RegInit));
    EXPECT_EQ(tags[1].Pointer(), reinterpret_cast<const void*>(&Operator::RegCleanup));
    EXPECT_EQ(tags[2].Integer(), 3);
    EXPECT_TRUE(IsBuildNote(tags[3].Text)) << tags[3].Text;
    EXPECT_EQ(tags[4].Pointer(), &ThreadedOperator::ClassID);
    const auto* script = static_cast<const ScriptInfo*>(tags[5].Pointer());
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->Version(), 1u);
    EXPECT_EQ(script->ClassName(), "Tavelorn.Qualvex");
    EXPECT_NE(tags[6].Pointer(), nullptr);
    EXPECT_EQ(tags[7].Text, ":/ToolIcons/IDB_TILE_BRIGHTNESS");
    EXPECT_EQ(tags[8].Text, "Qualvex");
    EXPECT_EQ(tags[9].Text, "Tavelorn");
    EXPECT_EQ(tags[10].Text, "S_1");
    EXPECT_EQ(tags[11].Text, "Qualvex");
}

TEST_F(Registration, RecordsTheClassAsBuiltOnThreadedOperator)
{
    std::unique_ptr<Operator> instance = NewInstance();
    const Operator& object = *instance;
    EXPECT_EQ(host::RecordedBaseType(typeid(object)), typeid(ThreadedOperator).name());
    EXPECT_NE(dynamic_cast<ThreadedOperator*>(instance.get()), nullptr);
}

TEST_F(Registration, UnloadingRemovesTheClassAndReloadingRestoresIt)
{
    m_Plugin->Unload();
    EXPECT_TRUE(host::RegisteredClasses().empty());
    m_Plugin = host::LoadPlugin(QUALVEX_PLUGIN_DIR "/Sondrel.plugin");
    ASSERT_EQ(host::RegisteredClasses().size(), 1u);
    EXPECT_NE(NewInstance(), nullptr);
}

}  // namespace
}  // namespace qualvex::testing
