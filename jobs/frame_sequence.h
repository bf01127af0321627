// Image file names that stand for one file or for a numbered sequence: a run of '#' (one digit
// each, "plate.####.exr") or a printf-style "%04d" / "%d" marks where the frame number goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qualvex {

class FramePattern {
public:
    // Throws UsageError when the name holds more than one frame-number marker.
    explicit FramePattern(std::string text);

    bool IsSequence() const { return m_IsSequence; }
    const std::string& Text() const { return m_Text; }
    // The file of one frame: the number zero-padded to the marker's width. A single file is
    // the same path for every frame.
    std::filesystem::path PathFor(int frame) const;
    // The frames present on disk, in ascending order (only {0} for an existing single file).
    std::vector<int> FramesOnDisk() const;

private:
    std::string m_Text;
    bool m_IsSequence = false;
    std::string m_Prefix;
    std::string m_Suffix;
    int m_Padding = 0;
};

struct FrameRange {
    int First;
    int Last;
};

// "A-B" or "A", frame numbers 0 or more, A <= B; throws UsageError otherwise.
FrameRange ParseFrameRange(const std::string& text);

// The frames --frames picks of a movie of `count` frames, numbered from 1 (all of them when
// `framesOption` is empty); throws Failure naming `movie` when the movie does not hold them all.
FrameRange MovieFrameRange(const std::string& movie, const std::string& framesOption, int count);

// The same range as a list of frame numbers.
std::vector<int> MovieFrames(const std::string& movie, const std::string& framesOption, int count);

// "12-14, 17" for an ascending list of frames, for messages: the first `maxRuns` runs, then how
// many frames the rest holds.
std::string DescribeFrames(const std::vector<int>& frames, std::size_t maxRuns = 5);

// The frames of `range` that are not in `present` (ascending), described as DescribeFrames does,
// without listing them: a range of two billion frames costs no more than the frames present.
std::string DescribeMissingFrames(FrameRange range, const std::vector<int>& present, std::size_t maxRuns = 5);

// How many frames of `range` are not in `present` (ascending).
std::int64_t CountMissingFrames(FrameRange range, const std::vector<int>& present);

}  // namespace qualvex
