// Every pixel of the golden matte table rendered through the loaded tool and the host. Rows that
// share their control values form one frame: the controls are restored through the host's
// set-value path, so the tool's change handling runs, and each frame's pixels are rendered as one
// row of a float image; the output R, G, B, A must carry exactly the table's bits.
#include "host/image.h"
#include "host/request.h"
#include "support/float_compare.h"
#include "support/golden_table.h"
#include "support/loaded_sondrel.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qualvex::testing {
namespace {

const std::string kTable = std::string(QUALVEX_GOLDEN_DIR) + "/matte.tsv";

// The controls the table sets, by ID, in the order of its columns.
constexpr const char* kControls[] = {"Colorspace", "ValueRed",  "ValueGreen", "ValueBlue",  "MiRedn",
                                     "MinGreen",   "MinBlue",   "MaxRed",     "MaxGreen",   "MaxBlue",
                                     "FadeRed",    "GammaAlpha", "MultAlpha", "OffAlpha",   "InvAlpha",
                                     "ColCor",     "CCAmount",  "DesaturateAlpha"};
constexpr std::size_t kControlCount = std::size(kControls);
constexpr const char* kPixelColumns[] = {"keyR", "keyG", "keyB", "inR",  "inG",  "inB",
                                         "inA",  "outR", "outG", "outB", "outA"};
// A colour space index outside 0..4: the change handling then rewrites nothing on value edits.
constexpr double kNoColourSpace = 5.0;

struct MatteRow {
    int Line;
    bool HasKey;
    float Key[3];
    float In[4];   // R, G, B, A
    float Out[4];  // R, G, B, A
};

struct MatteFrameRows {
    double Controls[kControlCount];
    std::vector<MatteRow> Rows;
};

struct MatteTable {
    std::size_t RowCount = 0;
    std::vector<MatteFrameRows> Frames;  // in the order each frame first appears
};

std::string Where(int line) { return kTable + ":" + std::to_string(line); }

MatteTable ReadTable()
{
    const std::vector<TableLine> lines = ReadTableLines(kTable);
    if (lines.empty())
        throw std::runtime_error(kTable + ": no header line");
    const TableLine& header = lines.front();
    if (header.Fields.size() != kControlCount + std::size(kPixelColumns))
        throw std::runtime_error(Where(header.Number) + ": unexpected number of columns");
    for (std::size_t i = 0; i < kControlCount; ++i)
        if (header.Fields[i] != kControls[i])
            throw std::runtime_error(Where(header.Number) + ": column " + std::to_string(i + 1) + " is \"" +
                                     header.Fields[i] + "\", expected \"" + kControls[i] + "\"");
    for (std::size_t i = 0; i < std::size(kPixelColumns); ++i)
        if (header.Fields[kControlCount + i] != kPixelColumns[i])
            throw std::runtime_error(Where(header.Number) + ": unexpected pixel column \"" +
                                     header.Fields[kControlCount + i] + "\"");

    MatteTable table;
    // Frames found so far, by the exact bits of their control values.
    std::map<std::vector<std::uint64_t>, std::size_t> frameIndex;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const TableLine& line = lines[n];
        if (line.Fields.size() != header.Fields.size())
            throw std::runtime_error(Where(line.Number) + ": unexpected number of fields");
        MatteFrameRows frame;
        std::vector<std::uint64_t> key;
        for (std::size_t i = 0; i < kControlCount; ++i) {
            frame.Controls[i] = ParseDouble(line.Fields[i]);
            key.push_back(std::bit_cast<std::uint64_t>(frame.Controls[i]));
        }
        const std::string* pixel = &line.Fields[kControlCount];
        MatteRow row{line.Number, pixel[0] != "-", {}, {}, {}};
        if (row.HasKey != (pixel[1] != "-") || row.HasKey != (pixel[2] != "-"))
            throw std::runtime_error(Where(line.Number) + ": the key pixel is only partly given");
        for (int i = 0; i < 3; ++i)
            row.Key[i] = row.HasKey ? ParseFloatBits(pixel[i]) : 0.0f;
        for (int i = 0; i < 4; ++i) {
            row.In[i] = ParseFloatBits(pixel[3 + i]);
            row.Out[i] = ParseFloatBits(pixel[7 + i]);
        }
        const auto [at, added] = frameIndex.emplace(key, table.Frames.size());
        if (added)
            table.Frames.push_back(frame);
        table.Frames[at->second].Rows.push_back(row);
        ++table.RowCount;
    }
    return table;
}

// The table, read once for all tests.
const MatteTable& Table()
{
    static const MatteTable table = ReadTable();
    return table;
}

Pixel SourcePixel(const float (&rgba)[4])
{
    Pixel p;
    p.R = rgba[0];
    p.G = rgba[1];
    p.B = rgba[2];
    p.A = rgba[3];
    return p;
}

class GoldenMatte : public LoadedSondrel {
protected:
    void SetUp() override
    {
        LoadedSondrel::SetUp();
        m_Op = NewInstance();
    }

    void TearDown() override
    {
        m_Op.reset();  // before the plug-in that holds its code goes
        LoadedSondrel::TearDown();
    }

