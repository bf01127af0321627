// Flows: chains of tool instances rendering one frame. First with small tools defined here, then
// end to end with the keyer and the finishing tool loaded from their plug-in files.
#include "host/flow.h"
#include "host/host_testing.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"
#include "host/request.h"
#include "support/float_compare.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using qualvex::testing::FloatBitsEqual;
using qualvex::testing::FloatsEqual;

std::uint64_t Cls(const FuID& id) { return reinterpret_cast<std::uint64_t>(&id); }

// A tool that adds its "Amount" (and the red of its "Extra" image, when one is connected) to the
// red of every pixel of "Image". It notes what it saw each time it renders. Its variants hand
// over nothing, or throw.
class AddRed : public Operator {
public:
    enum class Behaviour { Add, Nothing, Throw };

    AddRed(const Registry* entry, const ScriptVal& table, const TagList& tags, Behaviour behaviour)
        : Operator(entry, table, tags), m_Behaviour(behaviour)
    {
        const std::uint64_t amount[] = {LinkTag::DataType, Cls(CLSID_DataType_Number), LinkTag::Control,
                                        Cls(CLSID_InputControl_Slider), 0, 0};
        const std::uint64_t image[] = {LinkTag::DataType, Cls(CLSID_DataType_Image), LinkTag::MainLink, 1, 0, 0};
        const std::uint64_t extra[] = {LinkTag::DataType, Cls(CLSID_DataType_Image), LinkTag::ConnectionRequired, 0,
                                       0, 0};
        Amount = AddInputTagList(FuID("Amount"), FuID("Amount"), TagList(amount, false));
        Main = AddInputTagList(FuID("Image"), FuID("Image"), TagList(image, false));
        Extra = AddInputTagList(FuID("Extra"), FuID("Extra"), TagList(extra, false));
        Out = AddOutputTagList(FuID("Output"), FuID("Output"), TagList(image, false));
    }

    void Process(Request* request) override
    {
        ++Renders;
        LiveImagesSeen.push_back(host::testing::LiveImages());
        const double amount = static_cast<Number*>(request->GetInputData(Amount, 0))->Value;
        auto* source = static_cast<Image*>(request->GetInputData(Main, 0));
        auto* extra = static_cast<Image*>(request->GetInputData(Extra, 0));
        if (source == nullptr)
            return;
        RedSeen.push_back(source->GetPixel(0, 0).R);
        if (m_Behaviour == Behaviour::Nothing)
            return;
        if (m_Behaviour == Behaviour::Throw)
            throw std::runtime_error("AddRed refuses");
        const std::uint64_t model[] = {ImageTag::Model, reinterpret_cast<std::uint64_t>(source), 0, 0};
        Image* output = NewImageTagList(TagList(model, false));
        for (std::int32_t y = 0; y < source->Height; ++y)
            for (std::int32_t x = 0; x < source->Width; ++x) {
                Pixel p = source->GetPixel(x, y);
                p.R += static_cast<float>(amount) + (extra != nullptr ? extra->GetPixel(x, y).R : 0.0f);
                output->SetPixel(x, y, p);
            }
        request->SetOutputData(Out, output);
    }

    Input* Amount;
    Input* Main;
    Input* Extra;
    Output* Out;
    int Renders = 0;
    std::vector<std::size_t> LiveImagesSeen;
    std::vector<float> RedSeen;

private:
    Behaviour m_Behaviour;
};

template <AddRed::Behaviour B>
Operator* Create(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) AddRed(entry, table, tags, B);
}

// A tool with no "Image" input.
class NoMainInput : public Operator {
public:
    NoMainInput(const Registry* entry, const ScriptVal& table, const TagList& tags) : Operator(entry, table, tags)
    {
        const std::uint64_t image[] = {LinkTag::DataType, Cls(CLSID_DataType_Image), 0, 0};
        AddInputTagList(FuID("Source"), FuID("Source"), TagList(image, false));
        AddOutputTagList(FuID("Output"), FuID("Output"), TagList(image, false));
    }
};

Operator* CreateNoMainInput(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) NoMainInput(entry, table, tags);
}

