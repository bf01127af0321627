#include "cli/control_settings.h"

#include "cli/cli_errors.h"
#include "cli/safe_text.h"
#include "cli/settings_record.h"
#include "host/operator.h"
#include "host/parameter.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace qualvex::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kColourSpaceControl = "Colorspace";

bool IsNumberControl(const Input& input)
{
    return input.Value() != nullptr && input.Value()->Kind() == ParameterKind::Number;
}

const Input* FindNumberControl(const Operator& op, const std::string& id)
{
    const Input* input = op.FindInput(id);
    return input != nullptr && IsNumberControl(*input) ? input : nullptr;
}

std::string KnownControls(const Operator& op)
{
    std::string list;
    for (const auto& input : op.Inputs())
        if (IsNumberControl(*input))
            list += (list.empty() ? "" : ", ") + input->ID();
    return list;
}

std::string Accepted(const LinkDescription& d)
{
    std::string text = "a finite number";
    if (!d.Entries.empty()) {
        text += " or one of the labels";
        for (const std::string& entry : d.Entries)
            text += " \"" + entry + "\"";
    }
    return text;
}

const Input& RequireControl(const Operator& op, const std::string& id, const std::string& origin)
{
    const Input* input = FindNumberControl(op, id);
    if (input == nullptr)
        throw UsageError(origin + ": unknown control " + Quoted(id) + " (controls: " + KnownControls(op) + ")");
    return *input;
}

bool ParseNumber(const std::string& text, double& value)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    const auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end && begin != end;
}

}  // namespace

double ResolveControlValue(const Operator& op, const std::string& id, const std::string& text,
                           const std::string& origin)
{
    const LinkDescription& d = RequireControl(op, id, origin).Description();
    for (std::size_t i = 0; i < d.Entries.size(); ++i)
        if (d.Entries[i] == text)
            return static_cast<double>(i);
    double value = 0.0;
    if (ParseNumber(text, value)) {
        if (std::isfinite(value))
            return value;
        throw UsageError(origin + ": control \"" + id + "\" = " + Quoted(text) + " is not finite; accepted: " + Accepted(d));
    }
    throw UsageError(origin + ": control \"" + id + "\" = " + Quoted(text) + " is not accepted; accepted: " + Accepted(d));
}

std::vector<ControlValue> ParseSettingsJson(const Operator& op, const std::string& json, const std::string& origin)
{
    // The parser and the printer recurse: nesting is bounded before either sees the text.
    if (JsonNestingDepth(json) > kMaxJsonDepth)
        throw UsageError(origin + ": nested more than " + std::to_string(kMaxJsonDepth) +
                         " levels deep; a settings file holds one flat object from control ID to value");
    Json document;
    try {
        document = Json::parse(json);
    } catch (const Json::exception& error) {
        throw UsageError(origin + ": not a valid settings file (" + Printable(error.what(), 200) + ")");
    }
    if (!document.is_object())
        throw UsageError(origin + ": a settings file holds one JSON object from control ID to value");

    std::vector<std::pair<const Input*, double>> found;
    for (const auto& [id, item] : document.items()) {
        const Input& input = RequireControl(op, id, origin);
        double value = 0.0;
        if (item.is_number()) {
            value = item.get<double>();
            if (!std::isfinite(value))
                throw UsageError(origin + ": control \"" + id + "\" is not finite; accepted: " +
                                 Accepted(input.Description()));
        } else if (item.is_string()) {
            value = ResolveControlValue(op, id, item.get<std::string>(), origin);
        } else {
            throw UsageError(origin + ": control \"" + id + "\" = " + Printable(item.dump(), 80) + " is not accepted; accepted: " +
                             Accepted(input.Description()));
        }
        found.emplace_back(&input, value);
    }
    // The control page's order, so that the colour space is in force before the key colour and
    // the sliders that depend on it.
    std::vector<ControlValue> ordered;
    for (const auto& input : op.Inputs())
        for (const auto& [which, value] : found)
            if (which == input.get())
                ordered.push_back({input->ID(), value});
    return ordered;
}

