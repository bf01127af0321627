#include "farm/farm_tasks.h"

#include "base/errors.h"
#include "base/safe_text.h"
#include "jobs/frame_sequence.h"

#include <algorithm>
#include <system_error>

namespace qualvex {
namespace {

// The output pattern's name up to its frame-number marker or first dot: "keyed.####.exr" gives
// "keyed".
std::filesystem::path Beside(const std::string& outputPattern, const std::string& suffix)
{
    const std::filesystem::path output(outputPattern);
    std::string name = output.filename().string();
    name = name.substr(0, name.find_first_of(".#%"));
    if (name.empty())
        name = "frames";
    return output.parent_path() / (name + suffix);
}

}  // namespace

std::filesystem::path FrozenSettingsFile(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm.json");
}

std::filesystem::path JobDescriptionFile(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm-job.json");
}

std::filesystem::path TaskLogFolder(const std::string& outputPattern)
{
    return Beside(outputPattern, ".qualvex-farm-logs");
}

std::vector<std::pair<int, int>> ChunksOf(const std::vector<int>& frames, std::size_t chunk)
{
    std::vector<std::pair<int, int>> chunks;
    for (std::size_t i = 0; i < frames.size(); i += chunk)  // chunk >= 1
        chunks.emplace_back(frames[i], frames[std::min(frames.size(), i + chunk) - 1]);
    return chunks;
}

std::vector<int> AskedFrames(const KeyOptions& key)
{
    const FramePattern source(key.Source);
    if (!source.IsSequence())
        return {0};
    std::vector<int> frames = source.FramesOnDisk();
    if (!key.Frames.empty()) {
        const FrameRange range = ParseFrameRange(key.Frames);
        std::erase_if(frames, [&](int f) { return f < range.First || f > range.Last; });
    }
    return frames;
}

std::string SafeJobName(const std::string& outputPattern)
{
    std::string name = "qualvex-" + Beside(outputPattern, "").filename().string();
    for (char& c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.'))
            c = '_';
    return name;
}

void CheckScriptValue(const std::string& option, const std::string& value)
{
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            throw UsageError(option + " " + Quoted(value) + ": holds a control character, which cannot go into the farm's "
                                                            "job script (a newline would start a command of its own)");
        if (c == '"')
            throw UsageError(option + " " + Quoted(value) + ": holds a double quote, which the farm's job script "
                                                            "cannot hold in a path");
    }
}

std::string TaskCommand(const TaskSettings& task, const KeyOptions& key, std::pair<int, int> chunk)
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string line = ShellQuoted(program.string()) + " --plugin-path " + ShellQuoted(task.PluginFolder.string()) + " key " +
                       ShellQuoted(key.Source) + " -o " + ShellQuoted(key.Output) + " --settings " +
                       ShellQuoted(task.Frozen.string());
    if (task.Sequence)
        line += " --frames " + std::to_string(chunk.first) + "-" + std::to_string(chunk.second);
    line += key.Overwrite ? " --overwrite" : " --resume";
    line += " -q --require-version " + ShellQuoted(task.Version);
    const auto pass = [&line](const char* option, const std::string& value) {
        if (!value.empty())
            line += std::string(" ") + option + " " + ShellQuoted(value);
    };
    pass("--key-image", key.KeyImage);
    pass("--data-type", task.DataTypeText);
    pass("--compression", key.Compression);
    if (key.Premultiply || key.Alpha != "auto")
        pass("--alpha", key.Premultiply ? std::string("straight") : key.Alpha);
    pass("--garbage", key.Finish.Garbage);
    pass("--core", key.Finish.Core);
    pass("--memory-limit", task.MemoryLimitText);
    if (key.Threads != 0)
        pass("--threads", std::to_string(key.Threads));
    if (key.AllowGaps)
        line += " --allow-gaps";
    if (key.KeepKeyedColour)
        line += " --keep-keyed-colour";
    if (key.OutputColourspace != "source")
        pass("--output-colorspace", key.OutputColourspace);
    return line;
}

}  // namespace qualvex
