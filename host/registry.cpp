#include "host/registry.h"

#include <map>
#include <mutex>
#include <stdexcept>

Registry* ClassRegistry = nullptr;

namespace {

std::mutex& ClassListMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::string>& TypeTable()
{
    static std::map<std::string, std::string> table;
    return table;
}

}  // namespace

ScriptInfo::ScriptInfo(unsigned version, const char* className, const char* baseScript, const char* helpText)
    : m_Version(version), m_ClassName(className ? className : ""), m_BaseScript(baseScript ? baseScript : ""),
      m_HelpText(helpText ? helpText : "")
{
}

ScriptInfo::~ScriptInfo() = default;

void SetTypeInfo(const std::type_info& derived, const std::type_info& base)
{
    std::lock_guard lock(ClassListMutex());
    TypeTable()[derived.name()] = base.name();
}

void Registry::_Init(Registry** list, const FuID& id, const TagList& tags)
{
    if (list == nullptr)
        throw std::invalid_argument("Registry: no class list given for \"" + id.str() + "\"");
    static_cast<TagList&>(*this) = tags;
    m_ID = id;
    {
        std::lock_guard lock(ClassListMutex());
        Registry** tail = list;
        while (*tail != nullptr)
            tail = &(*tail)->m_Next;
        *tail = this;
        m_List = list;
    }
    if (auto regInit = reinterpret_cast<RegInitFunc>(const_cast<void*>(GetPointer(RegTag::RegInit))))
        m_Initialised = regInit(this);
}

Registry::~Registry()
{
    if (m_List == nullptr)
        return;
    if (auto regCleanup = reinterpret_cast<RegCleanupFunc>(const_cast<void*>(GetPointer(RegTag::RegCleanup))))
        regCleanup(this);
    std::lock_guard lock(ClassListMutex());
    for (Registry** link = m_List; *link != nullptr; link = &(*link)->m_Next) {
        if (*link == this) {
            *link = m_Next;
            break;
        }
    }
}

CreateOperatorFunc Registry::Creator() const
{
    return reinterpret_cast<CreateOperatorFunc>(const_cast<void*>(GetPointer(RegTag::Creator)));
}

namespace host {

std::vector<const Registry*> RegisteredClasses()
{
    std::lock_guard lock(ClassListMutex());
    std::vector<const Registry*> classes;
    for (const Registry* entry = ClassRegistry; entry != nullptr; entry = entry->Next())
        classes.push_back(entry);
    return classes;
}

const Registry* FindClass(const std::string& id)
{
    for (const Registry* entry : RegisteredClasses())
        if (entry->ID().str() == id)
            return entry;
    return nullptr;
}

std::string RecordedBaseType(const std::type_info& derived)
{
    std::lock_guard lock(ClassListMutex());
    auto found = TypeTable().find(derived.name());
    return found == TypeTable().end() ? std::string() : found->second;
}

}  // namespace host
