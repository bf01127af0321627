#include "jobs/control_settings.h"

#include "base/errors.h"
#include "base/number_text.h"
#include "base/safe_text.h"
#include "host/operator.h"
#include "host/parameter.h"
#include "media/settings_record.h"

#include <nlohmann/json.hpp>

#include <bit>
#include <charconv>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <cmath>
#include <limits>
#include <fstream>
#include <sstream>

namespace qualvex {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kColourSpaceControl = "Colorspace";
// The finishing tool's controls travel in the same file and record, under this key.
constexpr const char* kFinishSection = "finish";

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

}  // namespace

double ResolveControlValue(const Operator& op, const std::string& id, const std::string& text,
                           const std::string& origin)
{
    const LinkDescription& d = RequireControl(op, id, origin).Description();
    for (std::size_t i = 0; i < d.Entries.size(); ++i)
        if (d.Entries[i] == text)
            return static_cast<double>(i);
    double value = 0.0;
    if (ParseNumberText(text, value)) {
        if (std::isfinite(value))
            return value;
        throw UsageError(origin + ": control \"" + id + "\" = " + Quoted(text) + " is not finite; accepted: " + Accepted(d));
    }
    throw UsageError(origin + ": control \"" + id + "\" = " + Quoted(text) + " is not accepted; accepted: " + Accepted(d));
}

namespace {

// `section`: whether the object may hold the finishing tool's "finish" object (a settings file's
// top level), or is that object itself, where "finish" is no control.
std::vector<ControlValue> ParseControlsJson(const Operator& op, const std::string& json, const std::string& origin,
                                            bool section)
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
        if (section && id == kFinishSection && item.is_object())
            continue;  // the finishing tool's, read by FinishSectionJson
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

}  // namespace

std::vector<ControlValue> ParseSettingsJson(const Operator& op, const std::string& json, const std::string& origin)
{
    return ParseControlsJson(op, json, origin, true);
}

std::vector<ControlValue> ParseFinishSectionJson(const Operator& finisher, const std::string& json,
                                                 const std::string& origin)
{
    std::vector<ControlValue> values = ParseControlsJson(finisher, json, origin, false);
    // The finishing tool holds its values in single precision: a larger one would become infinite.
    for (const ControlValue& value : values)
        if (std::fabs(value.Value) > std::numeric_limits<float>::max())
        {
            char text[32];
            std::snprintf(text, sizeof text, "%g", value.Value);
            throw UsageError(origin + ": control \"" + value.ID + "\" = " + text +
                             " is beyond what the finishing tool can hold (single precision, about 3.4e38)");
        }
    return values;
}

SettingsText ReadSettingsText(const std::filesystem::path& file)
{
    const std::string name = file.string();
    std::error_code error;
    const auto status = std::filesystem::status(file, error);
    if (error || !std::filesystem::exists(status))
        throw Failure(name + ": settings file not found");
    // A pipe would wait for a writer and a device may never end: only plain files are read.
    if (!std::filesystem::is_regular_file(status))
        throw Failure(name + ": the settings file is not a plain file");
    const auto fromImage = [&]() -> SettingsText {
        const SettingsRecord embedded = ReadSettingsRecord(file);
        if (embedded.Json.empty())
            throw UsageError(name + ": neither a JSON settings file nor an image with settings embedded by qualvex");
        return {name, embedded.Json, true};
    };
    // JSON settings hold a few dozen values: a file this large can only be an image with a record.
    // It is never read whole as text, and opened as an image only when its first bytes say it is
    // one (guessing the format of megabytes of anything else takes the image library minutes).
    constexpr std::uintmax_t kLargestJsonSettings = 4u << 20;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (!error && size > kLargestJsonSettings) {
        if (!StartsLikeAnImage(file))
            throw UsageError(name + ": neither a JSON settings file nor an image with settings embedded by qualvex (" +
                             std::to_string(size >> 20) + " MiB, and its first bytes name no image format)");
        return fromImage();
    }
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
        return {name, std::move(text), false};
    in.close();
    return fromImage();
}

SettingsFile ParseSettingsText(const Operator& op, const SettingsText& text)
{
    if (text.FromImage)
        return {ParseSettingsJson(op, text.Json, text.Name), true, FinishSectionJson(text.Json)};
    std::vector<ControlValue> values = ParseSettingsJson(op, text.Json, text.Name);
    // A file naming every control is a record (as qualvex tune saves one): restored exactly,
    // like the record embedded in an image. Applied as typed, a Value slider nudged away from
    // the key colour's round trip would be rewritten from the key colour.
    std::size_t controls = 0;
    for (const auto& input : op.Inputs())
        controls += IsNumberControl(*input) ? 1 : 0;
    const bool record = values.size() == controls;
    return {std::move(values), record, FinishSectionJson(text.Json)};
}

