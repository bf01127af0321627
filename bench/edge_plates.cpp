// Plates with a known alpha, made from real screens and real foreground colours, and the errors of
// a key against that alpha: what bench/edges.sh measures every keyer with.
//
//   qualvex_edge_plates make SCREEN X,Y,W,H FOREGROUND X,Y,W,H HAIR X,Y,W,H DIR
//       Mirrors the screen's rectangle and the foreground's rectangle of their images across a
//       256 x 192 frame and composites, in linear light, the foreground over the screen with an
//       alpha drawn here: an anti-aliased body edge, hair strands 0.3 to 1.5 px wide at 80%
//       opacity (in the median colour of HAIR's rectangle), a half-transparent veil, a
//       motion-blurred box, and the screen's light spilled onto the body near its edge. Writes
//       DIR/plate.png (8-bit sRGB, what every keyer is given) and DIR/truth.exr (the unspilled
//       foreground in linear light, the true alpha and each pixel's part), and prints the
//       screen's median colour as 0xRRGGBB.
//   qualvex_edge_plates measure DIR KEYED.png     (or measure-frames DIR KEYED.rgba: raw 8-bit
//       RGBA frames, one line each)
//       Prints, tab-separated: mean |alpha - truth| on the edge band, on the hair, on the veil and
//       on the blur; the mean alpha of the solid screen and of the solid subject; the mean error
//       of the composite over grey against the true composite on the edge band.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 256;
constexpr int kHeight = 192;
constexpr int kSuper = 4;  // samples per pixel side when drawing coverage

// Where each pixel's alpha comes from: the edge band is every pixel between 0 and 1, or within
// 2 px of one that is; hair, veil and blur are the pixels those elements cover partly.
enum Part : int { SolidScreen = 0, SolidSubject = 1, Edge = 2, Hair = 3, Veil = 4, Blur = 5 };
constexpr int kBand = 2;

struct Rgb {
    float R, G, B;
};

