// Host identifiers: the names under which classes, inputs and data types are known.
#pragma once

#include <string>

class FuID {
public:
    FuID() = default;
    // The flag marks text that outlives the identifier (a literal); the host copies the text
    // either way, so an identifier never dangles after a plug-in unloads.
    FuID(const char* text, bool isStatic = true);

    const char* c_str() const { return m_Text.c_str(); }
    const std::string& str() const { return m_Text; }
    bool IsStatic() const { return m_Static; }
    bool empty() const { return m_Text.empty(); }

    friend bool operator==(const FuID& a, const FuID& b) { return a.m_Text == b.m_Text; }

private:
    std::string m_Text;
    bool m_Static = false;
};

// Data types carried by links.
extern const FuID CLSID_DataType_Number;
extern const FuID CLSID_DataType_Text;
extern const FuID CLSID_DataType_Image;

// Controls that edit inputs.
extern const FuID CLSID_InputControl_Combo;
extern const FuID CLSID_InputControl_Color;
extern const FuID CLSID_InputControl_Checkbox;
extern const FuID CLSID_InputControl_Slider;
extern const FuID CLSID_InputControl_MultiButton;
extern const FuID CLSID_InputControl_Label;
