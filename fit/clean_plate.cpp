#include "fit/clean_plate.h"

#include "color/conversions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace qualvex::fit {
namespace {

constexpr std::size_t kLeastPoints = 16;
// Points farther than this many median distances from the first surface are not screen.
constexpr double kDropFactor = 3.0;
constexpr int kPasses = 10;
constexpr double kDropLeast = 0.02;
// A pivot this small against the points' count means the terms cannot be told apart.
constexpr double kSingular = 1e-9;

using Basis = std::array<double, 6>;

// Coordinates from -1 to 1 across the frame, so that the squares stay of the size of the rest
// and the normal equations well conditioned at any frame size.
Basis BasisAt(int x, int y, int width, int height)
{
    const double u = (2.0 * x + 1.0) / width - 1.0;  // width, height > 0 (checked on fitting)
    const double v = (2.0 * y + 1.0) / height - 1.0;
    return {1.0, u, v, u * u, u * v, v * v};
}

bool FiniteColour(const Rgb& c) { return std::isfinite(c.R) && std::isfinite(c.G) && std::isfinite(c.B); }

double Channel(const Rgb& c, int channel) { return channel == 0 ? c.R : channel == 1 ? c.G : c.B; }

double Distance(const Rgb& a, const Rgb& b)
{
    return std::max({std::fabs(static_cast<double>(a.R) - b.R), std::fabs(static_cast<double>(a.G) - b.G),
                     std::fabs(static_cast<double>(a.B) - b.B)});
}

}  // namespace

struct SurfaceFitter {
    // Least squares over the kept points with the first `terms` terms; false when the normal
    // equations are singular.
    static bool Solve(const std::vector<ScreenPoint>& points, const std::vector<bool>& kept, int terms, int width,
                      int height, ScreenSurface& surface)
    {
        double a[6][6] = {};
        double b[3][6] = {};
        double count = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (!kept[i])
                continue;
            const Basis phi = BasisAt(points[i].X, points[i].Y, width, height);
            for (int r = 0; r < terms; ++r) {
                for (int c = 0; c < terms; ++c)
                    a[r][c] += phi[r] * phi[c];
                for (int ch = 0; ch < 3; ++ch)
                    b[ch][r] += phi[r] * Channel(points[i].Colour, ch);
            }
            count += 1.0;
        }
        // Gaussian elimination with partial pivoting, the three channels' right-hand sides at once.
        for (int col = 0; col < terms; ++col) {
            int pivot = col;
            for (int r = col + 1; r < terms; ++r)
                if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                    pivot = r;
            if (!(std::fabs(a[pivot][col]) > kSingular * count))
                return false;
            std::swap(a[col], a[pivot]);
            for (auto& rhs : b)
                std::swap(rhs[col], rhs[pivot]);
            for (int r = col + 1; r < terms; ++r) {
                const double factor = a[r][col] / a[col][col];  // the pivot is not near 0 (checked)
                for (int c = col; c < terms; ++c)
                    a[r][c] -= factor * a[col][c];
                for (auto& rhs : b)
                    rhs[r] -= factor * rhs[col];
            }
        }
        for (int ch = 0; ch < 3; ++ch)
            for (int r = terms - 1; r >= 0; --r) {
                double sum = b[ch][r];
                for (int c = r + 1; c < terms; ++c)
                    sum -= a[r][c] * surface.m_Coefficients[ch][c];
                surface.m_Coefficients[ch][r] = sum / a[r][r];  // a pivot, not near 0
            }
        for (auto& channel : surface.m_Coefficients)
            std::fill(channel + terms, channel + 6, 0.0);
        surface.m_Width = width;
        surface.m_Height = height;
        surface.m_Terms = terms;
        return true;
    }

    static ScreenSurface Fit(const std::vector<ScreenPoint>& points, const std::vector<bool>& kept, int width,
                             int height)
    {
        ScreenSurface surface;
        for (int terms : {6, 3, 1})
            if (Solve(points, kept, terms, width, height, surface))
                return surface;
        throw std::invalid_argument("the screen points do not determine a colour");
    }
};

