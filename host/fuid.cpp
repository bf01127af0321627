#include "host/fuid.h"

#include "host/host_testing.h"

#include <stdexcept>

FuID::FuID(const char* text, bool isStatic) : m_Static(isStatic)
{
    host::testing::CountHostCall("FuID");
    if (text == nullptr)
        throw std::invalid_argument("FuID: identifier text is null");
    m_Text = text;
}

const FuID CLSID_DataType_Number("Number");
const FuID CLSID_DataType_Text("Text");
const FuID CLSID_DataType_Image("Image");

const FuID CLSID_InputControl_Combo("ComboControl");
const FuID CLSID_InputControl_Color("ColorControl");
const FuID CLSID_InputControl_Checkbox("CheckboxControl");
const FuID CLSID_InputControl_Slider("SliderControl");
const FuID CLSID_InputControl_MultiButton("MultiButtonControl");
const FuID CLSID_InputControl_Label("LabelControl");
