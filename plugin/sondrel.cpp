#include "plugin/sondrel.h"

#include "host/fuid.h"
#include "host/tag_list.h"
#include "render/keying_process.h"
#include "sync/control_sync.h"

#include <bit>
#include <ios>
#include <ostream>

namespace {

std::uint64_t Dbl(double value) { return std::bit_cast<std::uint64_t>(value); }
std::uint64_t Str(const char* text) { return reinterpret_cast<std::uint64_t>(text); }
std::uint64_t Cls(const FuID& id) { return reinterpret_cast<std::uint64_t>(&id); }

constexpr std::uint64_t kNotify = LinkTag::NotifyChanged;

}  // namespace

template <std::size_t N>
Input* Sondrel::AddInput(const char* name, const char* id, const std::uint64_t (&words)[N])
{
    const FuID nameID(name, true);
    const FuID inputID(id, true);
    const TagList tags(words, false);
    return AddInputTagList(nameID, inputID, tags);
}

Sondrel::Sondrel(const Registry* entry, const ScriptVal& table, const TagList& tags)
    : ThreadedOperator(entry, table, tags)
{
    using namespace LinkTag;
    const std::uint64_t number = Cls(CLSID_DataType_Number);

    {
        const std::uint64_t words[] = {0, 0};
        const TagList none(words, false);
        AddControlPageTagList("Settings", none);
    }

    {
        const std::uint64_t words[] = {
            DataType, number, Control, Cls(CLSID_InputControl_Combo), Entry, Str("RGB"), Entry, Str("HSV"),
            Entry, Str("YXy"), Entry, Str("YUV"), Entry, Str("YCbCr"), ComboOption, 1, RangeMax, Dbl(5.0),
            RangeMin, Dbl(0.0), Default, Dbl(0.0), kNotify, 1, DisplayOption, Dbl(1.0), 0, 0};
        InColorspace = AddInput("Color Space", "Colorspace", words);
    }
    {
        const std::uint64_t words[] = {
            DataType, number, Control, Cls(CLSID_InputControl_Combo), Entry, Str("Replace"), Entry,
            Str("Multiply"), Entry, Str("Add"), Entry, Str("Substract"), ComboOption, 1, RangeMax, Dbl(5.0),
            RangeMin, Dbl(0.0), Default, Dbl(0.0), kNotify, 1, DisplayOption, Dbl(1.0), 0, 0};
        InBGAlphaBlend = AddInput("BG Alpha Blend", "BGAlphaBlend", words);
    }
    {
        const std::uint64_t words[] = {
            DataType, number, Control, Cls(CLSID_InputControl_Color), ColorCaption, Str("Key Color"), ColorGroup, 1,
            ColorGroupPosition, 0, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0), Default, Dbl(0.0), ColorCode, 6,
            kNotify, 1, 0, 0};
        InCRed = AddInput("CRed", "CRed", words);
    }
    {
        const std::uint64_t words[] = {
            DataType, number, Control, Cls(CLSID_InputControl_Color), ColorGroup, 1, ColorGroupPosition, 1,
            RangeMin, Dbl(0.0), RangeMax, Dbl(1.0), Default, Dbl(0.0), ColorCode, 7, kNotify, 1, 0, 0};
        InCGreen = AddInput("CGreen", "CGreen", words);
    }
    {
        const std::uint64_t words[] = {
            DataType, number, Control, Cls(CLSID_InputControl_Color), ColorGroup, 1, ColorGroupPosition, 2,
            RangeMin, Dbl(0.0), RangeMax, Dbl(1.0), Default, Dbl(0.0), ColorCode, 8, kNotify, 1, 0, 0};
        InCBlue = AddInput("CBlue", "CBlue", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, Cls(CLSID_InputControl_Checkbox),
                                       Default, Dbl(0.0), DisplayOption, Dbl(1.0), 0, 0};
        InInvAlpha = AddInput("Invert Alpha", "InvAlpha", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, Cls(CLSID_InputControl_Checkbox),
                                       Default, Dbl(1.0), DisplayOption, Dbl(1.0), 0, 0};
        InColCor = AddInput("Color Correct", "ColCor", words);
    }

    // Sliders: range, default, and whether the change handling hears about them.
    const std::uint64_t slider = Cls(CLSID_InputControl_Slider);
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(5.0),
                                       Default, Dbl(0.0), kNotify, 1, 0, 0};
        InCCAmount = AddInput("CC Amount", "CCAmount", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(5.0),
                                       Default, Dbl(0.0), kNotify, 1, 0, 0};
        InDesaturateAlpha = AddInput("Desaturate Alpha", "DesaturateAlpha", words);
    }
    {
        // The default is the double 0.0, the first button, like every other default a double.
        const std::uint64_t words[] = {DataType, number, Control, Cls(CLSID_InputControl_MultiButton),
                                       Entry, Str("0"), Entry, Str("1"), Entry, Str("2"), MultiButtonOption, 1,
                                       kNotify, 1, Default, Dbl(0.0), 0, 0};
        InChannel = AddInput("Channel", "Channel", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0),
                                       Default, Dbl(0.0), kNotify, 1, 0, 0};
        InValueRed = AddInput("Value p1", "ValueRed", words);
        InValueGreen = AddInput("Value p2", "ValueGreen", words);
        InValueBlue = AddInput("Value p3", "ValueBlue", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(4.0),
                                       Default, Dbl(0.0), 0, 0};
        InMinRed = AddInput("Min p1", "MiRedn", words);
        InMinGreen = AddInput("Min p2", "MinGreen", words);
        InMinBlue = AddInput("Min p3", "MinBlue", words);
        InMaxRed = AddInput("Max p1", "MaxRed", words);
        InMaxGreen = AddInput("Max p2", "MaxGreen", words);
        InMaxBlue = AddInput("Max p3", "MaxBlue", words);
    }
    const std::uint64_t label[] = {DataType, Cls(CLSID_DataType_Text), Control, Cls(CLSID_InputControl_Label),
                                   Default, Dbl(1.0), DisplayOption, Dbl(1.0), 0, 0};
    InDivider = AddInput(" ", "mydivider", label);
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(1.0),
                                       Default, Dbl(0.0), 0, 0};
        InFadeRed = AddInput("Fade", "FadeRed", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0001), RangeMax, Dbl(4.0),
                                       Default, Dbl(1.0), 0, 0};
        InGammaAlpha = AddInput("Gamma Alpha", "GammaAlpha", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(0.0), RangeMax, Dbl(20.0),
                                       Default, Dbl(1.0), 0, 0};
        InMultAlpha = AddInput("Mult Alpha", "MultAlpha", words);
    }
    {
        const std::uint64_t words[] = {DataType, number, Control, slider, RangeMin, Dbl(-10.0), RangeMax, Dbl(10.0),
                                       Default, Dbl(0.0), 0, 0};
        InOffAlpha = AddInput("Offset Alpha", "OffAlpha", words);
    }
    InLabel = AddInput("Qualvex keyer by Tavelorn, 2016", "2016byTavelorn", label);

    const std::uint64_t image = Cls(CLSID_DataType_Image);
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 1, kNotify, 1, 0, 0};
        InImage = AddInput("Image", "Image", words);
    }
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 2, ConnectionRequired, 0, 0, 0};
        InKeyImage = AddInput("KeyImage", "KeyImage", words);
    }
    {
        const std::uint64_t words[] = {DataType, image, MainLink, 1, 0, 0};
        const FuID name("Output", true);
        const FuID id("Output", true);
        const TagList list(words, false);
        OutImage = AddOutputTagList(name, id, list);
    }
}

