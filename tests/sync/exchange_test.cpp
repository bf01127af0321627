// Editing a value slider starts an exchange with the key colour: it must end, in every colour
// space, for any colour, with the tool's caches agreeing with its inputs.
#include "support/float_compare.h"
#include "sync_fixture.h"

#include <gtest/gtest.h>

#include <random>

namespace qualvex::testing {
namespace {

class ChangeExchange : public SyncFixture {};

TEST_F(ChangeExchange, EndsAndAgreesForEveryValueSliderInEverySpace)
{
    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> unit(-0.25, 1.25);
    const char* values[] = {"ValueRed", "ValueGreen", "ValueBlue"};
    const char* keys[] = {"CRed", "CGreen", "CBlue"};
    int withheld = 0;
    for (int space = 0; space < 5; ++space) {
        for (int round = 0; round < 60; ++round) {
            auto op = NewInstance();
            Set(*op, "Colorspace", space);
            for (const char* key : keys)
                Set(*op, key, unit(random));
            for (int k = 0; k < 3; ++k) {
                host::testing::EventsOf(*op).clear();
                const double typed = unit(random);
                Set(*op, values[k], typed);

                std::size_t reports = 0;
                for (const HostEvent& event : host::testing::EventsOf(*op)) {
                    ASSERT_LE(event.Depth, Operator::MaxNestedReports);
                    reports += event.What == HostEvent::Kind::Report;
                    withheld += event.What == HostEvent::Kind::Withheld;
                }
                // The edit, at most three key colour reports, nothing deeper.
                EXPECT_LE(reports, 4u) << "space " << space << ", " << values[k] << " := " << typed;
                EXPECT_EQ(op->ReportDepth(), 0);

                const ToolCaches caches = Caches(*op);
                EXPECT_EQ(caches.ColorSpaceMode, space);
                for (int c = 0; c < 3; ++c) {
                    const double held = op->FindInput(keys[c])->NumberValue();
                    EXPECT_TRUE(FloatsEqual({static_cast<float>(held)}, {static_cast<float>(caches.KeyColor[c])}))
                        << keys[c] << " in space " << space << " after " << values[k] << " := " << typed;
                }
            }
        }
    }
    // The bound is what ended these exchanges: some reports were withheld.
    EXPECT_GT(withheld, 0);
}

}  // namespace
}  // namespace qualvex::testing
