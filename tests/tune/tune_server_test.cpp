// qualvex tune's HTTP API, driven as the page and scripts drive it, over the loaded tool: the
// control page and the tool's change handling seen through it, the views (with alphas computed by
// hand from the matte's rules), picking, saving and loading, and the rules that keep it safe.
#include "jobs/control_settings.h"
#include "jobs/frame_render.h"
#include "jobs/keyer_plugin.h"
#include "base/errors.h"
#include "base/safe_text.h"
#include "media/image_reader.h"
#include "tune/tune_server.h"
#include "tune/tune_session.h"
#include "support/float_compare.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qualvex {
namespace {

using Json = nlohmann::json;

// Columns of the plate, each one colour from top to bottom. With the window settings below
// (RGB, every Value 0.5, every Min and Max 0.1: windows 0.4 .. 0.6, Fade 1) their alphas follow
// from the matte's rules by hand:
struct Column {
    float R, G, B;
    unsigned char Matte;         // alpha as an 8-bit grey
    unsigned char Rejection[3];  // which components lie outside their window
};
const Column kColumns[] = {
    {0.5f, 0.5f, 0.5f, 255, {0, 0, 0}},        // dist 0.173, a = 1.15, clamped
    {0.9f, 0.9f, 0.9f, 0, {255, 255, 255}},    // all three above their windows: fully keyed
    {0.1f, 0.1f, 0.1f, 98, {255, 255, 255}},   // a = 0.384900182: 98.15 of 255
    {0.7f, 0.5f, 0.5f, 255, {255, 0, 0}},      // p1 above its window, not a full key
    {0.5f, 0.3f, 0.5f, 255, {0, 255, 0}},      // p2 below its window; depths 0.1, -0.1, 0.1
    {0.5f, 0.5f, 0.05f, 135, {0, 0, 255}},     // p3 below: dist sqrt(0.1425), a = 0.529812: 135.1
    {0.0f, 1.0f, 0.0f, 74, {255, 255, 255}},   // pure green: depths -0.4 each, a = 0.288675: 73.6
};
constexpr int kWidth = 7;
constexpr int kHeight = 160;  // tall enough to be keyed in bands where there are cores for it

const std::vector<std::pair<std::string, double>> kWindows = {
    {"Colorspace", 0}, {"ColCor", 0},     {"InvAlpha", 0},   {"ValueRed", 0.5}, {"ValueGreen", 0.5},
    {"ValueBlue", 0.5}, {"MiRedn", 0.1},   {"MinGreen", 0.1}, {"MinBlue", 0.1},  {"MaxRed", 0.1},
    {"MaxGreen", 0.1}, {"MaxBlue", 0.1},  {"FadeRed", 1},    {"GammaAlpha", 1}, {"OffAlpha", 0},
    {"MultAlpha", 1}};

struct Picture {
    int Width = 0, Height = 0, Channels = 0;
    std::vector<unsigned char> Bytes;
    const unsigned char* At(int x, int y) const
    {
        return &Bytes[(static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x)) *
                      static_cast<std::size_t>(Channels)];
    }
};

Picture DecodePng(const std::string& png)
{
    std::vector<unsigned char> bytes(png.begin(), png.end());
    OIIO::Filesystem::IOMemReader reader(bytes.data(), bytes.size());
    auto in = OIIO::ImageInput::open("view.png", nullptr, &reader);
    if (!in)
        throw std::runtime_error("not a PNG: " + OIIO::geterror());
    Picture picture{in->spec().width, in->spec().height, in->spec().nchannels, {}};
    picture.Bytes.resize(static_cast<std::size_t>(picture.Width * picture.Height * picture.Channels));
    if (!in->read_image(0, 0, 0, -1, OIIO::TypeDesc::UINT8, picture.Bytes.data()))
        throw std::runtime_error("cannot read the PNG: " + in->geterror());
    return picture;
}

class TuneServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_Plugin = new KeyerPlugin(std::filesystem::path(QUALVEX_PLUGIN_DIR));
        s_Folder = std::filesystem::temp_directory_path() / ("qualvex-tune-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(s_Folder / "page");
        std::ofstream(s_Folder / "page" / "index.html") << "<!doctype html><title>page</title>";
        std::ofstream(s_Folder / "page" / "tune.js") << "\"use strict\";";
        std::ofstream(s_Folder / "page" / ".hidden.js") << "hidden";
        std::ofstream(s_Folder / "secret.html") << "outside the page folder";

        // The plate, float RGBA, written as EXR.
        std::vector<float> pixels;
        for (int y = 0; y < kHeight; ++y)
            for (const Column& c : kColumns)
                pixels.insert(pixels.end(), {c.R, c.G, c.B, 1.0f});
        const std::filesystem::path plate = s_Folder / "plate.exr";
        auto out = OIIO::ImageOutput::create(plate.string());
        OIIO::ImageSpec header(kWidth, kHeight, 4, OIIO::TypeDesc::FLOAT);
        ASSERT_TRUE(out->open(plate.string(), header) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                    out->close());
    }

    static void TearDownTestSuite()
    {
        std::filesystem::remove_all(s_Folder);
        delete s_Plugin;
    }

    void SetUp() override
    {
        m_Session = std::make_unique<TuneSession>(*s_Plugin, TuneSource{(s_Folder / "plate.exr").string(), "", "", "", ""});
        m_Server = std::make_unique<TuneServer>(*m_Session, TuneServerOptions{"127.0.0.1", 0, s_Folder / "page", ""});
        m_Server->Start();
        m_Client = std::make_unique<httplib::Client>("127.0.0.1", m_Server->Port());
        // An answer is waited for as long as it takes: a fit under the sanitizers, beside other
        // tests, can take longer than the library's 5 s.
        m_Client->set_read_timeout(120, 0);
        m_Auth = {{"X-Qualvex-Token", m_Server->Token()}};
    }

    void TearDown() override
    {
        m_Client.reset();
        m_Server.reset();
        m_Session.reset();
    }

    httplib::Result Get(const std::string& path, const httplib::Headers& headers) { return m_Client->Get(path, headers); }
    httplib::Result Get(const std::string& path) { return Get(path, m_Auth); }
    httplib::Result Post(const std::string& path, const std::string& body, httplib::Headers headers)
    {
        return m_Client->Post(path, headers, body, "application/json");
    }
    httplib::Result Post(const std::string& path, const Json& body) { return Post(path, body.dump(), m_Auth); }

    Json Controls()
    {
        const auto result = Get("/api/controls");
        EXPECT_EQ(result->status, 200);
        return Json::parse(result->body);
    }
    static const Json& Control(const Json& controls, const std::string& id)
    {
        for (const Json& control : controls)
            if (control["id"] == id)
                return control;
        throw std::runtime_error("no control " + id);
    }

    void SetWindows()
    {
        Json set = Json::array();
        for (const auto& [id, value] : kWindows)
            set.push_back({{"id", id}, {"value", value}});
        ASSERT_EQ(Post("/api/controls", Json{{"set", set}})->status, 200);
    }

    Picture View(const std::string& view, const std::string& scale = "1")
    {
        const auto result = Get("/api/view?view=" + view + "&frame=0&scale=" + scale);
        EXPECT_EQ(result->status, 200) << result->body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "image/png");
        return DecodePng(result->body);
    }

    static KeyerPlugin* s_Plugin;
    static std::filesystem::path s_Folder;
    std::unique_ptr<TuneSession> m_Session;
    std::unique_ptr<TuneServer> m_Server;
    std::unique_ptr<httplib::Client> m_Client;
    httplib::Headers m_Auth;
};