Rgb ScreenSurface::At(int x, int y) const
{
    const Basis phi = BasisAt(x, y, m_Width, m_Height);
    double sum[3] = {0.0, 0.0, 0.0};
    for (int ch = 0; ch < 3; ++ch)
        for (int t = 0; t < m_Terms; ++t)
            sum[ch] += m_Coefficients[ch][t] * phi[static_cast<std::size_t>(t)];
    return {static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2])};
}

SurfaceFit FitScreenSurface(const std::vector<ScreenPoint>& points, int width, int height)
{
    if (width <= 0 || height <= 0)
        throw std::invalid_argument("a clean plate needs a frame with pixels");
    std::vector<bool> kept(points.size());
    std::size_t finite = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        kept[i] = FiniteColour(points[i].Colour);
        finite += kept[i] ? 1 : 0;
    }
    if (finite < kLeastPoints)
        throw std::invalid_argument("too few screen pixels for a clean plate (" + std::to_string(finite) +
                                    ", at least " + std::to_string(kLeastPoints) + ")");

    // A subject among the points bends a least-squares surface towards itself, and its distances
    // then hide among the screen's. So the surface is first fitted to the nearer half of the
    // points, again and again, each pass taking the half nearest the last surface: the screen, the
    // greater part, draws the surface back to itself. Then every point within the limit of that
    // surface is kept.
    const std::vector<bool> finitePoints = kept;
    SurfaceFit result;
    std::vector<double> distances(points.size(), 0.0);
    std::vector<double> ordered;
    const auto measure = [&]() {
        ordered.clear();
        for (std::size_t i = 0; i < points.size(); ++i)
            if (finitePoints[i]) {
                distances[i] = Distance(points[i].Colour, result.Surface.At(points[i].X, points[i].Y));
                ordered.push_back(distances[i]);
            }
        auto middle = ordered.begin() + static_cast<std::ptrdiff_t>(ordered.size() / 2);
        std::nth_element(ordered.begin(), middle, ordered.end());
        return *middle;
    };
    for (int pass = 0; pass < kPasses; ++pass) {
        result.Surface = SurfaceFitter::Fit(points, kept, width, height);
        const double median = measure();
        bool changed = false;
        for (std::size_t i = 0; i < points.size(); ++i)
            if (finitePoints[i] && kept[i] != (distances[i] <= median)) {
                kept[i] = !kept[i];
                changed = true;
            }
        if (!changed)
            break;
    }
    result.Surface = SurfaceFitter::Fit(points, kept, width, height);
    const double limit = std::max(kDropFactor * measure(), kDropLeast);
    for (std::size_t i = 0; i < points.size(); ++i)
        kept[i] = finitePoints[i] && distances[i] <= limit;
    result.Surface = SurfaceFitter::Fit(points, kept, width, height);
    for (std::size_t i = 0; i < points.size(); ++i)
        result.Dropped += finitePoints[i] && !kept[i] ? 1 : 0;

    double squares = 0.0;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (kept[i]) {
            const Rgb s = result.Surface.At(points[i].X, points[i].Y);
            for (int ch = 0; ch < 3; ++ch) {
                const double d = Channel(points[i].Colour, ch) - Channel(s, ch);
                squares += d * d;
            }
            ++result.Points;
        }
    // Points > 0: at least half the finite points lie at or below their median distance, inside
    // the limit.
    result.Rms = std::sqrt(squares / (3.0 * static_cast<double>(result.Points)));
    return result;
}

Rgb ReferenceInSpace(const Rgb& rgb, int space)
{
    const ColorVec p = RgbToSpace(MakeColor(rgb.R, rgb.G, rgb.B), space);
    return {p.R, p.G, p.B};
}

}  // namespace qualvex::fit
