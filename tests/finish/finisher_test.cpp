// The finishing tool's control page as the host receives it: every input and the output in
// order, with IDs, names, controls, ranges, defaults and entries.
#include "finish/loaded_finisher.h"
#include "host/fuid.h"
#include "host/link.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qualvex::finish::testing {
namespace {

using ControlPage = LoadedFinisher;

struct ExpectedLink {
    const char* ID;
    const char* Name;
    std::string DataType;
    std::string Control;  // "" on images
    std::vector<std::string> Entries;
    std::optional<double> Min;
    std::optional<double> Max;
    std::optional<double> Default;
    std::optional<std::int64_t> MainLink;
    bool Required = true;
};

std::vector<ExpectedLink> ExpectedInputs()
{
    const std::string number = CLSID_DataType_Number.str();
    const std::string image = CLSID_DataType_Image.str();
    const std::string combo = CLSID_InputControl_Combo.str();
    const std::string slider = CLSID_InputControl_Slider.str();
    const std::string checkbox = CLSID_InputControl_Checkbox.str();
    return {
        {"Despill", "Despill", number, combo, {"Off", "Average", "Maximum", "Screen Colour"}, 0.0, 3.0, 0.0, {}},
        {"ScreenChannel", "Screen Channel", number, combo, {"Red", "Green", "Blue"}, 0.0, 2.0, 1.0, {}},
        {"ScreenRed", "Screen Red", number, slider, {}, 0.0, 1.0, 0.0, {}},
        {"ScreenGreen", "Screen Green", number, slider, {}, 0.0, 1.0, 1.0, {}},
        {"ScreenBlue", "Screen Blue", number, slider, {}, 0.0, 1.0, 0.0, {}},
        {"DespillAmount", "Despill Amount", number, slider, {}, 0.0, 1.0, 1.0, {}},
        {"SpillToGrey", "Spill To Grey", number, checkbox, {}, {}, {}, 0.0, {}},
        {"ClipBlack", "Clip Black", number, slider, {}, 0.0, 1.0, 0.0, {}},
        {"ClipWhite", "Clip White", number, slider, {}, 0.0, 1.0, 1.0, {}},
        {"UnmixEdges", "Unmix Edges", number, combo, {"Off", "As Given", "sRGB", "Rec. 709"}, 0.0, 3.0, 0.0, {}},
        {"UnmixReach", "Unmix Reach", number, slider, {}, 1.0, 64.0, 20.0, {}},
        {"Shrink", "Shrink", number, slider, {}, -50.0, 50.0, 0.0, {}},
        {"Soften", "Soften", number, slider, {}, 0.0, 50.0, 0.0, {}},
        {"OutputMode", "Output Mode", number, combo, {"Result", "Matte", "Spill"}, 0.0, 2.0, 0.0, {}},
        {"Image", "Image", image, "", {}, {}, {}, {}, 1},
        {"GarbageMatte", "Garbage Matte", image, "", {}, {}, {}, {}, 2, false},
        {"CoreMatte", "Core Matte", image, "", {}, {}, {}, {}, 3, false},
    };
}

TEST_F(ControlPage, ListsEveryInputInOrderWithItsRangeDefaultAndEntries)
{
    std::unique_ptr<Operator> op = NewInstance();
    const std::vector<ExpectedLink> expected = ExpectedInputs();
    ASSERT_EQ(op->Inputs().size(), expected.size());
    ASSERT_EQ(op->Pages(), std::vector<std::string>{"Finish"});
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ExpectedLink& e = expected[i];
        const LinkDescription& d = op->Inputs()[i]->Description();
        SCOPED_TRACE(e.ID);
        EXPECT_EQ(d.ID, e.ID);
        EXPECT_EQ(d.Name, e.Name);
        EXPECT_EQ(d.Page, "Finish");
        EXPECT_EQ(d.DataType, e.DataType);
        EXPECT_EQ(d.Control, e.Control);
        EXPECT_EQ(d.Entries, e.Entries);
        EXPECT_EQ(d.Min, e.Min);
        EXPECT_EQ(d.Max, e.Max);
        EXPECT_EQ(d.Default, e.Default);
        EXPECT_EQ(d.MainLink, e.MainLink);
        EXPECT_EQ(d.Required, e.Required);
        EXPECT_FALSE(d.Notify);  // the tool reads its controls when it renders, nothing earlier
        // A new instance holds each control's default.
        if (e.Default) {
            EXPECT_EQ(op->Inputs()[i]->NumberValue(), *e.Default);
        }
    }
}

TEST_F(ControlPage, HasOneImageOutput)
{
    std::unique_ptr<Operator> op = NewInstance();
    ASSERT_EQ(op->Outputs().size(), 1u);
    const LinkDescription& d = op->Outputs()[0]->Description();
    EXPECT_EQ(d.ID, "Output");
    EXPECT_EQ(d.Name, "Output");
    EXPECT_EQ(d.DataType, CLSID_DataType_Image.str());
    EXPECT_EQ(d.MainLink, 1);
}

}  // namespace
}  // namespace qualvex::finish::testing