KeyerPlugin* TuneServerTest::s_Plugin = nullptr;
std::filesystem::path TuneServerTest::s_Folder;

// ---- the control page --------------------------------------------------------------------

TEST_F(TuneServerTest, ListsTheToolsControlsInItsOrderWithKindsRangesEntriesAndValues)
{
    const Json controls = Controls();
    std::vector<std::string> ids;
    for (const Json& control : controls)
        ids.push_back(control["id"]);
    const std::vector<std::string> expected = {
        "Colorspace", "BGAlphaBlend", "CRed",      "CGreen",    "CBlue",      "InvAlpha",   "ColCor",
        "CCAmount",   "DesaturateAlpha", "Channel", "ValueRed", "ValueGreen", "ValueBlue",  "MiRedn",
        "MinGreen",   "MinBlue",    "MaxRed",      "MaxGreen",  "MaxBlue",   "mydivider",  "FadeRed",
        "GammaAlpha", "MultAlpha",  "OffAlpha",    "2016byTavelorn", "Image", "KeyImage"};
    EXPECT_EQ(ids, expected);
    const Json& space = Control(controls, "Colorspace");
    EXPECT_EQ(space["kind"], "combo");
    EXPECT_EQ(space["name"], "Color Space");
    EXPECT_EQ(space["entries"], Json({"RGB", "HSV", "YXy", "YUV", "YCbCr"}));
    EXPECT_EQ(Control(controls, "BGAlphaBlend")["entries"][3], "Substract");
    const Json& gamma = Control(controls, "GammaAlpha");
    EXPECT_EQ(gamma["kind"], "slider");
    EXPECT_EQ(gamma["min"], 0.0001);
    EXPECT_EQ(gamma["max"], 4.0);
    EXPECT_EQ(gamma["value"], 1.0);
    EXPECT_EQ(Control(controls, "CRed")["kind"], "colour");
    EXPECT_EQ(Control(controls, "Channel")["kind"], "multibutton");
    EXPECT_EQ(Control(controls, "ColCor")["value"], 1.0);  // the tool's default
    EXPECT_FALSE(Control(controls, "Image").contains("value"));
}

TEST_F(TuneServerTest, AKeyColourSetInHsvFillsTheValueSlidersWithItsHsvComponents)
{
    const auto result = Post("/api/controls", Json{{"set", {{{"id", "Colorspace"}, {"value", "HSV"}},
                                                            {{"id", "CRed"}, {"value", 0}},
                                                            {{"id", "CGreen"}, {"value", 1}},
                                                            {{"id", "CBlue"}, {"value", 0}}}}});
    ASSERT_EQ(result->status, 200) << result->body;
    const Json controls = Json::parse(result->body);
    // Pure green is hue 0.333333343, saturation 1, value 1.
    EXPECT_EQ(static_cast<float>(Control(controls, "ValueRed")["value"].get<double>()), 0.333333343f);
    EXPECT_EQ(Control(controls, "ValueGreen")["value"], 1.0);
    EXPECT_EQ(Control(controls, "ValueBlue")["value"], 1.0);
    EXPECT_EQ(Control(controls, "Colorspace")["value"], 1.0);
}

TEST_F(TuneServerTest, TheChannelButtonsShowOneComponentsSlidersThroughTheToolsVisibility)
{
    const struct {
        int Channel;
        const char* Shown;
        const char* Hidden[2];
    } cases[] = {{0, "ValueRed", {"ValueGreen", "ValueBlue"}},
                 {1, "ValueGreen", {"ValueRed", "ValueBlue"}},
                 {2, "ValueBlue", {"ValueRed", "ValueGreen"}}};
    for (const auto& c : cases) {
        const auto result = Post("/api/controls", Json{{"set", {{{"id", "Channel"}, {"value", c.Channel}}}}});
        ASSERT_EQ(result->status, 200);
        const Json controls = Json::parse(result->body);
        EXPECT_TRUE(Control(controls, c.Shown)["visible"]) << c.Channel;
        for (const char* hidden : c.Hidden)
            EXPECT_FALSE(Control(controls, hidden)["visible"]) << c.Channel << " " << hidden;
    }
}

TEST_F(TuneServerTest, EditsAreCheckedBeforeAnyIsSetAndRefusedByName)
{
    const struct {
        Json Set;
        const char* Says;
    } cases[] = {
        {{{{"id", "FadeRed"}, {"value", 0.5}}, {{"id", "NoSuchControl"}, {"value", 1}}}, "NoSuchControl"},
        {{{{"id", "Colorspace"}, {"value", "Lab"}}}, "Colorspace"},
        {{{{"id", "FadeRed"}, {"value", "nan"}}}, "not finite"},
        {{{{"id", "FadeRed"}}}, "\\\"value\\\""},
        {Json::object(), "\\\"set\\\""},
    };
    for (const auto& c : cases) {
        const auto result = Post("/api/controls", Json{{"set", c.Set}});
        EXPECT_EQ(result->status, 400) << c.Set.dump();
        EXPECT_NE(result->body.find(c.Says), std::string::npos) << result->body;
    }
    EXPECT_EQ(Control(Controls(), "FadeRed")["value"], 0.0);  // nothing of the first request was set
}

// ---- views -------------------------------------------------------------------------------

TEST_F(TuneServerTest, TheMatteViewShowsTheToolsAlphaComputedByHand)
{
    SetWindows();
    const Picture matte = View("matte");
    ASSERT_EQ(matte.Width, kWidth);
    ASSERT_EQ(matte.Height, kHeight);
    ASSERT_EQ(matte.Channels, 1);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            ASSERT_EQ(*matte.At(x, y), kColumns[x].Matte) << "pixel " << x << "," << y;
}

TEST_F(TuneServerTest, TheViewsAreTheSameBitsAsTheFrameKeyedWholeOnOneInstance)
{
    SetWindows();
    ASSERT_EQ(Post("/api/controls", Json{{"set", {{{"id", "GammaAlpha"}, {"value", 0.7}}}}})->status, 200);
    const Picture matte = View("matte");
    // The same frame keyed whole by one instance holding the same values.
    const std::unique_ptr<Operator> one = s_Plugin->NewInstance();
    std::vector<ControlValue> held;
    for (const Json& control : Controls())
        if (control.contains("value") && control["value"].is_number())
            held.push_back({control["id"], control["value"]});
    RestoreControlValues(*one, held);
    ImageFile plate = ReadImageFile(s_Folder / "plate.exr", "source");
    const std::unique_ptr<Image> keyed = KeyOneFrame(*one, *plate.Pixels, nullptr, 0);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float a = keyed->GetPixel(x, y).A;
            const auto expected = static_cast<unsigned char>(a <= 0 ? 0 : a >= 1 ? 255 : std::lround(a * 255.0f));
            ASSERT_EQ(*matte.At(x, y), expected) << "pixel " << x << "," << y;
        }
}