Sondrel::~Sondrel() = default;

void Sondrel::DoDumpMem(std::ostream& out) const
{
    ThreadedOperator::DoDumpMem(out);
    const std::ios_base::fmtflags flags = out.flags();
    out << "ColorSpaceMode " << std::dec << ColorSpaceMode << '\n' << "KeyColor" << std::hexfloat;
    for (double component : KeyColor)
        out << ' ' << component;
    out << '\n';
    out.flags(flags);
}

std::size_t Sondrel::GetObjectSize() const { return sizeof(Sondrel); }

void Sondrel::Process(Request* request)
{
    const qualvex::KeyerLinks links{InColorspace,
                                    InBGAlphaBlend,
                                    InColCor,
                                    InInvAlpha,
                                    InCCAmount,
                                    InDesaturateAlpha,
                                    {InValueRed, InValueGreen, InValueBlue},
                                    {InMinRed, InMinGreen, InMinBlue},
                                    {InMaxRed, InMaxGreen, InMaxBlue},
                                    InFadeRed,
                                    InGammaAlpha,
                                    InMultAlpha,
                                    InOffAlpha,
                                    InImage,
                                    InKeyImage,
                                    OutImage};
    qualvex::RenderKeyedFrame(*request, links);
}

void Sondrel::NotifyChanged(Input* input, Parameter* param, TimeStamp time, TagList* tags)
{
    qualvex::HandleControlChange(ChangeLinks(), {ColorSpaceMode, KeyColor}, input, param, time);
    Operator::NotifyChanged(input, param, time, tags);
}

void Sondrel::UpdateChannelValues(ColorVec keyColor, TimeStamp time)
{
    qualvex::UpdateChannelValues(ChangeLinks(), ColorSpaceMode, keyColor, time);
}
