// Settings: numbers and entry labels by control ID, refused values, control-page order, and the
// embedded record that reads back to the same bits.
#include "base/errors.h"
#include "jobs/control_settings.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <nlohmann/json.hpp>

namespace qualvex::testing {
namespace {

using namespace qualvex;

class ControlSettings : public LoadedSondrel {
protected:
    void SetUp() override
    {
        LoadedSondrel::SetUp();
        m_Op = NewInstance();
    }
    void TearDown() override
    {
        m_Op.reset();
        LoadedSondrel::TearDown();
    }

    std::string MessageOf(const std::string& json)
    {
        try {
            ParseSettingsJson(*m_Op, json, "shot.json");
        } catch (const UsageError& error) {
            return error.what();
        }
        return "(accepted)";
    }

    std::unique_ptr<Operator> m_Op;
};

TEST_F(ControlSettings, NumbersAndEntryLabelsResolve)
{
    EXPECT_EQ(ResolveControlValue(*m_Op, "Colorspace", "HSV", "--set"), 1.0);
    EXPECT_EQ(ResolveControlValue(*m_Op, "Colorspace", "2.5", "--set"), 2.5);
    EXPECT_EQ(ResolveControlValue(*m_Op, "BGAlphaBlend", "Substract", "--set"), 3.0);
    EXPECT_EQ(ResolveControlValue(*m_Op, "Channel", "2", "--set"), 2.0);
    EXPECT_EQ(ResolveControlValue(*m_Op, "FadeRed", "+0.25", "--set"), 0.25);
    EXPECT_EQ(ResolveControlValue(*m_Op, "OffAlpha", "-1e-3", "--set"), -0.001);
    const ControlValue set = ParseSetOption(*m_Op, "MiRedn=0.1");
    EXPECT_EQ(set.ID, "MiRedn");
    EXPECT_EQ(set.Value, 0.1);
}

TEST_F(ControlSettings, RefusedValuesNameTheFileTheControlAndWhatIsAccepted)
{
    const std::string unknown = MessageOf(R"({"Colourspace": 1})");
    EXPECT_NE(unknown.find("shot.json"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("\"Colourspace\""), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("Colorspace"), std::string::npos) << unknown;  // the known IDs are listed

    const std::string label = MessageOf(R"({"Colorspace": "Lab"})");
    EXPECT_NE(label.find("\"YCbCr\""), std::string::npos) << label;
    EXPECT_NE(MessageOf(R"({"FadeRed": true})").find("a finite number"), std::string::npos);
    EXPECT_NE(MessageOf(R"({"FadeRed": 1e999})").find("shot.json"), std::string::npos);  // beyond double
    EXPECT_NE(MessageOf(R"({"FadeRed": "nan"})").find("not finite"), std::string::npos);
    EXPECT_NE(MessageOf(R"({"Image": 1})").find("unknown control"), std::string::npos);  // not a number control
    EXPECT_NE(MessageOf(R"([1, 2])").find("one JSON object"), std::string::npos);
    EXPECT_NE(MessageOf(R"({"FadeRed": 0.5)").find("not a valid settings file"), std::string::npos);

    EXPECT_THROW(ParseSetOption(*m_Op, "FadeRed"), UsageError);
    EXPECT_THROW(ParseSetOption(*m_Op, "=1"), UsageError);
    EXPECT_THROW(ParseSetOption(*m_Op, "FadeRed=inf"), UsageError);
    EXPECT_THROW(ParseSetOption(*m_Op, "FadeRed=0.5x"), UsageError);
    EXPECT_THROW(ParseKeyColor("0.1,0.2"), UsageError);
    EXPECT_THROW(ParseKeyColor("0.1,0.2,0.3,0.4"), UsageError);
    EXPECT_THROW(ParseKeyColor("0.1,nan,0.3"), UsageError);
    EXPECT_EQ(ParseKeyColor("0.1,0.8,0.2")[1].ID, "CGreen");
}

TEST_F(ControlSettings, FileValuesComeInControlPageOrder)
{
    const auto values = ParseSettingsJson(*m_Op, R"({"MaxBlue": 0.3, "CRed": 0.5, "Colorspace": "YUV"})", "a.json");
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].ID, "Colorspace");
    EXPECT_EQ(values[1].ID, "CRed");
    EXPECT_EQ(values[2].ID, "MaxBlue");
}

TEST_F(ControlSettings, EmbeddedValuesReadBackToTheSameBits)
{
    const double awkward = 0.1 + 0.2;  // 0.30000000000000004
    ApplyControlValues(*m_Op, {{"Colorspace", 2.5}, {"FadeRed", awkward}, {"OffAlpha", -1.0 / 3.0}});
    const std::string json = ControlValuesJson(*m_Op);
    EXPECT_NE(json.find("\"Colorspace\":2.5"), std::string::npos) << json;

    const auto values = ParseSettingsJson(*m_Op, json, "embedded");
    std::size_t numberControls = 0;
    for (const auto& input : m_Op->Inputs())
        numberControls += input->Value() != nullptr && input->Value()->Kind() == ParameterKind::Number;
    ASSERT_EQ(values.size(), numberControls);
    for (const ControlValue& value : values)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value.Value),
                  std::bit_cast<std::uint64_t>(m_Op->FindInput(value.ID)->NumberValue()))
            << value.ID;
}