TEST_F(TuneServerTest, AProxyShowsEveryOtherPixelOfTheFullSizeView)
{
    SetWindows();
    const Picture full = View("matte");
    for (const auto& [scale, step] : {std::pair{"0.5", 2}, std::pair{"0.25", 4}}) {
        const Picture proxy = View("matte", scale);
        ASSERT_EQ(proxy.Width, (kWidth + step - 1) / step) << scale;
        ASSERT_EQ(proxy.Height, kHeight / step) << scale;
        for (int y = 0; y < proxy.Height; ++y)
            for (int x = 0; x < proxy.Width; ++x)
                ASSERT_EQ(*proxy.At(x, y), *full.At(x * step, y * step)) << scale << " pixel " << x << "," << y;
    }
}

TEST_F(TuneServerTest, TheRejectionViewColoursEachComponentOutsideItsWindow)
{
    SetWindows();
    const Picture rejection = View("rejection");
    ASSERT_EQ(rejection.Channels, 3);
    for (int y : {0, kHeight / 2, kHeight - 1})
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(rejection.At(x, y)[c], kColumns[x].Rejection[c]) << "pixel " << x << "," << y << " channel " << c;
    // The questions are asked of other instances: the page's values are untouched.
    EXPECT_EQ(Control(Controls(), "OffAlpha")["value"], 0.0);
}

TEST_F(TuneServerTest, SourceAndCheckerViewsShowTheColourAndTheCompositeOverSquares)
{
    SetWindows();
    const Picture source = View("source");
    EXPECT_EQ(source.At(0, 0)[0], 128);  // 0.5 of 255, rounded half up
    EXPECT_EQ(source.At(1, 0)[1], 230);  // 0.9: 229.5
    const Picture checker = View("checker");
    // Alpha 1: the colour itself; alpha 0: the square behind, light (0.6) at the top left.
    EXPECT_EQ(checker.At(0, 0)[0], 128);
    EXPECT_EQ(checker.At(1, 0)[0], 153);
    EXPECT_EQ(checker.At(1, 16)[0], 102);  // the next square down is dark (0.4)
    // Alpha 0.384900182 over light grey, straight colour (colour correction off):
    // 0.1 a + 0.6 (1 - a) = 0.407549909, 103.9 of 255.
    EXPECT_EQ(checker.At(2, 0)[0], 104);
    // With colour correction on (CC Amount 0 keeps the colour) the colour reads as associated:
    // 0.1 + 0.6 (1 - a) = 0.469059891, 119.6 of 255.
    ASSERT_EQ(Post("/api/controls", Json{{"set", {{{"id", "ColCor"}, {"value", 1}}}}})->status, 200);
    EXPECT_EQ(View("checker").At(2, 0)[0], 120);
}

TEST_F(TuneServerTest, MatteStatisticsCountPixelsAtZeroAtOneAndBetween)
{
    SetWindows();
    const auto result = Get("/api/stats?frame=0&scale=1");
    ASSERT_EQ(result->status, 200);
    const Json shares = Json::parse(result->body);
    // Per row: one column keyed, three kept, three between.
    EXPECT_EQ(shares["pixels"], kWidth * kHeight);
    EXPECT_DOUBLE_EQ(shares["zero"].get<double>(), 1.0 / 7.0);
    EXPECT_DOUBLE_EQ(shares["one"].get<double>(), 3.0 / 7.0);
    EXPECT_DOUBLE_EQ(shares["between"].get<double>(), 3.0 / 7.0);
}

TEST_F(TuneServerTest, ViewRequestsOutsideTheFramesOrScalesAreRefusedWithAMessage)
{
    const struct {
        const char* Path;
        int Status;
        const char* Says;
    } cases[] = {
        {"/api/view?view=alpha", 400, "expected source, matte"},
        {"/api/view?view=matte&frame=3", 400, "frame 3 is not one of the source's frames"},
        {"/api/view?view=matte&frame=x", 400, "not a whole number"},
        {"/api/view?view=matte&scale=0", 400, "scale"},
        {"/api/view?view=matte&scale=0.3", 400, "1 over a whole number"},
        {"/api/view?view=matte&scale=2", 400, "scale"},
        {"/api/view?view=background", 400, "no background image"},
        {"/api/nothing", 404, "no such call"},
    };
    for (const auto& c : cases) {
        const auto result = Get(c.Path);
        EXPECT_EQ(result->status, c.Status) << c.Path;
        EXPECT_NE(result->body.find(c.Says), std::string::npos) << c.Path << ": " << result->body;
    }
}

// ---- picking, saving, loading --------------------------------------------------------------

TEST_F(TuneServerTest, PickingAPixelSetsTheKeyColourAndInHsvTheValueSliders)
{
    ASSERT_EQ(Post("/api/controls", Json{{"set", {{{"id", "Colorspace"}, {"value", "HSV"}}}}})->status, 200);
    const auto result = Post("/api/pick", Json{{"x", 6}, {"y", 10}});
    ASSERT_EQ(result->status, 200) << result->body;
    const Json controls = Json::parse(result->body);
    EXPECT_EQ(Control(controls, "CRed")["value"], 0.0);
    EXPECT_EQ(Control(controls, "CGreen")["value"], 1.0);
    EXPECT_EQ(Control(controls, "CBlue")["value"], 0.0);
    EXPECT_EQ(static_cast<float>(Control(controls, "ValueRed")["value"].get<double>()), 0.333333343f);
    EXPECT_EQ(Control(controls, "ValueGreen")["value"], 1.0);
    EXPECT_EQ(Control(controls, "ValueBlue")["value"], 1.0);
}

TEST_F(TuneServerTest, PickingARegionTakesItsMedianChannelByChannel)
{
    // Columns 0 to 2 hold 0.5, 0.9 and 0.1 in every channel: the median is 0.5.
    const auto result = Post("/api/pick", Json{{"x", 0}, {"y", 5}, {"width", 3}, {"height", 4}});
    ASSERT_EQ(result->status, 200) << result->body;
    const Json controls = Json::parse(result->body);
    for (const char* id : {"CRed", "CGreen", "CBlue"})
        EXPECT_EQ(Control(controls, id)["value"], 0.5) << id;
    const auto outside = Post("/api/pick", Json{{"x", 5}, {"y", 0}, {"width", 3}, {"height", 1}});
    EXPECT_EQ(outside->status, 400);
    EXPECT_NE(outside->body.find("the picked region"), std::string::npos) << outside->body;
}

