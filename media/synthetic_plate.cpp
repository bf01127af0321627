#include "media/synthetic_plate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qualvex {
namespace {

struct Rgb {
    float R, G, B;
};

// Uniform in [-1, 1) from the position and a seed; a fixed integer hash, the same on every
// machine.
float HashNoise(std::uint32_t x, std::uint32_t y, std::uint32_t seed)
{
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return static_cast<float>(h >> 8) / 8388608.0f - 1.0f;
}

// One layer of the subject: coverage and colour per pixel, composited front to back later.
struct Layer {
    std::vector<float> Coverage;
    std::vector<Rgb> Colour;
};

class Canvas {
public:
    Canvas(int width, int height) : m_Width(width), m_Height(height) {}

    Layer NewLayer() const
    {
        const std::size_t n = static_cast<std::size_t>(m_Width) * static_cast<std::size_t>(m_Height);
        return {std::vector<float>(n, 0.0f), std::vector<Rgb>(n, Rgb{0, 0, 0})};
    }

    // Coverage of a shape given by an inside test, sampled 4 x 4 per pixel within a box.
    template <typename Inside, typename Shade>
    void Fill(Layer& layer, float x0, float y0, float x1, float y1, Inside inside, Shade shade) const
    {
        const int xa = std::max(0, static_cast<int>(std::floor(x0)));
        const int ya = std::max(0, static_cast<int>(std::floor(y0)));
        const int xb = std::min(m_Width - 1, static_cast<int>(std::ceil(x1)));
        const int yb = std::min(m_Height - 1, static_cast<int>(std::ceil(y1)));
        for (int y = ya; y <= yb; ++y) {
            for (int x = xa; x <= xb; ++x) {
                int hits = 0;
                for (int sy = 0; sy < 4; ++sy)
                    for (int sx = 0; sx < 4; ++sx)
                        hits += inside(x + (sx + 0.5f) / 4.0f, y + (sy + 0.5f) / 4.0f) ? 1 : 0;
                if (hits == 0)
                    continue;
                const std::size_t i = Index(x, y);
                layer.Coverage[i] = std::max(layer.Coverage[i], hits / 16.0f);
                layer.Colour[i] = shade(static_cast<float>(x), static_cast<float>(y));
            }
        }
    }

    std::size_t Index(int x, int y) const
    {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(m_Width) + static_cast<std::size_t>(x);
    }

private:
    int m_Width;
    int m_Height;
};

float SegmentDistance(float px, float py, float ax, float ay, float bx, float by)
{
    const float dx = bx - ax, dy = by - ay;
    const float length2 = dx * dx + dy * dy;
    // A segment of no length is its end point.
    float t = length2 > 0.0f ? ((px - ax) * dx + (py - ay) * dy) / length2 : 0.0f;
    t = std::clamp(t, 0.0f, 1.0f);
    const float ex = ax + t * dx - px, ey = ay + t * dy - py;
    return std::sqrt(ex * ex + ey * ey);
}

}  // namespace

