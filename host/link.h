// Inputs and outputs of an operator. The host creates and owns every link.
#pragma once

#include "host/fuid.h"
#include "host/parameter.h"
#include "host/tag_list.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Image;
class Operator;

// Attribute tags understood on inputs and outputs.
namespace LinkTag {
inline constexpr std::uint32_t DataType = 0x88020000;
inline constexpr std::uint32_t Control = 0x80030000;
inline constexpr std::uint32_t Entry = 0x38040000;
inline constexpr std::uint32_t ColorCaption = 0x30040000;
inline constexpr std::uint32_t RangeMin = 0x20030000;
inline constexpr std::uint32_t RangeMax = 0x20030001;
inline constexpr std::uint32_t Default = 0x20030004;
inline constexpr std::uint32_t NotifyChanged = 0x1003000a;
inline constexpr std::uint32_t ColorGroup = 0x10030006;
inline constexpr std::uint32_t ColorGroupPosition = 0x10030007;
inline constexpr std::uint32_t ColorCode = 0x10030011;
inline constexpr std::uint32_t ConnectionRequired = 0x10030002;
inline constexpr std::uint32_t Visible = 0x10040008;
inline constexpr std::uint32_t MainLink = 0x10020001;
inline constexpr std::uint32_t ComboOption = 0x10050000;
inline constexpr std::uint32_t MultiButtonOption = 0x1005000a;
inline constexpr std::uint32_t DisplayOption = 0x20040007;
}  // namespace LinkTag

// What the host learned from an input's or output's tag list.
struct LinkDescription {
    std::string Page;
    std::string ID;
    std::string Name;
    std::string DataType;  // text of the data type's class identifier
    std::string Control;   // text of the control's class identifier, "" on image links
    std::vector<std::string> Entries;
    std::string Caption;
    std::optional<double> Min;
    std::optional<double> Max;
    std::optional<double> Default;
    std::optional<std::uint64_t> DefaultWord;  // the default's raw word, as handed over
    bool Notify = false;
    std::optional<std::int64_t> Group;
    std::optional<std::int64_t> GroupPosition;
    std::optional<std::int64_t> ColorCode;
    std::optional<std::int64_t> MainLink;
    bool Required = true;
    bool Visible = true;
    TagList Tags;  // the list as handed over, in order
};

class Link {
public:
    Link(Operator* owner, LinkDescription description);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    virtual ~Link();

    const LinkDescription& Description() const { return m_Description; }
    Operator* Owner() const { return m_Owner; }
    const std::string& ID() const { return m_Description.ID; }

protected:
    Operator* m_Owner;
    LinkDescription m_Description;
};

class Input : public Link {
public:
    Input(Operator* owner, LinkDescription description);

    // Sets the input's value. The host reports the change to the owner's NotifyChanged, when the
    // input asks for reports, only if the value actually changed; a report made inside another
    // report is nested in it.
    virtual bool SetValueAt(Parameter* value, TimeStamp time, TagList* tags = nullptr, std::uint32_t flags = 0);
    virtual bool SetAttrsTagList(const TagList& tags);
    // True when an image source is connected to this input.
    virtual bool IsConnected() const;

    // Host side.
    bool IsImageInput() const { return m_Description.DataType == CLSID_DataType_Image.str(); }
    Parameter* Value() const { return m_Value.get(); }  // null on image inputs
    double NumberValue() const;
    void ConnectImage(Image* source) { m_Source = source; }  // null disconnects
    Image* ConnectedImage() const { return m_Source; }

private:
    std::unique_ptr<Parameter> m_Value;
    Image* m_Source = nullptr;
};

class Output : public Link {
public:
    using Link::Link;
};

LinkDescription DescribeLink(const FuID& name, const FuID& id, const TagList& tags);
