// A folder of its own for each test, under the system's temporary folder: emptied before the test
// and removed after it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qualvex::testing {

// A file's bytes, whole; empty where it cannot be read.
inline std::string Slurp(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What `folder` holds, by name, sorted: a temporary file left behind shows here.
inline std::vector<std::string> NamesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class InTemporaryFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Dir = std::filesystem::temp_directory_path() /
                ("qualvex-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                 std::to_string(::getpid()));
        std::filesystem::remove_all(m_Dir);
        std::filesystem::create_directories(m_Dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    std::vector<std::string> Names() const { return NamesIn(m_Dir); }

    std::filesystem::path m_Dir;
};

}  // namespace qualvex::testing
