// The commands module: everything qualvex does beyond describing itself, behind one entry point
// that the program finds with the platform loader (see command_line.h).
#include "base/errors.h"
#include "cli/command_line.h"
#include "cli/demo_command.h"
#include "cli/info_command.h"
#include "farm/farm_scheduler.h"
#include "jobs/keyer_plugin.h"
#include "media/memory_limit.h"
#include "media/settings_record.h"
#include "media/storage_kinds.h"

#include <cstdio>
#include <new>
#include <optional>

namespace {

using namespace qualvex;
using namespace qualvex::cli;

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "qualvex: %s\n", message.c_str());
    return code;
}

// What CLI11 left as text, parsed as key does.
KeyOptions Finished(const KeyCommandLine& line)
{
    KeyOptions key = line.Key;
    if (!line.DataType.empty())
        key.DataType = ParseStorage(line.DataType);
    if (line.KeyColorGivenEmpty)
        throw UsageError("--key-color \"\": expected three numbers R,G,B");
    if (!line.MemoryLimit.empty())
        key.MemoryLimit = ParseMemoryLimit(line.MemoryLimit);
    return key;
}

int Run(const CommandLine& command)
{
    std::optional<std::filesystem::path> plugin;
    if (!command.PluginPath.empty())
        plugin = command.PluginPath;
    switch (command.Command) {
    case CommandName::Key: {
        const KeyOptions key = Finished(command.Key);
        const KeyerPlugin keyer(plugin);
        const KeyResult result = RunKey(keyer, key);
        if (result.Interrupted)
            return Fail(130, "interrupted after " + std::to_string(result.FramesWritten) +
                                 " frames; every output written is complete");
        if (!key.Quiet && result.FramesSkipped > 0)
            std::fprintf(stderr, "qualvex: %d frames skipped, their outputs exist\n", result.FramesSkipped);
        return 0;
    }
    case CommandName::Info: {
        const KeyerPlugin keyer(plugin);
        const SettingsRecord record = command.InfoImage.empty() ? SettingsRecord{} : ReadSettingsRecord(command.InfoImage);
        PrintInfo(keyer, command.InfoImage, record.Json, record.Version);
        return 0;
    }
    case CommandName::Demo:
        RunDemo(KeyerPlugin(plugin), command.DemoFolder, command.DemoSets, command.DemoQuiet);
        return 0;
    case CommandName::Fit:
        RunFit(KeyerPlugin(plugin), command.Fit);
        return 0;
    case CommandName::Tune:
        RunTune(KeyerPlugin(plugin), command.Tune);
        return 0;
    case CommandName::FarmSubmit: {
        FarmSubmitOptions farm = command.Farm;
        farm.Key = Finished(command.Key);
        farm.DataTypeText = command.Key.DataType;
        farm.MemoryLimitText = command.Key.MemoryLimit;
        const auto scheduler = MakeSlurmScheduler();
        RunFarmSubmit(KeyerPlugin(plugin), farm, *scheduler);
        return 0;
    }
    case CommandName::FarmStatus: {
        const auto scheduler = MakeSlurmScheduler();
        RunFarmStatus(*scheduler, command.StatusJob);
        return 0;
    }
    case CommandName::FarmVerify: {
        const FrameCheck check = VerifyFrames(KeyerPlugin(plugin), command.Verify);
        std::printf("%s", VerifyReport(command.Verify, check).c_str());
        return check.Good() ? 0 : 1;
    }
    }
    return Fail(2, "no such command");
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int QualvexRunCommand(const CommandLine* command)
{
    try {
        return Run(*command);
    } catch (const UsageError& error) {
        return Fail(2, error.what());
    } catch (const std::bad_alloc&) {
        return Fail(1, "not enough memory for this run (--memory-limit bounds what frames may take)");
    } catch (const std::exception& error) {
        return Fail(1, error.what());
    }
}
