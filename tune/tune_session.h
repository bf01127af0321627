// What qualvex tune works on: one instance of the tool loaded through the host, the frames of a
// source (and key image), and what the page asks of them. Every edit goes through the host's
// set-value path, so the tool's change handling runs and the page shows what the tool holds; every
// view is rendered by the tool itself. One request at a time: the server serialises calls.
#pragma once

#include "jobs/control_settings.h"
#include "jobs/fit_samples.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qualvex {

class KeyerPlugin;

struct TuneSource {
    std::string Source;      // file, sequence pattern or movie (frames numbered from 1)
    std::string KeyImage;    // file or sequence pattern; empty for none
    std::string Frames;      // "A-B", "A", or empty for every frame on disk
    std::string Background;  // image shown behind the result; empty for none
    std::string Settings;    // settings file or keyed image to start from; empty for the defaults
};

// source: the plate as stored; matte: the tool's alpha as grey; checker and background: the
// tool's result over a checkerboard or the background image ("over", its colour read as qualvex
// key reads it: associated with colour correction on, straight otherwise);
// rejection: which components fall outside their window, p1 red, p2 green, p3 blue.
enum class TuneView { Source, Matte, Checker, Background, Rejection };

// "source", "matte", "checker", "background", "rejection"; nullopt for anything else.
std::optional<TuneView> TuneViewNamed(const std::string& name);

struct MatteShares {
    double Zero = 0.0;     // share of pixels with alpha 0 exactly
    double One = 0.0;      // alpha 1 exactly
    double Between = 0.0;  // everything else
    std::size_t Pixels = 0;
};

// The proxy steps a view may take: every `step`-th pixel of every `step`-th row, so a proxy
// pixel's matte is the full-resolution matte of that pixel.
inline constexpr int kMaxProxyStep = 16;

class TuneSession {
public:
    // Loads the first frame and applies the starting settings. Throws UsageError or Failure, naming
    // the file, as qualvex key does.
    TuneSession(const KeyerPlugin& plugin, TuneSource source);
    ~TuneSession();
    TuneSession(const TuneSession&) = delete;
    TuneSession& operator=(const TuneSession&) = delete;

    // {"source", "keyImage", "frames": [..], "width", "height", "background": bool, "views": [..]}
    std::string DescriptionJson();
    // The control page: [{"id", "name", "kind", "page", "min", "max", "default", "entries",
    // "visible", "value"}, ...] in the tool's order, read from the instance each time.
    std::string ControlsJson() const;

    // Sets each value, in the order given, through the host; a value is a number or a combo's entry
    // label. All are checked before any is set (UsageError naming the control).
    void SetControls(const std::vector<std::pair<std::string, std::string>>& values);

    // The finishing tool's controls, and edits of them, as for the keyer's. Once any of its
    // controls leaves its default, every view but the rejection view (the keyer's windows) shows
    // the keyer's result finished by it, the frame finished whole at full size as qualvex key
    // finishes it, and Save writes its values under "finish".
    std::string FinishControlsJson() const;
    void SetFinishControls(const std::vector<std::pair<std::string, std::string>>& values);

    // A view of `frame` (one of the source's frames; UsageError otherwise) at 1 / `step` of its size
    // (1 .. kMaxProxyStep), as an 8-bit PNG: values as stored, clamped to 0..1, no transfer curve.
    std::string RenderViewPng(TuneView view, int frame, int step);
    MatteShares Statistics(int frame, int step);
    // The tool's result for `frame` at full size, as the host holds it: R, G, B, A per pixel, rows
    // from the top, 32-bit floats in this machine's byte order. For scripts and tests that compare
    // it with what qualvex key writes.
    std::string ResultFloats(int frame);

    // The key colour from the median of `region` (pixels of the frame as the views show them, origin
    // top-left), set through the host like a typed key colour; in HSV the tool fills the Value
    // sliders with its HSV components.
    void Pick(int frame, const Region& region);
    // Fits the settings to screen and subject regions of `frame` and applies them; returns the
    // report qualvex fit prints. The pixels of `edges`, and with `autoEdges` those next to the
    // screen, are scored against their unmixed alpha too, as qualvex fit --edge does.
    std::string Fit(int frame, const std::vector<Region>& screens, const std::vector<Region>& subjects,
                    const std::vector<Region>& edges = {}, bool autoEdges = false);

    // Writes every control as a settings file that qualvex key --settings restores exactly (checked
    // by loading it into a new instance), the finishing tool's too when it is in use. Never replaces a file unless `overwrite`.
    void Save(const std::filesystem::path& file, bool overwrite);
    // A settings file or a keyed image, restored as qualvex key --settings restores it: the
    // finishing tool takes the file's "finish" object, or its defaults where the file has none.
    void Load(const std::filesystem::path& file);
    // The same with a file's text already read (ReadSettingsText), as the server reads it before
    // it takes the session.
    void Load(const SettingsText& text);
    // The qualvex key command line that keys the source with settings saved in `settings`.
    std::string KeyCommandLine(const std::filesystem::path& settings) const;

private:
    struct State;
    std::unique_ptr<State> m;
};

}  // namespace qualvex
