// Change reports on a real instance: what the tool sets, caches and shows for each kind of input.
#include "color/conversions.h"
#include "color/int_conversion.h"
#include "host/host_testing.h"
#include "support/float_compare.h"
#include "sync_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

using Kind = HostEvent::Kind;

class ChangeHandling : public SyncFixture {
protected:
    void SetUp() override
    {
        SyncFixture::SetUp();
        m_Op = NewInstance();
        host::testing::EventsOf(*m_Op).clear();
    }

    ToolCaches caches() const { return Caches(*m_Op); }
};

TEST_F(ChangeHandling, ColorSpaceRoundsHalvesUpAndWritesNoControl)
{
    const struct {
        double value;
        std::int32_t mode;
    } cases[] = {{2.5, 3}, {2.49, 2}, {-0.5, 0}, {-1.5, -1}, {4.0, 4}, {1e10, NoIndex},
                 {std::numeric_limits<double>::quiet_NaN(), NoIndex}, {0.0, 0}};
    Set(*m_Op, "CRed", 0.5);
    for (const auto& c : cases) {
        host::testing::EventsOf(*m_Op).clear();
        Set(*m_Op, "Colorspace", c.value);
        EXPECT_EQ(caches().ColorSpaceMode, c.mode) << c.value;
        // The set itself, its report and the base handling: no control written.
        ASSERT_EQ(host::testing::EventsOf(*m_Op).size(), 3u) << c.value;
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[1].What, Kind::Report);
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[2].What, Kind::BaseReport);
    }
    EXPECT_EQ(m_Op->FindInput("ValueRed")->NumberValue(), 0.5);  // still the RGB value
}