SettingsFile ReadSettingsFile(const Operator& op, const std::filesystem::path& file)
{
    const std::string name = file.string();
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status))
        throw Failure(name + ": settings file not found");
    // A pipe would wait for a writer and a device may never end: only plain files are read.
    if (!std::filesystem::is_regular_file(status))
        throw Failure(name + ": the settings file is not a plain file");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw Failure(name + ": cannot open the settings file");
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    // A byte-order mark is how some editors begin UTF-8 text; it is not part of the JSON.
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        text.erase(0, 3);
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        throw UsageError(name + ": the settings file is empty; it should hold a JSON object such as "
                                "{\"FadeRed\": 0.5}");
    if (text[first] == '{')
        return {ParseSettingsJson(op, text, name), false};
    in.close();
    const SettingsRecord embedded = ReadSettingsRecord(file);
    if (embedded.Json.empty())
        throw UsageError(name + ": neither a JSON settings file nor an image with settings embedded by qualvex");
    return {ParseSettingsJson(op, embedded.Json, name), true};
}

ControlValue ParseSetOption(const Operator& op, const std::string& option)
{
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageError("--set \"" + option + "\": expected ID=VALUE");
    const std::string id = option.substr(0, equals);
    return {id, ResolveControlValue(op, id, option.substr(equals + 1), "--set")};
}

std::vector<ControlValue> ParseKeyColor(const std::string& text)
{
    std::vector<ControlValue> values;
    const char* ids[] = {"CRed", "CGreen", "CBlue"};
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t comma = text.find(',', start);
        if ((i < 2) != (comma != std::string::npos))
            throw UsageError("--key-color \"" + text + "\": expected three numbers R,G,B");
        const std::string part = text.substr(start, i < 2 ? comma - start : std::string::npos);
        double value = 0.0;
        if (!ParseNumber(part, value) || !std::isfinite(value))
            throw UsageError("--key-color \"" + text + "\": \"" + part + "\" is not a finite number");
        values.push_back({ids[i], value});
        start = comma + 1;
    }
    return values;
}

void ApplyControlValues(Operator& op, const std::vector<ControlValue>& values)
{
    for (const ControlValue& value : values) {
        Input* input = op.FindInput(value.ID);
        if (input == nullptr)
            throw UsageError("unknown control \"" + value.ID + "\"");
        AutoNumber number(value.Value);
        input->SetValueAt(number, 0.0);
    }
}

void RestoreControlValues(Operator& op, const std::vector<ControlValue>& record)
{
    // The combo's range reaches 5, one past its last entry: an index that selects no space.
    constexpr double kNoColourSpace = 5.0;
    const ControlValue* colourSpace = nullptr;
    std::vector<ControlValue> others;
    for (const ControlValue& value : record) {
        if (value.ID == kColourSpaceControl)
            colourSpace = &value;
        else
            others.push_back(value);
    }
    ApplyControlValues(op, {{kColourSpaceControl, kNoColourSpace}});
    ApplyControlValues(op, others);
    if (colourSpace != nullptr)
        ApplyControlValues(op, {*colourSpace});
}

void RunSettings::ApplyTo(Operator& op) const
{
    if (File.Embedded)
        RestoreControlValues(op, File.Values);
    else
        ApplyControlValues(op, File.Values);
    ApplyControlValues(op, Typed);
}

RunSettings CollectRunSettings(const Operator& op, const std::string& settingsFile, const std::string& keyColor,
                               const std::vector<std::string>& sets)
{
    RunSettings settings;
    if (!settingsFile.empty())
        settings.File = ReadSettingsFile(op, settingsFile);
    if (!keyColor.empty())
        settings.Typed = ParseKeyColor(keyColor);
    for (const std::string& set : sets)
        settings.Typed.push_back(ParseSetOption(op, set));
    return settings;
}

std::string ControlValuesJson(const Operator& op)
{
    Json document = Json::object();
    for (const auto& input : op.Inputs()) {
        if (!IsNumberControl(*input))
            continue;
        const double value = input->NumberValue();
        // JSON has no non-finite numbers; such a value is written as text so nothing is lost.
        if (std::isfinite(value))
            document[input->ID()] = value;
        else
            document[input->ID()] = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
    }
    return document.dump();
}

}  // namespace qualvex::cli