std::unique_ptr<Registry> Register(const char* id, CreateOperatorFunc create)
{
    const std::uint64_t words[] = {RegTag::Creator, reinterpret_cast<std::uint64_t>(create), 0, 0};
    return std::make_unique<Registry>(&ClassRegistry, FuID(id), TagList(words, false));
}

class FlowOfTestTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Base = host::testing::LiveImages();
        m_Classes.push_back(Register("Test.FlowAdd", &Create<AddRed::Behaviour::Add>));
        m_Classes.push_back(Register("Test.FlowSilent", &Create<AddRed::Behaviour::Nothing>));
        m_Classes.push_back(Register("Test.FlowThrows", &Create<AddRed::Behaviour::Throw>));
        m_Classes.push_back(Register("Test.FlowNoMain", &CreateNoMainInput));
        m_Source = std::make_unique<Image>(3, 2, PixelStorage::Float);
        Fill(*m_Source, 0.125f);
    }

    void TearDown() override
    {
        m_Tools.clear();
        m_Source.reset();
        m_Images.clear();
        m_Classes.clear();
        EXPECT_EQ(host::testing::LiveImages(), m_Base);
    }

    static void Fill(Image& image, float red)
    {
        for (std::int32_t y = 0; y < image.Height; ++y)
            for (std::int32_t x = 0; x < image.Width; ++x) {
                Pixel p;
                p.R = red;
                p.G = 0.5f;
                p.A = 1.0f;
                p.ObjectID = static_cast<std::uint32_t>(10 * y + x);
                image.SetPixel(x, y, p);
            }
    }

    AddRed& Tool(const char* classID, double amount = 0.0)
    {
        m_Tools.push_back(host::CreateInstance(*host::FindClass(classID)));
        auto& tool = static_cast<AddRed&>(*m_Tools.back());
        AutoNumber number(amount);
        tool.Amount->SetValueAt(number, 0.0);
        return tool;
    }

    Image* NewImage(float red)
    {
        m_Images.push_back(std::make_unique<Image>(3, 2, PixelStorage::Float));
        Fill(*m_Images.back(), red);
        return m_Images.back().get();
    }

    std::size_t m_Base = 0;
    std::vector<std::unique_ptr<Registry>> m_Classes;
    std::vector<std::unique_ptr<Operator>> m_Tools;
    std::vector<std::unique_ptr<Image>> m_Images;
    std::unique_ptr<Image> m_Source;
};

TEST_F(FlowOfTestTools, ChainsEachOutputIntoTheNextStepsImageInput)
{
    host::Flow flow;
    AddRed* tools[] = {&Tool("Test.FlowAdd", 0.25), &Tool("Test.FlowAdd", 0.5), &Tool("Test.FlowAdd", 0.125)};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(flow.Append(*tools[i]), i);
    EXPECT_EQ(flow.Steps(), 3u);
    std::unique_ptr<Image> result = flow.Render(*m_Source, 0.0);
    ASSERT_NE(result, nullptr);
    // 0.125, then + 0.25, + 0.5, + 0.125.
    EXPECT_TRUE(FloatsEqual({tools[0]->RedSeen.at(0), tools[1]->RedSeen.at(0), tools[2]->RedSeen.at(0)},
                            {0.125f, 0.375f, 0.875f}));
    for (std::int32_t y = 0; y < 2; ++y)
        for (std::int32_t x = 0; x < 3; ++x) {
            const Pixel p = result->GetPixel(x, y);
            EXPECT_TRUE(FloatsEqual({p.R, p.G, p.A}, {1.0f, 0.5f, 1.0f}));
            EXPECT_EQ(p.ObjectID, static_cast<std::uint32_t>(10 * y + x));
        }
    // The source is untouched.
    EXPECT_EQ(m_Source->GetPixel(1, 1).R, 0.125f);
}

TEST_F(FlowOfTestTools, ReleasesEachIntermediateImageOnceTheNextStepHasRendered)
{
    host::Flow flow;
    std::vector<AddRed*> tools;
    for (int i = 0; i < 4; ++i) {
        tools.push_back(&Tool("Test.FlowAdd", 0.125));
        flow.Append(*tools.back());
    }
    std::unique_ptr<Image> result = flow.Render(*m_Source, 0.0);
    // While a step renders: the source, and from the second step on the one image it reads.
    const std::size_t source = m_Base + 1;
    EXPECT_EQ(tools[0]->LiveImagesSeen, std::vector<std::size_t>{source});
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(tools[static_cast<std::size_t>(i)]->LiveImagesSeen, std::vector<std::size_t>{source + 1}) << i;
    EXPECT_EQ(host::testing::LiveImages(), source + 1);  // the source and the result
    result.reset();
    EXPECT_EQ(host::testing::LiveImages(), source);
}

