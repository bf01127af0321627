// Sequence patterns: where the frame number goes, which frames exist, and frame ranges.
#include "base/errors.h"
#include "jobs/frame_sequence.h"

#include <gtest/gtest.h>

#include <fstream>

namespace qualvex {
namespace {

TEST(FramePattern, MarkersGiveThePaddedFrameNumber)
{
    EXPECT_EQ(FramePattern("plate.####.exr").PathFor(7), "plate.0007.exr");
    EXPECT_EQ(FramePattern("plate.####.exr").PathFor(123456), "plate.123456.exr");
    EXPECT_EQ(FramePattern("shots/a_%04d.png").PathFor(12), "shots/a_0012.png");
    EXPECT_EQ(FramePattern("a.%d.tif").PathFor(12), "a.12.tif");
    EXPECT_EQ(FramePattern("#.exr").PathFor(3), "3.exr");
    EXPECT_EQ(FramePattern("a" + std::string(40, '#')).PathFor(7), "a" + std::string(39, '0') + "7");
    EXPECT_TRUE(FramePattern("a.#.exr").IsSequence());

    const FramePattern single("take#2/plate.exr");  // a marker in a folder name is no marker
    EXPECT_FALSE(single.IsSequence());
    EXPECT_EQ(single.PathFor(5), "take#2/plate.exr");

    EXPECT_THROW(FramePattern("a.##.%04d.exr"), UsageError);
    EXPECT_THROW(FramePattern("a.%099d.exr"), UsageError);
}

TEST(FramePattern, FindsTheFramesOnDiskWithTheirPadding)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "qualvex_frame_pattern_test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    for (const char* name : {"p.0001.exr", "p.0003.exr", "p.0002.exr", "p.12345.exr", "p.001.exr", "p.00004.exr",
                             "p.0005.exr.bak", "q.0006.exr", "p.abcd.exr"})
        std::ofstream(folder / name) << "x";
    EXPECT_EQ(FramePattern((folder / "p.####.exr").string()).FramesOnDisk(), (std::vector<int>{1, 2, 3, 12345}));
    // Three digits: "p.001.exr"; "p.0001.exr" has a digit too many for frame 1.
    EXPECT_EQ(FramePattern((folder / "p.%03d.exr").string()).FramesOnDisk(), (std::vector<int>{1, 12345}));
    EXPECT_EQ(FramePattern((folder / "p.0001.exr").string()).FramesOnDisk(), (std::vector<int>{0}));
    EXPECT_TRUE(FramePattern((folder / "none.####.exr").string()).FramesOnDisk().empty());
    EXPECT_TRUE(FramePattern((folder / "absent/p.####.exr").string()).FramesOnDisk().empty());
    std::filesystem::remove_all(folder);
}

TEST(FrameRange, AcceptsAToBAndOneFrame)
{
    EXPECT_EQ(ParseFrameRange("3-7").First, 3);
    EXPECT_EQ(ParseFrameRange("3-7").Last, 7);
    EXPECT_EQ(ParseFrameRange("12").First, 12);
    EXPECT_EQ(ParseFrameRange("12").Last, 12);
    for (const char* bad : {"", "7-3", "a-b", "-3", "3-", "1-2-3", "1.5-2", "99999999999-1"})
        EXPECT_THROW(ParseFrameRange(bad), UsageError) << bad;
}

TEST(FrameRange, DescribesRunsOfFrames)
{
    EXPECT_EQ(DescribeFrames({1, 2, 3, 5, 7, 8}), "1-3, 5, 7-8");
    EXPECT_EQ(DescribeFrames({}), "");
}

}  // namespace
}  // namespace qualvex
