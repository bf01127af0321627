// Control values for a keying run: read from a settings file (JSON, or the settings embedded in
// an image that qualvex wrote), from --key-color and from --set, and applied to an instance
// through the host's set-value path, exactly as if a user typed them, so the tool's change
// handling runs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class Operator;

namespace qualvex {

// The keyer's three Value sliders, p1 to p3, by their IDs.
inline constexpr const char* kValueSliderIDs[3] = {"ValueRed", "ValueGreen", "ValueBlue"};

struct ControlValue {
    std::string ID;
    double Value;
};

// Parses a number or, for a combo or multibutton, one of its entry labels, for the control `id`
// of `op`. `origin` names where the value came from, for the message of the UsageError thrown
// for an unknown control, a value that is neither, or a number that is not finite.
double ResolveControlValue(const Operator& op, const std::string& id, const std::string& text,
                           const std::string& origin);

// A JSON object from control ID to number or entry label, in the order of the control page.
std::vector<ControlValue> ParseSettingsJson(const Operator& op, const std::string& json, const std::string& origin);

// A settings file's "finish" object, for the finishing tool: the same, except that it holds no
// "finish" object of its own (an unknown control, named) and no number beyond single precision.
std::vector<ControlValue> ParseFinishSectionJson(const Operator& finisher, const std::string& json,
                                                 const std::string& origin);

// A warning for each of `given` outside its control's range (applied as given all the same).
std::vector<std::string> RangeWarnings(const Operator& op, const std::vector<ControlValue>& given);

struct SettingsFile {
    std::vector<ControlValue> Values;  // in control-page order
    bool Embedded = false;             // a record of every control: from an image, or a file naming them all
    std::string FinishJson;            // the finishing tool's values ("finish" object), or empty
};

// A settings file's text, read without the tool: its JSON, or the record embedded in an image.
// A large or slow file costs only the caller, which need not hold the tool meanwhile. Errors name
// the file.
struct SettingsText {
    std::string Name;  // the file, for messages
    std::string Json;
    bool FromImage = false;
};
SettingsText ReadSettingsText(const std::filesystem::path& file);

// The values of a settings file's text, for `op`. Errors name the file.
SettingsFile ParseSettingsText(const Operator& op, const SettingsText& text);

// A settings file: JSON, or an image carrying embedded settings. Errors name the file.
SettingsFile ReadSettingsFile(const Operator& op, const std::filesystem::path& file);

// "ID=VALUE" of --set.
ControlValue ParseSetOption(const Operator& op, const std::string& option);

// "R,G,B" of --key-color, as the three key colour controls.
std::vector<ControlValue> ParseKeyColor(const std::string& text);

// Sets each value through the host, in the order given.
void ApplyControlValues(Operator& op, const std::vector<ControlValue>& values);

// Brings every control to exactly the recorded value, still through the host's set-value path.
// Applied as typed, a record made in a colour space whose round trip is not exact would come out
// different: each key colour component rewrites the value sliders and each value slider moves
// the key colour. So the colour space is first set to a value that selects none, under which
// the tool rewrites nothing, then every other control, and the recorded colour space last.
void RestoreControlValues(Operator& op, const std::vector<ControlValue>& record);

// What a keying run sets: the settings file (restored exactly when it is a record embedded in an
// image), then --key-color, then each --set, later values winning over earlier ones. The command
// line means what the user means: the colour space the run ends with is set first, the key colour
// (from the file, --key-color or --set CRed=...) after it, so the Value sliders hold the key
// colour in that space; Value sliders typed with --set are set last and win over the key colour.
struct RunSettings {
    SettingsFile File;
    std::vector<ControlValue> Typed;  // --key-color, then each --set

    void ApplyTo(Operator& op) const;

    // A warning for each value given outside its control's range on the control page: such a
    // value is applied (scripts may mean it), but a typing slip should not pass unseen.
    std::vector<std::string> RangeWarnings(const Operator& op) const;
};

// Reads and checks everything a run will set against `op`'s control page; nothing is applied.
// An empty `settingsFile` or `keyColor` stands for none.
RunSettings CollectRunSettings(const Operator& op, const std::string& settingsFile, const std::string& keyColor,
                               const std::vector<std::string>& sets);

// The "finish" object of a settings file or record (the finishing tool's controls), as JSON;
// empty when there is none.
std::string FinishSectionJson(const std::string& json);

// The settings record of a run: every control of the keyer and, when the run finishes the key,
// the finishing tool's under "finish".
std::string SettingsRecordJson(const Operator& keyer, const Operator* finisher);

// Every number control of `op` with the value it holds, as a JSON object in control-page order;
// numbers are written so that they read back to the same bits.
std::string ControlValuesJson(const Operator& op);

}  // namespace qualvex