SyntheticPlate MakeGreenScreenPlate(int width, int height, unsigned seed)
{
    const float w = static_cast<float>(width), h = static_cast<float>(height);
    const Canvas canvas(width, height);
    std::vector<Layer> layers;  // back to front

    // Body and head: opaque, shaded skin and cloth tones, anti-aliased soft edges.
    {
        Layer body = canvas.NewLayer();
        const float cx = 0.42f * w, cy = 0.78f * h, rx = 0.17f * w, ry = 0.36f * h;
        canvas.Fill(
            body, cx - rx, cy - ry, cx + rx, h,
            [&](float x, float y) { return std::pow((x - cx) / rx, 2.0f) + std::pow((y - cy) / ry, 2.0f) <= 1.0f; },
            [&](float x, float y) {
                const float shade = 0.75f + 0.25f * (1.0f - std::abs(x - cx) / rx);
                const float stripe = 0.05f * std::sin(y * 0.15f);
                return Rgb{0.62f * shade + stripe, 0.30f * shade, 0.34f * shade + stripe};
            });
        const float hx = 0.42f * w, hy = 0.3f * h, hr = 0.11f * h;
        canvas.Fill(
            body, hx - hr, hy - hr, hx + hr, hy + hr,
            [&](float x, float y) { return (x - hx) * (x - hx) + (y - hy) * (y - hy) <= hr * hr; },
            [&](float x, float) {
                const float shade = 0.8f + 0.2f * (1.0f - std::abs(x - hx) / hr);
                return Rgb{0.86f * shade, 0.62f * shade, 0.50f * shade};
            });
        layers.push_back(std::move(body));

        // Hair: strands under a pixel wide, curving out of the top of the head.
        Layer hair = canvas.NewLayer();
        for (int strand = 0; strand < 48; ++strand) {
            const float angle = -2.6f + 2.2f * strand / 47.0f + 0.05f * HashNoise(strand, 1, seed);
            const float length = hr * (0.6f + 0.5f * (0.5f + 0.5f * HashNoise(strand, 2, seed)));
            const float bend = 0.6f * HashNoise(strand, 3, seed);
            const float halfWidth = 0.25f + 0.15f * (0.5f + 0.5f * HashNoise(strand, 4, seed));
            float ax = hx + hr * 0.95f * std::cos(angle), ay = hy + hr * 0.95f * std::sin(angle);
            for (int segment = 0; segment < 10; ++segment) {
                const float t = (segment + 1) / 10.0f;
                const float a = angle + bend * t;
                const float bx = hx + (hr * 0.95f + length * t) * std::cos(a);
                const float by = hy + (hr * 0.95f + length * t) * std::sin(a);
                canvas.Fill(
                    hair, std::min(ax, bx) - 1, std::min(ay, by) - 1, std::max(ax, bx) + 1, std::max(ay, by) + 1,
                    [&](float x, float y) { return SegmentDistance(x, y, ax, ay, bx, by) <= halfWidth; },
                    [](float, float) { return Rgb{0.28f, 0.18f, 0.10f}; });
                ax = bx;
                ay = by;
            }
        }
        layers.push_back(std::move(hair));
    }

    // A semi-transparent veil: 45% opaque, with a soft lower edge.
    {
        Layer veil = canvas.NewLayer();
        const float x0 = 0.66f * w, x1 = 0.9f * w, y0 = 0.12f * h, y1 = 0.62f * h;
        for (int y = static_cast<int>(y0); y <= static_cast<int>(y1 + 20) && y < height; ++y) {
            for (int x = static_cast<int>(x0); x <= static_cast<int>(x1) && x < width; ++x) {
                const float fall = std::clamp((y1 + 20 - static_cast<float>(y)) / 20.0f, 0.0f, 1.0f);
                const std::size_t i = canvas.Index(x, y);
                veil.Coverage[i] = 0.45f * fall;
                veil.Colour[i] = Rgb{0.55f, 0.58f, 0.82f};
            }
        }
        layers.push_back(std::move(veil));
    }

    // A ball moving left to right during the exposure: coverage averaged over 24 instants.
    {
        Layer ball = canvas.NewLayer();
        const float bx = 0.76f * w, by = 0.84f * h, r = 0.07f * h, travel = 0.08f * w;
        for (int y = static_cast<int>(by - r - 1); y <= static_cast<int>(by + r + 1) && y < height; ++y) {
            for (int x = static_cast<int>(bx - r - 1); x <= static_cast<int>(bx + travel + r + 1) && x < width; ++x) {
                int hits = 0;
                for (int instant = 0; instant < 24; ++instant) {
                    const float centre = bx + travel * (instant + 0.5f) / 24.0f;
                    for (int s = 0; s < 4; ++s) {
                        const float px = x + (s % 2 + 0.5f) / 2.0f, py = y + (s / 2 + 0.5f) / 2.0f;
                        hits += (px - centre) * (px - centre) + (py - by) * (py - by) <= r * r ? 1 : 0;
                    }
                }
                if (hits == 0)
                    continue;
                const std::size_t i = canvas.Index(x, y);
                ball.Coverage[i] = hits / 96.0f;
                ball.Colour[i] = Rgb{0.92f, 0.46f, 0.12f};
            }
        }
        layers.push_back(std::move(ball));
    }

    SyntheticPlate result;
    result.Plate = std::make_unique<Image>(width, height, PixelStorage::Float, false);
    result.TrueAlpha.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0.0f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            // The screen: a green lit brighter towards the upper left, falling off at the edges.
            const float dx = (x - 0.3f * w) / w, dy = (y - 0.25f * h) / h;
            const float light = 0.72f + 0.38f * std::exp(-(dx * dx + dy * dy) * 2.2f);
            Rgb colour{0.14f * light, 0.58f * light, 0.20f * light};
            float alpha = 0.0f;
            const std::size_t i = canvas.Index(x, y);
            for (const Layer& layer : layers) {
                const float a = layer.Coverage[i];
                if (a <= 0.0f)
                    continue;
                Rgb c = layer.Colour[i];
                // Green spill: light bounced off the screen tints the subject, most where the
                // subject is thin.
                const float spill = 0.05f + 0.06f * (1.0f - a);
                c.G += spill * light;
                colour = Rgb{c.R * a + colour.R * (1 - a), c.G * a + colour.G * (1 - a), c.B * a + colour.B * (1 - a)};
                alpha = a + alpha * (1 - a);
            }
            // Sensor noise over everything.
            const float grain = 0.012f;
            Pixel p;
            p.R = colour.R + grain * HashNoise(x, y, seed * 3 + 0);
            p.G = colour.G + grain * HashNoise(x, y, seed * 3 + 1);
            p.B = colour.B + grain * HashNoise(x, y, seed * 3 + 2);
            p.A = 1.0f;
            result.Plate->SetPixel(x, y, p);
            result.TrueAlpha[i] = alpha;
        }
    }
    return result;
}

}  // namespace qualvex
