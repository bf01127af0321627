// The control page of a new instance: every input and the output, in order, with the exact tag
// lists the host receives.
#include "host/host_testing.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <variant>
#include <vector>

namespace qualvex::testing {
namespace {

struct Tag {
    std::uint32_t tag;
    std::variant<std::int64_t, double, std::string> value;
};
using Tags = std::vector<Tag>;

Tags Join(std::initializer_list<Tags> parts)
{
    Tags all;
    for (const Tags& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Tag kNotify{0x1003000a, std::int64_t{1}};

Tags Number(const FuID& control) { return {{0x88020000, CLSID_DataType_Number.str()}, {0x80030000, control.str()}}; }

Tags Combo(std::vector<std::string> entries)
{
    Tags tags = Number(CLSID_InputControl_Combo);
    for (auto& entry : entries)
        tags.push_back({0x38040000, entry});
    return Join({tags,
                 {{0x10050000, std::int64_t{1}}, {0x20030001, 5.0}, {0x20030000, 0.0}, {0x20030004, 0.0}, kNotify,
                  {0x20040007, 1.0}}});
}

Tags Slider(double low, double high, double start, bool notify)
{
    Tags tags = Join({Number(CLSID_InputControl_Slider), {{0x20030000, low}, {0x20030001, high}, {0x20030004, start}}});
    if (notify)
        tags.push_back(kNotify);
    return tags;
}

Tags Checkbox(double start)
{
    return Join({Number(CLSID_InputControl_Checkbox), {{0x20030004, start}, {0x20040007, 1.0}}});
}

Tags Colour(std::int64_t position)
{
    Tags tags = Number(CLSID_InputControl_Color);
    if (position == 0)
        tags.push_back({0x30040000, std::string("Key Color")});
    return Join({tags,
                 {{0x10030006, std::int64_t{1}}, {0x10030007, position}, {0x20030000, 0.0}, {0x20030001, 1.0},
                  {0x20030004, 0.0}, {0x10030011, 6 + position}, kNotify}});
}

Tags Label()
{
    return {{0x88020000, CLSID_DataType_Text.str()}, {0x80030000, CLSID_InputControl_Label.str()},
            {0x20030004, 1.0}, {0x20040007, 1.0}};
}

struct Expected {
    const char* id;
    const char* name;  // nullptr: not checked (the author notice is free text)
    Tags tags;
};

std::vector<Expected> ExpectedInputs()
{
    const std::string image = CLSID_DataType_Image.str();
    return {
        {"Colorspace", "Color Space", Combo({"RGB", "HSV", "YXy", "YUV", "YCbCr"})},
        {"BGAlphaBlend", "BG Alpha Blend", Combo({"Replace", "Multiply", "Add", "Substract"})},
        {"CRed", "CRed", Colour(0)},
        {"CGreen", "CGreen", Colour(1)},
        {"CBlue", "CBlue", Colour(2)},
        {"InvAlpha", "Invert Alpha", Checkbox(0.0)},
        {"ColCor", "Color Correct", Checkbox(1.0)},
        {"CCAmount", "CC Amount", Slider(0.0, 5.0, 0.0, true)},
        {"DesaturateAlpha", "Desaturate Alpha", Slider(0.0, 5.0, 0.0, true)},
        {"Channel", "Channel",
         Join({Number(CLSID_InputControl_MultiButton),
               {{0x38040000, std::string("0")}, {0x38040000, std::string("1")}, {0x38040000, std::string("2")},
                {0x1005000a, std::int64_t{1}}, kNotify, {0x20030004, 0.0}}})},
        {"ValueRed", "Value p1", Slider(0.0, 1.0, 0.0, true)},
        {"ValueGreen", "Value p2", Slider(0.0, 1.0, 0.0, true)},
        {"ValueBlue", "Value p3", Slider(0.0, 1.0, 0.0, true)},
        {"MiRedn", "Min p1", Slider(0.0, 4.0, 0.0, false)},
        {"MinGreen", "Min p2", Slider(0.0, 4.0, 0.0, false)},
        {"MinBlue", "Min p3", Slider(0.0, 4.0, 0.0, false)},
        {"MaxRed", "Max p1", Slider(0.0, 4.0, 0.0, false)},
        {"MaxGreen", "Max p2", Slider(0.0, 4.0, 0.0, false)},
        {"MaxBlue", "Max p3", Slider(0.0, 4.0, 0.0, false)},
        {"mydivider", " ", Label()},
        {"FadeRed", "Fade", Slider(0.0, 1.0, 0.0, false)},
        {"GammaAlpha", "Gamma Alpha", Slider(0.0001, 4.0, 1.0, false)},
        {"MultAlpha", "Mult Alpha", Slider(0.0, 20.0, 1.0, false)},
        {"OffAlpha", "Offset Alpha", Slider(-10.0, 10.0, 0.0, false)},
        {"2016byTavelorn", nullptr, Label()},
        {"Image", "Image", {{0x88020000, image}, {0x10020001, std::int64_t{1}}, kNotify}},
        {"KeyImage", "KeyImage", {{0x88020000, image}, {0x10020001, std::int64_t{2}}, {0x10030002, std::int64_t{0}}}},
    };
}

// Compares a list as handed to the host with the expected tags, word for word.
void ExpectTags(const TagList& actual, const Tags& expected, const std::string& link)
{
    ASSERT_EQ(actual.size(), expected.size()) << link;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const TagEntry& got = actual.Entries()[i];
        const Tag& want = expected[i];
        SCOPED_TRACE(link + ", tag " + std::to_string(i));
        EXPECT_EQ(got.Tag, want.tag) << std::hex << got.Tag << " vs " << want.tag;
        if (const auto* integer = std::get_if<std::int64_t>(&want.value))
            EXPECT_EQ(got.Integer(), *integer);
        else if (const auto* number = std::get_if<double>(&want.value))
            EXPECT_EQ(got.Word, std::bit_cast<std::uint64_t>(*number)) << got.Double() << " vs " << *number;
        else
            EXPECT_EQ(got.Text, std::get<std::string>(want.value));
    }
}

using ControlSet = LoadedSondrel;

TEST_F(ControlSet, OnePageTwentySevenInputsAndOneOutputInTableOrder)
{
    std::unique_ptr<Operator> instance = NewInstance();
    ASSERT_EQ(instance->Pages(), std::vector<std::string>{"Settings"});
    const std::vector<Expected> expected = ExpectedInputs();
    ASSERT_EQ(instance->Inputs().size(), 27u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const LinkDescription& d = instance->Inputs()[i]->Description();
        EXPECT_EQ(d.ID, expected[i].id) << "input " << i + 1;
        if (expected[i].name != nullptr) {
            EXPECT_EQ(d.Name, expected[i].name) << d.ID;
        }
        EXPECT_EQ(d.Page, "Settings") << d.ID;
        // The Channel control starts on 0, whose first report shows only the p1 sliders.
        const bool otherChannel = d.ID.ends_with("Green") || d.ID.ends_with("Blue");
        EXPECT_EQ(d.Visible, !otherChannel || d.ID.starts_with("C")) << d.ID;
        ExpectTags(d.Tags, expected[i].tags, d.ID);
    }
    ASSERT_EQ(instance->Outputs().size(), 1u);
    const LinkDescription& output = instance->Outputs()[0]->Description();
    EXPECT_EQ(output.ID, "Output");
    EXPECT_EQ(output.Name, "Output");
    ExpectTags(output.Tags, {{0x88020000, CLSID_DataType_Image.str()}, {0x10020001, std::int64_t{1}}}, "Output");
}

TEST_F(ControlSet, SavedSettingsKeysBelongToTheRightControls)
{
    std::unique_ptr<Operator> instance = NewInstance();
    EXPECT_EQ(instance->FindInput("MiRedn")->Description().Name, "Min p1");
    EXPECT_EQ(instance->FindInput("FadeRed")->Description().Name, "Fade");
    EXPECT_EQ(instance->FindInput("mydivider")->Description().Name, " ");
    const std::string notice = instance->FindInput("2016byTavelorn")->Description().Name;
    EXPECT_FALSE(notice.empty());
    EXPECT_EQ(notice.find('\n'), std::string::npos);
}

TEST_F(ControlSet, StartingValuesAreTheDefaults)
{
    std::unique_ptr<Operator> instance = NewInstance();
    EXPECT_EQ(instance->FindInput("ColCor")->NumberValue(), 1.0);
    EXPECT_EQ(instance->FindInput("InvAlpha")->NumberValue(), 0.0);
    EXPECT_EQ(instance->FindInput("GammaAlpha")->NumberValue(), 1.0);
    EXPECT_EQ(instance->FindInput("MultAlpha")->NumberValue(), 1.0);
    EXPECT_EQ(instance->FindInput("GammaAlpha")->Description().Min, 0.0001);
    // The Channel default is the double 0.0 (the first button), not an integer word.
    EXPECT_EQ(instance->FindInput("Channel")->Description().DefaultWord, std::bit_cast<std::uint64_t>(0.0));
    for (const char* id : {"CCAmount", "DesaturateAlpha", "ValueRed", "ValueGreen", "ValueBlue", "MiRedn", "MinGreen",
                           "MinBlue", "MaxRed", "MaxGreen", "MaxBlue", "FadeRed", "OffAlpha", "CRed", "CGreen",
                           "CBlue", "Colorspace", "BGAlphaBlend", "Channel"})
        EXPECT_EQ(instance->FindInput(id)->NumberValue(), 0.0) << id;
}

TEST_F(ControlSet, OnlyTheRedComponentCarriesTheKeyColorCaption)
{
    std::unique_ptr<Operator> instance = NewInstance();
    int captions = 0;
    for (const auto& input : instance->Inputs())
        captions += input->Description().Caption.empty() ? 0 : 1;
    EXPECT_EQ(captions, 1);
    EXPECT_EQ(instance->FindInput("CRed")->Description().Caption, "Key Color");
}

TEST_F(ControlSet, NewInstanceIsReportedEachNotifyingInputInControlOrder)
{
    std::unique_ptr<Operator> instance = NewInstance();
    std::vector<std::string> reported;
    for (const HostEvent& event : host::testing::EventsOf(*instance))
        if (event.What == HostEvent::Kind::Report)
            reported.push_back(event.InputID);
    EXPECT_EQ(reported, (std::vector<std::string>{"Colorspace", "BGAlphaBlend", "CRed", "CGreen", "CBlue", "CCAmount",
                                                  "DesaturateAlpha", "Channel", "ValueRed", "ValueGreen", "ValueBlue",
                                                  "Image"}));
}

}  // namespace
}  // namespace qualvex::testing