TEST_F(FlowOfTestTools, ExtraImagesReachTheirStepByInputID)
{
    host::Flow flow;
    AddRed& first = Tool("Test.FlowAdd", 0.0);
    AddRed& second = Tool("Test.FlowAdd", 0.0);
    flow.Append(first);
    flow.Append(second);
    flow.Connect(1, "Extra", NewImage(0.5f));
    EXPECT_EQ(flow.Render(*m_Source, 0.0)->GetPixel(2, 1).R, 0.625f);
    // Connecting again replaces; null disconnects.
    flow.Connect(1, "Extra", NewImage(0.25f));
    EXPECT_EQ(flow.Render(*m_Source, 0.0)->GetPixel(2, 1).R, 0.375f);
    flow.Connect(1, "Extra", nullptr);
    EXPECT_EQ(flow.Render(*m_Source, 0.0)->GetPixel(2, 1).R, 0.125f);
}

TEST_F(FlowOfTestTools, ConnectRefusesWhatItCannotConnect)
{
    host::Flow flow;
    flow.Append(Tool("Test.FlowAdd"));
    Image* image = NewImage(0.0f);
    EXPECT_THROW(flow.Connect(1, "Extra", image), std::invalid_argument);   // no such step
    EXPECT_THROW(flow.Connect(0, "Garbage", image), std::invalid_argument); // no such input
    EXPECT_THROW(flow.Connect(0, "Amount", image), std::invalid_argument);  // takes no image
    EXPECT_THROW(flow.Connect(0, "Image", image), std::invalid_argument);   // the flow's own
    EXPECT_NO_THROW(flow.Connect(0, "Extra", image));
}

TEST_F(FlowOfTestTools, LeavesTheToolsInputsAsTheyWere)
{
    host::Flow flow;
    AddRed& tool = Tool("Test.FlowAdd", 0.0);
    Image* own = NewImage(0.0f);
    tool.Extra->ConnectImage(own);  // connected by hand, outside the flow
    flow.Append(tool);
    flow.Render(*m_Source, 0.0);
    EXPECT_EQ(tool.Main->ConnectedImage(), nullptr);
    EXPECT_EQ(tool.Extra->ConnectedImage(), own);
    // A connection through the flow holds only while the step renders.
    flow.Connect(0, "Extra", NewImage(0.5f));
    EXPECT_EQ(flow.Render(*m_Source, 0.0)->GetPixel(0, 0).R, 0.625f);
    EXPECT_EQ(tool.Extra->ConnectedImage(), own);
}

TEST_F(FlowOfTestTools, AStepWithoutAnImageEndsTheFlowNamingItsClass)
{
    host::Flow flow;
    AddRed& first = Tool("Test.FlowAdd", 0.25);
    AddRed& silent = Tool("Test.FlowSilent");
    AddRed& last = Tool("Test.FlowAdd", 0.25);
    flow.Append(first);
    flow.Append(silent);
    flow.Append(last);
    try {
        flow.Render(*m_Source, 0.0);
        FAIL() << "the flow rendered";
    } catch (const host::FlowError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "flow step 1: the tool of class \"Test.FlowSilent\" produced no image on output \"Output\"");
    }
    EXPECT_EQ(silent.RedSeen, std::vector<float>{0.375f});  // it was handed the first step's image
    EXPECT_EQ(last.Renders, 0);
    EXPECT_EQ(host::testing::LiveImages(), m_Base + 1);  // only the source is left
    EXPECT_EQ(silent.Main->ConnectedImage(), nullptr);
}

