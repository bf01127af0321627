// The host's side of change reports: a set is reported only when it changes the value and the
// input asks for reports, nested inside any report in progress; after creating an instance the
// host reports each such input once, in control order.
#include "host/host_testing.h"
#include "host/debug_log.h"
#include "host/operator.h"
#include "host/registry.h"
#include "host/request.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>

namespace {

std::uint64_t Cls(const FuID& id) { return reinterpret_cast<std::uint64_t>(&id); }

class EchoOperator : public Operator {
public:
    EchoOperator(const Registry* entry, const ScriptVal& table, const TagList& tags) : Operator(entry, table, tags)
    {
        const std::uint64_t notify[] = {0x88020000, Cls(CLSID_DataType_Number), 0x80030000,
                                        Cls(CLSID_InputControl_Slider), 0x20030004, std::bit_cast<std::uint64_t>(0.5),
                                        0x1003000a, 1, 0, 0};
        const std::uint64_t quiet[] = {0x88020000, Cls(CLSID_DataType_Number), 0x80030000,
                                       Cls(CLSID_InputControl_Slider), 0, 0};
        const std::uint64_t image[] = {0x88020000, Cls(CLSID_DataType_Image), 0x1003000a, 1, 0, 0};
        A = AddInputTagList(FuID("A"), FuID("A"), TagList(notify, false));
        B = AddInputTagList(FuID("B"), FuID("B"), TagList(notify, false));
        Quiet = AddInputTagList(FuID("Quiet"), FuID("Quiet"), TagList(quiet, false));
        Picture = AddInputTagList(FuID("Picture"), FuID("Picture"), TagList(image, false));
    }

    void NotifyChanged(Input* input, Parameter* param, TimeStamp time, TagList* tags) override
    {
        if (OnReport && param != nullptr)
            OnReport(input, static_cast<Number*>(param)->Value);
        Operator::NotifyChanged(input, param, time, tags);
    }

    void SetNumber(Input* input, double value)
    {
        AutoNumber number(value);
        input->SetValueAt(number, 2.0);
    }

    Input* A;
    Input* B;
    Input* Quiet;
    Input* Picture;
    std::function<void(Input*, double)> OnReport;
};

Operator* CreateEcho(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) EchoOperator(entry, table, tags);
}

class ValueReports : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::uint64_t words[] = {0x60000000, reinterpret_cast<std::uint64_t>(&CreateEcho), 0, 0};
        m_Entry = std::make_unique<Registry>(&ClassRegistry, FuID("Test.Echo"), TagList(words, false));
        m_Instance = host::CreateInstance(*m_Entry);
        m_Echo = static_cast<EchoOperator*>(m_Instance.get());
        host::testing::EventsOf(*m_Echo).clear();
    }

    std::unique_ptr<Registry> m_Entry;
    std::unique_ptr<Operator> m_Instance;
    EchoOperator* m_Echo = nullptr;
};

using Kind = HostEvent::Kind;

TEST(InstanceCreation, ReportsEachNotifyingInputOnceInControlOrder)
{
    const std::uint64_t words[] = {0x60000000, reinterpret_cast<std::uint64_t>(&CreateEcho), 0, 0};
    Registry entry(&ClassRegistry, FuID("Test.EchoStart"), TagList(words, false));
    std::unique_ptr<Operator> instance = host::CreateInstance(entry);
    const auto& events = host::testing::EventsOf(*instance);
    ASSERT_EQ(events.size(), 6u);
    const char* order[] = {"A", "B", "Picture"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[2 * i].What, Kind::Report);
        EXPECT_EQ(events[2 * i].InputID, order[i]);
        EXPECT_EQ(events[2 * i].Depth, 1);
        EXPECT_EQ(events[2 * i + 1].What, Kind::BaseReport);
    }
    EXPECT_EQ(events[0].Value, 0.5);         // the starting value
    EXPECT_FALSE(events[4].HasValue);        // an image input starts with no image
}