TEST_F(TuneServerTest, FittingMarkedRegionsKeysTheScreenAndKeepsTheSubject)
{
    // Screen: the pure green column; subject: the grey and the reddish columns.
    const auto result = Post("/api/fit", Json{{"frame", 0},
                                              {"screen", {{6, 0, 1, kHeight}}},
                                              {"subject", {{0, 0, 1, kHeight}, {3, 0, 1, kHeight}}}});
    ASSERT_EQ(result->status, 200) << result->body;
    const Json answer = Json::parse(result->body);
    EXPECT_NE(answer["report"].get<std::string>().find("screen samples fully keyed: 100"), std::string::npos)
        << answer["report"];
    const Picture matte = View("matte");
    for (int y : {0, kHeight - 1}) {
        EXPECT_EQ(*matte.At(6, y), 0) << y;
        EXPECT_EQ(*matte.At(0, y), 255) << y;
        EXPECT_EQ(*matte.At(3, y), 255) << y;
    }
    // With the edges found: the three columns within 3 pixels of the green one, each unlike it, are
    // the band (3 x 160 pixels).
    const auto soft = Post("/api/fit", Json{{"frame", 0},
                                            {"screen", {{6, 0, 1, kHeight}}},
                                            {"subject", {{0, 0, 1, kHeight}}},
                                            {"edges", "auto"}});
    ASSERT_EQ(soft->status, 200) << soft->body;
    EXPECT_NE(Json::parse(soft->body)["report"].get<std::string>().find(" of 480 edge samples"), std::string::npos)
        << soft->body;
    EXPECT_EQ(Post("/api/fit", Json{{"screen", {{6, 0, 1, 2}}}, {"edges", "some"}})->status, 400);
    // Edge regions marked on the page: the two columns beside the green one (2 x 160 pixels); one
    // reaching outside the frame is refused by its name.
    const auto marked = Post("/api/fit", Json{{"frame", 0},
                                              {"screen", {{6, 0, 1, kHeight}}},
                                              {"subject", {{0, 0, 1, kHeight}}},
                                              {"edge", {{4, 0, 2, kHeight}}}});
    ASSERT_EQ(marked->status, 200) << marked->body;
    EXPECT_NE(Json::parse(marked->body)["report"].get<std::string>().find(" of 320 edge samples"), std::string::npos)
        << marked->body;
    const auto outside = Post("/api/fit", Json{{"screen", {{6, 0, 1, 2}}}, {"edge", {{5, 0, 4, 2}}}});
    EXPECT_EQ(outside->status, 400) << outside->body;
    EXPECT_NE(outside->body.find("edge 1"), std::string::npos) << outside->body;
    const auto overlapping = Post("/api/fit", Json{{"screen", {{0, 0, 2, 2}}}, {"subject", {{1, 1, 2, 2}}}});
    EXPECT_EQ(overlapping->status, 400);
    EXPECT_NE(overlapping->body.find("overlap"), std::string::npos) << overlapping->body;
}

TEST_F(TuneServerTest, SavedSettingsRestoreEveryControlToTheBitAndNeverReplaceAFileUnasked)
{
    // A key colour picked in HSV, then one Value slider nudged away from its round trip.
    ASSERT_EQ(Post("/api/controls", Json{{"set", {{{"id", "Colorspace"}, {"value", "HSV"}}}}})->status, 200);
    ASSERT_EQ(Post("/api/pick", Json{{"x", 5}, {"y", 0}})->status, 200);
    ASSERT_EQ(Post("/api/controls", Json{{"set", {{{"id", "ValueGreen"}, {"value", 0.8123456789}},
                                                  {{"id", "MinGreen"}, {"value", 0.3}},
                                                  {{"id", "FadeRed"}, {"value", 0.6}}}}})
                  ->status,
              200);
    const std::filesystem::path file = s_Folder / "saved.json";
    std::filesystem::remove(file);
    const auto saved = Post("/api/save", Json{{"path", file.string()}});
    ASSERT_EQ(saved->status, 200) << saved->body;
    EXPECT_NE(Json::parse(saved->body)["command"].get<std::string>().find("--settings '" + file.string() + "'"),
              std::string::npos);

    // Loaded as qualvex key --settings loads it, into a new instance.
    const std::unique_ptr<Operator> fresh = s_Plugin->NewInstance();
    RunSettings settings;
    settings.File = ReadSettingsFile(*fresh, file);
    settings.ApplyTo(*fresh);
    for (const Json& control : Controls()) {
        if (!control.contains("value"))
            continue;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fresh->FindInput(control["id"].get<std::string>())->NumberValue()),
                  std::bit_cast<std::uint64_t>(control["value"].get<double>()))
            << control["id"];
    }

    const auto again = Post("/api/save", Json{{"path", file.string()}});
    EXPECT_EQ(again->status, 409);
    EXPECT_NE(again->body.find("overwrite"), std::string::npos) << again->body;
    EXPECT_EQ(Post("/api/save", Json{{"path", file.string()}, {"overwrite", true}})->status, 200);
    const auto notJson = Post("/api/save", Json{{"path", (s_Folder / "saved.exr").string()}});
    EXPECT_EQ(notJson->status, 400);
    EXPECT_FALSE(std::filesystem::exists(s_Folder / "saved.exr"));
}

TEST_F(TuneServerTest, AMovieOpensFrameByFrameAndIsKeyedIntoAMovie)
{
    // Five frames, each one flat colour whose red counts the frame: 0, 40, 80, 120, 160 (ffmpeg's
    // PNG codec keeps the 8-bit values exactly).
    const std::filesystem::path movie = s_Folder / "clip.mov";
    const std::string make = "ffmpeg -v error -y -f lavfi -i \"color=c=black:s=32x24:r=5,format=rgb24,"
                             "geq=r='N*40':g='128':b='255-N*40'\" -frames:v 5 -c:v png '" +
                             movie.string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    TuneSession session(*s_Plugin, TuneSource{movie.string(), "", "", "", ""});
    const nlohmann::json described = nlohmann::json::parse(session.DescriptionJson());
    EXPECT_EQ(described["frames"], nlohmann::json::parse("[1, 2, 3, 4, 5]")) << described.dump();
    // Back and forth: a frame before the last one read opens the movie again.
    for (const int frame : {3, 1, 5, 2}) {
        const Picture view = DecodePng(session.RenderViewPng(TuneView::Source, frame, 1));
        ASSERT_EQ(view.Width, 32);
        ASSERT_EQ(view.Height, 24);
        for (const auto& [x, y] : {std::pair{0, 0}, std::pair{31, 23}}) {
            EXPECT_EQ(view.At(x, y)[0], (frame - 1) * 40) << "frame " << frame;
            EXPECT_EQ(view.At(x, y)[1], 128) << "frame " << frame;
            EXPECT_EQ(view.At(x, y)[2], 255 - (frame - 1) * 40) << "frame " << frame;
        }
    }
    EXPECT_THROW(session.RenderViewPng(TuneView::Source, 6, 1), UsageError);
    EXPECT_THROW(session.RenderViewPng(TuneView::Source, 0, 1), UsageError);
    // Save's command keys the movie into a movie beside it, in the movie's own 8 bits.
    const std::string command = session.KeyCommandLine(s_Folder / "s.json");
    EXPECT_NE(command.find(" -o " + ShellQuoted((s_Folder / "clip-keyed.mov").string()) + " "), std::string::npos)
        << command;
    EXPECT_EQ(command.find("--data-type"), std::string::npos) << command;
    // --frames picks frames of the movie, counted from 1.
    TuneSession some(*s_Plugin, TuneSource{movie.string(), "", "2-3", "", ""});
    EXPECT_EQ(nlohmann::json::parse(some.DescriptionJson())["frames"], nlohmann::json::parse("[2, 3]"));
    EXPECT_THROW(TuneSession(*s_Plugin, TuneSource{movie.string(), "", "4-9", "", ""}), Failure);
}