TEST_F(FlowOfTestTools, ExceptionsFromAToolPassThroughAndNothingIsLeftBehind)
{
    host::Flow flow;
    AddRed& first = Tool("Test.FlowAdd", 0.25);
    AddRed& throws = Tool("Test.FlowThrows");
    flow.Append(first);
    flow.Append(throws);
    flow.Connect(1, "Extra", NewImage(0.5f));
    EXPECT_THROW(flow.Render(*m_Source, 0.0), std::runtime_error);
    EXPECT_EQ(host::testing::LiveImages(), m_Base + 2);  // the source and the extra image
    EXPECT_EQ(throws.Main->ConnectedImage(), nullptr);
    EXPECT_EQ(throws.Extra->ConnectedImage(), nullptr);
}

TEST_F(FlowOfTestTools, EmptyFlowsAndToolsItCannotChainAreRefused)
{
    host::Flow flow;
    EXPECT_THROW(flow.Render(*m_Source, 0.0), host::FlowError);
    std::unique_ptr<Operator> noMain = host::CreateInstance(*host::FindClass("Test.FlowNoMain"));
    EXPECT_THROW(flow.Append(*noMain), std::invalid_argument);
    EXPECT_THROW(flow.Append(Tool("Test.FlowAdd"), "Matte"), std::invalid_argument);
    EXPECT_EQ(flow.Steps(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The keyer and the finishing tool, loaded from their files.

const char* const kKeyerFile = QUALVEX_PLUGIN_DIR "/Sondrel.plugin";
const char* const kFinisherFile = QUALVEX_PLUGIN_DIR "/QualvexFinish.plugin";
const char* const kKeyerClass = "Tavelorn.Qualvex";
const char* const kFinisherClass = "Tavelorn.QualvexFinish";

void Set(Operator& op, const char* id, double value)
{
    AutoNumber number(value);
    op.FindInput(id)->SetValueAt(number, 0.0);
}

// The subject's colour, green spill included, and the backing's.
constexpr float kSubject[3] = {0.5f, 0.875f, 0.125f};
constexpr float kBacking[3] = {0.25f, 0.75f, 0.25f};

// A plate with a known matte: a rectangle of subject on the backing, shifted by `frame` pixels,
// with further channels that tell pixels apart.
std::unique_ptr<Image> Plate(std::int32_t frame, std::int32_t w = 32, std::int32_t h = 24)
{
    auto image = std::make_unique<Image>(w, h, PixelStorage::Float);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            const bool subject = x >= 8 + frame && x < 24 + frame && y >= 6 && y < 18;
            const float* c = subject ? kSubject : kBacking;
            Pixel p;
            p.R = c[0];
            p.G = c[1];
            p.B = c[2];
            p.A = 1.0f;
            p.Z = static_cast<float>(x + y);
            p.ObjectID = static_cast<std::uint32_t>(y * w + x);
            image->SetPixel(x, y, p);
        }
    return image;
}

// A keyer whose matte is exact on the plate: the window around 0.1 (0.05 either side) in RGB
// with no fade and an alpha offset of 1. A pixel with every component at or above 0.15 (the
// backing) is fully keyed: alpha 0; any other (the subject: its blue is 0.125) gets
// 0 / distance + 1 = 1. Colour correction off: the colour passes as it is.
void SetUpKeyer(Operator& keyer)
{
    Set(keyer, "Colorspace", 0.0);
    Set(keyer, "ColCor", 0.0);
    for (const char* id : {"ValueRed", "ValueGreen", "ValueBlue"})
        Set(keyer, id, 0.1);
    for (const char* id : {"MiRedn", "MinGreen", "MinBlue", "MaxRed", "MaxGreen", "MaxBlue"})
        Set(keyer, id, 0.05);
    Set(keyer, "FadeRed", 0.0);
    Set(keyer, "OffAlpha", 1.0);
}

class KeyerThenFinisher : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Keyer = host::LoadPlugin(kKeyerFile);
        m_Finisher = host::LoadPlugin(kFinisherFile);
    }

    void TearDown() override
    {
        m_Finisher->Unload();
        m_Keyer->Unload();
    }

    struct Chain {
        std::unique_ptr<Operator> Keyer;
        std::unique_ptr<Operator> Finisher;
        host::Flow Flow;
    };

    static std::unique_ptr<Chain> NewChain()
    {
        auto chain = std::make_unique<Chain>();
        chain->Keyer = host::CreateInstance(*host::FindClass(kKeyerClass));
        chain->Finisher = host::CreateInstance(*host::FindClass(kFinisherClass));
        SetUpKeyer(*chain->Keyer);
        chain->Flow.Append(*chain->Keyer);
        chain->Flow.Append(*chain->Finisher);
        return chain;
    }

    std::unique_ptr<host::LoadedPlugin> m_Keyer;
    std::unique_ptr<host::LoadedPlugin> m_Finisher;
};

