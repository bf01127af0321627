// The host's class list: one entry per registered tool class, with its registration attributes.
#pragma once

#include "host/fuid.h"
#include "host/tag_list.h"

#include <string>
#include <typeinfo>
#include <vector>

class Operator;
class Registry;

// Scripting values handed to a tool when it is created; this host passes an empty table.
class ScriptVal {
public:
    ScriptVal() = default;
};

// Scripting class record of a tool class.
class ScriptInfo {
public:
    ScriptInfo(unsigned version, const char* className, const char* baseScript, const char* helpText);
    virtual ~ScriptInfo();

    unsigned Version() const { return m_Version; }
    const std::string& ClassName() const { return m_ClassName; }

private:
    unsigned m_Version;
    std::string m_ClassName;
    std::string m_BaseScript;
    std::string m_HelpText;
};

template <typename T>
class ScriptInfoT : public ScriptInfo {
public:
    using ScriptInfo::ScriptInfo;
    virtual void* ScriptToObject(void* object) { return object; }
    virtual void* ObjectToScript(void* object) { return object; }
};

// Records that class `derived` is built on class `base`, for the host's type bookkeeping.
void SetTypeInfo(const std::type_info& derived, const std::type_info& base);

// Registration tags understood by this host.
namespace RegTag {
inline constexpr std::uint32_t RegInit = 0x60000001;
inline constexpr std::uint32_t RegCleanup = 0x60000002;
inline constexpr std::uint32_t Version = 0x10000000;
inline constexpr std::uint32_t BuildNote = 0x30000008;
inline constexpr std::uint32_t BaseClass = 0x60000010;
inline constexpr std::uint32_t ScriptInfo = 0x60000005;
inline constexpr std::uint32_t Creator = 0x60000000;
inline constexpr std::uint32_t IconPath = 0x3000000f;
inline constexpr std::uint32_t Name = 0x30000002;
inline constexpr std::uint32_t Author = 0x30000003;
inline constexpr std::uint32_t ShortName = 0x30000004;
inline constexpr std::uint32_t ScriptName = 0x30000005;
}  // namespace RegTag

using CreateOperatorFunc = Operator* (*)(const Registry* entry, const ScriptVal& table, const TagList& tags);
using RegInitFunc = bool (*)(Registry* entry);
using RegCleanupFunc = void (*)(Registry* entry);

// Head of the host's class list.
extern Registry* ClassRegistry;

class Registry : public TagList {
public:
    Registry() = default;
    // Enters the class in `list` for as long as the entry lives.
    Registry(Registry** list, const FuID& id, const TagList& tags) { _Init(list, id, tags); }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
    virtual ~Registry();

    const FuID& ID() const { return m_ID; }
    const Registry* Next() const { return m_Next; }
    CreateOperatorFunc Creator() const;
    bool Initialised() const { return m_Initialised; }

protected:
    void _Init(Registry** list, const FuID& id, const TagList& tags);

private:
    FuID m_ID;
    Registry** m_List = nullptr;
    Registry* m_Next = nullptr;
    bool m_Initialised = false;
};

namespace host {

// A snapshot of the class list, in registration order.
std::vector<const Registry*> RegisteredClasses();
const Registry* FindClass(const std::string& id);
// The base recorded through SetTypeInfo for a type's mangled name, or "" when none was recorded.
std::string RecordedBaseType(const std::type_info& derived);

}  // namespace host