    // Restores the frame's control values the way a saved setting is restored: the colour space
    // first to an index that selects no space, so that the value sliders are taken as they are,
    // then every other control, then the colour space itself. Then reads every control back.
    ::testing::AssertionResult Restore(const MatteFrameRows& frame)
    {
        Set(*m_Op, "Colorspace", kNoColourSpace);
        for (std::size_t i = 1; i < kControlCount; ++i)
            Set(*m_Op, kControls[i], frame.Controls[i]);
        Set(*m_Op, "Colorspace", frame.Controls[0]);

        std::vector<double> held;
        for (const char* id : kControls)
            held.push_back(m_Op->FindInput(id)->NumberValue());
        ::testing::AssertionResult same =
            DoubleBitsEqual(held, std::span<const double>(frame.Controls, kControlCount));
        if (!same)
            same << "\n  (index i is control " << kControls[0] << ", " << kControls[1] << ", ... in table order)";
        return same;
    }

    // Renders the rows (all with a key pixel, or all without) as one row of float pixels, with a
    // key image of the same size holding each row's key pixel when they have one, and checks the
    // output's colour bits against the table. Returns the number of rows that differ.
    int RenderAndCompare(const std::vector<const MatteRow*>& rows, bool withKey)
    {
        if (rows.empty())
            return 0;
        const auto width = static_cast<std::int32_t>(rows.size());
        Image source(width, 1, PixelStorage::Float);
        Image key(width, 1, PixelStorage::Float);
        for (std::int32_t x = 0; x < width; ++x) {
            const MatteRow& row = *rows[static_cast<std::size_t>(x)];
            source.SetPixel(x, 0, SourcePixel(row.In));
            key.SetPixel(x, 0, SourcePixel({row.Key[0], row.Key[1], row.Key[2], 1.0f}));
        }
        m_Op->FindInput("Image")->ConnectImage(&source);
        m_Op->FindInput("KeyImage")->ConnectImage(withKey ? &key : nullptr);
        const std::unique_ptr<Image> output = host::RenderFrame(*m_Op, 0.0);
        m_Op->FindInput("Image")->ConnectImage(nullptr);
        m_Op->FindInput("KeyImage")->ConnectImage(nullptr);
        if (output == nullptr) {
            ADD_FAILURE() << Where(rows.front()->Line) << ": the render gave no image";
            return width;
        }
        int failures = 0;
        for (std::int32_t x = 0; x < width; ++x) {
            const MatteRow& row = *rows[static_cast<std::size_t>(x)];
            const Pixel got = output->GetPixel(x, 0);
            const ::testing::AssertionResult same =
                FloatBitsEqual({got.R, got.G, got.B, got.A}, {row.Out[0], row.Out[1], row.Out[2], row.Out[3]});
            if (same)
                continue;
            if (++m_Reported <= kReported) {
                char input[160];
                std::snprintf(input, sizeof input, "source (%.9g, %.9g, %.9g, %.9g)", static_cast<double>(row.In[0]),
                              static_cast<double>(row.In[1]), static_cast<double>(row.In[2]),
                              static_cast<double>(row.In[3]));
                std::string keyText = "sliders";
                if (withKey) {
                    char text[120];
                    std::snprintf(text, sizeof text, "key (%.9g, %.9g, %.9g)", static_cast<double>(row.Key[0]),
                                  static_cast<double>(row.Key[1]), static_cast<double>(row.Key[2]));
                    keyText = text;
                }
                ADD_FAILURE() << Where(row.Line) << ": " << input << " against " << keyText
                              << ", output R G B A: " << same.message();
            }
            ++failures;
        }
        return failures;
    }

    // Renders every frame's rows of one kind and checks them all.
    void ExpectEveryRow(bool withKey)
    {
        int rows = 0;
        int failures = 0;
        for (const MatteFrameRows& frame : Table().Frames) {
            ASSERT_TRUE(Restore(frame)) << "frame of " << Where(frame.Rows.front().Line);
            std::vector<const MatteRow*> selected;
            for (const MatteRow& row : frame.Rows)
                if (row.HasKey == withKey)
                    selected.push_back(&row);
            rows += static_cast<int>(selected.size());
            failures += RenderAndCompare(selected, withKey);
        }
        EXPECT_GT(rows, 0);
        EXPECT_EQ(failures, 0) << failures << " of " << rows << " rows differ (the first " << kReported
                               << " are reported above)";
    }

    static constexpr int kReported = 10;  // rows described in full; the rest are only counted
    int m_Reported = 0;
    std::unique_ptr<Operator> m_Op;
};

TEST(GoldenMatteTable, HasEveryRowInItsFrames)
{
    const MatteTable& table = Table();
    EXPECT_EQ(table.RowCount, 3000u);
    EXPECT_EQ(table.Frames.size(), 150u);
}

TEST_F(GoldenMatte, RestoredControlsHoldExactlyTheTableValues)
{
    for (const MatteFrameRows& frame : Table().Frames)
        EXPECT_TRUE(Restore(frame)) << "frame of " << Where(frame.Rows.front().Line);
}

TEST_F(GoldenMatte, PixelsKeyedAgainstTheSlidersMatchBitForBit)
{
    ExpectEveryRow(false);
}

TEST_F(GoldenMatte, PixelsKeyedAgainstAKeyImageMatchBitForBit)
{
    ExpectEveryRow(true);
}

}  // namespace
}  // namespace qualvex::testing