TEST_F(ValueReports, ChangedValueIsReportedUnchangedIsNot)
{
    m_Echo->SetNumber(m_Echo->A, 0.75);
    m_Echo->SetNumber(m_Echo->A, 0.75);
    const auto& events = host::testing::EventsOf(*m_Echo);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].What, Kind::Set);
    EXPECT_TRUE(events[0].Changed);
    EXPECT_EQ(events[1].What, Kind::Report);
    EXPECT_EQ(events[1].Value, 0.75);
    EXPECT_EQ(events[1].Time, 2.0);
    EXPECT_EQ(events[2].What, Kind::BaseReport);
    EXPECT_EQ(events[3].What, Kind::Set);
    EXPECT_FALSE(events[3].Changed);
    EXPECT_EQ(m_Echo->A->NumberValue(), 0.75);
}

TEST_F(ValueReports, InputsThatDoNotAskAreNotReported)
{
    m_Echo->SetNumber(m_Echo->Quiet, 3.0);
    ASSERT_EQ(host::testing::EventsOf(*m_Echo).size(), 1u);
    EXPECT_EQ(host::testing::EventsOf(*m_Echo)[0].What, Kind::Set);
    EXPECT_EQ(m_Echo->Quiet->NumberValue(), 3.0);
}

TEST_F(ValueReports, SetsInsideAReportAreNestedAndTheExchangeEnds)
{
    // Each input copies its value to the other: the exchange ends when a set changes nothing.
    m_Echo->OnReport = [this](Input* input, double value) {
        m_Echo->SetNumber(input == m_Echo->A ? m_Echo->B : m_Echo->A, value);
    };
    m_Echo->SetNumber(m_Echo->A, 0.25);
    const auto& events = host::testing::EventsOf(*m_Echo);
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].What, Kind::Set);  // A := 0.25
    EXPECT_EQ(events[0].Depth, 0);
    EXPECT_EQ(events[1].What, Kind::Report);  // A reported
    EXPECT_EQ(events[1].Depth, 1);
    EXPECT_EQ(events[2].InputID, "B");  // B := 0.25 inside the report
    EXPECT_TRUE(events[2].Changed);
    EXPECT_EQ(events[2].Depth, 1);
    EXPECT_EQ(events[3].What, Kind::Report);  // B reported, nested
    EXPECT_EQ(events[3].Depth, 2);
    EXPECT_EQ(events[4].InputID, "A");  // A := 0.25 again: no change, no report
    EXPECT_FALSE(events[4].Changed);
    EXPECT_EQ(events[5].What, Kind::BaseReport);
    EXPECT_EQ(events[5].Depth, 2);
    EXPECT_EQ(events[6].What, Kind::BaseReport);
    EXPECT_EQ(events[6].Depth, 1);
    EXPECT_EQ(m_Echo->ReportDepth(), 0);
}

TEST_F(ValueReports, ReportsNestedDeeperThanOneLevelAreWithheldAndLogged)
{
    // Each input sets the other to its value plus one: a ping-pong that never settles by itself.
    std::vector<std::string> log;
    const host::DebugSink previous = host::SetDebugSink([&log](const std::string& line) { log.push_back(line); });
    m_Echo->OnReport = [this](Input* input, double value) {
        m_Echo->SetNumber(input == m_Echo->A ? m_Echo->B : m_Echo->A, value + 1.0);
    };
    m_Echo->SetNumber(m_Echo->A, 1.0);
    host::SetDebugSink(previous);

    ASSERT_EQ(Operator::MaxNestedReports, 2);
    const auto& events = host::testing::EventsOf(*m_Echo);
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[1].What, Kind::Report);  // A, from the user's set
    EXPECT_EQ(events[2].InputID, "B");        // B := 2 inside it
    EXPECT_EQ(events[3].What, Kind::Report);  // B reported one level down
    EXPECT_EQ(events[3].Depth, 2);
    EXPECT_EQ(events[4].InputID, "A");  // A := 3: set, but its report is withheld
    EXPECT_EQ(events[4].What, Kind::Set);
    EXPECT_TRUE(events[4].Changed);
    EXPECT_EQ(events[5].What, Kind::Withheld);
    EXPECT_EQ(events[5].InputID, "A");
    EXPECT_EQ(events[5].Value, 3.0);
    EXPECT_EQ(events[6].What, Kind::BaseReport);
    EXPECT_EQ(events[7].What, Kind::BaseReport);
    EXPECT_EQ(m_Echo->A->NumberValue(), 3.0);  // the value stays set
    EXPECT_EQ(m_Echo->ReportDepth(), 0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\"A\""), std::string::npos) << log[0];
    EXPECT_NE(log[0].find("withheld"), std::string::npos) << log[0];
}

