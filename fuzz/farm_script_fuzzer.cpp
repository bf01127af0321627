// The farm's job script: every value a user gives that ends up in it (the source and output
// patterns, the settings file, the queue, the description the job carries). The input is those
// values separated by NUL bytes. A value is refused (a usage error) or, once accepted, the script
// must keep the shape it was written with: exactly its own lines, each #SBATCH value quoted whole,
// and each task's command split by the shell into exactly the words it was made of.
#include "fuzz_check.h"

#include "base/errors.h"
#include "farm/farm_scheduler.h"
#include "farm/farm_tasks.h"
#include "jobs/key_options.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using qualvex::fuzz::Require;

std::vector<std::string> Values(const std::uint8_t* data, std::size_t size, std::size_t count)
{
    std::vector<std::string> values(count);
    std::size_t which = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (++which == count)
                break;
            continue;
        }
        values[which] += static_cast<char>(data[i]);
    }
    return values;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    Require(start == text.size(), "the script ends with a newline");
    return lines;
}

// The words of a command line as a POSIX shell reads them, for the quoting the task commands use:
// plain characters, backslash escapes and single-quoted stretches. Anything else means the command was not quoted
// the way it promises.
std::vector<std::string> ShellWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            Require(close != std::string::npos, "every single quote in a task's command is closed");
            word += line.substr(i + 1, close - i - 1);
            i = close;
            inWord = true;
        } else if (c == '\\') {
            Require(i + 1 < line.size(), "a backslash in a task's command escapes a character");
            word += line[++i];
            inWord = true;
        } else {
            const bool plain = std::isalnum(static_cast<unsigned char>(c)) || std::string("-_./:=,@%+").find(c) != std::string::npos;
            Require(plain, "a task's command holds no unquoted shell character");
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> v = Values(data, size, 5);
    qualvex::KeyOptions key;
    key.Source = v[0];
    key.Output = v[1];
    key.SettingsFile = v[2];
    const std::string& queue = v[3];
    const std::string& description = v[4];
    try {
        qualvex::CheckScriptValue("source", key.Source);
        qualvex::CheckScriptValue("-o", key.Output);
        qualvex::CheckScriptValue("--settings", key.SettingsFile);
        qualvex::CheckScriptValue("--queue", queue);
        qualvex::CheckScriptValue("description", description);
    } catch (const qualvex::UsageError&) {
        return 0;
    }
    if (key.Output.empty())
        return 0;

    qualvex::TaskSettings task;
    task.PluginFolder = "/opt/qualvex/plugins";
    task.Frozen = qualvex::FrozenSettingsFile(key.Output);
    task.Version = "qualvex 1.0.0";
    const std::string command = qualvex::TaskCommand(task, key, {1, 10});

    qualvex::ArrayJobRequest job;
    job.Name = qualvex::SafeJobName(key.Output);
    job.Commands = {command};
    job.Tasks = {0};
    job.LogFolder = qualvex::TaskLogFolder(key.Output);
    job.Description = description;
    job.Queue = queue;
    const std::string script = qualvex::MakeSlurmScheduler()->Script(job);

    const std::vector<std::string> lines = Lines(script);
    const std::size_t expected = queue.empty() ? 11 : 12;
    Require(lines.size() == expected, "the script has exactly its own lines");
    Require(lines[0] == "#!/bin/bash", "the script starts with its interpreter");
    for (std::size_t i = 1; i + 1 < lines.size() && lines[i].rfind("#SBATCH ", 0) == 0; ++i) {
        const std::string& line = lines[i];
        const std::size_t equals = line.find('=');
        Require(equals != std::string::npos, "an #SBATCH line sets a value");
        const std::string value = line.substr(equals + 1);
        if (!value.empty() && value.front() == '"')
            Require(value.size() >= 2 && value.back() == '"' && value.find('"', 1) == value.size() - 1,
                    "a quoted #SBATCH value is quoted whole");
        else
            Require(value.find_first_of(" \t\"'\\") == std::string::npos, "an unquoted #SBATCH value is one word");
    }
    const std::string& caseLine = lines[lines.size() - 3];
    const std::string prefix = "  0) exec ";
    const std::string suffix = " ;;";
    Require(caseLine.rfind(prefix, 0) == 0 && caseLine.size() >= prefix.size() + suffix.size() &&
                caseLine.compare(caseLine.size() - suffix.size(), suffix.size(), suffix) == 0,
            "the task's case line holds its command");
    const std::vector<std::string> words =
        ShellWords(caseLine.substr(prefix.size(), caseLine.size() - prefix.size() - suffix.size()));
    const std::vector<std::string> wanted = ShellWords(command);
    Require(words == wanted, "the script runs the task's command word for word");
    bool source = false, output = false;
    for (const std::string& word : words) {
        source = source || word == key.Source;
        output = output || word == key.Output;
    }
    Require(source && output, "the source and the output each reach the command as one word");
    return 0;
}