TEST_F(ChangeHandling, DumpShowsTheCachesAfterTheHostsSummary)
{
    auto dumpLines = [this] {
        std::ostringstream dump;
        m_Op->DoDumpMem(dump);
        std::vector<std::string> lines;
        std::istringstream in(dump.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    };
    std::ostringstream summary;
    m_Op->Operator::DoDumpMem(summary);
    const std::string first = summary.str().substr(0, summary.str().find('\n'));

    EXPECT_EQ(dumpLines(), (std::vector<std::string>{first, "ColorSpaceMode 0", "KeyColor 0x0p+0 0x0p+0 0x0p+0"}));
    Set(*m_Op, "CRed", 0.25);
    Set(*m_Op, "CBlue", 0.5);
    Set(*m_Op, "Colorspace", 2.5);  // rounds to YUV
    EXPECT_EQ(dumpLines(), (std::vector<std::string>{first, "ColorSpaceMode 3", "KeyColor 0x1p-2 0x0p+0 0x1p-1"}));
    Set(*m_Op, "Colorspace", -7.25);
    EXPECT_EQ(dumpLines()[1], "ColorSpaceMode -7");
}

TEST_F(ChangeHandling, RgbValueEditSetsOnlyItsKeyInputUnrounded)
{
    Set(*m_Op, "ValueGreen", 0.3);
    EXPECT_EQ(SetsAt(*m_Op, 1), (std::vector<SetRecord>{{"CGreen", 0.3}}));
    EXPECT_EQ(caches().KeyColor[1], 0.3);
    EXPECT_EQ(caches().KeyColor[0], 0.0);
    EXPECT_EQ(caches().KeyColor[2], 0.0);
    EXPECT_EQ(m_Op->FindInput("CGreen")->NumberValue(), 0.3);
    // The nested key colour report writes the three sliders back, in single precision.
    EXPECT_EQ(SetsAt(*m_Op, 2), (std::vector<SetRecord>{{"ValueRed", 0.0},
                                                        {"ValueGreen", static_cast<double>(0.3f)},
                                                        {"ValueBlue", 0.0}}));
}

TEST_F(ChangeHandling, HsvValueEditSetsRedGreenBlueThroughPartialColours)
{
    Set(*m_Op, "Colorspace", ColorSpaceHSV);
    Set(*m_Op, "CRed", 0.2);
    Set(*m_Op, "CGreen", 0.5);
    Set(*m_Op, "CBlue", 0.8);
    const double start[3] = {caches().KeyColor[0], caches().KeyColor[1], caches().KeyColor[2]};
    host::testing::EventsOf(*m_Op).clear();

    const double hue = 0.1;
    Set(*m_Op, "ValueRed", hue);

    ColorVec record = RgbToHsv(MakeColor(float(start[0]), float(start[1]), float(start[2])));
    record.R = static_cast<float>(hue);
    const ColorVec rgb = HsvToRgb(record);
    EXPECT_EQ(SetsAt(*m_Op, 1), (std::vector<SetRecord>{{"CRed", rgb.R}, {"CGreen", rgb.G}, {"CBlue", rgb.B}}));

    // One nested key colour report per component; each updates the sliders from the components
    // set so far and the others still at their earlier values.
    const ColorVec partial[3] = {MakeColor(rgb.R, float(start[1]), float(start[2])),
                                 MakeColor(rgb.R, rgb.G, float(start[2])), rgb};
    std::vector<SetRecord> expected;
    for (const ColorVec& colour : partial) {
        const ColorVec hsv = RgbToHsv(colour);
        expected.insert(expected.end(), {{"ValueRed", hsv.R}, {"ValueGreen", hsv.G}, {"ValueBlue", hsv.B}});
    }
    EXPECT_EQ(SetsAt(*m_Op, 2), expected);
    std::vector<std::string> reported;
    for (const HostEvent* report : EventsOf(*m_Op, Kind::Report))
        if (report->Depth == 2)
            reported.push_back(report->InputID);
    EXPECT_EQ(reported, (std::vector<std::string>{"CRed", "CGreen", "CBlue"}));

    EXPECT_TRUE(DoublesEqual({caches().KeyColor[0], caches().KeyColor[1], caches().KeyColor[2]}, {rgb.R, rgb.G, rgb.B}));
}

TEST_F(ChangeHandling, OtherSpacesConvertReplaceTheFieldAndConvertBack)
{
    for (std::int32_t space : {ColorSpaceYXy, ColorSpaceYUV, ColorSpaceYCbCr}) {
        m_Op = NewInstance();
        Set(*m_Op, "Colorspace", space);
        Set(*m_Op, "CRed", 0.6);
        Set(*m_Op, "CGreen", 0.4);
        Set(*m_Op, "CBlue", 0.3);
        const ColorVec start = MakeColor(float(caches().KeyColor[0]), float(caches().KeyColor[1]),
                                         float(caches().KeyColor[2]));
        host::testing::EventsOf(*m_Op).clear();
        Set(*m_Op, "ValueBlue", 0.35);
        ColorVec record = RgbToSpace(start, space);
        record.B = 0.35f;
        const ColorVec rgb = SpaceToRgb(record, space);
        const auto direct = SetsAt(*m_Op, 1);
        ASSERT_EQ(direct.size(), 3u) << "space " << space;
        EXPECT_EQ(direct, (std::vector<SetRecord>{{"CRed", rgb.R}, {"CGreen", rgb.G}, {"CBlue", rgb.B}}));
        EXPECT_TRUE(DoublesEqual({caches().KeyColor[0], caches().KeyColor[1], caches().KeyColor[2]}, {rgb.R, rgb.G, rgb.B}));
    }
}

TEST_F(ChangeHandling, ModeOutsideTheSpacesIgnoresValueEditsButStoresKeyColour)
{
    Set(*m_Op, "Colorspace", 7);
    host::testing::EventsOf(*m_Op).clear();
    Set(*m_Op, "ValueRed", 0.4);
    EXPECT_TRUE(SetsAt(*m_Op, 1).empty());
    EXPECT_EQ(caches().KeyColor[0], 0.0);

    host::testing::EventsOf(*m_Op).clear();
    Set(*m_Op, "CBlue", 0.7);
    EXPECT_EQ(caches().KeyColor[2], 0.7);
    EXPECT_TRUE(SetsAt(*m_Op, 1).empty());
    EXPECT_EQ(EventsOf(*m_Op, Kind::BaseReport).size(), 1u);
}

TEST_F(ChangeHandling, EveryKeyColourEditUpdatesTheSlidersOnceInEverySpace)
{
    for (std::int32_t space = ColorSpaceRGB; space <= ColorSpaceYCbCr; ++space) {
        for (const char* key : {"CRed", "CGreen", "CBlue"}) {
            m_Op = NewInstance();
            Set(*m_Op, "Colorspace", space);
            host::testing::EventsOf(*m_Op).clear();
            Set(*m_Op, key, 0.45);
            const auto sets = SetsAt(*m_Op, 1);
            ASSERT_EQ(sets.size(), 3u) << key << " in space " << space;
            EXPECT_EQ(sets[0].ID, "ValueRed");
            EXPECT_EQ(sets[1].ID, "ValueGreen");
            EXPECT_EQ(sets[2].ID, "ValueBlue");
            const int c = key[1] == 'R' ? 0 : key[1] == 'G' ? 1 : 2;
            ColorVec colour = MakeColor(0, 0, 0);
            (c == 0 ? colour.R : c == 1 ? colour.G : colour.B) = 0.45f;
            const ColorVec p = RgbToSpace(colour, space);
            EXPECT_EQ(sets, (std::vector<SetRecord>{{"ValueRed", p.R}, {"ValueGreen", p.G}, {"ValueBlue", p.B}}))
                << key << " in space " << space;
        }
    }
}

TEST_F(ChangeHandling, ChannelShowsOneChannelsSlidersInNineCalls)
{
    Set(*m_Op, "Channel", 1);
    const auto attributes = EventsOf(*m_Op, Kind::Attribute);
    const char* order[] = {"ValueRed", "ValueGreen", "ValueBlue", "MiRedn", "MinGreen",
                           "MinBlue",  "MaxRed",     "MaxGreen",  "MaxBlue"};
    ASSERT_EQ(attributes.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(attributes[i]->InputID, order[i]);
        EXPECT_EQ(attributes[i]->Tag, 0x10040008u);
        EXPECT_EQ(attributes[i]->Value, i % 3 == 1 ? 1.0 : 0.0) << order[i];
        EXPECT_EQ(m_Op->FindInput(order[i])->Description().Visible, i % 3 == 1) << order[i];
    }
    EXPECT_TRUE(m_Op->FindInput("CGreen")->Description().Visible);

    host::testing::EventsOf(*m_Op).clear();
    Set(*m_Op, "Channel", 1.5);  // rounds to 2
    const auto third = EventsOf(*m_Op, Kind::Attribute);
    ASSERT_EQ(third.size(), 9u);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(third[i]->Value, i % 3 == 2 ? 1.0 : 0.0) << order[i];

    for (double outside : {3.0, -1.0, 2.5, std::numeric_limits<double>::quiet_NaN()}) {
        host::testing::EventsOf(*m_Op).clear();
        Set(*m_Op, "Channel", outside);
        EXPECT_TRUE(EventsOf(*m_Op, Kind::Attribute).empty()) << outside;
        EXPECT_EQ(EventsOf(*m_Op, Kind::BaseReport).size(), 1u) << outside;
    }
}

TEST_F(ChangeHandling, NullParameterAndUnhandledInputsReachOnlyTheBase)
{
    TagList attributes;
    for (const auto& input : m_Op->Inputs()) {
        host::testing::EventsOf(*m_Op).clear();
        m_Op->NotifyChanged(input.get(), nullptr, 4.0, &attributes);
        ASSERT_EQ(host::testing::EventsOf(*m_Op).size(), 1u) << input->ID();
        const HostEvent& base = host::testing::EventsOf(*m_Op)[0];
        EXPECT_EQ(base.What, Kind::BaseReport);
        EXPECT_EQ(base.InputID, input->ID());
        EXPECT_FALSE(base.HasValue);
        EXPECT_EQ(base.Time, 4.0);
        EXPECT_EQ(base.Attributes, &attributes);
    }

    const double before[3] = {caches().KeyColor[0], caches().KeyColor[1], caches().KeyColor[2]};
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue", "FadeRed",
                           "GammaAlpha", "MultAlpha", "OffAlpha", "InvAlpha", "ColCor", "CCAmount",
                           "DesaturateAlpha", "BGAlphaBlend"}) {
        Number value(0.75);
        host::testing::EventsOf(*m_Op).clear();
        m_Op->NotifyChanged(m_Op->FindInput(id), &value, 5.0, &attributes);
        ASSERT_EQ(host::testing::EventsOf(*m_Op).size(), 1u) << id;
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[0].What, Kind::BaseReport);
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[0].Value, 0.75);
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[0].Time, 5.0);
        EXPECT_EQ(host::testing::EventsOf(*m_Op)[0].Attributes, &attributes);
    }
    EXPECT_TRUE(DoublesEqual({caches().KeyColor[0], caches().KeyColor[1], caches().KeyColor[2]},
                             {before[0], before[1], before[2]}));
    EXPECT_EQ(caches().ColorSpaceMode, 0);
}

