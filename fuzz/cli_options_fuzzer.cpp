// The command line's small parsers, each handed the whole input as its text: the frame-number
// pattern of an image name, --frames, --set ID=VALUE and --key-color R,G,B. A usage error is a
// refusal, as the program reports it; any other exception escapes and ends the run as a fault.
#include "fuzz_check.h"
#include "tool_instance.h"

#include "base/errors.h"
#include "host/operator.h"
#include "jobs/control_settings.h"
#include "jobs/frame_sequence.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using qualvex::fuzz::Require;

// Where the frame number goes in a name that holds exactly one marker, found independently of
// FramePattern: a run of '#', or '%', optional digits, 'd'.
struct Marker {
    std::size_t Position = 0;
    std::size_t Length = 0;
    std::size_t Width = 0;
};

std::optional<Marker> OnlyMarker(const std::string& text)
{
    const std::string name = std::filesystem::path(text).filename().string();
    const std::size_t nameStart = text.size() - name.size();
    std::vector<Marker> found;
    for (std::size_t i = 0; i < name.size();) {
        if (name[i] == '#') {
            std::size_t end = i;
            while (end < name.size() && name[end] == '#')
                ++end;
            found.push_back({nameStart + i, end - i, end - i});
            i = end;
            continue;
        }
        if (name[i] == '%') {
            std::size_t end = i + 1;
            while (end < name.size() && name[end] >= '0' && name[end] <= '9')
                ++end;
            if (end < name.size() && name[end] == 'd') {
                std::size_t width = 0;
                for (std::size_t d = i + 1; d < end && width <= 16; ++d)
                    width = width * 10 + static_cast<std::size_t>(name[d] - '0');
                found.push_back({nameStart + i, end + 1 - i, width});
                i = end + 1;
                continue;
            }
        }
        ++i;
    }
    if (found.size() != 1)
        return std::nullopt;
    return found.front();
}

std::string Padded(int frame, std::size_t width)
{
    std::string digits = std::to_string(frame);
    return digits.size() < width ? std::string(width - digits.size(), '0') + digits : digits;
}

void CheckFramePattern(const std::string& text, const std::vector<int>& frames)
{
    try {
        const qualvex::FramePattern pattern(text);
        Require(pattern.Text() == text, "a pattern keeps its text");
        const std::optional<Marker> marker = OnlyMarker(text);
        Require(pattern.IsSequence() == marker.has_value(), "a name with one frame-number marker is a sequence");
        for (const int frame : frames) {
            const std::string path = pattern.PathFor(frame).string();
            if (!marker) {
                Require(path == text, "a single file is the same path for every frame");
                continue;
            }
            const std::string expected = text.substr(0, marker->Position) + Padded(frame, marker->Width) +
                                         text.substr(marker->Position + marker->Length);
            Require(path == expected, "frame " + std::to_string(frame) + " of \"" + text + "\" is \"" + expected +
                                          "\", not \"" + path + "\"");
        }
    } catch (const qualvex::UsageError&) {
        // More than one marker, or a printf width over 16.
    }
}

std::vector<int> CheckFrameRange(const std::string& text)
{
    try {
        const qualvex::FrameRange range = qualvex::ParseFrameRange(text);
        Require(range.First >= 0 && range.First <= range.Last, "a frame range runs forward from 0 or more");
        Require(text.find_first_not_of("0123456789-") == std::string::npos, "a frame range is digits and a dash");
        return {range.First, range.Last};
    } catch (const qualvex::UsageError& refused) {
        Require(std::string(refused.what()).starts_with("--frames \""), "a refusal names --frames");
        return {};
    }
}

void CheckSetOption(const Operator& op, const std::string& text)
{
    try {
        const qualvex::ControlValue value = qualvex::ParseSetOption(op, text);
        Require(value.ID == text.substr(0, text.find('=')), "--set sets the control named before '='");
        const Input* input = op.FindInput(value.ID);
        Require(input != nullptr && input->Value() != nullptr, "--set sets a number control of the tool");
        Require(std::isfinite(value.Value), "--set gives a finite value");
    } catch (const qualvex::UsageError& refused) {
        Require(std::string(refused.what()).starts_with("--set"), "a refusal names --set");
    }
}

void CheckKeyColor(const std::string& text)
{
    try {
        const std::vector<qualvex::ControlValue> values = qualvex::ParseKeyColor(text);
        Require(values.size() == 3, "--key-color sets three controls");
        Require(values[0].ID == "CRed" && values[1].ID == "CGreen" && values[2].ID == "CBlue",
                "--key-color sets the key colour controls in order");
        for (const qualvex::ControlValue& value : values)
            Require(std::isfinite(value.Value), "--key-color gives finite values");
    } catch (const qualvex::UsageError& refused) {
        Require(std::string(refused.what()).starts_with("--key-color \""), "a refusal names --key-color");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qualvex::fuzz::ToolInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<int> frames = CheckFrameRange(text);
    frames.insert(frames.end(), {0, 7, 12345, INT_MAX});
    CheckFramePattern(text, frames);
    CheckSetOption(qualvex::fuzz::ToolInstance(), text);
    CheckKeyColor(text);
    return 0;
}