float ToLinear(float v)
{
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

float ToSrgb(float v)
{
    v = std::clamp(v, 0.0f, 1.0f);
    return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

struct Rect {
    int X, Y, W, H;
};

Rect ParseRect(const char* text)
{
    Rect r{};
    if (std::sscanf(text, "%d,%d,%d,%d", &r.X, &r.Y, &r.W, &r.H) != 4 || r.W <= 0 || r.H <= 0)
        throw std::runtime_error(std::string("not a rectangle X,Y,W,H: ") + text);
    return r;
}

// The rectangle of an 8-bit sRGB image, in linear light, mirrored so that it fills the frame
// without seams.
std::vector<Rgb> MirroredPatch(const std::string& file, const Rect& rect)
{
    OIIO::ImageBuf image(file);
    if (!image.read(0, 0, true, OIIO::TypeDesc::FLOAT))
        throw std::runtime_error(file + ": " + image.geterror());
    if (rect.X + rect.W > image.spec().width || rect.Y + rect.H > image.spec().height)
        throw std::runtime_error(file + ": the rectangle lies outside the image");
    std::vector<Rgb> out(static_cast<std::size_t>(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int px = (x / rect.W) % 2 == 0 ? x % rect.W : rect.W - 1 - x % rect.W;
            const int py = (y / rect.H) % 2 == 0 ? y % rect.H : rect.H - 1 - y % rect.H;
            float c[3];
            image.getpixel(rect.X + px, rect.Y + py, c, 3);
            out[static_cast<std::size_t>(y) * kWidth + x] = {ToLinear(c[0]), ToLinear(c[1]), ToLinear(c[2])};
        }
    return out;
}

Rgb Median(std::vector<Rgb> colours)
{
    Rgb m{};
    for (int c = 0; c < 3; ++c) {
        std::vector<float> v;
        for (const Rgb& p : colours)
            v.push_back(c == 0 ? p.R : c == 1 ? p.G : p.B);
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        (c == 0 ? m.R : c == 1 ? m.G : m.B) = v[v.size() / 2];
    }
    return m;
}

// The drawing: the body's edge curves down the frame at about x = 70.
double BodyEdge(double y) { return 70.0 + 8.0 * std::sin(y / 15.0); }

struct Strand {
    double X0, Y0, X1, Y1, Width;
};

// Eight strands from the body's edge out over the screen, 0.3 to 1.5 px wide.
std::vector<Strand> Strands()
{
    std::vector<Strand> strands;
    const double widths[] = {0.3, 0.45, 0.6, 0.75, 0.9, 1.1, 1.3, 1.5};
    for (int i = 0; i < 8; ++i) {
        const double y0 = 12.0 + 7.0 * i;
        strands.push_back({BodyEdge(y0) - 2.0, y0, 122.0, y0 + 10.0 + 3.0 * i, widths[i]});
    }
    return strands;
}

double SegmentDistance(double px, double py, const Strand& s)
{
    const double dx = s.X1 - s.X0, dy = s.Y1 - s.Y0;
    const double length2 = dx * dx + dy * dy;  // > 0: every strand has length
    const double t = std::clamp(((px - s.X0) * dx + (py - s.Y0) * dy) / length2, 0.0, 1.0);
    const double ex = s.X0 + t * dx - px, ey = s.Y0 + t * dy - py;
    return std::sqrt(ex * ex + ey * ey);
}

constexpr double kStrandOpacity = 0.8;
constexpr double kVeilOpacity = 0.5;
constexpr Rect kVeil{140, 10, 70, 70};
constexpr int kBlurLeft = 130, kBlurRight = 222, kBlurTop = 110, kBlurBottom = 176, kBlurRamp = 16;
constexpr double kSpillReach = 8.0;
constexpr double kSpillAmount = 0.2;

struct Truth {
    std::vector<float> Alpha;
    std::vector<int> Parts;
    std::vector<float> SpillShare;  // how much screen light the body takes at each pixel
};

Truth Draw()
{
    Truth t;
    t.Alpha.assign(static_cast<std::size_t>(kWidth) * kHeight, 0.0f);
    t.Parts.assign(t.Alpha.size(), SolidScreen);
    t.SpillShare.assign(t.Alpha.size(), 0.0f);
    const std::vector<Strand> strands = Strands();
    std::vector<int> element(t.Alpha.size(), SolidScreen);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            double body = 0.0, hair = 0.0, veil = 0.0;
            for (int sy = 0; sy < kSuper; ++sy)
                for (int sx = 0; sx < kSuper; ++sx) {
                    const double px = x + (sx + 0.5) / kSuper, py = y + (sy + 0.5) / kSuper;
                    body += px < BodyEdge(py) ? 1.0 : 0.0;
                    bool onStrand = false;
                    for (const Strand& s : strands)
                        onStrand = onStrand || SegmentDistance(px, py, s) <= s.Width / 2.0;
                    hair += onStrand ? 1.0 : 0.0;
                    veil += px >= kVeil.X && px < kVeil.X + kVeil.W && py >= kVeil.Y && py < kVeil.Y + kVeil.H ? 1.0 : 0.0;
                }
            const double samples = kSuper * kSuper;
            body /= samples;
            hair = hair / samples * kStrandOpacity;
            veil = veil / samples * kVeilOpacity;
            // A box moving sideways: its left and right edges ramp over the distance it travels
            // while the shutter is open.
            double blur = 0.0;
            if (y >= kBlurTop && y < kBlurBottom) {
                const double cx = x + 0.5;
                blur = std::clamp(std::min(cx - kBlurLeft, kBlurRight - cx) / kBlurRamp, 0.0, 1.0);
            }
            // The elements lie over one another as layers of coverage.
            double a = body;
            a = a + hair * (1.0 - a);
            a = a + veil * (1.0 - a);
            a = a + blur * (1.0 - a);
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            t.Alpha[i] = static_cast<float>(a);
            element[i] = hair > 0.0 && body < 1.0 ? Hair : veil > 0.0 ? Veil : blur > 0.0 && blur < 1.0 ? Blur : Edge;
            const double inside = BodyEdge(y + 0.5) - (x + 0.5);
            if (body > 0.0 && inside < kSpillReach)
                t.SpillShare[i] = static_cast<float>(kSpillAmount * (1.0 - std::max(inside, 0.0) / kSpillReach));
        }
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            bool near = false;
            for (int dy = -kBand; dy <= kBand && !near; ++dy)
                for (int dx = -kBand; dx <= kBand && !near; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= kWidth || ny >= kHeight)
                        continue;
                    const float a = t.Alpha[static_cast<std::size_t>(ny) * kWidth + nx];
                    near = a > 0.0f && a < 1.0f;
                }
            const float a = t.Alpha[i];
            if (near || (a > 0.0f && a < 1.0f))
                t.Parts[i] = a > 0.0f && a < 1.0f ? element[i] : Edge;
            else
                t.Parts[i] = a >= 1.0f ? SolidSubject : SolidScreen;
        }
    return t;
}

void Write(const std::string& file, const OIIO::ImageBuf& image)
{
    if (!image.write(file))
        throw std::runtime_error(file + ": " + image.geterror());
}

int Make(char** argv)
{
    const std::vector<Rgb> screen = MirroredPatch(argv[0], ParseRect(argv[1]));
    const std::vector<Rgb> foreground = MirroredPatch(argv[2], ParseRect(argv[3]));
    const Rgb hair = Median(MirroredPatch(argv[4], ParseRect(argv[5])));
    const std::string dir = argv[6];
    const Truth truth = Draw();

    OIIO::ImageSpec plateSpec(kWidth, kHeight, 3, OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf plate(plateSpec);
    OIIO::ImageSpec truthSpec(kWidth, kHeight, 5, OIIO::TypeDesc::FLOAT);
    truthSpec.channelnames = {"R", "G", "B", "A", "part"};
    OIIO::ImageBuf truthImage(truthSpec);
    const std::vector<Strand> strands = Strands();
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * kWidth + x;
            // The hair's own colour where strands lie beyond the body; the foreground elsewhere.
            Rgb fg = truth.Parts[i] == Hair ? hair : foreground[i];
            const float a = truth.Alpha[i];
            const Rgb s = screen[i];
            const float spill = truth.SpillShare[i];
            const Rgb lit{fg.R + spill * s.R, fg.G + spill * s.G, fg.B + spill * s.B};
            const float colour[3] = {ToSrgb(a * lit.R + (1 - a) * s.R), ToSrgb(a * lit.G + (1 - a) * s.G),
                                     ToSrgb(a * lit.B + (1 - a) * s.B)};
            plate.setpixel(x, y, colour, 3);
            const float t[5] = {fg.R, fg.G, fg.B, a, static_cast<float>(truth.Parts[i])};
            truthImage.setpixel(x, y, t, 5);
        }
    Write(dir + "/plate.png", plate);
    Write(dir + "/truth.exr", truthImage);
    const Rgb key = Median(screen);
    std::printf("0x%02X%02X%02X\n", static_cast<int>(std::lround(ToSrgb(key.R) * 255.0f)),
                static_cast<int>(std::lround(ToSrgb(key.G) * 255.0f)),
                static_cast<int>(std::lround(ToSrgb(key.B) * 255.0f)));
    return 0;
}

