// Reading the golden tables in tests/fixtures/golden: tab-separated text lines, comments starting
// with '#', float32 values as hexadecimal bit patterns and doubles as exact decimals.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qualvex::testing {

// One non-comment line of a table, split at tabs, with its 1-based line number in the file.
struct TableLine {
    int Number;
    std::vector<std::string> Fields;
};

// The lines of a table file that are neither empty nor comments. Throws when the file cannot be
// opened, so that a missing table fails the test instead of passing with no rows.
inline std::vector<TableLine> ReadTableLines(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error(path + ": cannot open the golden table");
    std::vector<TableLine> lines;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (text.empty() || text[0] == '#')
            continue;
        TableLine line{number, {}};
        std::size_t start = 0;
        for (;;) {
            const std::size_t tab = text.find('\t', start);
            line.Fields.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// A float given as its eight-digit hexadecimal bit pattern ("3f800000" is 1.0).
inline float ParseFloatBits(std::string_view text)
{
    std::uint32_t bits = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bits, 16);
    if (error != std::errc() || end != text.data() + text.size() || text.size() != 8)
        throw std::runtime_error("not a float32 bit pattern: \"" + std::string(text) + "\"");
    return std::bit_cast<float>(bits);
}

// A double written in decimal; the nearest double, which is the value the table means.
inline double ParseDouble(std::string_view text)
{
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw std::runtime_error("not a decimal number: \"" + std::string(text) + "\"");
    return value;
}

}  // namespace qualvex::testing
