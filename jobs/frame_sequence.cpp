#include "jobs/frame_sequence.h"

#include "base/errors.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <system_error>

namespace qualvex {
namespace {

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ParseFrameNumber(std::string_view text, int& frame)
{
    if (!AllDigits(text))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frame);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

FramePattern::FramePattern(std::string text) : m_Text(std::move(text))
{
    // Markers are looked for in the file name only, so a folder named "take#2" stays a folder.
    const std::filesystem::path path(m_Text);
    const std::string name = path.filename().string();
    const std::size_t nameStart = m_Text.size() - name.size();

    // Markers: a run of '#', or '%' with an optional width (leading zero allowed) and 'd'.
    struct Marker {
        std::size_t Position, Length;
        int Padding;
    };
    std::vector<Marker> markers;
    for (std::size_t i = 0; i < name.size();) {
        if (name[i] == '#') {
            const std::size_t end = name.find_first_not_of('#', i);
            const std::size_t length = (end == std::string::npos ? name.size() : end) - i;
            markers.push_back({i, length, static_cast<int>(length)});
            i += length;
            continue;
        }
        if (name[i] == '%') {
            std::size_t end = i + 1;
            while (end < name.size() && name[end] >= '0' && name[end] <= '9')
                ++end;
            if (end < name.size() && name[end] == 'd') {
                int padding = 0;
                const std::string width = name.substr(i + 1, end - i - 1);
                if (!width.empty() && (!ParseFrameNumber(width, padding) || padding > 16))
                    throw UsageError("\"" + m_Text + "\": frame-number width must be 16 or less");
                markers.push_back({i, end + 1 - i, padding});
                i = end + 1;
                continue;
            }
        }
        ++i;
    }
    if (markers.empty())
        return;
    if (markers.size() > 1)
        throw UsageError("\"" + m_Text + "\": more than one frame-number marker in the file name");
    m_IsSequence = true;
    m_Prefix = m_Text.substr(0, nameStart + markers[0].Position);
    m_Suffix = m_Text.substr(nameStart + markers[0].Position + markers[0].Length);
    m_Padding = markers[0].Padding;
}

std::filesystem::path FramePattern::PathFor(int frame) const
{
    if (!m_IsSequence)
        return m_Text;
    // A run of '#' sets the width and has no upper bound: room for the width and any int.
    std::string digits(static_cast<std::size_t>(m_Padding) + 16, '\0');
    const int length = std::snprintf(digits.data(), digits.size(), "%0*d", m_Padding, frame);
    digits.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return m_Prefix + digits + m_Suffix;
}

std::vector<int> FramePattern::FramesOnDisk() const
{
    std::vector<int> frames;
    std::error_code error;
    if (!m_IsSequence) {
        if (std::filesystem::exists(m_Text, error))
            frames.push_back(0);
        return frames;
    }
    const std::filesystem::path prefixPath(m_Prefix);
    std::filesystem::path folder = prefixPath.parent_path();
    const std::string namePrefix = prefixPath.filename().string();
    if (folder.empty())
        folder = ".";
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= namePrefix.size() + m_Suffix.size() || !name.starts_with(namePrefix) ||
            !name.ends_with(m_Suffix))
            continue;
        const std::string_view digits =
            std::string_view(name).substr(namePrefix.size(), name.size() - namePrefix.size() - m_Suffix.size());
        int frame = 0;
        // Exactly the padded width, or longer only without leading zeros (frame 12345 in "####").
        if (!ParseFrameNumber(digits, frame))
            continue;
        if (static_cast<int>(digits.size()) < m_Padding ||
            (static_cast<int>(digits.size()) > m_Padding && digits.size() > 1 && digits[0] == '0'))
            continue;
        frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

FrameRange ParseFrameRange(const std::string& text)
{
    const std::size_t dash = text.find('-');
    FrameRange range{};
    const std::string first = text.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : text.substr(dash + 1);
    if (!ParseFrameNumber(first, range.First) || !ParseFrameNumber(last, range.Last))
        throw UsageError("--frames \"" + text + "\": expected A-B or A, with frame numbers 0 or more");
    if (range.First > range.Last)
        throw UsageError("--frames \"" + text + "\": the first frame is after the last");
    return range;
}

namespace {

// Builds "a-b, c, …" from runs handed in ascending order.
class RunList {
public:
    explicit RunList(std::size_t maxRuns) : m_MaxRuns(maxRuns) {}
    void Add(std::int64_t first, std::int64_t last)
    {
        if (m_Runs++ >= m_MaxRuns) {
            m_Unlisted += last - first + 1;
            return;
        }
        if (!m_Text.empty())
            m_Text += ", ";
        m_Text += std::to_string(first);
        if (last > first) {
            m_Text += '-';
            m_Text.append(std::to_string(last));
        }
    }
    std::string Text() const
    {
        return m_Unlisted == 0 ? m_Text : m_Text + " and " + std::to_string(m_Unlisted) + " more";
    }

private:
    std::size_t m_MaxRuns;
    std::size_t m_Runs = 0;
    std::int64_t m_Unlisted = 0;
    std::string m_Text;
};

}  // namespace

FrameRange MovieFrameRange(const std::string& movie, const std::string& framesOption, int count)
{
    if (framesOption.empty())
        return {1, count};
    const FrameRange range = ParseFrameRange(framesOption);
    if (range.First < 1 || range.Last > count)
        throw Failure(movie + ": the movie holds frames 1-" + std::to_string(count) + ", not all of " + framesOption);
    return range;
}

std::vector<int> MovieFrames(const std::string& movie, const std::string& framesOption, int count)
{
    const FrameRange range = MovieFrameRange(movie, framesOption, count);
    std::vector<int> frames;
    for (int frame = range.First; frame <= range.Last; ++frame)
        frames.push_back(frame);
    return frames;
}

std::string DescribeFrames(const std::vector<int>& frames, std::size_t maxRuns)
{
    RunList runs(maxRuns);
    for (std::size_t i = 0; i < frames.size();) {
        std::size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1)
            ++j;
        runs.Add(frames[i], frames[j]);
        i = j + 1;
    }
    return runs.Text();
}

std::string DescribeMissingFrames(FrameRange range, const std::vector<int>& present, std::size_t maxRuns)
{
    RunList runs(maxRuns);
    std::int64_t next = range.First;  // the first frame not yet accounted for
    for (int frame : present) {
        if (frame < range.First || frame > range.Last)
            continue;
        if (frame > next)
            runs.Add(next, std::int64_t{frame} - 1);
        next = std::int64_t{frame} + 1;
    }
    if (next <= range.Last)
        runs.Add(next, range.Last);
    return runs.Text();
}

std::int64_t CountMissingFrames(FrameRange range, const std::vector<int>& present)
{
    std::int64_t inside = 0;
    for (int frame : present)
        inside += (frame >= range.First && frame <= range.Last) ? 1 : 0;
    return (std::int64_t{range.Last} - range.First + 1) - inside;
}

}  // namespace qualvex