// The command Save hands the user, run as printed (the program found on PATH), keys the source
// as the page shows it: the same matte, to the bit, and the same colour where the matte is 1.
TEST_F(TuneServerTest, TheCommandSaveGivesKeysTheSourceAsThePageShowsIt)
{
    SetWindows();
    const std::filesystem::path file = s_Folder / "command.json";
    const std::filesystem::path keyed = s_Folder / "plate-keyed.exr";
    std::filesystem::remove(file);
    std::filesystem::remove(keyed);
    const auto saved = Post("/api/save", Json{{"path", file.string()}});
    ASSERT_EQ(saved->status, 200) << saved->body;
    const std::string command = Json::parse(saved->body)["command"].get<std::string>();
    ASSERT_EQ(command.rfind("qualvex key ", 0), 0u) << command;
    const std::string program = std::filesystem::path(QUALVEX_BUILD_PROGRAM).parent_path().string();
    ASSERT_EQ(std::system(("PATH='" + program + "':\"$PATH\" " + command + " >/dev/null 2>&1").c_str()), 0) << command;

    const std::string shown = m_Session->ResultFloats(0);
    ASSERT_EQ(shown.size(), static_cast<std::size_t>(kWidth * kHeight * 4) * sizeof(float));
    std::vector<float> expected(static_cast<std::size_t>(kWidth * kHeight * 4));
    std::memcpy(expected.data(), shown.data(), shown.size());
    const auto in = OIIO::ImageInput::open(keyed.string());
    ASSERT_TRUE(in) << keyed;
    std::vector<float> written(expected.size());
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, written.data()));
    std::size_t opaque = 0, partial = 0;
    for (std::size_t i = 0; i < expected.size(); i += 4) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(written[i + 3]), std::bit_cast<std::uint32_t>(expected[i + 3]))
            << "alpha of pixel " << i / 4;
        if (expected[i + 3] == 1.0f) {
            ++opaque;
            for (std::size_t c = 0; c < 3; ++c)
                EXPECT_EQ(written[i + c], expected[i + c]) << "pixel " << i / 4 << " channel " << c;
        } else if (expected[i + 3] > 0.0f) {
            ++partial;
        }
    }
    EXPECT_GT(opaque, 0u);
    EXPECT_GT(partial, 0u);
}

// A clean plate keys only a source of its size and in the colour space it holds references of,
// as qualvex key refuses it otherwise: at the start, and in every view once the space changes.
TEST_F(TuneServerTest, ACleanPlateAsTheKeyImageIsRefusedInAnotherSizeOrColourSpace)
{
    const auto writePlate = [](const std::filesystem::path& file, int width, int height) {
        std::vector<float> pixels(static_cast<std::size_t>(width * height * 4), 0.5f);
        auto out = OIIO::ImageOutput::create(file.string());
        OIIO::ImageSpec header(width, height, 4, OIIO::TypeDesc::FLOAT);
        header.attribute("qualvex:cleanplate", "HSV");
        ASSERT_TRUE(out->open(file.string(), header) && out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) &&
                    out->close());
    };
    const std::filesystem::path small = s_Folder / "clean-small.exr";
    const std::filesystem::path plate = s_Folder / "clean.exr";
    writePlate(small, 3, 4);
    writePlate(plate, kWidth, kHeight);
    const std::filesystem::path hsv = s_Folder / "hsv.json";
    std::ofstream(hsv) << R"({"Colorspace": "HSV"})";
    const std::string source = (s_Folder / "plate.exr").string();
    const struct {
        std::filesystem::path KeyImage;
        std::string Settings;
        std::string Message;  // empty: the session starts
    } cases[] = {
        {small, hsv.string(), "the clean plate is 3 x 4, the source 7 x 160"},
        {plate, "", "the clean plate holds HSV references, the settings key in RGB"},
        {plate, hsv.string(), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.KeyImage.string() + " " + c.Settings);
        try {
            TuneSession session(*s_Plugin, TuneSource{source, c.KeyImage.string(), "", "", c.Settings});
            EXPECT_EQ(c.Message, "") << "started";
            // Keyed in HSV it renders; set to RGB every keyed view is refused, naming the plate.
            EXPECT_NO_THROW(session.RenderViewPng(TuneView::Matte, 0, 1));
            session.SetControls({{"Colorspace", "RGB"}});
            for (const TuneView view : {TuneView::Matte, TuneView::Checker, TuneView::Rejection}) {
                try {
                    session.RenderViewPng(view, 0, 2);
                    ADD_FAILURE() << "rendered in RGB against an HSV plate";
                } catch (const UsageError& error) {
                    EXPECT_NE(std::string(error.what()).find(plate.string() + ": the clean plate holds HSV"),
                              std::string::npos)
                        << error.what();
                }
            }
            EXPECT_NO_THROW(session.RenderViewPng(TuneView::Source, 0, 1));
        } catch (const UsageError& error) {
            EXPECT_NE(c.Message, "") << error.what();
            EXPECT_NE(std::string(error.what()).find(c.Message), std::string::npos) << error.what();
        }
    }
}

// ---- the finishing tool -------------------------------------------------------------------

TEST_F(TuneServerTest, TheFinishingToolsControlsAreListedAndFinishTheViewsButNotTheRejection)
{
    SetWindows();
    const auto listed = Get("/api/finish");
    ASSERT_EQ(listed->status, 200) << listed->body;
    const Json controls = Json::parse(listed->body);
    std::vector<std::string> ids;
    for (const Json& control : controls)
        if (control.contains("value"))
            ids.push_back(control["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"Despill", "ScreenChannel", "ScreenRed", "ScreenGreen", "ScreenBlue",
                                             "DespillAmount", "SpillToGrey", "ClipBlack", "ClipWhite", "UnmixEdges",
                                             "UnmixReach", "Shrink", "Soften", "OutputMode"}));
    EXPECT_EQ(Control(controls, "Despill")["entries"], Json::parse(R"(["Off", "Average", "Maximum", "Screen Colour"])"));
    EXPECT_EQ(Control(controls, "Shrink")["min"], -50.0);
    EXPECT_EQ(Control(controls, "Soften")["value"], 0.0);
    const Picture rejection = View("rejection");

    // Refused by name, nothing set.
    const auto refused = Post("/api/finish", Json{{"set", {{{"id", "Soften"}, {"value", 2}}, {{"id", "Feather"}, {"value", 1}}}}});
    EXPECT_EQ(refused->status, 400);
    EXPECT_NE(refused->body.find("Feather"), std::string::npos) << refused->body;
    EXPECT_EQ(Control(Json::parse(Get("/api/finish")->body), "Soften")["value"], 0.0);

    // The matte clipped at 0.25 and 0.75: (a - 0.25) / 0.5 of each column's alpha, by hand
    // (0.384900 -> 0.269800 -> 68.8; 0.529812 -> 0.559624 -> 142.7; 0.288675 -> 0.077350 -> 19.7).
    const auto set = Post("/api/finish", Json{{"set", {{{"id", "ClipBlack"}, {"value", 0.25}}, {{"id", "ClipWhite"}, {"value", 0.75}}}}});
    ASSERT_EQ(set->status, 200) << set->body;
    EXPECT_EQ(Control(Json::parse(set->body), "ClipBlack")["value"], 0.25);
    const unsigned char clipped[kWidth] = {255, 0, 69, 255, 255, 143, 20};
    for (const auto& [scale, step] : {std::pair{"1", 1}, std::pair{"0.5", 2}}) {
        const Picture matte = View("matte", scale);
        ASSERT_EQ(matte.Width, (kWidth + step - 1) / step) << scale;
        for (int y = 0; y < matte.Height; ++y)
            for (int x = 0; x < matte.Width; ++x)
                ASSERT_EQ(*matte.At(x, y), clipped[x * step]) << scale << " pixel " << x << "," << y;
    }
    const auto stats = Json::parse(Get("/api/stats?frame=0&scale=1")->body);
    EXPECT_DOUBLE_EQ(stats["one"].get<double>(), 3.0 / 7.0);
    EXPECT_DOUBLE_EQ(stats["zero"].get<double>(), 1.0 / 7.0);
    // The rejection view speaks of the keyer's windows alone.
    EXPECT_EQ(View("rejection").Bytes, rejection.Bytes);
    // Back at its defaults the finishing tool is out of the way: the keyer's matte again.
    ASSERT_EQ(Post("/api/finish", Json{{"set", {{{"id", "ClipBlack"}, {"value", 0}}, {{"id", "ClipWhite"}, {"value", 1}}}}})->status,
              200);
    const Picture matte = View("matte");
    for (int x = 0; x < kWidth; ++x)
        EXPECT_EQ(*matte.At(x, 0), kColumns[x].Matte) << "column " << x;
}

