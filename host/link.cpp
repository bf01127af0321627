#include "host/link.h"

#include "host/host_testing.h"
#include "host/operator.h"

#include <bit>
#include <cstring>
#include <stdexcept>

LinkDescription DescribeLink(const FuID& name, const FuID& id, const TagList& tags)
{
    LinkDescription d;
    d.ID = id.str();
    d.Name = name.str();
    d.Tags = tags;
    if (tags.empty() || tags.Entries().front().Tag != LinkTag::DataType)
        throw std::invalid_argument("link \"" + d.ID + "\": its tag list must begin with the data type");
    for (const TagEntry& entry : tags.Entries()) {
        switch (entry.Tag) {
        case LinkTag::DataType: d.DataType = entry.Text; break;
        case LinkTag::Control: d.Control = entry.Text; break;
        case LinkTag::Entry: d.Entries.push_back(entry.Text); break;
        case LinkTag::ColorCaption: d.Caption = entry.Text; break;
        case LinkTag::RangeMin: d.Min = entry.Double(); break;
        case LinkTag::RangeMax: d.Max = entry.Double(); break;
        case LinkTag::Default:
            d.Default = entry.Double();
            d.DefaultWord = entry.Word;
            break;
        case LinkTag::NotifyChanged: d.Notify = entry.Integer() != 0; break;
        case LinkTag::ColorGroup: d.Group = entry.Integer(); break;
        case LinkTag::ColorGroupPosition: d.GroupPosition = entry.Integer(); break;
        case LinkTag::ColorCode: d.ColorCode = entry.Integer(); break;
        case LinkTag::MainLink: d.MainLink = entry.Integer(); break;
        case LinkTag::ConnectionRequired: d.Required = entry.Integer() != 0; break;
        case LinkTag::Visible: d.Visible = entry.Integer() != 0; break;
        default: break;  // display options and tags this host does not act on are kept in Tags
        }
    }
    return d;
}

Link::Link(Operator* owner, LinkDescription description) : m_Owner(owner), m_Description(std::move(description)) {}

Link::~Link() = default;

Input::Input(Operator* owner, LinkDescription description) : Link(owner, std::move(description))
{
    if (IsImageInput())
        return;
    if (m_Description.DataType == CLSID_DataType_Text.str())
        m_Value = std::make_unique<Text>();
    else
        m_Value = std::make_unique<Number>(m_Description.Default.value_or(0.0));
}

double Input::NumberValue() const
{
    const auto* number = dynamic_cast<const Number*>(m_Value.get());
    if (number == nullptr)
        throw std::logic_error("input \"" + ID() + "\" holds no number");
    return number->Value;
}

bool Input::SetValueAt(Parameter* value, TimeStamp time, TagList*, std::uint32_t)
{
    host::testing::CountHostCall("SetValueAt");
    if (value == nullptr)
        throw std::invalid_argument("SetValueAt on input \"" + ID() + "\": no value given");
    if (m_Value == nullptr || value->Kind() != m_Value->Kind())
        throw std::invalid_argument("SetValueAt on input \"" + ID() + "\": value of the wrong data type");

    bool changed;
    double recorded = 0.0;
    if (auto* number = dynamic_cast<Number*>(value)) {
        auto* held = static_cast<Number*>(m_Value.get());
        // Compared bit for bit: a set that stores the same number is no change, NaN included.
        changed = std::bit_cast<std::uint64_t>(held->Value) != std::bit_cast<std::uint64_t>(number->Value);
        held->Value = number->Value;
        recorded = number->Value;
    } else {
        auto* held = static_cast<Text*>(m_Value.get());
        const auto& text = static_cast<Text*>(value)->Value;
        changed = held->Value != text;
        held->Value = text;
    }

    if (host::testing::RecordingHostEvents()) {
        HostEvent event{HostEvent::Kind::Set, ID()};
        event.Value = recorded;
        event.Changed = changed;
        event.Time = time;
        host::testing::RecordEvent(*m_Owner, event);
    }
    if (changed && m_Description.Notify)
        m_Owner->Report(this, m_Value.get(), time);
    return true;
}

bool Input::SetAttrsTagList(const TagList& tags)
{
    host::testing::CountHostCall("SetAttrsTagList");
    for (const TagEntry& entry : tags.Entries()) {
        if (entry.Tag == LinkTag::Visible)
            m_Description.Visible = entry.Integer() != 0;
        if (host::testing::RecordingHostEvents()) {
            HostEvent event{HostEvent::Kind::Attribute, ID()};
            event.Tag = entry.Tag;
            event.Value = entry.Type() == TagType::Double ? entry.Double() : static_cast<double>(entry.Integer());
            host::testing::RecordEvent(*m_Owner, event);
        }
    }
    return true;
}

bool Input::IsConnected() const
{
    host::testing::CountHostCall("IsConnected");
    return m_Source != nullptr;
}