TEST_F(ControlSettings, ListValuesThatNameNoEntryAreWarnedOfLikeValuesOutOfRange)
{
    // Color Space declares 0 .. 5 over its five entries, BG Alpha Blend 0 .. 5 over four: a value
    // inside the declared range can still name no entry.
    struct Case {
        const char* ID;
        double Value;
        std::string Warning;  // "" where the value is quiet
    };
    const std::string spaces = "(0 RGB, 1 HSV, 2 YXy, 3 YUV, 4 YCbCr)";
    const Case cases[] = {
        {"Colorspace", 0, ""},
        {"Colorspace", 4, ""},
        {"Colorspace", 5, "control \"Colorspace\" = 5 names no entry of its list " + spaces + "; applied as given"},
        {"Colorspace", 4.6, "control \"Colorspace\" = 4.6 names no entry of its list " + spaces + "; applied as given"},
        {"Colorspace", 2.5, "control \"Colorspace\" = 2.5 names no entry of its list " + spaces + "; applied as given"},
        {"Colorspace", -1, "control \"Colorspace\" = -1 names no entry of its list " + spaces + "; applied as given"},
        {"BGAlphaBlend", 3, ""},
        {"BGAlphaBlend", 4,
         "control \"BGAlphaBlend\" = 4 names no entry of its list (0 Replace, 1 Multiply, 2 Add, 3 Substract); "
         "applied as given"},
        {"FadeRed", 1, ""},
        {"FadeRed", 1.5, "control \"FadeRed\" = 1.5 is outside its range 0 .. 1; applied as given"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> warnings = RangeWarnings(*m_Op, {{c.ID, c.Value}});
        if (c.Warning.empty())
            EXPECT_TRUE(warnings.empty()) << c.ID << " = " << c.Value << ": " << warnings.front();
        else
            EXPECT_EQ(warnings, std::vector<std::string>{c.Warning}) << c.ID << " = " << c.Value;
    }
}

TEST_F(ControlSettings, TypedValuesWinOverTheSettingsFile)
{
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("qualvex-run-settings-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(file);
        out << R"({"FadeRed": 0.3, "MultAlpha": 2.5, "CRed": 0.875})";
    }
    // Each case: what is typed, then the values that must hold afterwards. Key colour values are
    // exact in single precision: the tool hands the key colour through its single-precision
    // sliders and back.
    struct Case {
        std::string KeyColor;
        std::vector<std::string> Sets;
        double Fade, Mult, KeyRed;
    };
    const Case cases[] = {
        {"", {}, 0.3, 2.5, 0.875},                                // the file alone
        {"", {"FadeRed=0.7"}, 0.7, 2.5, 0.875},                   // --set over the file
        {"0.25,0.5,0.75", {}, 0.3, 2.5, 0.25},                    // --key-color over the file
        {"0.25,0.5,0.75", {"CRed=0.125"}, 0.3, 2.5, 0.125},       // --set over --key-color
        {"", {"MultAlpha=1.5", "MultAlpha=0.5"}, 0.3, 0.5, 0.875},  // the last --set wins
    };
    for (const Case& c : cases) {
        const std::unique_ptr<Operator> op = NewInstance();
        const RunSettings settings = CollectRunSettings(*op, file.string(), c.KeyColor, c.Sets);
        settings.ApplyTo(*op);
        EXPECT_EQ(op->FindInput("FadeRed")->NumberValue(), c.Fade) << c.KeyColor << " " << c.Sets.size();
        EXPECT_EQ(op->FindInput("MultAlpha")->NumberValue(), c.Mult) << c.KeyColor << " " << c.Sets.size();
        EXPECT_EQ(op->FindInput("CRed")->NumberValue(), c.KeyRed) << c.KeyColor << " " << c.Sets.size();
    }
    std::filesystem::remove(file);
}

TEST_F(ControlSettings, TheKeyColourLandsInTheColourSpaceTheRunEndsWith)
{
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("qualvex-key-colour-" + std::to_string(::getpid()) + ".json");
    {
        std::ofstream out(file);
        out << R"({"Colorspace": "YCbCr", "CRed": 0.1, "CGreen": 0.6, "CBlue": 0.2, "FadeRed": 0.5})";
    }
    // HSV of (0.1, 0.6, 0.2), by hand: value 0.6; saturation 0.5 / 0.6; green is the largest, so
    // hue = 60 x (2 + (0.2 - 0.1) / 0.5) = 132 degrees, 132 / 360 of a turn.
    const double hue = 132.0 / 360.0, saturation = 0.5 / 0.6, value = 0.6;
    struct Case {
        const char* What;
        std::string File;
        std::string KeyColor;
        std::vector<std::string> Sets;
        double Sliders[3];
    };
    const Case cases[] = {
        {"key colour, then the space", "", "0.1,0.6,0.2", {"Colorspace=HSV"}, {hue, saturation, value}},
        {"the space, then the key colour by --set", "", "", {"Colorspace=HSV", "CRed=0.1", "CGreen=0.6", "CBlue=0.2"},
         {hue, saturation, value}},
        {"key colour by --set, then the space", "", "", {"CRed=0.1", "CGreen=0.6", "CBlue=0.2", "Colorspace=HSV"},
         {hue, saturation, value}},
        {"a typed slider wins over the key colour", "", "0.1,0.6,0.2", {"Colorspace=HSV", "ValueRed=0.5"},
         {0.5, saturation, value}},
        {"the file's key colour follows a typed space", file.string(), "", {"Colorspace=HSV"}, {hue, saturation, value}},
        {"RGB holds the key colour as it is", file.string(), "", {"Colorspace=RGB"}, {0.1, 0.6, 0.2}},
    };
    for (const Case& c : cases) {
        const std::unique_ptr<Operator> op = NewInstance();
        CollectRunSettings(*op, c.File, c.KeyColor, c.Sets).ApplyTo(*op);
        const char* sliders[3] = {"ValueRed", "ValueGreen", "ValueBlue"};
        for (int i = 0; i < 3; ++i)
            // The sliders hold single-precision conversions of the key colour.
            EXPECT_NEAR(op->FindInput(sliders[i])->NumberValue(), c.Sliders[i], 1e-6) << c.What << ": " << sliders[i];
    }
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace qualvex::testing
