// Outputs put in place on their own thread: each is on disk under its name before it counts as
// written, in the order handed over; a failure stops further handing and is reported once the
// others are in place; nothing of a file that failed is left behind.
#include "base/errors.h"
#include "jobs/output_commits.h"
#include "support/temporary_folder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace qualvex {
namespace {

class OutputCommitsTest : public testing::InTemporaryFolder {
protected:
    // A 2 x 1 grey PNG encoded under `name`, not yet in place.
    EncodedFile Encoded(const std::string& name) const
    {
        auto out = OIIO::ImageOutput::create("png");
        return EncodeImage(
            m_Dir / name, *out, OIIO::ImageSpec(2, 1, 1, OIIO::TypeDesc::UINT8), OIIO::TypeDesc::UINT8,
            [](int, int, void* into) {
                static_cast<unsigned char*>(into)[0] = 10;
                static_cast<unsigned char*>(into)[1] = 200;
            },
            ExistingFile::Keep);
    }
};

TEST_F(OutputCommitsTest, EachFileIsInPlaceBeforeItCountsAndInTheOrderHandedOver)
{
    std::vector<std::string> done;
    std::vector<bool> existed;
    {
        OutputCommits commits(1);
        for (int frame = 1; frame <= 5; ++frame) {
            const std::string name = "out." + std::to_string(frame) + ".png";
            commits.Hand(Encoded(name), [&, name] {
                done.push_back(name);
                existed.push_back(std::filesystem::exists(m_Dir / name));
            });
        }
        commits.Finish();
        EXPECT_EQ(commits.Committed(), 5u);
    }
    EXPECT_EQ(done, (std::vector<std::string>{"out.1.png", "out.2.png", "out.3.png", "out.4.png", "out.5.png"}));
    EXPECT_EQ(existed, std::vector<bool>(5, true));
    EXPECT_EQ(Names(), done);
}

TEST_F(OutputCommitsTest, AFailureIsReportedOnceTheOthersAreInPlaceAndStopsFurtherHanding)
{
    std::ofstream(m_Dir / "out.2.png") << "another run's frame";
    OutputCommits commits(4);
    int counted = 0;
    commits.Hand(Encoded("out.1.png"), [&] { ++counted; });
    commits.Hand(Encoded("out.2.png"), [&] { ++counted; });
    commits.Hand(Encoded("out.3.png"), [&] { ++counted; });
    try {
        commits.Finish();
        ADD_FAILURE() << "the taken name was not reported";
    } catch (const Failure& error) {
        EXPECT_NE(std::string(error.what()).find("out.2.png: appeared while this run was writing it"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(counted, 2);
    EXPECT_EQ(commits.Committed(), 2u);
    // The next file is refused with the same failure, and nothing of it is left.
    EXPECT_THROW(commits.Hand(Encoded("out.4.png"), [&] { ++counted; }), Failure);
    EXPECT_EQ(Names(), (std::vector<std::string>{"out.1.png", "out.2.png", "out.3.png"}));
    std::ifstream kept(m_Dir / "out.2.png");
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "another run's frame");
}

TEST_F(OutputCommitsTest, WhatWaitsWhenTheyAreDroppedIsStillPutInPlace)
{
    int counted = 0;
    {
        OutputCommits commits(3);
        for (int frame = 1; frame <= 3; ++frame)
            commits.Hand(Encoded("out." + std::to_string(frame) + ".png"), [&] { ++counted; });
    }
    EXPECT_EQ(counted, 3);
    EXPECT_EQ(Names(), (std::vector<std::string>{"out.1.png", "out.2.png", "out.3.png"}));
}

}  // namespace
}  // namespace qualvex