// Finished by shrinking, softening and despill (neighbourhoods that cross the bands the keyer is
// run in), the page's result is what Save's command writes, every channel to the bit; the file
// names the finishing values, and loading a file without them puts the tool back to its defaults.
TEST_F(TuneServerTest, TheCommandSaveGivesFinishesAsThePageShowsAndLoadingRestoresTheFinish)
{
    SetWindows();
    const Json finish = {{{"id", "Despill"}, {"value", "Screen Colour"}}, {{"id", "ScreenRed"}, {"value", 0.9}},
                         {{"id", "ScreenGreen"}, {"value", 0.9}},          {{"id", "ScreenBlue"}, {"value", 0.9}},
                         {{"id", "Shrink"}, {"value", 1}},                {{"id", "Soften"}, {"value", 1.5}}};
    ASSERT_EQ(Post("/api/finish", Json{{"set", finish}})->status, 200);
    const std::filesystem::path file = s_Folder / "finished.json";
    const std::filesystem::path keyed = s_Folder / "plate-keyed.exr";
    std::filesystem::remove(file);
    std::filesystem::remove(keyed);
    const auto saved = Post("/api/save", Json{{"path", file.string()}});
    ASSERT_EQ(saved->status, 200) << saved->body;
    std::ifstream in(file);
    const Json written = Json::parse(in);
    ASSERT_TRUE(written.contains("finish")) << written.dump();
    EXPECT_EQ(written["finish"]["Soften"], 1.5);
    EXPECT_EQ(written["finish"]["Despill"], 3);
    const std::string command = Json::parse(saved->body)["command"].get<std::string>();
    const std::string program = std::filesystem::path(QUALVEX_BUILD_PROGRAM).parent_path().string();
    ASSERT_EQ(std::system(("PATH='" + program + "':\"$PATH\" " + command + " >/dev/null 2>&1").c_str()), 0) << command;

    const std::string shown = m_Session->ResultFloats(0);
    std::vector<float> expected(static_cast<std::size_t>(kWidth * kHeight * 4));
    ASSERT_EQ(shown.size(), expected.size() * sizeof(float));
    std::memcpy(expected.data(), shown.data(), shown.size());
    const auto image = OIIO::ImageInput::open(keyed.string());
    ASSERT_TRUE(image) << keyed;
    std::vector<float> result(expected.size());
    ASSERT_TRUE(image->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, result.data()));
    // OpenEXR holds colour associated with alpha: the page's straight colour times its alpha.
    std::size_t partial = 0;
    for (std::size_t i = 0; i < expected.size(); i += 4) {
        const float alpha = expected[i + 3];
        for (std::size_t c = 0; c < 3; ++c)
            expected[i + c] *= alpha;
        partial += alpha > 0.0f && alpha < 1.0f ? 1 : 0;
    }
    ASSERT_TRUE(testing::FloatBitsEqual(result, expected));
    // Softened: the opaque columns beside keyed ones are partly transparent now.
    EXPECT_GT(partial, static_cast<std::size_t>(kHeight * 3));

    // A file without a "finish" object keys without finishing: the tool goes back to its defaults.
    const std::filesystem::path plain = s_Folder / "plain.json";
    std::ofstream(plain) << R"({"FadeRed": 1})";
    ASSERT_EQ(Post("/api/load", Json{{"path", plain.string()}})->status, 200);
    EXPECT_EQ(Control(Json::parse(Get("/api/finish")->body), "Soften")["value"], 0.0);
    EXPECT_EQ(*View("matte").At(2, 0), kColumns[2].Matte);
    // The saved file brings the finish back; one with a finishing value out of reach is refused
    // whole.
    ASSERT_EQ(Post("/api/load", Json{{"path", file.string()}})->status, 200);
    EXPECT_EQ(Control(Json::parse(Get("/api/finish")->body), "Soften")["value"], 1.5);
    const std::filesystem::path bad = s_Folder / "bad-finish.json";
    std::ofstream(bad) << R"({"FadeRed": 0.5, "finish": {"Soften": 1e300}})";
    const auto refused = Post("/api/load", Json{{"path", bad.string()}});
    EXPECT_EQ(refused->status, 400) << refused->body;
    EXPECT_NE(refused->body.find("Soften"), std::string::npos) << refused->body;
    EXPECT_EQ(Control(Controls(), "FadeRed")["value"], 1.0);
}

// A path with a NUL would name another file than the one checked (the name the system sees ends
// at the NUL, past the ".json" rule); any control character in a path is refused, and nothing is
// written or replaced.
TEST_F(TuneServerTest, PathsWithControlCharactersAreRefused)
{
    const std::filesystem::path other = s_Folder / "other.exr";
    std::ofstream(other) << "not settings";
    for (const std::string& name : {std::string("other.exr\0.json", 15), std::string("new\nline.json"),
                                    std::string("tab\t.json"), std::string("bell\a.json")}) {
        const std::string path = (s_Folder / name).string();
        for (const char* call : {"/api/save", "/api/load"}) {
            const auto refused = Post(call, Json{{"path", path}, {"overwrite", true}});
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->status, 400) << call << " " << Json(path).dump() << ": " << refused->body;
            EXPECT_NE(refused->body.find("control character"), std::string::npos) << refused->body;
        }
    }
    std::ifstream kept(other);
    const std::string content{std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()};
    EXPECT_EQ(content, "not settings");
    EXPECT_FALSE(std::filesystem::exists(s_Folder / "new"));
    for (const auto& entry : std::filesystem::directory_iterator(s_Folder))
        EXPECT_EQ(entry.path().filename().string().find_first_of("\n\t\a"), std::string::npos) << entry.path();
}

