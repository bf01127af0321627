// How a fit goes, in each colour space tried:
//  1. The screen samples, converted with the tool's own conversions, give the key (their median,
//     component by component) and the extent of the windows (their 2nd to 98th percentiles),
//     taken at a few scales; one component's window reaches the top of its slider.
//  2. A probe render with a tiny Fade reads back the tool's distance of every sample.
//  3. The transition starts just past the screen's farthest samples and ends just before the
//     subject's nearest (without subject samples, at twice the screen's reach); Fade, Gamma,
//     Offset and Mult follow from that for each of a range of shapes, Invert on.
//  4. Each candidate is rendered with the samples and their blends and scored by the penalty.
// The space whose best candidate has the lowest penalty, the widest separation, is the fit.
#include "fit/fit_settings.h"

#include "color/conversions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace qualvex::fit {
namespace {

// How the fit reads the samples. Percentiles rather than extremes, so that a few stray pixels in
// a region (a tracking marker, a hot pixel) move nothing.
constexpr double kScreenReach = 0.995;   // the screen's farthest samples, as the tool measures distance
constexpr double kSubjectReach = 0.005;  // the subject's nearest samples
constexpr double kTrimmedShare = 0.995;  // the share of each kind the penalty counts: the worst 0.5% are outliers
// Light varies across a plate more than within a sampled region: the screen is scored 10% darker
// and 10% brighter too, so that its unsampled corners are keyed as well.
constexpr float kLightMargin = 0.1f;
// Safety margins on the distances where the transition starts and ends.
constexpr double kScreenMargin = 1.05;
constexpr double kSubjectMargin = 0.95;
constexpr double kScreenAloneMargin = 1.15;
// Without subject samples the transition ends at twice the screen's reach: what lies that far
// from the key is kept whole.
constexpr double kAloneReach = 2.0;
// When the subject lies no farther than the screen, the transition is made this narrow.
constexpr double kOverlapReach = 1.1;

// Windows: around the screen's median, reaching this share of the way to its 2nd and 98th
// percentiles (0: a point, widened to a sliver so that no colour sits on a window's corner, where
// the tool's distance is 0).
constexpr double kLowPercentile = 0.02;
constexpr double kHighPercentile = 0.98;
constexpr double kWindowScales[] = {0.0, 0.25, 0.5, 0.75, 1.0, 1.5};
constexpr double kSliverShare = 0.02;
constexpr double kSliverLeast = 1e-4;
// One component's window reaches the top of its slider: no colour then lies at or above every
// window's upper end, where the tool keys a pixel fully whatever its distance. A colour brighter
// than the screen in every component (a pale veil over it) would otherwise jump to alpha 1
// (inverted) instead of blending.
constexpr double kGuardMax = 4.0;
// Shapes of the transition: the exponent 1 / Gamma. The smallest is the softest the Gamma slider
// allows (4).
constexpr double kExponents[] = {0.25, 0.35, 0.5, 0.7, 1.0, 1.4, 2.0, 4.0};
// Slider ranges the fitted values keep to.
constexpr double kMultTop = 20.0;
constexpr double kOffsetBottom = -10.0;
// The probe: so small a Fade that alpha = Fade x widest window / distance stays below 1 for every
// distance of interest, and so reads back the tool's own distance of each colour.
constexpr double kProbeFade = 1e-4;

// The penalty: screen alpha and subject (1 - alpha) count fully; blends between screen and
// subject samples and blends of the screen with colours from all over the cube (standing in for
// the hair, veils and blur the samples do not show) count less, as the softness the samples allow.
constexpr double kSubjectBlendWeight = 0.1;
constexpr double kCubeBlendWeight = 0.4;
constexpr int kBlendLevels = 9;  // 0.1 .. 0.9
constexpr std::size_t kSubjectBlendPairs = 222;
constexpr int kCubeSteps = 7;  // 7 x 7 x 7 colours
constexpr double kTolerance = 0.1;  // samples within this of their target count as right
// Edge samples: each is scored against the alpha unmixing gives it, as heavily as the solids, when
// it lies within this (the largest channel's distance) of a line from the screen to a subject
// colour; farther off it is no blend of the two, and unmixing would only guess.
constexpr double kTransitionWeight = 1.0;
constexpr float kUnmixReach = 0.08f;
constexpr std::size_t kPaletteColours = 256;
// With edge samples the transition may also end deeper into the subject than its nearest
// samples: at these shares of the subject's distances (as well as at its nearest).
constexpr double kSoftEnds[] = {0.05, 0.25, 0.5};

constexpr const char* kSpaceNames[kSpaceCount] = {"RGB", "HSV", "YXy", "YUV", "YCbCr"};

bool Finite(const Rgb& c) { return std::isfinite(c.R) && std::isfinite(c.G) && std::isfinite(c.B); }

// At most `most` samples, evenly spread over the list, non-finite colours left out.
std::vector<Rgb> Thin(const std::vector<Rgb>& samples, std::size_t most)
{
    std::vector<Rgb> finite;
    finite.reserve(samples.size());
    for (const Rgb& c : samples)
        if (Finite(c))
            finite.push_back(c);
    if (finite.size() <= most || most == 0)
        return finite;
    std::vector<Rgb> thinned;
    thinned.reserve(most);
    for (std::size_t i = 0; i < most; ++i)
        thinned.push_back(finite[i * finite.size() / most]);  // most > 0 here
    return thinned;
}

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::llround(share * static_cast<double>(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

// The mean of the smallest `kTrimmedShare` of the values: the worst few are outliers.
double TrimmedMean(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t kept =
        std::max<std::size_t>(1, static_cast<std::size_t>(kTrimmedShare * static_cast<double>(values.size())));
    double sum = 0.0;
    for (std::size_t i = 0; i < kept; ++i)
        sum += values[i];
    return sum / static_cast<double>(kept);  // kept >= 1
}

Rgb Blend(const Rgb& screen, const Rgb& other, float level)
{
    return {other.R * level + screen.R * (1.0f - level), other.G * level + screen.G * (1.0f - level),
            other.B * level + screen.B * (1.0f - level)};
}

Rgb Scaled(const Rgb& c, float factor) { return {c.R * factor, c.G * factor, c.B * factor}; }

// Everything one candidate is scored on, rendered as one batch: the screen (as sampled, darker,
// brighter), the subject, screen-subject blends and screen-cube blends.
struct Batch {
    std::vector<Rgb> Colours;
    std::size_t Screen = 0;         // samples as taken: [0, Screen)
    std::size_t ScreenScored = 0;   // with the light margins: [0, ScreenScored)
    std::size_t SubjectEnd = 0;     // subject: [ScreenScored, SubjectEnd)
    std::size_t SubjectBlendEnd = 0;  // [SubjectEnd, SubjectBlendEnd)
    std::size_t CubeEnd = 0;        // screen-cube blends: [SubjectBlendEnd, CubeEnd); edge samples after
    std::vector<float> Levels;      // blend level (or unmixed alpha) of each colour from SubjectEnd on
};

Rgb DecodedColour(const Rgb& c, Encoding encoding)
{
    return {Decoded(c.R, encoding), Decoded(c.G, encoding), Decoded(c.B, encoding)};
}

Batch MakeBatch(const std::vector<Rgb>& screen, const std::vector<Rgb>& subject, const std::vector<Rgb>& edge,
                Encoding encoding)
{
    Batch batch;
    std::vector<Rgb>& c = batch.Colours;
    c = screen;
    batch.Screen = c.size();
    for (const float factor : {1.0f - kLightMargin, 1.0f + kLightMargin})
        for (const Rgb& s : screen)
            c.push_back(Scaled(s, factor));
    batch.ScreenScored = c.size();
    c.insert(c.end(), subject.begin(), subject.end());
    batch.SubjectEnd = c.size();
    if (!subject.empty()) {
        const std::size_t pairs = std::min(kSubjectBlendPairs, std::max(screen.size(), subject.size()));
        for (std::size_t i = 0; i < pairs; ++i) {
            // Pairs walk both lists at different strides (screen and subject are not empty).
            const Rgb& s = screen[(i * 7) % screen.size()];
            const Rgb& b = subject[(i * 13 + 5) % subject.size()];
            for (int level = 1; level <= kBlendLevels; ++level) {
                const float a = static_cast<float>(level) / static_cast<float>(kBlendLevels + 1);  // constant > 0
                c.push_back(Blend(s, b, a));
                batch.Levels.push_back(a);
            }
        }
    }
    batch.SubjectBlendEnd = c.size();
    std::size_t pick = 0;
    for (int r = 0; r < kCubeSteps; ++r)
        for (int g = 0; g < kCubeSteps; ++g)
            for (int b = 0; b < kCubeSteps; ++b) {
                // Cell centres of the unit cube (kCubeSteps > 0).
                const Rgb other{(static_cast<float>(r) + 0.5f) / kCubeSteps,
                                (static_cast<float>(g) + 0.5f) / kCubeSteps,
                                (static_cast<float>(b) + 0.5f) / kCubeSteps};
                const Rgb& s = screen[(pick++ * 11) % screen.size()];  // screen is not empty
                const int level = 1 + static_cast<int>(pick % kBlendLevels);
                const float a = static_cast<float>(level) / static_cast<float>(kBlendLevels + 1);  // constant > 0
                c.push_back(Blend(s, other, a));
                batch.Levels.push_back(a);
            }
    batch.CubeEnd = c.size();
    if (!edge.empty() && !subject.empty()) {
        // The screen's median rather than each of its samples: on the plates of bench/edges.sh
        // unmixing against the nearest of 32 screen samples did no better on green and worse on
        // yellow (edge band 0.0612 against 0.0576).
        const Rgb median = DecodedColour(MedianColour(screen), encoding);
        std::vector<Rgb> palette = Thin(subject, kPaletteColours);
        for (Rgb& p : palette)
            p = DecodedColour(p, encoding);
        for (const Rgb& e : edge) {
            const std::optional<Unmixed> unmixed = Unmix(DecodedColour(e, encoding), median, palette);
            if (unmixed && unmixed->Residual <= kUnmixReach) {
                c.push_back(e);
                batch.Levels.push_back(unmixed->Alpha);
            }
        }
    }
    return batch;
}

struct Score {
    double Penalty = std::numeric_limits<double>::infinity();
    double WithinTolerance = 0.0;
    double ScreenKeyed = 0.0;
    double SubjectKept = 1.0;
    double BlendError = 0.0;
    double TransitionError = 0.0;
};

Score ScoreOf(const Batch& batch, const std::vector<float>& alpha)
{
    Score score;
    std::vector<double> screenMiss;
    std::size_t screenNear = 0;
    std::size_t keyed = 0;
    for (std::size_t i = 0; i < batch.ScreenScored; ++i) {
        screenMiss.push_back(alpha[i]);
        screenNear += alpha[i] <= kTolerance ? 1 : 0;
        if (i < batch.Screen)
            keyed += alpha[i] == 0.0f ? 1 : 0;
    }
    std::vector<double> subjectMiss;
    std::size_t subjectNear = 0;
    std::size_t kept = 0;
    for (std::size_t i = batch.ScreenScored; i < batch.SubjectEnd; ++i) {
        subjectMiss.push_back(1.0 - alpha[i]);
        subjectNear += alpha[i] >= 1.0 - kTolerance ? 1 : 0;
        kept += alpha[i] == 1.0f ? 1 : 0;
    }
    double subjectBlend = 0.0, cubeBlend = 0.0, transition = 0.0;
    std::size_t subjectBlendNear = 0, cubeBlendNear = 0, transitionNear = 0;
    for (std::size_t i = batch.SubjectEnd; i < batch.Colours.size(); ++i) {
        const double miss = std::abs(static_cast<double>(alpha[i]) - batch.Levels[i - batch.SubjectEnd]);
        const bool near = miss <= kTolerance;
        if (i < batch.SubjectBlendEnd) {
            subjectBlend += miss;
            subjectBlendNear += near ? 1 : 0;
        } else if (i < batch.CubeEnd) {
            cubeBlend += miss;
            cubeBlendNear += near ? 1 : 0;
        } else {
            transition += miss;
            transitionNear += near ? 1 : 0;
        }
    }
    const std::size_t subjects = batch.SubjectEnd - batch.ScreenScored;
    const std::size_t subjectBlends = batch.SubjectBlendEnd - batch.SubjectEnd;
    const std::size_t cubeBlends = batch.CubeEnd - batch.SubjectBlendEnd;
    const std::size_t transitions = batch.Colours.size() - batch.CubeEnd;
    // Every count divided by below is checked to be above 0 first; the screen never is empty.
    const auto share = [](std::size_t part, std::size_t whole) {
        return static_cast<double>(part) / static_cast<double>(whole);
    };
    score.ScreenKeyed = share(keyed, batch.Screen);
    double shares = share(screenNear, batch.ScreenScored);
    int kinds = 1;
    score.Penalty = TrimmedMean(screenMiss);
    if (subjects > 0) {
        score.SubjectKept = share(kept, subjects);
        shares += share(subjectNear, subjects);
        ++kinds;
        score.Penalty += TrimmedMean(subjectMiss);
    }
    if (subjectBlends > 0) {
        score.BlendError = subjectBlend / static_cast<double>(subjectBlends);
        shares += share(subjectBlendNear, subjectBlends);
        ++kinds;
        score.Penalty += kSubjectBlendWeight * score.BlendError;
    }
    if (cubeBlends > 0) {
        shares += share(cubeBlendNear, cubeBlends);
        ++kinds;
        score.Penalty += kCubeBlendWeight * cubeBlend / static_cast<double>(cubeBlends);
    }
    if (transitions > 0) {
        score.TransitionError = transition / static_cast<double>(transitions);
        shares += share(transitionNear, transitions);
        ++kinds;
        score.Penalty += kTransitionWeight * score.TransitionError;
    }
    score.WithinTolerance = shares / kinds;  // kinds >= 1
    return score;
}

// The widest window, as the tool works it out: Min + Max, a zero width standing for 0.001.
double WidestWindow(const FittedControls& c)
{
    double widest = 0.0;
    for (int i = 0; i < 3; ++i) {
        double width = c.Min[i] + c.Max[i];
        if (width == 0.0)
            width = 0.001;
        widest = std::max(widest, width);
    }
    return widest;
}

// Fade, Gamma, Offset and Mult for an inverted matte that is 0 up to the distance `start` and 1
// from `end` on: alpha = 1 - Mult x ((F / distance)^p + Offset) with F = Fade x the widest window
// and p = 1 / Gamma. False when the sliders' ranges cannot hold it.
bool Shape(FittedControls& c, double start, double end, double p)
{
    const double widest = WidestWindow(c);
    // start, end and p are all above 0 (the callers make sure), so the powers are finite.
    const double spread = std::pow(start, -p) - std::pow(end, -p);
    if (!(spread > 0.0))
        return false;
    // F^p: at least what keeps Mult within its slider, at most what keeps Offset within its
    // slider and Fade at most 1; as near to start^p as that allows.
    const double least = 1.0 / (kMultTop * spread);  // spread > 0
    const double most = std::min(-kOffsetBottom * std::pow(end, p), std::pow(widest, p));
    const double fp = std::min(std::max(std::pow(start, p), least), most);
    if (fp < least)
        return false;
    const double fade = std::pow(fp, 1.0 / p) / widest;  // p > 0; widest >= 0.001
    if (!(fade > 0.0) || fade > 1.0)
        return false;
    c.Fade = fade;
    c.Gamma = 1.0 / p;                    // p > 0
    c.Offset = -fp * std::pow(end, -p);   // -(F / end)^p
    c.Mult = 1.0 / (fp * spread);         // fp >= least > 0
    c.Invert = true;
    return c.Mult <= kMultTop && c.Offset >= kOffsetBottom;
}

struct Candidate {
    FittedControls Controls;
    Score Result;
    Rendered Held;  // what the tool held, without the alphas
    bool Apart = false;
};

class SpaceFitter {
public:
    SpaceFitter(const RenderFunction& render, const Batch& batch, const std::vector<Rgb>& screen, bool subjects,
                std::size_t& renders)
        : m_Render(render), m_Batch(batch), m_Screen(screen), m_Subjects(subjects), m_Renders(renders)
    {
    }

    Candidate Fit(int space)
    {
        // The screen in this space: its median is the key; its spread sizes the windows.
        std::array<std::vector<double>, 3> components;
        for (const Rgb& s : m_Screen) {
            const ColorVec q = RgbToSpace(MakeColor(s.R, s.G, s.B), space);
            components[0].push_back(q.R);
            components[1].push_back(q.G);
            components[2].push_back(q.B);
        }
        double median[3], low[3], high[3];
        for (int i = 0; i < 3; ++i) {
            median[i] = Percentile(components[i], 0.5);
            low[i] = Percentile(components[i], kLowPercentile);
            high[i] = Percentile(components[i], kHighPercentile);
        }
        const ColorVec key = SpaceToRgb(MakeColor(static_cast<float>(median[0]), static_cast<float>(median[1]),
                                                  static_cast<float>(median[2])),
                                        space);

        Candidate best;
        best.Result.Penalty = std::numeric_limits<double>::infinity();
        for (int guard = 0; guard < 3; ++guard) {
            for (const double scale : kWindowScales) {
                FittedControls c;
                c.Space = space;
                c.KeyColor[0] = key.R;
                c.KeyColor[1] = key.G;
                c.KeyColor[2] = key.B;
                for (int i = 0; i < 3; ++i) {
                    const double sliver = std::max(kSliverLeast, kSliverShare * (high[i] - low[i]));
                    c.Min[i] = std::max(sliver, scale * (median[i] - low[i]));
                    c.Max[i] = std::max(sliver, scale * (high[i] - median[i]));
                }
                c.Max[guard] = kGuardMax;
                TryWindows(c, best);
            }
        }
        return best;
    }

private:
    Rendered RenderControls(const FittedControls& c, std::size_t colours)
    {
        ++m_Renders;
        const std::vector<ControlValue> controls = c.List();
        Rendered rendered =
            colours == m_Batch.Colours.size()
                ? m_Render(controls, m_Batch.Colours)
                : m_Render(controls, std::vector<Rgb>(m_Batch.Colours.begin(),
                                                      m_Batch.Colours.begin() + static_cast<std::ptrdiff_t>(colours)));
        if (rendered.Alpha.size() != colours)
            throw std::runtime_error("the render returned " + std::to_string(rendered.Alpha.size()) + " alphas for " +
                                     std::to_string(colours) + " colours");
        if (rendered.Held.size() != controls.size())
            throw std::runtime_error("the render returned " + std::to_string(rendered.Held.size()) +
                                     " held values for " + std::to_string(controls.size()) + " controls");
        return rendered;
    }

    // Reads the tool's distance of each screen and subject colour through a probe render, then
    // shapes and scores the transitions these windows allow.
    void TryWindows(const FittedControls& windows, Candidate& best)
    {
        FittedControls probe = windows;
        probe.Fade = kProbeFade;
        probe.Gamma = 1.0;
        probe.Offset = 0.0;
        probe.Mult = 1.0;
        probe.Invert = false;
        const Rendered rendered = RenderControls(probe, m_Batch.SubjectEnd);
        const double extent = kProbeFade * WidestWindow(probe);
        // alpha = extent / distance; an alpha of 0 is a colour on a window corner (distance 0).
        const auto distance = [&](float a) { return a > 0.0f ? extent / static_cast<double>(a) : 0.0; };
        std::vector<double> screen, subject;
        for (std::size_t i = 0; i < m_Batch.ScreenScored; ++i)
            screen.push_back(distance(rendered.Alpha[i]));
        for (std::size_t i = m_Batch.ScreenScored; i < m_Batch.SubjectEnd; ++i)
            subject.push_back(distance(rendered.Alpha[i]));

        const double smallest = 1e-6;  // keeps the powers below finite
        double start, end;
        bool apart = true;
        if (m_Subjects) {
            start = std::max(smallest, Percentile(screen, kScreenReach) * kScreenMargin);
            end = Percentile(subject, kSubjectReach) * kSubjectMargin;
            apart = end > start;
            if (!apart)
                end = start * kOverlapReach;
        } else {
            start = std::max(smallest, Percentile(screen, kScreenReach) * kScreenAloneMargin);
            end = start * kAloneReach;
        }
        std::vector<double> ends = {end};
        // Softer transitions, ending deeper into the subject, where edge samples can tell whether
        // they render the edges more faithfully.
        if (m_Subjects && m_Batch.CubeEnd < m_Batch.Colours.size())
            for (const double share : kSoftEnds) {
                const double deeper = Percentile(subject, share) * kSubjectMargin;
                if (deeper > std::max(start, end) * kOverlapReach)
                    ends.push_back(deeper);
            }
        for (const double stop : ends)
            for (const double p : kExponents) {
                FittedControls c = windows;
                if (!Shape(c, start, stop, p))
                    continue;
                Rendered scored = RenderControls(c, m_Batch.Colours.size());
                const Score score = ScoreOf(m_Batch, scored.Alpha);
                if (score.Penalty < best.Result.Penalty) {
                    best.Controls = c;
                    best.Result = score;
                    scored.Alpha.clear();
                    best.Held = std::move(scored);
                    best.Apart = apart;
                }
            }
    }

    const RenderFunction& m_Render;
    const Batch& m_Batch;
    const std::vector<Rgb>& m_Screen;
    bool m_Subjects;
    std::size_t& m_Renders;
};

std::string Fixed(double value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace

Rgb MedianColour(const std::vector<Rgb>& colours)
{
    std::vector<double> channel[3];
    for (const Rgb& c : colours) {
        channel[0].push_back(c.R);
        channel[1].push_back(c.G);
        channel[2].push_back(c.B);
    }
    return {static_cast<float>(Percentile(channel[0], 0.5)), static_cast<float>(Percentile(channel[1], 0.5)),
            static_cast<float>(Percentile(channel[2], 0.5))};
}

float Decoded(float value, Encoding encoding)
{
    if (!(value > 0.0f))
        return value;  // 0, below 0 or NaN: as it is
    switch (encoding) {
    case Encoding::Srgb:
        return value <= 0.04045f ? value / 12.92f : std::pow((value + 0.055f) / 1.055f, 2.4f);
    case Encoding::Rec709:
        return value < 0.081f ? value / 4.5f : std::pow((value + 0.099f) / 1.099f, 1.0f / 0.45f);
    case Encoding::Linear:
        break;
    }
    return value;
}

std::optional<Unmixed> Unmix(const Rgb& colour, const Rgb& screen, const std::vector<Rgb>& palette)
{
    const double c[3] = {static_cast<double>(colour.R) - screen.R, static_cast<double>(colour.G) - screen.G,
                         static_cast<double>(colour.B) - screen.B};
    std::optional<Unmixed> best;
    for (const Rgb& f : palette) {
        const double d[3] = {static_cast<double>(f.R) - screen.R, static_cast<double>(f.G) - screen.G,
                             static_cast<double>(f.B) - screen.B};
        const double length2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        // A subject colour at the screen's own gives no line to unmix along.
        if (!(length2 > 1e-12))
            continue;
        const double t = std::clamp((c[0] * d[0] + c[1] * d[1] + c[2] * d[2]) / length2, 0.0, 1.0);
        double residual = 0.0;
        for (int i = 0; i < 3; ++i)
            residual = std::max(residual, std::fabs(c[i] - t * d[i]));
        if (!best || residual < best->Residual)
            best = Unmixed{static_cast<float>(t), static_cast<float>(residual)};
    }
    return best;
}

const char* SpaceName(int space) { return space >= 0 && space < kSpaceCount ? kSpaceNames[space] : "?"; }

std::optional<int> SpaceNamed(const std::string& name)
{
    for (int space = 0; space < kSpaceCount; ++space) {
        const std::string candidate = kSpaceNames[space];
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return space;
    }
    return std::nullopt;
}

std::vector<ControlValue> FittedControls::List() const
{
    return {{"Colorspace", static_cast<double>(Space)},
            {"CRed", KeyColor[0]},
            {"CGreen", KeyColor[1]},
            {"CBlue", KeyColor[2]},
            {"InvAlpha", Invert ? 1.0 : 0.0},
            {"ColCor", 0.0},
            {"MiRedn", Min[0]},
            {"MinGreen", Min[1]},
            {"MinBlue", Min[2]},
            {"MaxRed", Max[0]},
            {"MaxGreen", Max[1]},
            {"MaxBlue", Max[2]},
            {"FadeRed", Fade},
            {"GammaAlpha", Gamma},
            {"MultAlpha", Mult},
            {"OffAlpha", Offset}};
}

FitResult FitSettings(const Samples& samples, const RenderFunction& render, const FitOptions& options)
{
    if (options.Space && (*options.Space < 0 || *options.Space >= kSpaceCount))
        throw std::invalid_argument("no colour space " + std::to_string(*options.Space));
    const std::vector<Rgb> screen = Thin(samples.Screen, options.MaxSamples);
    const std::vector<Rgb> subject = Thin(samples.Subject, options.MaxSamples);
    const std::vector<Rgb> edge = Thin(samples.Edge, options.MaxSamples);
    if (screen.empty())
        throw std::invalid_argument("no screen samples to fit");
    const Batch batch = MakeBatch(screen, subject, edge, options.Values);

    FitResult result;
    result.ScreenSamples = screen.size();
    result.SubjectSamples = subject.size();
    result.EdgeSamples = edge.size();
    result.TransitionSamples = batch.Colours.size() - batch.CubeEnd;
    result.Values = options.Values;
    SpaceFitter fitter(render, batch, screen, !subject.empty(), result.Renders);

    std::optional<Candidate> chosen;
    for (int space = 0; space < kSpaceCount; ++space) {
        if (options.Space && *options.Space != space)
            continue;
        const Candidate candidate = fitter.Fit(space);
        result.Spaces.push_back({space, 1.0 - candidate.Result.Penalty, candidate.Result.Penalty,
                                 candidate.Result.WithinTolerance, candidate.Apart});
        // The widest separation (the lowest penalty) wins; between equals, the earlier space.
        if (!chosen || candidate.Result.Penalty < chosen->Result.Penalty)
            chosen = candidate;
    }
    if (!chosen || !std::isfinite(chosen->Result.Penalty))
        throw std::runtime_error("no settings within the sliders' ranges key these samples");

    result.Controls = chosen->Controls;
    const std::vector<ControlValue> set = chosen->Controls.List();
    for (std::size_t i = 0; i < set.size(); ++i)
        result.Held.push_back({set[i].ID, chosen->Held.Held[i]});
    std::copy(std::begin(chosen->Held.ValueSliders), std::end(chosen->Held.ValueSliders), result.ValueSliders);
    result.ScreenKeyed = chosen->Result.ScreenKeyed;
    result.SubjectKept = chosen->Result.SubjectKept;
    result.BlendError = chosen->Result.BlendError;
    result.TransitionError = chosen->Result.TransitionError;
    if (options.Space) {
        result.Reason = "the space asked for";
    } else {
        const SpaceOutcome* runnerUp = nullptr;
        for (const SpaceOutcome& outcome : result.Spaces)
            if (outcome.Space != chosen->Controls.Space &&
                (runnerUp == nullptr || outcome.Separation > runnerUp->Separation))
                runnerUp = &outcome;
        result.Reason = "the widest separation (" + Fixed(1.0 - chosen->Result.Penalty, 4) + ")";
        if (runnerUp != nullptr)
            result.Reason += "; next " + std::string(SpaceName(runnerUp->Space)) + " " + Fixed(runnerUp->Separation, 4);
    }
    return result;
}

}  // namespace qualvex::fit
