#include "finish/finisher.h"

#include "finish/finish_process.h"
#include "host/fuid.h"
#include "host/tag_list.h"

#include <bit>

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

Finisher::Finisher(const Registry* entry, const ScriptVal& table, const TagList& tags)
    : ThreadedOperator(entry, table, tags)
{
    using namespace LinkTag;
    const std::uint64_t number = Cls(CLSID_DataType_Number);
    const std::uint64_t combo = Cls(CLSID_InputControl_Combo);
    const std::uint64_t slider = Cls(CLSID_InputControl_Slider);

    {
        const std::uint64_t words[] = {0, 0};
        const TagList none(words, false);
        AddControlPageTagList("Finish", none);
    }

    {
        const std::uint64_t words[] = {DataType, number, Control, combo, Entry, Str("Off"), Entry, Str("Average"),
                                       Entry, Str("Maximum"), ComboOption, 1, RangeMin, Dbl(0.0), RangeMax, Dbl(2.0),
                                       Default, Dbl(0.0), 0, 0};
        InDespill = AddInput("Despill", "Despill", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, combo, Entry, Str("Red"), Entry, Str("Green"),
                                       Entry, Str("Blue"), ComboOption, 1, RangeMin, Dbl(0.0), RangeMax, Dbl(2.0),
                                       Default, Dbl(1.0), 0, 0};
        InScreenChannel = AddInput("Screen Channel", "ScreenChannel", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0),
                                       Default, Dbl(1.0), 0, 0};
        InDespillAmount = AddInput("Despill Amount", "DespillAmount", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, Cls(CLSID_InputControl_Checkbox), Default, Dbl(0.0),
                                       0, 0};
        InSpillToGrey = AddInput("Spill To Grey", "SpillToGrey", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0),
                                       Default, Dbl(0.0), 0, 0};
        InClipBlack = AddInput("Clip Black", "ClipBlack", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0),
                                       Default, Dbl(1.0), 0, 0};
        InClipWhite = AddInput("Clip White", "ClipWhite", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(-50.0), RangeMax, Dbl(50.0),
                                       Default, Dbl(0.0), 0, 0};
        InShrink = AddInput("Shrink", "Shrink", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(50.0),
                                       Default, Dbl(0.0), 0, 0};
        InSoften = AddInput("Soften", "Soften", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, combo, Entry, Str("Result"), Entry, Str("Matte"),
                                       Entry, Str("Spill"), ComboOption, 1, RangeMin, Dbl(0.0), RangeMax, Dbl(2.0),
                                       Default, Dbl(0.0), 0, 0};
        InOutputMode = AddInput("Output Mode", "OutputMode", words);
    }

    const std::uint64_t image = Cls(CLSID_DataType_Image);
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 1, 0, 0};
        InImage = AddInput("Image", "Image", words);
    }
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 2, ConnectionRequired, 0, 0, 0};
        InGarbageMatte = AddInput("Garbage Matte", "GarbageMatte", words);
    }
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 3, ConnectionRequired, 0, 0, 0};
        InCoreMatte = AddInput("Core Matte", "CoreMatte", words);
    }
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
    const qualvex::finish::FinishLinks links{InDespill,   InScreenChannel, InDespillAmount, InSpillToGrey, InClipBlack,
                                             InClipWhite, InShrink,        InSoften,        InOutputMode,  InImage,
                                             InGarbageMatte, InCoreMatte, OutImage};
    qualvex::finish::RenderFinishedFrame(*request, links, m_Workspace);
}
