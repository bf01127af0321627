// The value sliders receive the key colour expressed in the cached colour space.
#include "color/conversions.h"
#include "support/float_compare.h"
#include "sync_fixture.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qualvex::testing {
namespace {

class ChannelValues : public SyncFixture {
protected:
    // What UpdateChannelValues sets for `key` in `mode`, called on a fresh instance's sliders.
    std::vector<SetRecord> SetsFor(std::int32_t mode, ColorVec key)
    {
        m_Op = NewInstance();
        host::testing::EventsOf(*m_Op).clear();
        UpdateChannelValues(Links(*m_Op), mode, key, 3.0);
        return SetsAt(*m_Op, 0);
    }
};

TEST_F(ChannelValues, RgbSetsTheKeyColourRoundedToSinglePrecision)
{
    const auto sets = SetsFor(ColorSpaceRGB, MakeColor(0.1f, 0.5f, 1.0f));
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0], (SetRecord{"ValueRed", static_cast<double>(0.1f)}));
    EXPECT_TRUE(PrintsAs(sets[0].Value, "0.100000001490116"));
    EXPECT_EQ(sets[1], (SetRecord{"ValueGreen", 0.5}));
    EXPECT_EQ(sets[2], (SetRecord{"ValueBlue", 1.0}));
}

TEST_F(ChannelValues, DocumentedValuesInEachSpace)
{
    struct Case {
        std::int32_t mode;
        ColorVec key;
        double p1, p2, p3;
    };
    const float grey = 0.25f;
    const Case cases[] = {
        {ColorSpaceHSV, MakeColor(grey, grey, grey), 0.0, 0.0, grey},
        {ColorSpaceHSV, MakeColor(1, 0, 0), 0.0, 1.0, 1.0},
        {ColorSpaceYXy, MakeColor(0, 0, 0), 0.0, 0.0, 0.0},
        {ColorSpaceYXy, MakeColor(1, 1, 1), 1.0, 0.312700003, 0.328999996},
        {ColorSpaceYCbCr, MakeColor(0, 0, 0), 0.0, 0.501960814, 0.501960814},
    };
    for (const Case& c : cases) {
        const auto sets = SetsFor(c.mode, c.key);
        ASSERT_EQ(sets.size(), 3u) << "mode " << c.mode;
        EXPECT_EQ(sets[0].ID, "ValueRed");
        EXPECT_EQ(sets[1].ID, "ValueGreen");
        EXPECT_EQ(sets[2].ID, "ValueBlue");
        // Each value is a single-precision component widened to double.
        for (const SetRecord& set : sets)
            EXPECT_EQ(set.Value, static_cast<double>(static_cast<float>(set.Value))) << set;
        EXPECT_TRUE(FloatsEqual({float(sets[0].Value), float(sets[1].Value), float(sets[2].Value)},
                                {float(c.p1), float(c.p2), float(c.p3)}))
            << "mode " << c.mode;
    }
    const auto white = SetsFor(ColorSpaceYXy, MakeColor(1, 1, 1));
    EXPECT_TRUE(PrintsAs(white[1].Value, "0.312700003"));
    EXPECT_TRUE(PrintsAs(white[2].Value, "0.328999996"));
    EXPECT_TRUE(PrintsAs(SetsFor(ColorSpaceYCbCr, MakeColor(0, 0, 0))[1].Value, "0.501960814"));
}

TEST_F(ChannelValues, YuvSetsLumaAndBothChromaComponents)
{
    const ColorVec key = MakeColor(0.8f, 0.3f, 0.1f);
    const ColorVec yuv = RgbToYuv(key);
    const auto sets = SetsFor(ColorSpaceYUV, key);
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0], (SetRecord{"ValueRed", yuv.R}));
    EXPECT_EQ(sets[1], (SetRecord{"ValueGreen", yuv.G}));
    EXPECT_EQ(sets[2], (SetRecord{"ValueBlue", yuv.B}));
}

TEST_F(ChannelValues, NothingIsClampedToTheSliderRange)
{
    const auto sets = SetsFor(ColorSpaceRGB, MakeColor(-0.5f, 2.0f, NAN));
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(sets[0].Value, -0.5);
    EXPECT_EQ(sets[1].Value, 2.0);
    EXPECT_TRUE(std::isnan(sets[2].Value));
}

TEST_F(ChannelValues, AModeOutsideTheFiveSpacesSetsNothing)
{
    for (std::int32_t mode : {-1, 5, NoIndex})
        EXPECT_TRUE(SetsFor(mode, MakeColor(0.2f, 0.4f, 0.6f)).empty()) << "mode " << mode;
}

TEST_F(ChannelValues, TheTimeOfTheChangeGoesWithEverySet)
{
    SetsFor(ColorSpaceHSV, MakeColor(0.2f, 0.4f, 0.6f));
    for (const HostEvent& event : host::testing::EventsOf(*m_Op)) {
        if (event.What == HostEvent::Kind::Set) {
            EXPECT_EQ(event.Time, 3.0) << event.InputID;
        }
    }
}

}  // namespace
}  // namespace qualvex::testing
