// The atomic writer: a name that is taken meanwhile is kept unless replacing was asked for, and no
// temporary file outlives a write, whichever way it ends.
#include "base/errors.h"
#include "media/atomic_writer.h"
#include "support/temporary_folder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace qualvex {
namespace {

class AtomicWriter : public testing::InTemporaryFolder {
protected:
    // Writes a 2 x 1 grey PNG under `name`.
    void Write(const std::string& name, ExistingFile existing) const
    {
        const unsigned char grey[2] = {10, 200};
        auto out = OIIO::ImageOutput::create("png");
        WriteImageAtomically(m_Dir / name, *out, OIIO::ImageSpec(2, 1, 1, OIIO::TypeDesc::UINT8),
                             OIIO::TypeDesc::UINT8, grey, existing);
    }

    std::string Content(const std::string& name) const
    {
        std::ifstream in(m_Dir / name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(AtomicWriter, ANameTakenMeanwhileIsKeptUnlessReplacing)
{
    std::ofstream(m_Dir / "taken.png") << "another run's frame";
    try {
        Write("taken.png", ExistingFile::Keep);
        ADD_FAILURE() << "the existing file was replaced";
    } catch (const Failure& error) {
        EXPECT_NE(std::string(error.what()).find("taken.png: appeared while this run was writing it"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(Content("taken.png"), "another run's frame");
    EXPECT_EQ(Names(), std::vector<std::string>{"taken.png"});

    Write("taken.png", ExistingFile::Replace);
    EXPECT_EQ(Content("taken.png").substr(1, 3), "PNG");
    EXPECT_EQ(Names(), std::vector<std::string>{"taken.png"});

    Write("new.png", ExistingFile::Keep);
    EXPECT_EQ(Content("new.png").substr(1, 3), "PNG");
    EXPECT_EQ(Names(), (std::vector<std::string>{"new.png", "taken.png"}));
}

TEST_F(AtomicWriter, AFailedWriteLeavesNothingBehind)
{
    // A folder in the way of the temporary file's folder: the write cannot even begin.
    try {
        const unsigned char grey[2] = {10, 200};
        auto out = OIIO::ImageOutput::create("png");
        WriteImageAtomically(m_Dir / "no-such-folder" / "out.png", *out, OIIO::ImageSpec(2, 1, 1, OIIO::TypeDesc::UINT8),
                             OIIO::TypeDesc::UINT8, grey, ExistingFile::Keep);
        ADD_FAILURE() << "written into a folder that does not exist";
    } catch (const Failure& error) {
        EXPECT_NE(std::string(error.what()).find("out.png"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(Names().empty());
}

}  // namespace
}  // namespace qualvex
