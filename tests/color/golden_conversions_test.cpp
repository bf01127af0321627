// Every row of the golden conversion table through RgbToSpace and SpaceToRgb: the three result
// components must carry exactly the table's bits (any NaN matches any NaN).
#include "color/conversions.h"
#include "support/float_compare.h"
#include "support/golden_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

struct ConversionRow {
    int Line;
    std::int32_t Mode;
    bool Forward;  // RGB into the space; otherwise the space back to RGB
    float In[3];
    float Out[3];
};

const std::string kTable = std::string(QUALVEX_GOLDEN_DIR) + "/conversions.tsv";

// The table, read once for all tests.
const std::vector<ConversionRow>& Rows()
{
    static const std::vector<ConversionRow> rows = [] {
        std::vector<ConversionRow> result;
        for (const TableLine& line : ReadTableLines(kTable)) {
            if (line.Fields.size() != 8)
                throw std::runtime_error(kTable + ":" + std::to_string(line.Number) + ": expected 8 fields");
            ConversionRow row{line.Number, 0, false, {}, {}};
            row.Mode = static_cast<std::int32_t>(ParseDouble(line.Fields[0]));
            if (line.Fields[1] != "fwd" && line.Fields[1] != "inv")
                throw std::runtime_error(kTable + ":" + std::to_string(line.Number) + ": direction is neither fwd nor inv");
            row.Forward = line.Fields[1] == "fwd";
            for (int i = 0; i < 3; ++i) {
                row.In[i] = ParseFloatBits(line.Fields[2 + static_cast<std::size_t>(i)]);
                row.Out[i] = ParseFloatBits(line.Fields[5 + static_cast<std::size_t>(i)]);
            }
            result.push_back(row);
        }
        return result;
    }();
    return rows;
}

TEST(GoldenConversionTable, HasEveryRow)
{
    EXPECT_EQ(Rows().size(), 4000u);
    // Each row belongs to one of the directions below.
    for (const ConversionRow& row : Rows())
        EXPECT_TRUE(row.Mode >= ColorSpaceRGB && row.Mode <= ColorSpaceYCbCr) << kTable << ":" << row.Line;
}

struct Direction {
    std::int32_t Mode;
    bool Forward;
    const char* Name;
};

// Test output names the direction rather than dumping the parameter's bytes.
void PrintTo(const Direction& d, std::ostream* out) { *out << d.Name; }

class GoldenConversion : public ::testing::TestWithParam<Direction> {};

TEST_P(GoldenConversion, EveryRowMatchesBitForBit)
{
    const Direction d = GetParam();
    constexpr int kReported = 10;  // rows described in full; the rest are only counted
    int rows = 0;
    int failures = 0;
    for (const ConversionRow& row : Rows()) {
        if (row.Mode != d.Mode || row.Forward != d.Forward)
            continue;
        ++rows;
        const ColorVec in = MakeColor(row.In[0], row.In[1], row.In[2]);
        const ColorVec out = d.Forward ? RgbToSpace(in, d.Mode) : SpaceToRgb(in, d.Mode);
        const ::testing::AssertionResult same =
            FloatBitsEqual({out.R, out.G, out.B}, {row.Out[0], row.Out[1], row.Out[2]});
        if (same)
            continue;
        if (++failures <= kReported) {
            char input[120];
            std::snprintf(input, sizeof input, "(%.9g, %.9g, %.9g)", static_cast<double>(row.In[0]),
                          static_cast<double>(row.In[1]), static_cast<double>(row.In[2]));
            ADD_FAILURE() << kTable << ":" << row.Line << ": " << d.Name << " of " << input << ": "
                          << same.message();
        }
    }
    EXPECT_GT(rows, 0) << "the table has no rows for " << d.Name;
    EXPECT_EQ(failures, 0) << failures << " of " << rows << " rows differ (the first " << kReported
                           << " are reported above)";
}

std::string DirectionName(const ::testing::TestParamInfo<Direction>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(
    Table, GoldenConversion,
    ::testing::Values(Direction{ColorSpaceRGB, true, "RgbForward"}, Direction{ColorSpaceRGB, false, "RgbInverse"},
                      Direction{ColorSpaceHSV, true, "RgbToHsv"}, Direction{ColorSpaceHSV, false, "HsvToRgb"},
                      Direction{ColorSpaceYXy, true, "RgbToXyy"}, Direction{ColorSpaceYXy, false, "XyyToRgb"},
                      Direction{ColorSpaceYUV, true, "RgbToYuv"}, Direction{ColorSpaceYUV, false, "YuvToRgb"},
                      Direction{ColorSpaceYCbCr, true, "RgbToYcbcr"},
                      Direction{ColorSpaceYCbCr, false, "YcbcrToRgb"}),
    DirectionName);

}  // namespace
}  // namespace qualvex::testing
