// Operators: the tool instances the host creates from a registered class. The host owns each
// operator's pages, inputs and outputs, and reports input changes to it.
#pragma once

#include "host/fuid.h"
#include "host/link.h"
#include "host/parameter.h"
#include "host/registry.h"
#include "host/tag_list.h"

#include <cstddef>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class Request;

class Operator {
public:
    Operator(const Registry* entry, const ScriptVal& table, const TagList& tags);
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;

    // Virtual operations, in the host's slot order.
    virtual ~Operator();
    virtual void DoDumpMem(std::ostream& out) const;
    virtual std::size_t GetObjectSize() const;
    virtual bool CheckRequest(Request* request);
    virtual void PreProcess(Request* request);
    virtual void PostProcess(Request* request);
    virtual void Process(Request* request);
    virtual void PreCalcPreProcess(Request* request);
    virtual void PreCalcProcess(Request* request);
    virtual void PreCalcPostProcess(Request* request);
    virtual bool ProcessGL(Request* request);
    virtual void NotifyChanged(Input* input, Parameter* param, TimeStamp time, TagList* tags);
    virtual int AddControlPageTagList(const char* name, const TagList& tags);
    virtual Input* AddInputTagList(const FuID& name, const FuID& id, const TagList& tags);
    virtual Output* AddOutputTagList(const FuID& name, const FuID& id, const TagList& tags);

    static bool RegInit(Registry* entry);
    static void RegCleanup(Registry* entry);

    // The host allocates operator storage itself so that it can account for it.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* storage) noexcept;
    static void operator delete(void* storage, const std::nothrow_t&) noexcept;

    // Host side.
    const Registry* GetRegistry() const { return m_Registry; }
    const std::vector<std::string>& Pages() const { return m_Pages; }
    const std::vector<std::unique_ptr<Input>>& Inputs() const { return m_Inputs; }
    const std::vector<std::unique_ptr<Output>>& Outputs() const { return m_Outputs; }
    Input* FindInput(std::string_view id) const;
    Output* FindOutput(std::string_view id) const;

    int ReportDepth() const { return m_ReportDepth; }
    // Delivers a change report to the tool's NotifyChanged, nested in any report in progress.
    // A report made while MaxNestedReports reports are already in progress is withheld: the
    // value stays set, the tool is not told, and the debug log says so. Controls that rewrite
    // each other through values that never settle (a colour whose round trip through another
    // colour space drifts, or flips between neighbouring floats) would otherwise recurse until
    // the stack runs out, each level fanning out into more sets. One level of nesting lets a
    // tool hear what it sets while handling a change, and ends every such exchange with the
    // tool's caches agreeing with its inputs; deeper levels only replay the round trip.
    void Report(Input* input, Parameter* param, TimeStamp time);
    static constexpr int MaxNestedReports = 2;

private:
    const Registry* m_Registry;
    std::vector<std::string> m_Pages;
    std::vector<std::unique_ptr<Input>> m_Inputs;
    std::vector<std::unique_ptr<Output>> m_Outputs;
    int m_ReportDepth = 0;
};

class ThreadedOperator : public Operator {
public:
    ThreadedOperator(const Registry* entry, const ScriptVal& table, const TagList& tags);
    ~ThreadedOperator() override;
    std::size_t GetObjectSize() const override;

    static const FuID ClassID;
};

namespace host {

// Creates an instance of a registered class through its creation callback, then reports each
// input that asks for reports once, with its starting value, in control order. Throws when the
// class has no creation callback or the callback yields no instance.
std::unique_ptr<Operator> CreateInstance(const Registry& entry);

}  // namespace host
