// The finishing tool class: despill, matte clip, shrink or grow, soften, garbage and core mattes,
// chained after the keyer. The host creates it through the registered creation callback and
// reaches it through the virtual operations it overrides.
#pragma once

#include "finish/finish_process.h"
#include "host/link.h"
#include "host/operator.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

class Finisher : public ThreadedOperator {
public:
    Finisher(const Registry* entry, const ScriptVal& table, const TagList& tags);
    ~Finisher() override;
    std::size_t GetObjectSize() const override;
    void Process(Request* request) override;

    // Links, owned by the host; one per control, image and output, in control-page order.
    Input* InDespill;
    Input* InScreenChannel;
    Input* InScreenRed;
    Input* InScreenGreen;
    Input* InScreenBlue;
    Input* InDespillAmount;
    Input* InSpillToGrey;
    Input* InClipBlack;
    Input* InClipWhite;
    Input* InUnmixEdges;
    Input* InUnmixReach;
    Input* InShrink;
    Input* InSoften;
    Input* InOutputMode;
    Input* InImage;
    Input* InGarbageMatte;
    Input* InCoreMatte;
    Output* OutImage;

private:
    qualvex::finish::FinishWorkspace m_Workspace;  // this instance's frames, one at a time

    template <std::size_t N>
    Input* AddInput(const char* name, const char* id, const std::uint64_t (&words)[N]);
    // A number slider from min to max; a combo whose value is the entry's index;
    // an image input that may stay unconnected, on main link `link`.
    Input* AddSlider(const char* name, const char* id, double min, double max, double defaultValue);
    Input* AddCombo(const char* name, const char* id, std::initializer_list<const char*> entries, double defaultValue);
    Input* AddMask(const char* name, const char* id, std::uint64_t link);
};