// A chunked body is refused before any of it is read (the size limit holds only for a body sent
// with its length); ranges are ignored, so an answer goes once, whole, however many ranges are
// named. The server answers well-formed requests afterwards.
TEST_F(TuneServerTest, ChunkedBodiesAndRangesAreRefused)
{
    const auto chunked = m_Client->Post(
        "/api/controls", m_Auth,
        [](std::size_t offset, httplib::DataSink& sink) {
            if (offset < (8u << 20)) {
                const std::string block(1u << 16, ' ');
                sink.write(block.data(), block.size());
            } else {
                sink.done();
            }
            return true;
        },
        "application/json");
    if (chunked) {  // the server may close before the client has sent all of it
        EXPECT_EQ(chunked->status, 411) << chunked->body;
        EXPECT_NE(chunked->body.find("Content-Length"), std::string::npos) << chunked->body;
    }

    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2600; ++i)
        ranges += ",0-";
    for (const char* path : {"/api/session", "/api/controls", "/", "/api/nothing"}) {
        const auto whole = Get(path);
        httplib::Headers headers = m_Auth;
        headers.emplace("Range", ranges);
        const auto answer = Get(path, headers);
        ASSERT_TRUE(whole && answer) << path;
        EXPECT_EQ(answer->status, whole->status) << path;
        EXPECT_EQ(answer->body, whole->body) << path;  // the answer whole, once
    }
    m_Client = std::make_unique<httplib::Client>("127.0.0.1", m_Server->Port());
    EXPECT_EQ(Get("/api/session")->status, 200);
}

TEST_F(TuneServerTest, LoadingASettingsFileSetsItsControlsThroughTheHost)
{
    const std::filesystem::path file = s_Folder / "load.json";
    std::ofstream(file) << R"({"Colorspace": "HSV", "CRed": 1, "CGreen": 0, "CBlue": 0, "FadeRed": 0.25})";
    const auto result = Post("/api/load", Json{{"path", file.string()}});
    ASSERT_EQ(result->status, 200) << result->body;
    const Json controls = Json::parse(result->body);
    EXPECT_EQ(Control(controls, "FadeRed")["value"], 0.25);
    // Pure red in HSV: hue 0, saturation 1, value 1, written by the tool from the key colour.
    EXPECT_EQ(Control(controls, "ValueRed")["value"], 0.0);
    EXPECT_EQ(Control(controls, "ValueGreen")["value"], 1.0);
    EXPECT_EQ(Control(controls, "ValueBlue")["value"], 1.0);
    const auto missing = Post("/api/load", Json{{"path", (s_Folder / "none.json").string()}});
    EXPECT_EQ(missing->status, 422);
    EXPECT_NE(missing->body.find("not found"), std::string::npos) << missing->body;
}

// A raw connection to the server, for clients that do not behave.
int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to the server");
    return fd;
}

