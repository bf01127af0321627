// The keyer tool class. The host creates it through the registered creation callback and reaches
// it through the virtual operations it overrides: the destructor, the memory dump, the size query,
// Process and the change hook.
#pragma once

#include "color/color_vec.h"
#include "host/link.h"
#include "host/operator.h"
#include "sync/control_sync.h"

#include <cstddef>
#include <cstdint>
#include <ostream>

class Sondrel : public ThreadedOperator {
public:
    Sondrel(const Registry* entry, const ScriptVal& table, const TagList& tags);
    ~Sondrel() override;
    // The host's summary line, then the cached colour space and key colour, one line each:
    // "ColorSpaceMode <index>" and "KeyColor <red> <green> <blue>" with the doubles in hexadecimal
    // floating-point form, so that they read back exactly.
    void DoDumpMem(std::ostream& out) const override;
    std::size_t GetObjectSize() const override;
    void Process(Request* request) override;
    void NotifyChanged(Input* input, Parameter* param, TimeStamp time, TagList* tags) override;

    // Sets Value p1..p3 to the key colour expressed in the cached colour space.
    void UpdateChannelValues(ColorVec keyColor, TimeStamp time);

    // The links that the change handling reads and writes.
    qualvex::SyncLinks ChangeLinks() const
    {
        return {InColorspace,
                {InCRed, InCGreen, InCBlue},
                {InValueRed, InValueGreen, InValueBlue},
                {InMinRed, InMinGreen, InMinBlue},
                {InMaxRed, InMaxGreen, InMaxBlue},
                InChannel};
    }

    // Links, owned by the host; one per control, image and output.
    Input* InValueRed;
    Input* InValueGreen;
    Input* InValueBlue;
    Input* InMinRed;
    Input* InMinGreen;
    Input* InMinBlue;
    Input* InColorspace;
    Input* InLabel;
    Input* InColCor;
    Input* InCRed;
    Input* InCGreen;
    Input* InCBlue;
    Input* InInvAlpha;
    Input* InChannel;
    Input* InMaxRed;
    Input* InMaxGreen;
    Input* InMaxBlue;
    Input* InFadeRed;
    Input* InCCAmount;
    Input* InBGAlphaBlend;
    // Colour space index as last reported; starts on the control's default, RGB.
    std::int32_t ColorSpaceMode = 0;
    Input* InGammaAlpha;
    Input* InMultAlpha;
    Input* InOffAlpha;
    Input* InDesaturateAlpha;
    Input* InImage;
    Input* InKeyImage;
    Input* InDivider;
    Output* OutImage;
    // Key colour (red, green, blue) as last reported; starts on the control's default, black.
    double KeyColor[3] = {0.0, 0.0, 0.0};

private:
    template <std::size_t N>
    Input* AddInput(const char* name, const char* id, const std::uint64_t (&words)[N]);
};