SettingsFile ReadSettingsFile(const Operator& op, const std::filesystem::path& file)
{
    return ParseSettingsText(op, ReadSettingsText(file));
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
        if (!ParseNumberText(part, value) || !std::isfinite(value))
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

namespace {

constexpr const char* kKeyColourControls[3] = {"CRed", "CGreen", "CBlue"};

bool IsOneOf(const std::string& id, const char* const (&ids)[3])
{
    return id == ids[0] || id == ids[1] || id == ids[2];
}

// Sets the key colour so that the tool writes the Value sliders from it in the colour space in
// force, even when the colour is already the one held: the tool only hears of a change.
void SetKeyColour(Operator& op, const std::optional<double> (&colour)[3])
{
    bool changes = false;
    for (int c = 0; c < 3; ++c)
        if (colour[c] && std::bit_cast<std::uint64_t>(op.FindInput(kKeyColourControls[c])->NumberValue()) !=
                             std::bit_cast<std::uint64_t>(*colour[c]))
            changes = true;
    if (!changes) {
        for (int c = 0; c < 3; ++c)
            if (colour[c]) {
                // A different value first, then the held one: the second report rewrites the sliders.
                ApplyControlValues(op, {{kKeyColourControls[c], *colour[c] + 1.0}});
                break;
            }
    }
    for (int c = 0; c < 3; ++c)
        if (colour[c])
            ApplyControlValues(op, {{kKeyColourControls[c], *colour[c]}});
}

}  // namespace

void RunSettings::ApplyTo(Operator& op) const
{
    // What the run sets, in the order given: the settings file, then what was typed.
    std::vector<ControlValue> given = File.Embedded ? std::vector<ControlValue>{} : File.Values;
    const std::size_t typedFrom = given.size();
    given.insert(given.end(), Typed.begin(), Typed.end());

    std::optional<double> colourSpace;
    std::optional<double> keyColour[3];
    for (const ControlValue& value : given) {
        if (value.ID == kColourSpaceControl)
            colourSpace = value.Value;
        for (int c = 0; c < 3; ++c)
            if (value.ID == kKeyColourControls[c])
                keyColour[c] = value.Value;
    }
    if (File.Embedded) {
        RestoreControlValues(op, File.Values);
        // A record's key colour is a key colour from the settings file like any other: when the
        // run changes the colour space, the sliders follow it into the new space.
        const double recorded = op.FindInput(kColourSpaceControl)->NumberValue();
        if (colourSpace && std::bit_cast<std::uint64_t>(*colourSpace) != std::bit_cast<std::uint64_t>(recorded))
            for (int c = 0; c < 3; ++c)
                if (!keyColour[c])
                    keyColour[c] = op.FindInput(kKeyColourControls[c])->NumberValue();
    }

    // The colour space the run ends with comes first, so that the key colour is expressed in it;
    // then everything else in order; then the key colour, which writes the Value sliders; then
    // the Value sliders typed with --set, which win over the key colour.
    if (colourSpace)
        ApplyControlValues(op, {{kColourSpaceControl, *colourSpace}});
    std::vector<ControlValue> typedSliders;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const ControlValue& value = given[i];
        if (value.ID == kColourSpaceControl || IsOneOf(value.ID, kKeyColourControls))
            continue;
        if (i >= typedFrom && IsOneOf(value.ID, kValueSliderIDs)) {
            typedSliders.push_back(value);
            continue;
        }
        ApplyControlValues(op, {value});
    }
    SetKeyColour(op, keyColour);
    ApplyControlValues(op, typedSliders);
}

std::vector<std::string> RunSettings::RangeWarnings(const Operator& op) const
{
    std::vector<ControlValue> given = File.Embedded ? std::vector<ControlValue>{} : File.Values;
    given.insert(given.end(), Typed.begin(), Typed.end());
    return qualvex::RangeWarnings(op, given);
}

std::vector<std::string> RangeWarnings(const Operator& op, const std::vector<ControlValue>& given)
{
    std::vector<std::string> warnings;
    for (const ControlValue& value : given) {
        const Input* input = op.FindInput(value.ID);
        if (input == nullptr)
            continue;
        const LinkDescription& d = input->Description();
        char text[320];
        if (!d.Entries.empty()) {
            // A list's declared range can reach past its last entry (Color Space's goes to 5 over
            // five entries): what matters is whether the value names an entry.
            const double last = static_cast<double>(d.Entries.size() - 1);
            if (value.Value >= 0.0 && value.Value <= last && value.Value == std::floor(value.Value))
                continue;
            std::string names;
            for (std::size_t e = 0; e < d.Entries.size(); ++e)
                names += (e ? ", " : "") + std::to_string(e) + " " + d.Entries[e];
            std::snprintf(text, sizeof text, "control \"%s\" = %.9g names no entry of its list (%s); applied as given",
                          value.ID.c_str(), value.Value, names.c_str());
            warnings.emplace_back(text);
            continue;
        }
        if (!d.Min || !d.Max || (value.Value >= *d.Min && value.Value <= *d.Max))
            continue;
        std::snprintf(text, sizeof text, "control \"%s\" = %.9g is outside its range %.9g .. %.9g; applied as given",
                      value.ID.c_str(), value.Value, *d.Min, *d.Max);
        warnings.emplace_back(text);
    }
    return warnings;
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

std::string FinishSectionJson(const std::string& json)
{
    if (JsonNestingDepth(json) > kMaxJsonDepth)
        return "";
    const Json document = Json::parse(json, nullptr, false);
    if (!document.is_object() || !document.contains(kFinishSection) || !document[kFinishSection].is_object())
        return "";
    return document[kFinishSection].dump();
}

std::string SettingsRecordJson(const Operator& keyer, const Operator* finisher)
{
    if (finisher == nullptr)
        return ControlValuesJson(keyer);
    Json document = Json::parse(ControlValuesJson(keyer));
    document[kFinishSection] = Json::parse(ControlValuesJson(*finisher));
    return document.dump();
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

}  // namespace qualvex