TEST_F(ChangeHandling, BaseRunsLastWithTheSameArguments)
{
    Set(*m_Op, "Colorspace", ColorSpaceHSV);
    host::testing::EventsOf(*m_Op).clear();
    Set(*m_Op, "ValueGreen", 0.5);
    const HostEvent& last = host::testing::EventsOf(*m_Op).back();
    EXPECT_EQ(last.What, Kind::BaseReport);
    EXPECT_EQ(last.InputID, "ValueGreen");
    EXPECT_EQ(last.Value, 0.5);
    EXPECT_EQ(last.Depth, 1);
}

TEST_F(ChangeHandling, AHostCallThatThrowsInsideTheHandlerPropagatesAndLeavesNothing)
{
    // Count the host calls of one HSV value edit, then make each of them fail in turn.
    auto prepare = [this] {
        m_Op = NewInstance();
        Set(*m_Op, "Colorspace", ColorSpaceHSV);
        Set(*m_Op, "CRed", 0.9);
        Set(*m_Op, "CGreen", 0.2);
    };
    prepare();
    host::testing::ResetCallCount();
    Set(*m_Op, "ValueRed", 0.6);
    const std::uint64_t calls = host::testing::CountedCalls();
    ASSERT_GT(calls, 4u);
    for (std::uint64_t n = 1; n <= calls; ++n) {
        prepare();
        host::testing::ArmFailureOnCall(n);
        EXPECT_THROW(Set(*m_Op, "ValueRed", 0.6), host::testing::InjectedFault) << "call " << n;
        host::testing::Disarm();
        EXPECT_EQ(m_Op->ReportDepth(), 0);
    }
}

}  // namespace
}  // namespace qualvex::testing