void Send(int fd, const std::string& text) { (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

// Slow clients (headers a line at a time, or silent) and files that take long to read hold up
// only their own requests: every well-formed request is answered within a second meanwhile, and
// a client silent for a few seconds is dropped.
TEST_F(TuneServerTest, SlowClientsAndLargeFilesHoldUpOnlyThemselves)
{
    using Clock = std::chrono::steady_clock;
    const std::string start = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_Server->Port()) + "\r\n";
    // Sixteen clients send a header line every half second for three seconds: more than a fixed
    // pool of workers, each too quick to be dropped for silence.
    std::vector<int> drips;
    for (int i = 0; i < 16; ++i) {
        drips.push_back(Connect(m_Server->Port()));
        Send(drips.back(), start);
    }
    std::atomic<bool> dripping{true};
    std::thread dripper([&] {
        for (int round = 0; round < 6 && dripping; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            for (const int fd : drips)
                Send(fd, "X-Slow: " + std::to_string(round) + "\r\n");
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    for (int i = 0; i < 4; ++i) {
        const auto asked = Clock::now();
        const auto answer = Get("/api/session");
        const auto took = Clock::now() - asked;
        ASSERT_TRUE(answer) << "request " << i;
        EXPECT_EQ(answer->status, 200);
        EXPECT_LT(took, std::chrono::seconds(1)) << "request " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    dripping = false;
    dripper.join();

    // A client that falls silent halfway through its headers is dropped after a few seconds.
    const int silent = Connect(m_Server->Port());
    Send(silent, start);
    const auto sent = Clock::now();
    timeval patience{10, 0};
    setsockopt(silent, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char answer[512];
    while (recv(silent, answer, sizeof answer, 0) > 0) {
    }
    EXPECT_LT(Clock::now() - sent, std::chrono::seconds(5));
    close(silent);
    for (const int fd : drips)
        close(fd);

    // A client that sends a byte every 0.4 s is never silent for long, and still has only the
    // request deadline (3 s on this server) to deliver its request: then it is shut out.
    TuneServerOptions strict{"127.0.0.1", 0, s_Folder / "page", "", std::chrono::seconds(3)};
    TuneServer quick(*m_Session, strict);
    quick.Start();
    const int trickle = Connect(quick.Port());
    const auto connected = Clock::now();
    const std::string bytes = "GET / HTTP/1.1\r\nX-Trickle: 0123456789abcdefghijklmnopqrstuvwxyz\r\n";
    bool shut = false;
    for (std::size_t i = 0; !shut && Clock::now() - connected < std::chrono::seconds(8); ++i) {
        if (send(trickle, &bytes[i % bytes.size()], 1, MSG_NOSIGNAL) != 1)
            shut = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        char answer[512];
        const ssize_t got = recv(trickle, answer, sizeof answer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            shut = true;
    }
    const auto lasted = Clock::now() - connected;
    close(trickle);
    EXPECT_TRUE(shut);
    EXPECT_GE(lasted, std::chrono::milliseconds(2500));
    EXPECT_LT(lasted, std::chrono::milliseconds(4500));

    // 128 MiB of zeros is neither JSON nor an image: refused at once from its first bytes, never
    // handed to the image library to guess at (which took minutes, holding the session).
    const std::filesystem::path zeros = s_Folder / "zeros.json";
    std::filesystem::remove(zeros);
    std::ofstream(zeros).close();
    std::filesystem::resize_file(zeros, std::uintmax_t{128} << 20);
    const auto asked = Clock::now();
    const auto refused = Post("/api/load", Json{{"path", zeros.string()}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400) << refused->body;
    EXPECT_NE(refused->body.find("its first bytes name no image format"), std::string::npos) << refused->body;
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
    std::filesystem::remove(zeros);
    EXPECT_EQ(Get("/api/session")->status, 200);
}

// ---- safe by default -----------------------------------------------------------------------

TEST_F(TuneServerTest, ListensOnTheLoopbackAddressWithARandomTokenInItsUrl)
{
    EXPECT_EQ(m_Server->Url(), "http://127.0.0.1:" + std::to_string(m_Server->Port()) + "/?token=" + m_Server->Token());
    EXPECT_EQ(m_Server->Token().size(), 32u);
    EXPECT_NE(RandomToken(), RandomToken());
}

TEST_F(TuneServerTest, EveryApiRequestMustCarryTheToken)
{
    const std::string token = m_Server->Token();
    const struct {
        httplib::Headers Headers;
        std::string Query;
        int Status;
    } cases[] = {
        {{}, "", 403},
        {{{"X-Qualvex-Token", "0123456789abcdef0123456789abcdef"}}, "", 403},
        {{{"X-Qualvex-Token", token.substr(0, 31)}}, "", 403},
        {{{"X-Qualvex-Token", token}}, "", 200},
        {{{"Cookie", "other=1; qualvex_tune=" + token}}, "", 200},
        {{{"Cookie", "qualvex_tune=wrong"}}, "", 403},
        {{}, "?token=" + token, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Get("/api/controls" + c.Query, c.Headers)->status, c.Status) << c.Query;
        EXPECT_EQ(Post("/api/controls" + c.Query, R"({"set": []})", c.Headers)->status, c.Status) << c.Query;
    }
    const auto refused = Get("/api/session", {});
    EXPECT_NE(refused->body.find("token"), std::string::npos);
}

// Every route under /api/, known or not, refuses a request without the token before it reads
// anything; with the token each known route answers (a 400 for a body it cannot use is an
// answer), and nothing a refused request asked for happened.
TEST_F(TuneServerTest, EveryApiRouteRefusesARequestWithoutTheToken)
{
    const std::filesystem::path saved = s_Folder / "refused.json";
    std::filesystem::remove(saved);
    const Json save{{"path", saved.string()}};
    const struct {
        const char* Method;
        std::string Path;
        std::string Body;
        int WithToken;
    } routes[] = {
        {"GET", "/api/session", "", 200},
        {"GET", "/api/controls", "", 200},
        {"POST", "/api/controls", R"({"set": [{"id": "FadeRed", "value": 0.25}]})", 200},
        {"GET", "/api/finish", "", 200},
        {"POST", "/api/finish", R"({"set": [{"id": "Soften", "value": 1}]})", 200},
        {"GET", "/api/view?view=matte&frame=0&scale=1", "", 200},
        {"GET", "/api/stats?frame=0&scale=1", "", 200},
        {"GET", "/api/result?frame=0", "", 200},
        {"POST", "/api/pick", R"({"x": 0, "y": 0})", 200},
        {"POST", "/api/fit", R"({"frame": 0, "screen": [], "subject": []})", 400},
        {"POST", "/api/save", save.dump(), 200},
        {"POST", "/api/load", R"({"path": "/nonexistent/settings.json"})", 422},
        {"GET", "/api/nothing", "", 404},
        {"POST", "/api/nothing", "{}", 404},
    };
    const std::string fadeBefore = Json(Control(Controls(), "FadeRed")["value"]).dump();
    for (const auto& r : routes) {
        const bool get = std::string(r.Method) == "GET";
        const auto refused = get ? Get(r.Path, {}) : Post(r.Path, r.Body, {});
        ASSERT_TRUE(refused) << r.Path;
        EXPECT_EQ(refused->status, 403) << r.Method << " " << r.Path;
        EXPECT_NE(refused->body.find("token"), std::string::npos) << r.Path;
    }
    EXPECT_EQ(Json(Control(Controls(), "FadeRed")["value"]).dump(), fadeBefore);
    EXPECT_FALSE(std::filesystem::exists(saved));
    for (const auto& r : routes) {
        const bool get = std::string(r.Method) == "GET";
        const auto answered = get ? Get(r.Path) : Post(r.Path, r.Body, m_Auth);
        ASSERT_TRUE(answered) << r.Path;
        EXPECT_EQ(answered->status, r.WithToken) << r.Method << " " << r.Path << ": " << answered->body;
    }
    EXPECT_TRUE(std::filesystem::exists(saved));
}

TEST_F(TuneServerTest, ThePageOpenedWithTheTokenKeepsItInAStrictCookie)
{
    const auto page = Get("/?token=" + m_Server->Token(), {});
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Set-Cookie"),
              "qualvex_tune=" + m_Server->Token() + "; Path=/; HttpOnly; SameSite=Strict");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    const auto without = Get("/", {});
    EXPECT_EQ(without->status, 200);
    EXPECT_FALSE(without->has_header("Set-Cookie"));
}

TEST_F(TuneServerTest, RequestsNamingAnotherHostAreRefused)
{
    const std::string port = std::to_string(m_Server->Port());
    const struct {
        std::string Host;
        int Status;
    } cases[] = {{"127.0.0.1:" + port, 200}, {"localhost:" + port, 200}, {"attacker.example:" + port, 403},
                 {"127.0.0.1", 403},        {"127.0.0.1:1", 403},        {"", 403}};
    for (const auto& c : cases) {
        httplib::Headers headers = m_Auth;
        headers.emplace("Host", c.Host);
        EXPECT_EQ(Get("/api/controls", headers)->status, c.Status) << c.Host;
        EXPECT_EQ(Get("/", headers)->status, c.Status) << c.Host;
    }
}

TEST_F(TuneServerTest, WritesFromAnotherOriginAreRefused)
{
    const std::string self = "http://127.0.0.1:" + std::to_string(m_Server->Port());
    const struct {
        const char* Header;
        std::string Value;
        int Status;
    } cases[] = {{"Origin", self, 200},
                 {"Origin", "http://attacker.example", 403},
                 {"Origin", "null", 403},
                 {"Sec-Fetch-Site", "same-origin", 200},
                 {"Sec-Fetch-Site", "cross-site", 403},
                 {"Sec-Fetch-Site", "same-site", 403}};
    for (const auto& c : cases) {
        httplib::Headers headers = m_Auth;
        headers.emplace(c.Header, c.Value);
        const auto result = Post("/api/controls", R"({"set": [{"id": "FadeRed", "value": 0.5}]})", headers);
        EXPECT_EQ(result->status, c.Status) << c.Header << ": " << c.Value;
    }
}

TEST_F(TuneServerTest, FilesComeOnlyFromThePageFolderByPlainNames)
{
    const struct {
        const char* Path;
        int Status;
    } cases[] = {{"/", 200},
                 {"/index.html", 200},
                 {"/tune.js", 200},
                 {"/missing.js", 404},
                 {"/.hidden.js", 404},
                 {"/../secret.html", 404},
                 {"/%2e%2e/secret.html", 404},
                 {"/..%2fsecret.html", 404},
                 {"/page/index.html", 404},
                 {"//etc/passwd", 404},
                 {"/index.html%00.js", 404}};
    for (const auto& c : cases) {
        const auto result = Get(c.Path, {});
        ASSERT_TRUE(result) << c.Path;
        EXPECT_EQ(result->status, c.Status) << c.Path;
        EXPECT_EQ(result->body.find("outside the page folder"), std::string::npos) << c.Path;
    }
    EXPECT_EQ(Get("/tune.js", {})->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
}

TEST_F(TuneServerTest, MalformedRequestsGetAMessageAndTheServerGoesOn)
{
    const struct {
        const char* Path;
        std::string Body;
        int Status;
    } cases[] = {
        {"/api/controls", "{not json", 400},
        {"/api/controls", "[1, 2]", 400},
        {"/api/controls", std::string(100000, '['), 400},
        {"/api/pick", R"({"x": "left", "y": 0})", 400},
        {"/api/pick", R"({"x": 1e300, "y": 0})", 400},
        {"/api/pick", R"({"x": 0, "y": 0, "width": 0})", 400},
        {"/api/fit", R"({"screen": [[0, 0, 1]]})", 400},
        {"/api/fit", R"({"subject": [[0, 0, 1, 1]]})", 400},
        {"/api/save", R"({"path": ""})", 400},
        {"/api/save", R"({"path": 7})", 400},
        {"/api/load", R"({})", 400},
        {"/api/controls", std::string(2u << 20, ' '), 413},
    };
    for (const auto& c : cases) {
        const auto result = Post(c.Path, c.Body, m_Auth);
        ASSERT_TRUE(result) << c.Path;
        EXPECT_EQ(result->status, c.Status) << c.Path << " " << c.Body.substr(0, 40);
        EXPECT_NE(result->body.find("\"error\""), std::string::npos) << c.Path << ": " << result->body;
    }
    EXPECT_EQ(Get("/api/controls")->status, 200);
}

}  // namespace
}  // namespace qualvex
