// Fitting: keyer settings from sample colours instead of trial and error. Screen samples should
// come out keyed (alpha 0), subject samples kept (alpha 1), and what lies between them as soft a
// transition as the samples allow.
//
// Candidates are proposed from statistics of the samples in each colour space, but every one is
// judged by rendering colours through the tool itself (the render callback): the fit never
// computes an alpha of its own, so what it reports is what the tool does.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qualvex::fit {

// One sample colour as the source image holds it: straight RGB, no transfer curve.
struct Rgb {
    float R = 0.0f;
    float G = 0.0f;
    float B = 0.0f;
};

struct Samples {
    std::vector<Rgb> Screen;   // should come out keyed
    std::vector<Rgb> Subject;  // should come out kept; may be empty
    // Pixels of the edges that matter (hair, a veil, motion blur): each should come out at the
    // alpha that unmixing it between the screen and the subject gives. May be empty.
    std::vector<Rgb> Edge{};
};

// The median of the colours channel by channel (of two middles, the upper); 0s without colours.
Rgb MedianColour(const std::vector<Rgb>& colours);

// What unmixing an edge colour gives: how far along the line from the screen to a subject colour
// it lies, on the line that passes nearest it.
struct Unmixed {
    float Alpha = 0.0f;
    float Residual = 0.0f;  // its distance from that line (the largest channel's)
};

// The target alpha of `colour` between the screen `screen` (its median) and the subject's
// `palette`: for each palette colour F, the colour's place along the line from the screen to F
// (0 at the screen, 1 at F, clamped to 0..1); the palette colour whose line passes nearest wins.
// Nullopt without a palette colour apart from the screen.
std::optional<Unmixed> Unmix(const Rgb& colour, const Rgb& screen, const std::vector<Rgb>& palette);

// One control of the tool, by its ID, with the number it is set to.
struct ControlValue {
    std::string ID;
    double Value = 0.0;
};

// What one render of sample colours gives back.
struct Rendered {
    std::vector<float> Alpha;             // one per colour, in order
    double ValueSliders[3] = {0, 0, 0};  // Value p1..p3 as the tool holds them once the controls are set
    // Each control given, as the tool holds it once all are set: its change handling may move the
    // key colour a little (a colour space's round trip is not exact).
    std::vector<double> Held;
};

// Sets the controls on a tool instance that starts from its defaults, through the host's
// set-value path, and renders the colours. tool_render.h makes one from a loaded tool; tests may
// pass their own.
using RenderFunction = std::function<Rendered(const std::vector<ControlValue>&, const std::vector<Rgb>&)>;

// The colour spaces of the tool's "Color Space" combo, by entry number.
inline constexpr int kSpaceCount = 5;
const char* SpaceName(int space);
// The entry number of a name as the combo spells it ("RGB", "HSV", "YXy", "YUV", "YCbCr"),
// compared without regard to case; nullopt for anything else.
std::optional<int> SpaceNamed(const std::string& name);

// How the samples' values encode light. Edge samples are unmixed in linear light, where light
// from the screen and from the subject adds up; the keyer itself sees the values as given.
enum class Encoding { Linear, Srgb, Rec709 };

struct FitOptions {
    std::optional<int> Space;       // none: try every space and keep the best separated
    std::size_t MaxSamples = 3000;  // per kind; more are thinned evenly
    Encoding Values = Encoding::Linear;
};

// The linear light a value encodes (values outside 0..1 follow the curve's formula; below 0 they
// are kept as they are).
float Decoded(float value, Encoding encoding);

// How well the best settings found in one colour space do on the samples.
struct SpaceOutcome {
    int Space = 0;
    // 1 - the penalty of the best settings in this space: how cleanly they part screen from
    // subject and order the blends between them. --space auto takes the space where it is
    // highest.
    double Separation = 0.0;
    // The penalty, which the fit minimises: the screen's mean alpha plus the subject's mean
    // (1 - alpha), each without its worst 0.5%, plus 0.1 x the mean error over screen-subject
    // blends and 0.4 x the mean error over blends of the screen with colours from the whole cube;
    // with edge samples, plus the mean error over them against their unmixed alpha.
    double Penalty = 0.0;
    // The share of samples rendered within 0.1 of their target (screen 0, subject 1, blends their
    // blend level), averaged over the kinds of samples scored.
    double WithinTolerance = 0.0;
    // Whether the screen's farthest samples lie nearer the key than the subject's nearest, as
    // the tool measures distance (always true without subject samples).
    bool Apart = false;
};

// The controls the fit chooses, in the order they are set.
struct FittedControls {
    int Space = 0;
    double KeyColor[3] = {0, 0, 0};  // CRed, CGreen, CBlue
    double Min[3] = {0, 0, 0};
    double Max[3] = {0, 0, 0};
    double Fade = 0.0;
    double Gamma = 1.0;
    double Offset = 0.0;
    double Mult = 1.0;
    bool Invert = true;

    std::vector<ControlValue> List() const;
};

struct FitResult {
    FittedControls Controls;
    // The controls and the Value sliders as the tool held them when these settings were scored.
    std::vector<ControlValue> Held;
    double ValueSliders[3] = {0, 0, 0};
    double ScreenKeyed = 0.0;   // share of screen samples at alpha 0 exactly
    double SubjectKept = 0.0;   // share of subject samples at alpha 1 exactly (1 without any)
    double BlendError = 0.0;    // mean |alpha - blend level| over screen-subject blends (0 without)
    // Mean |alpha - unmixed alpha| over the edge samples kept (those within reach of a line
    // between the screen and a subject colour); 0 without.
    double TransitionError = 0.0;
    std::size_t EdgeSamples = 0;      // edge samples given, after thinning
    std::size_t TransitionSamples = 0;  // of those, the ones scored
    Encoding Values = Encoding::Linear;  // how the samples were decoded for unmixing
    std::size_t ScreenSamples = 0;   // as used, after thinning
    std::size_t SubjectSamples = 0;
    std::vector<SpaceOutcome> Spaces;  // every space tried, in combo order
    std::string Reason;                // why this space
    std::size_t Renders = 0;           // renders through the tool
};

// Throws std::invalid_argument without screen samples, or for a space outside 0..4; whatever the
// render callback throws passes through.
FitResult FitSettings(const Samples& samples, const RenderFunction& render, const FitOptions& options = {});

}  // namespace qualvex::fit