TEST_F(KeyerThenFinisher, KeysThenDespillsAndAppliesTheGarbageMatte)
{
    std::unique_ptr<Chain> chain = NewChain();
    Set(*chain->Finisher, "Despill", 1.0);  // Average, green
    Image garbage(32, 24, PixelStorage::Float);
    for (std::int32_t y = 0; y < 24; ++y)
        for (std::int32_t x = 0; x < 12; ++x) {
            Pixel p;
            p.A = 1.0f;
            garbage.SetPixel(x, y, p);
        }
    chain->Flow.Connect(1, "GarbageMatte", &garbage);
    std::unique_ptr<Image> source = Plate(0);
    std::unique_ptr<Image> result = chain->Flow.Render(*source, 0.0);
    ASSERT_NE(result, nullptr);
    for (std::int32_t y = 0; y < 24; ++y)
        for (std::int32_t x = 0; x < 32; ++x) {
            const bool subject = x >= 8 && x < 24 && y >= 6 && y < 18;
            const float alpha = subject && x >= 12 ? 1.0f : 0.0f;
            // Subject: limit (0.5 + 0.125) / 2 = 0.3125. Backing: limit 0.25, green 0.75 down to it.
            const Pixel p = result->GetPixel(x, y);
            if (subject) {
                EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {0.5f, 0.3125f, 0.125f, alpha})) << x << ", " << y;
            } else {
                EXPECT_TRUE(FloatsEqual({p.R, p.G, p.B, p.A}, {0.25f, 0.25f, 0.25f, alpha})) << x << ", " << y;
            }
            EXPECT_EQ(p.Z, static_cast<float>(x + y));
            EXPECT_EQ(p.ObjectID, static_cast<std::uint32_t>(y * 32 + x));
        }
}

// Every channel of every pixel of an image, as floats (the IDs as their values).
std::vector<float> Channels(const Image& image)
{
    std::vector<float> values;
    for (std::int32_t y = 0; y < image.Height; ++y)
        for (std::int32_t x = 0; x < image.Width; ++x) {
            const Pixel p = image.GetPixel(x, y);
            values.insert(values.end(), {p.B, p.G, p.R, p.A, p.Z, p.Coverage, static_cast<float>(p.ObjectID),
                                         static_cast<float>(p.MaterialID)});
        }
    return values;
}

TEST_F(KeyerThenFinisher, OneThreadAndTwoThreadsGiveTheSameBits)
{
    constexpr int kFrames = 6;
    auto configure = [](Chain& chain, Image& garbage) {
        Set(*chain.Finisher, "Despill", 2.0);
        Set(*chain.Finisher, "SpillToGrey", 1.0);
        Set(*chain.Finisher, "Shrink", 1.5);
        Set(*chain.Finisher, "Soften", 1.25);
        chain.Flow.Connect(1, "GarbageMatte", &garbage);
    };
    Image garbage(32, 24, PixelStorage::Float);
    for (std::int32_t x = 0; x < 32; ++x) {
        Pixel p;
        p.A = static_cast<float>(x) / 32.0f;
        garbage.SetPixel(x, 20, p);
    }
    std::vector<std::unique_ptr<Image>> sources;
    for (int f = 0; f < kFrames; ++f)
        sources.push_back(Plate(f));

    std::vector<std::vector<float>> single(kFrames);
    {
        std::unique_ptr<Chain> chain = NewChain();
        configure(*chain, garbage);
        for (int f = 0; f < kFrames; ++f)
            single[static_cast<std::size_t>(f)] = Channels(*chain->Flow.Render(*sources[static_cast<std::size_t>(f)], f));
    }

    std::vector<std::vector<float>> twin(kFrames);
    std::array<std::unique_ptr<Chain>, 2> chains = {NewChain(), NewChain()};
    for (auto& chain : chains)
        configure(*chain, garbage);
    std::array<std::string, 2> failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            try {
                for (int f = t; f < kFrames; f += 2)
                    twin[static_cast<std::size_t>(f)] =
                        Channels(*chains[static_cast<std::size_t>(t)]->Flow.Render(*sources[static_cast<std::size_t>(f)], f));
            } catch (const std::exception& error) {
                failures[static_cast<std::size_t>(t)] = error.what();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures[0], "");
    EXPECT_EQ(failures[1], "");
    for (int f = 0; f < kFrames; ++f) {
        ASSERT_EQ(single[static_cast<std::size_t>(f)].size(), 32u * 24u * 8u);
        EXPECT_TRUE(FloatBitsEqual(twin[static_cast<std::size_t>(f)], single[static_cast<std::size_t>(f)])) << "frame " << f;
    }
    // The frames differ from each other, so the comparison says something.
    EXPECT_NE(single[0], single[1]);
}

