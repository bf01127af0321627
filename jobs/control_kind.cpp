#include "jobs/control_kind.h"

#include <utility>

namespace qualvex {

std::string ControlKindName(const LinkDescription& d)
{
    if (d.DataType == CLSID_DataType_Image.str())
        return "image";
    const std::pair<const FuID*, const char*> kinds[] = {
        {&CLSID_InputControl_Combo, "combo"},       {&CLSID_InputControl_MultiButton, "multibutton"},
        {&CLSID_InputControl_Slider, "slider"},     {&CLSID_InputControl_Checkbox, "checkbox"},
        {&CLSID_InputControl_Color, "colour"},      {&CLSID_InputControl_Label, "label"},
    };
    for (const auto& [control, kind] : kinds)
        if (d.Control == control->str())
            return kind;
    return d.Control.empty() ? d.DataType : d.Control;
}

}  // namespace qualvex
