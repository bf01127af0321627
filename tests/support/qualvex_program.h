// Runs the installed qualvex program on small images the tests generate, in a fresh folder for
// each test: the helpers the end-to-end tests share.
#pragma once

#include "support/temporary_folder.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex::testing {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

struct RunResult {
    int ExitCode;
    std::string Out;
    std::string Err;
};




struct ReadBack {
    ImageSpec Header;
    std::vector<float> Pixels;
};

// A small plate: green screen on the left, warm subject on the right, a soft edge between.
std::vector<float> PlatePixels(int width, int height, int channels, int frame = 0);

// `compression`: the format's own when empty.
void WriteImage(const std::filesystem::path& file, int width, int height, const std::vector<std::string>& names,
                TypeDesc type, const std::vector<float>& pixels, const std::string& compression = "");

ReadBack ReadImage(const std::filesystem::path& file);

// Settings that key the plate's screen and keep a soft edge.
extern const std::vector<std::string> kKey;

class QualvexCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Dir = std::filesystem::path(QUALVEX_TEST_WORK_DIR) / info->name();
        std::filesystem::remove_all(m_Dir);
        std::filesystem::create_directories(m_Dir);
    }

    std::filesystem::path P(const std::string& name) const { return m_Dir / name; }

    // `environment`: assignments placed before the program ("NAME='value' ").
    RunResult Run(const std::vector<std::string>& args, const std::string& environment = "") const
    {
        return RunProgram(QUALVEX_INSTALLED_PROGRAM, args, environment);
    }

    // The same, of another copy of the program.
    RunResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::string& environment = "") const
    {
        std::string command = "cd '" + m_Dir.string() + "' && " + environment + "'" + program.string() + "'";
        for (const std::string& arg : args) {
            // One shell word whatever it holds: in single quotes, a single quote as '\''.
            command += " '";
            for (const char c : arg)
                command += c == '\'' ? std::string("'\\''") : std::string(1, c);
            command += "'";
        }
        command += " >'" + P("stdout.txt").string() + "' 2>'" + P("stderr.txt").string() + "' </dev/null";
        const int status = std::system(command.c_str());
        RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(P("stdout.txt")), Slurp(P("stderr.txt"))};
        std::filesystem::remove(P("stdout.txt"));
        std::filesystem::remove(P("stderr.txt"));
        return result;
    }

    static std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more)
    {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    // Only the files the test made and, where expected, finished outputs: no temporary file left.
    std::vector<std::string> Files() const { return NamesIn(m_Dir); }

    std::filesystem::path m_Dir;
};

}  // namespace qualvex::testing
