#include "host/operator.h"

#include "host/debug_log.h"
#include "host/host_testing.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace {

// Operator storage carries its size in a header so that every release can be accounted for.
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::mutex g_MemoryMutex;
host::testing::ObjectMemory g_Memory;
std::atomic<bool> g_FailNextAllocation{false};

void* AllocateObject(std::size_t size) noexcept
{
    if (g_FailNextAllocation.exchange(false))
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr)
        return nullptr;
    *reinterpret_cast<std::size_t*>(block) = size;
    std::lock_guard lock(g_MemoryMutex);
    g_Memory.LastAllocationSize = size;
    ++g_Memory.LiveAllocations;
    g_Memory.LiveBytes += size;
    return block + kHeader;
}

void ReleaseObject(void* storage) noexcept
{
    if (storage == nullptr)
        return;
    auto* block = static_cast<unsigned char*>(storage) - kHeader;
    const std::size_t size = *reinterpret_cast<std::size_t*>(block);
    {
        std::lock_guard lock(g_MemoryMutex);
        --g_Memory.LiveAllocations;
        g_Memory.LiveBytes -= size;
    }
    std::free(block);
}

}  // namespace

namespace host::testing {

ObjectMemory ObjectMemoryStats()
{
    std::lock_guard lock(g_MemoryMutex);
    return g_Memory;
}

void FailNextObjectAllocation() { g_FailNextAllocation = true; }

}  // namespace host::testing

void* Operator::operator new(std::size_t size)
{
    if (void* storage = AllocateObject(size))
        return storage;
    throw std::bad_alloc();
}

void* Operator::operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateObject(size); }

void Operator::operator delete(void* storage) noexcept { ReleaseObject(storage); }

void Operator::operator delete(void* storage, const std::nothrow_t&) noexcept { ReleaseObject(storage); }

Operator::Operator(const Registry* entry, const ScriptVal&, const TagList&) : m_Registry(entry)
{
    host::testing::CountHostCall("Operator");
}

Operator::~Operator() { host::testing::ForgetEvents(*this); }

void Operator::DoDumpMem(std::ostream& out) const
{
    out << (m_Registry ? m_Registry->ID().str() : std::string("operator")) << ": " << GetObjectSize() << " bytes, "
        << m_Inputs.size() << " inputs, " << m_Outputs.size() << " outputs\n";
}

std::size_t Operator::GetObjectSize() const { return sizeof(Operator); }
bool Operator::CheckRequest(Request*) { return true; }
void Operator::PreProcess(Request*) {}
void Operator::PostProcess(Request*) {}
void Operator::Process(Request*) {}
void Operator::PreCalcPreProcess(Request*) {}
void Operator::PreCalcProcess(Request*) {}
void Operator::PreCalcPostProcess(Request*) {}
bool Operator::ProcessGL(Request*) { return false; }

namespace {

// The record of a change report: the input, whether a value came with it, the number, the time.
HostEvent ReportEvent(HostEvent::Kind kind, const Input* input, const Parameter* param, TimeStamp time)
{
    HostEvent event{kind, input ? input->ID() : std::string()};
    event.HasValue = param != nullptr;
    if (const auto* number = dynamic_cast<const Number*>(param))
        event.Value = number->Value;
    event.Time = time;
    return event;
}

}  // namespace

void Operator::NotifyChanged(Input* input, Parameter* param, TimeStamp time, TagList* tags)
{
    HostEvent event = ReportEvent(HostEvent::Kind::BaseReport, input, param, time);
    event.Attributes = tags;
    host::testing::RecordEvent(*this, event);
}

int Operator::AddControlPageTagList(const char* name, const TagList&)
{
    host::testing::CountHostCall("AddControlPageTagList");
    if (name == nullptr)
        throw std::invalid_argument("AddControlPageTagList: the page has no name");
    m_Pages.emplace_back(name);
    return static_cast<int>(m_Pages.size()) - 1;
}

Input* Operator::AddInputTagList(const FuID& name, const FuID& id, const TagList& tags)
{
    host::testing::CountHostCall("AddInputTagList");
    if (FindInput(id.str()) != nullptr)
        throw std::invalid_argument("AddInputTagList: an input with ID \"" + id.str() + "\" already exists");
    LinkDescription description = DescribeLink(name, id, tags);
    description.Page = m_Pages.empty() ? std::string() : m_Pages.back();
    m_Inputs.push_back(std::make_unique<Input>(this, std::move(description)));
    return m_Inputs.back().get();
}

Output* Operator::AddOutputTagList(const FuID& name, const FuID& id, const TagList& tags)
{
    host::testing::CountHostCall("AddOutputTagList");
    if (FindOutput(id.str()) != nullptr)
        throw std::invalid_argument("AddOutputTagList: an output with ID \"" + id.str() + "\" already exists");
    LinkDescription description = DescribeLink(name, id, tags);
    description.Page = m_Pages.empty() ? std::string() : m_Pages.back();
    m_Outputs.push_back(std::make_unique<Output>(this, std::move(description)));
    return m_Outputs.back().get();
}

bool Operator::RegInit(Registry*) { return true; }

void Operator::RegCleanup(Registry*) {}

Input* Operator::FindInput(std::string_view id) const
{
    for (const auto& input : m_Inputs)
        if (input->ID() == id)
            return input.get();
    return nullptr;
}

Output* Operator::FindOutput(std::string_view id) const
{
    for (const auto& output : m_Outputs)
        if (output->ID() == id)
            return output.get();
    return nullptr;
}

void Operator::Report(Input* input, Parameter* param, TimeStamp time)
{
    if (m_ReportDepth >= MaxNestedReports) {
        host::testing::RecordEvent(*this, ReportEvent(HostEvent::Kind::Withheld, input, param, time));
        host::DebugLog("change report of input \"" + input->ID() + "\" (operator class \"" + m_Registry->ID().str() +
                       "\") withheld: " + std::to_string(m_ReportDepth) + " reports already in progress");
        return;
    }

    ++m_ReportDepth;
    struct DepthGuard {
        int& depth;
        ~DepthGuard() { --depth; }
    } guard{m_ReportDepth};
    host::testing::RecordEvent(*this, ReportEvent(HostEvent::Kind::Report, input, param, time));
    TagList noAttributes;
    NotifyChanged(input, param, time, &noAttributes);
}

const FuID ThreadedOperator::ClassID("ThreadedOperator");

ThreadedOperator::ThreadedOperator(const Registry* entry, const ScriptVal& table, const TagList& tags)
    : Operator(entry, table, tags)
{
}

ThreadedOperator::~ThreadedOperator() = default;

std::size_t ThreadedOperator::GetObjectSize() const { return sizeof(ThreadedOperator); }

namespace host {

std::unique_ptr<Operator> CreateInstance(const Registry& entry)
{
    CreateOperatorFunc create = entry.Creator();
    if (create == nullptr)
        throw std::runtime_error("class \"" + entry.ID().str() + "\" has no creation callback");
    ScriptVal table;
    TagList noAttributes;
    std::unique_ptr<Operator> instance(create(&entry, table, noAttributes));
    if (instance == nullptr)
        throw std::runtime_error("class \"" + entry.ID().str() + "\" could not create an instance (no storage)");
    for (const auto& input : instance->Inputs())
        if (input->Description().Notify)
            instance->Report(input.get(), input->Value(), 0.0);
    return instance;
}

}  // namespace host
