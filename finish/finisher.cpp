#include "finish/finisher.h"

#include "finish/finish_process.h"
#include "host/fuid.h"
#include "host/tag_list.h"

#include <bit>
#include <initializer_list>
#include <vector>

namespace {

std::uint64_t Dbl(double value) { return std::bit_cast<std::uint64_t>(value); }
std::uint64_t Str(const char* text) { return reinterpret_cast<std::uint64_t>(text); }
std::uint64_t Cls(const FuID& id) { return reinterpret_cast<std::uint64_t>(&id); }

}  // namespace

template <std::size_t N>
Input* Finisher::AddInput(const char* name, const char* id, const std::uint64_t (&words)[N])
{
    const FuID nameID(name, true);
    const FuID inputID(id, true);
    const TagList tags(words, false);
    return AddInputTagList(nameID, inputID, tags);
}

Input* Finisher::AddSlider(const char* name, const char* id, double min, double max, double defaultValue)
{
    using namespace LinkTag;
    const std::uint64_t words[] = {DataType, Cls(CLSID_DataType_Number), Control, Cls(CLSID_InputControl_Slider),
                                   RangeMin, Dbl(min), RangeMax, Dbl(max), Default, Dbl(defaultValue), 0, 0};
    return AddInput(name, id, words);
}

Input* Finisher::AddCombo(const char* name, const char* id, std::initializer_list<const char*> entries,
                          double defaultValue)
{
    using namespace LinkTag;
    std::vector<std::uint64_t> words = {DataType, Cls(CLSID_DataType_Number), Control, Cls(CLSID_InputControl_Combo)};
    for (const char* entry : entries) {
        words.push_back(Entry);
        words.push_back(Str(entry));
    }
    const double last = static_cast<double>(entries.size()) - 1.0;
    words.insert(words.end(), {ComboOption, 1, RangeMin, Dbl(0.0), RangeMax, Dbl(last), Default, Dbl(defaultValue), 0, 0});
    const FuID nameID(name, true);
    const FuID inputID(id, true);
    const TagList tags(words.data(), words.size(), false);
    return AddInputTagList(nameID, inputID, tags);
}

Input* Finisher::AddMask(const char* name, const char* id, std::uint64_t link)
{
    using namespace LinkTag;
    const std::uint64_t words[] = {DataType, Cls(CLSID_DataType_Image), MainLink, link, ConnectionRequired, 0, 0, 0};
    return AddInput(name, id, words);
}

Finisher::Finisher(const Registry* entry, const ScriptVal& table, const TagList& tags)
    : ThreadedOperator(entry, table, tags)
{
    using namespace LinkTag;
    {
        const std::uint64_t words[] = {0, 0};
        const TagList none(words, false);
        AddControlPageTagList("Finish", none);
    }

    // Screen Colour came last, so that saved settings keep naming the entries they named.
    InDespill = AddCombo("Despill", "Despill", {"Off", "Average", "Maximum", "Screen Colour"}, 0.0);
    InScreenChannel = AddCombo("Screen Channel", "ScreenChannel", {"Red", "Green", "Blue"}, 1.0);
    // The screen colour the Screen Colour despill works against; a green screen until set.
    InScreenRed = AddSlider("Screen Red", "ScreenRed", 0.0, 1.0, 0.0);
    InScreenGreen = AddSlider("Screen Green", "ScreenGreen", 0.0, 1.0, 1.0);
    InScreenBlue = AddSlider("Screen Blue", "ScreenBlue", 0.0, 1.0, 0.0);
    InDespillAmount = AddSlider("Despill Amount", "DespillAmount", 0.0, 1.0, 1.0);
    {
        const std::uint64_t words[] = {DataType, Cls(CLSID_DataType_Number), Control,
                                       Cls(CLSID_InputControl_Checkbox), Default, Dbl(0.0), 0, 0};
        InSpillToGrey = AddInput("Spill To Grey", "SpillToGrey", words);
    }
    InClipBlack = AddSlider("Clip Black", "ClipBlack", 0.0, 1.0, 0.0);
    InClipWhite = AddSlider("Clip White", "ClipWhite", 0.0, 1.0, 1.0);
    // Unmixing the edges; its entry says how the image's values encode light.
    InUnmixEdges = AddCombo("Unmix Edges", "UnmixEdges", {"Off", "As Given", "sRGB", "Rec. 709"}, 0.0);
    InUnmixReach = AddSlider("Unmix Reach", "UnmixReach", 1.0, 64.0, 20.0);
    InShrink = AddSlider("Shrink", "Shrink", -50.0, 50.0, 0.0);
    InSoften = AddSlider("Soften", "Soften", 0.0, 50.0, 0.0);
    InOutputMode = AddCombo("Output Mode", "OutputMode", {"Result", "Matte", "Spill"}, 0.0);

    const std::uint64_t image = Cls(CLSID_DataType_Image);
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 1, 0, 0};
        InImage = AddInput("Image", "Image", words);
    }
    InGarbageMatte = AddMask("Garbage Matte", "GarbageMatte", 2);
    InCoreMatte = AddMask("Core Matte", "CoreMatte", 3);
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 1, 0, 0};
        const FuID name("Output", true);
        const FuID id("Output", true);
        const TagList list(words, false);
        OutImage = AddOutputTagList(name, id, list);
    }
}

Finisher::~Finisher() = default;

std::size_t Finisher::GetObjectSize() const { return sizeof(Finisher); }

void Finisher::Process(Request* request)
{
    const qualvex::finish::FinishLinks links{InDespill,      InScreenChannel, InDespillAmount, InSpillToGrey,
                                             InClipBlack,    InClipWhite,     InShrink,        InSoften,
                                             InOutputMode,   InScreenRed,     InScreenGreen,   InScreenBlue,
                                             InUnmixEdges,   InUnmixReach,
                                             InImage,        InGarbageMatte,  InCoreMatte,     OutImage};
    qualvex::finish::RenderFinishedFrame(*request, links, m_Workspace);
}
