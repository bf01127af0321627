// The exchange between the key colour and the value sliders ends, in every colour space.
#include "host/operator.h"
#include "plugin/sondrel.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace qualvex::testing {
namespace {

class ChangeExchange : public LoadedSondrel {};

TEST_F(ChangeExchange, EndsForEveryValueSliderInEverySpace)
{
    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const char* values[] = {"ValueRed", "ValueGreen", "ValueBlue"};
    const char* keys[] = {"CRed", "CGreen", "CBlue"};
    for (int space = 0; space < 5; ++space) {
        int worstDepth = 0, withheld = 0;
        std::size_t worstReports = 0;
        double worstGap = 0, worstFloatGap = 0;
        int hist[40] = {};
        for (int round = 0; round < 200; ++round) {
            auto op = NewInstance();
            Set(*op, "Colorspace", space);
            Set(*op, "CRed", unit(random));
            Set(*op, "CGreen", unit(random));
            Set(*op, "CBlue", unit(random));
            for (int k = 0; k < 3; ++k) {
                op->Events().clear();
                Set(*op, values[k], unit(random));
                int depth = 0;
                std::size_t reports = 0;
                bool w = false;
                for (const HostEvent& e : op->Events()) {
                    depth = std::max(depth, e.Depth);
                    reports += e.What == HostEvent::Kind::Report;
                    w |= e.What == HostEvent::Kind::Withheld;
                }
                withheld += w;
                hist[depth]++;
                worstDepth = std::max(worstDepth, depth);
                worstReports = std::max(worstReports, reports);
                auto& tool = static_cast<Sondrel&>(*op);
                for (int c = 0; c < 3; ++c) {
                    double in = op->FindInput(keys[c])->NumberValue();
                    worstGap = std::max(worstGap, std::abs(in - tool.KeyColor[c]));
                    worstFloatGap = std::max(worstFloatGap, std::abs(double(float(in)) - double(float(tool.KeyColor[c]))));
                }
            }
        }
        std::printf("space %d deepest %d, most reports %zu withheld %d gap %g floatgap %g\n", space, worstDepth,
                    worstReports, withheld, worstGap, worstFloatGap);
        for (int i = 0; i < 40; ++i)
            if (hist[i]) std::printf("  depth %d: %d\n", i, hist[i]);
    }
}

}  // namespace
}  // namespace qualvex::testing