TEST_F(ValueReports, AttributeChangesAreRecordedAndTakeEffect)
{
    const std::uint64_t hide[] = {0x10040008, 0, 0, 0};
    m_Echo->B->SetAttrsTagList(TagList(hide, false));
    EXPECT_FALSE(m_Echo->B->Description().Visible);
    ASSERT_EQ(host::testing::EventsOf(*m_Echo).size(), 1u);
    EXPECT_EQ(host::testing::EventsOf(*m_Echo)[0].What, Kind::Attribute);
    EXPECT_EQ(host::testing::EventsOf(*m_Echo)[0].Tag, 0x10040008u);
    EXPECT_EQ(host::testing::EventsOf(*m_Echo)[0].Value, 0.0);
}

TEST_F(ValueReports, RefusesValuesOfTheWrongKind)
{
    EXPECT_THROW(m_Echo->A->SetValueAt(nullptr, 0.0), std::invalid_argument);
    Text text("x");
    EXPECT_THROW(m_Echo->A->SetValueAt(&text, 0.0), std::invalid_argument);
    AutoNumber number(1.0);
    EXPECT_THROW(m_Echo->Picture->SetValueAt(number, 0.0), std::invalid_argument);
}

TEST_F(ValueReports, RequestHoldsTheValuesOfItsTimeAndOnlyThisOperatorsInputs)
{
    m_Echo->SetNumber(m_Echo->A, 0.125);
    Request request(*m_Echo, 4.0);
    m_Echo->SetNumber(m_Echo->A, 0.875);  // a later edit does not reach a request already made
    EXPECT_EQ(static_cast<Number*>(request.GetInputData(m_Echo->A, 0))->Value, 0.125);
    EXPECT_EQ(request.GetInputData(m_Echo->Picture, 0), nullptr);  // unconnected: no image
    EXPECT_EQ(request.ReadLog(), (std::vector<std::string>{"A", "Picture"}));

    const std::uint64_t words[] = {0x60000000, reinterpret_cast<std::uint64_t>(&CreateEcho), 0, 0};
    Registry other(&ClassRegistry, FuID("Test.Other"), TagList(words, false));
    std::unique_ptr<Operator> stranger = host::CreateInstance(other);
    EXPECT_THROW(request.GetInputData(stranger->FindInput("A"), 0), std::invalid_argument);
}

TEST(Registry, EntryLeavesTheClassListWithItsDestruction)
{
    const std::size_t before = host::RegisteredClasses().size();
    {
        const std::uint64_t words[] = {0, 0};
        Registry entry(&ClassRegistry, FuID("Test.Temporary"), TagList(words, false));
        EXPECT_EQ(host::RegisteredClasses().size(), before + 1);
        EXPECT_EQ(host::FindClass("Test.Temporary"), &entry);
        EXPECT_THROW(host::CreateInstance(entry), std::runtime_error);  // no creation callback
    }
    EXPECT_EQ(host::RegisteredClasses().size(), before);
    EXPECT_EQ(host::FindClass("Test.Temporary"), nullptr);
}

}  // namespace