// The errors of one keyed frame, RGBA straight sRGB values from 0 to 1, row by row.
void PrintErrors(const OIIO::ImageBuf& truth, const std::vector<float>& keyed)
{
    const float grey = ToLinear(0.5f);
    double sums[7] = {};
    std::size_t counts[7] = {};
    const auto add = [&](int which, double value) {
        sums[which] += value;
        ++counts[which];
    };
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            float t[5];
            truth.getpixel(x, y, t, 5);
            const float* k = &keyed[(static_cast<std::size_t>(y) * kWidth + x) * 4];
            const int part = static_cast<int>(t[4]);
            const double error = std::fabs(static_cast<double>(k[3]) - t[3]);
            if (part == SolidScreen) {
                add(4, k[3]);
                continue;
            }
            if (part == SolidSubject) {
                add(5, k[3]);
                continue;
            }
            add(0, error);
            if (part == Hair || part == Veil || part == Blur)
                add(part - 2, error);
            double composite = 0.0;
            for (int c = 0; c < 3; ++c) {
                const double mine = k[3] * ToLinear(k[c]) + (1.0 - k[3]) * grey;
                const double right = t[3] * t[c] + (1.0 - t[3]) * grey;
                composite += std::fabs(mine - right) / 3.0;
            }
            add(6, composite);
        }
    for (int i = 0; i < 7; ++i)
        std::printf("%s%.4f", i == 0 ? "" : "\t", counts[i] > 0 ? sums[i] / static_cast<double>(counts[i]) : 0.0);
    std::printf("\n");
}

OIIO::ImageBuf ReadTruth(const std::string& dir)
{
    OIIO::ImageBuf truth(dir + "/truth.exr");
    if (!truth.read(0, 0, true, OIIO::TypeDesc::FLOAT))
        throw std::runtime_error(dir + "/truth.exr: " + truth.geterror());
    return truth;
}

int Measure(char** argv)
{
    const OIIO::ImageBuf truth = ReadTruth(argv[0]);
    // PNG holds straight colour; the image library would multiply it by alpha unless told not to.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageBuf keyed(argv[1], 0, 0, nullptr, &config);
    if (!keyed.read(0, 0, true, OIIO::TypeDesc::FLOAT))
        throw std::runtime_error(std::string(argv[1]) + ": " + keyed.geterror());
    if (keyed.spec().width != kWidth || keyed.spec().height != kHeight || keyed.spec().nchannels != 4)
        throw std::runtime_error(std::string(argv[1]) + ": expected 256 x 192 RGBA");
    std::vector<float> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    keyed.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, pixels.data());
    PrintErrors(truth, pixels);
    return 0;
}

// Every frame of a raw 8-bit RGBA stream of 256 x 192 frames, one line each.
int MeasureFrames(char** argv)
{
    const OIIO::ImageBuf truth = ReadTruth(argv[0]);
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        throw std::runtime_error(std::string(argv[1]) + ": cannot open");
    std::vector<unsigned char> frame(static_cast<std::size_t>(kWidth) * kHeight * 4);
    std::vector<float> pixels(frame.size());
    while (std::fread(frame.data(), 1, frame.size(), in) == frame.size()) {
        for (std::size_t i = 0; i < frame.size(); ++i)
            pixels[i] = static_cast<float>(frame[i]) / 255.0f;
        PrintErrors(truth, pixels);
    }
    std::fclose(in);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "make" && argc == 9)
            return Make(argv + 2);
        if (mode == "measure" && argc == 4)
            return Measure(argv + 2);
        if (mode == "measure-frames" && argc == 4)
            return MeasureFrames(argv + 2);
        std::fprintf(stderr, "usage: qualvex_edge_plates make SCREEN X,Y,W,H FOREGROUND X,Y,W,H HAIR X,Y,W,H DIR\n"
                             "       qualvex_edge_plates measure DIR KEYED.png\n"
                             "       qualvex_edge_plates measure-frames DIR KEYED.rgba\n");
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qualvex_edge_plates: %s\n", error.what());
        return 1;
    }
}