// ---------------------------------------------------------------------------------------------
// Both plug-ins through the host, loaded and unloaded in every order.

struct LoadOrder {
    const char* Name;
    int Load[2];                               // 0: the keyer, 1: the finishing tool
    int Unload[2];
    std::vector<std::string> ClassesAfter[4];  // after each load, then after each unload
};

const std::string kK = kKeyerClass;
const std::string kF = kFinisherClass;

const LoadOrder kLoadOrders[] = {
    {"LoadKFUnloadKF", {0, 1}, {0, 1}, {{kK}, {kK, kF}, {kF}, {}}},
    {"LoadKFUnloadFK", {0, 1}, {1, 0}, {{kK}, {kK, kF}, {kK}, {}}},
    {"LoadFKUnloadKF", {1, 0}, {0, 1}, {{kF}, {kF, kK}, {kF}, {}}},
    {"LoadFKUnloadFK", {1, 0}, {1, 0}, {{kF}, {kF, kK}, {kK}, {}}},
};

std::vector<std::string> ClassList()
{
    std::vector<std::string> ids;
    for (const Registry* entry : host::RegisteredClasses())
        ids.push_back(entry->ID().str());
    return ids;
}

class BothPlugins : public ::testing::TestWithParam<LoadOrder> {};

TEST_P(BothPlugins, LoadRegisterAndUnloadInAnyOrder)
{
    const LoadOrder& order = GetParam();
    const char* files[2] = {kKeyerFile, kFinisherFile};
    ASSERT_EQ(ClassList(), std::vector<std::string>{});
    std::unique_ptr<host::LoadedPlugin> loaded[2];
    for (int i = 0; i < 2; ++i) {
        loaded[order.Load[i]] = host::LoadPlugin(files[order.Load[i]]);
        EXPECT_EQ(ClassList(), order.ClassesAfter[i]) << "after load " << i;
    }
    // Both work side by side.
    {
        std::unique_ptr<Operator> keyer = host::CreateInstance(*host::FindClass(kKeyerClass));
        std::unique_ptr<Operator> finisher = host::CreateInstance(*host::FindClass(kFinisherClass));
        SetUpKeyer(*keyer);
        // A Gamma the render raises alphas for: whatever it keeps for that must not hold the
        // plug-in in memory once it is unloaded.
        Set(*keyer, "GammaAlpha", 1.4);
        Set(*finisher, "OutputMode", 1.0);  // the matte in every channel
        host::Flow flow;
        flow.Append(*keyer);
        flow.Append(*finisher);
        std::unique_ptr<Image> source = Plate(0, 16, 12);
        std::unique_ptr<Image> result = flow.Render(*source, 0.0);
        const Pixel inside = result->GetPixel(10, 8);
        const Pixel outside = result->GetPixel(2, 2);
        EXPECT_TRUE(FloatsEqual({inside.R, inside.G, inside.B, inside.A, outside.R, outside.A},
                                {1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f}));
    }
    for (int i = 0; i < 2; ++i) {
        loaded[order.Unload[i]]->Unload();
        EXPECT_EQ(ClassList(), order.ClassesAfter[2 + i]) << "after unload " << i;
    }
    EXPECT_EQ(host::FindClass(kKeyerClass), nullptr);
    EXPECT_EQ(host::FindClass(kFinisherClass), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Orders, BothPlugins, ::testing::ValuesIn(kLoadOrders),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
