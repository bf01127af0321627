#include "sync/control_sync.h"

#include "color/conversions.h"
#include "color/int_conversion.h"
#include "host/link.h"
#include "host/parameter.h"
#include "host/tag_list.h"

namespace qualvex {
namespace {

// The wrapper lives for this one call and is released on every way out, a throwing call too.
void SetNumber(Input* input, double value, double time)
{
    AutoNumber number(value);
    input->SetValueAt(number, time, nullptr, 0);
}

void SetVisible(Input* input, bool shown)
{
    const std::uint64_t words[] = {LinkTag::Visible, shown ? 1u : 0u, 0, 0};
    const TagList tags(words, false);
    input->SetAttrsTagList(tags);
}

// The key colour as a working record: each component rounded to single precision.
ColorVec RecordOf(const double (&key)[3])
{
    return MakeColor(static_cast<float>(key[0]), static_cast<float>(key[1]), static_cast<float>(key[2]));
}

// Channel k's field of a record: p1 is R, p2 is G, p3 is B.
float& FieldOf(ColorVec& record, int k)
{
    if (k == 0)
        return record.R;
    if (k == 1)
        return record.G;
    return record.B;
}

void KeyColorChanged(const SyncLinks& links, SyncState state, int component, double value, double time)
{
    // The cache is written first, so the update sees the new component.
    state.KeyColor[component] = value;
    UpdateChannelValues(links, state.ColorSpaceMode, RecordOf(state.KeyColor), time);
}

void ChannelValueChanged(const SyncLinks& links, SyncState state, int k, double value, double time)
{
    const std::int32_t mode = state.ColorSpaceMode;
    ColorVec record = RecordOf(state.KeyColor);
    if (mode == ColorSpaceRGB) {
        // RGB passes the typed value through at double precision.
        SetNumber(links.KeyColor[k], value, time);
        state.KeyColor[k] = value;
        return;
    }
    if (mode < ColorSpaceHSV || mode > ColorSpaceYCbCr)
        return;
    record = RgbToSpace(record, mode);
    FieldOf(record, k) = static_cast<float>(value);
    const ColorVec rgb = SpaceToRgb(record, mode);
    // Each set may be reported back before the next one; the cache takes the new colour only
    // after all three, whatever the nested reports wrote into it meanwhile.
    SetNumber(links.KeyColor[0], rgb.R, time);
    SetNumber(links.KeyColor[1], rgb.G, time);
    SetNumber(links.KeyColor[2], rgb.B, time);
    state.KeyColor[0] = rgb.R;
    state.KeyColor[1] = rgb.G;
    state.KeyColor[2] = rgb.B;
}

void ChannelSelected(const SyncLinks& links, std::int32_t k)
{
    if (k < 0 || k > 2)
        return;
    for (Input* const* group : {links.Value, links.Min, links.Max})
        for (int channel = 0; channel < 3; ++channel)
            SetVisible(group[channel], channel == k);
}

int ChannelOf(Input* const (&inputs)[3], const Input* input)
{
    for (int k = 0; k < 3; ++k)
        if (inputs[k] == input)
            return k;
    return -1;
}

}  // namespace

void UpdateChannelValues(const SyncLinks& links, std::int32_t mode, ColorVec key, double time)
{
    if (mode < ColorSpaceRGB || mode > ColorSpaceYCbCr)
        return;
    const ColorVec p = RgbToSpace(key, mode);
    // The components are computed before the first set: a nested report cannot change them.
    SetNumber(links.Value[0], p.R, time);
    SetNumber(links.Value[1], p.G, time);
    SetNumber(links.Value[2], p.B, time);
}

void HandleControlChange(const SyncLinks& links, SyncState state, Input* input, Parameter* param, double time)
{
    // Every input handled here carries a number; anything else (no value, or a value of another
    // kind) is left to the host's own handling alone.
    if (param == nullptr || param->Kind() != ParameterKind::Number)
        return;
    const double value = static_cast<const Number*>(param)->Value;

    if (input == links.Colorspace) {
        state.ColorSpaceMode = RoundIndex(value);
        return;
    }
    if (const int c = ChannelOf(links.KeyColor, input); c >= 0) {
        KeyColorChanged(links, state, c, value, time);
        return;
    }
    if (const int k = ChannelOf(links.Value, input); k >= 0) {
        ChannelValueChanged(links, state, k, value, time);
        return;
    }
    if (input == links.Channel)
        ChannelSelected(links, RoundIndex(value));
}

}  // namespace qualvex
