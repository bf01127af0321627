#include "host/host_testing.h"
#include "host/tag_list.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

namespace {

std::uint64_t Str(const char* text) { return reinterpret_cast<std::uint64_t>(text); }

TEST(TagList, DecodesEveryValueTypeInOrder)
{
    static const FuID kind("SomeClass");
    int object = 0;
    const std::uint64_t words[] = {0x88020000, reinterpret_cast<std::uint64_t>(&kind),
                                   0x10030007, static_cast<std::uint64_t>(-2),
                                   0x20030001, std::bit_cast<std::uint64_t>(5.0),
                                   0x38040000, Str("RGB"),
                                   0x60000005, reinterpret_cast<std::uint64_t>(&object),
                                   0, 0};
    const TagList tags(words, false);
    ASSERT_EQ(tags.size(), 5u);
    EXPECT_FALSE(tags.Flag());
    EXPECT_EQ(tags.Entries()[0].Text, "SomeClass");
    EXPECT_EQ(tags.GetInteger(0x10030007), -2);
    EXPECT_EQ(tags.GetDouble(0x20030001), 5.0);
    EXPECT_EQ(tags.GetString(0x38040000), "RGB");
    EXPECT_EQ(tags.GetPointer(0x60000005), &object);
    EXPECT_FALSE(tags.GetDouble(0x10030007).has_value());  // an integer tag is not read as a double
    EXPECT_FALSE(tags.GetInteger(0x10000000).has_value());
}

TEST(TagList, EndsAtTheFirstZeroTag)
{
    const std::uint64_t words[] = {0x10000000, 3, 0, 0, 0x10000001, 4, 0, 0};
    EXPECT_EQ(TagList(words, false).size(), 1u);
    const std::uint64_t empty[] = {0, 0};
    EXPECT_TRUE(TagList(empty, false).empty());
}

TEST(TagList, RefusesAnArrayWithoutClosingZeroTag)
{
    const std::uint64_t words[] = {0x10000000, 3, 0x10000001, 4};
    try {
        TagList tags(words, false);
        FAIL() << "a list without its zero tag was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("no closing zero tag"), std::string::npos) << error.what();
    }
}

TEST(TagList, RefusesATagWithoutItsValueWord)
{
    const std::uint64_t words[] = {0x10000000, 3, 0x10000001};
    EXPECT_THROW(TagList(words, false), std::invalid_argument);
}

TEST(TagList, RefusesUnknownTypeDigitsAndOversizedTags)
{
    for (std::uint64_t tag : {0x40000000ull, 0x50000001ull, 0x70000000ull, 0x90000000ull, 0x0000ffffull}) {
        const std::uint64_t words[] = {tag, 1, 0, 0};
        try {
            TagList tags(words, false);
            ADD_FAILURE() << "tag " << std::hex << tag << " was accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find("unknown value type digit"), std::string::npos) << error.what();
        }
    }
    const std::uint64_t wide[] = {0x1000000010000000ull, 1, 0, 0};
    EXPECT_THROW(TagList(wide, false), std::invalid_argument);
}

TEST(TagList, RefusesNullStringsAndClassIdentifiers)
{
    const std::uint64_t text[] = {0x30000002, 0, 0, 0};
    EXPECT_THROW(TagList(text, false), std::invalid_argument);
    const std::uint64_t id[] = {0x88020000, 0, 0, 0};
    EXPECT_THROW(TagList(id, false), std::invalid_argument);
}

TEST(TagList, BoundsAListOfUnknownLength)
{
    // Far more tags than any list carries, and no zero tag among them.
    std::vector<std::uint64_t> words(4 * TagList::MaxEntries + 8, 0x10000000);
    const std::uint64_t* pointer = words.data();
    EXPECT_THROW(TagList(pointer, false), std::invalid_argument);
    words[6] = 0;
    EXPECT_EQ(TagList(pointer, false).size(), 3u);
}

TEST(FaultInjection, TheArmedCallThrowsAndNamesTheOperation)
{
    const std::uint64_t words[] = {0, 0};
    host::testing::ArmFailureOnCall(2);
    EXPECT_NO_THROW(TagList(words, false));
    try {
        TagList tags(words, false);
        FAIL() << "the armed call did not throw";
    } catch (const host::testing::InjectedFault& fault) {
        EXPECT_NE(std::string(fault.what()).find("TagList"), std::string::npos);
    }
    EXPECT_NO_THROW(TagList(words, false));  // it disarms itself after firing
    host::testing::Disarm();
}

}  // namespace
