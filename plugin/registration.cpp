// The library's static objects, in the order they are built when the host loads it (the colour
// matrices come first, ahead of everything here). Unloading destroys them in reverse order: the
// class leaves the class list before its identifier goes.
#include "plugin/sondrel.h"

#include "host/fuid.h"
#include "host/registry.h"
#include "host/tag_list.h"

#include <new>
#include <typeinfo>

namespace {

// Creation callback: no storage gives no instance; a constructor that throws has its storage
// released and the exception passed on to the host.
Operator* CreateSondrel(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) Sondrel(entry, table, tags);
}

template <typename T>
std::uint64_t Word(T value)
{
    return reinterpret_cast<std::uint64_t>(value);
}

const FuID SondrelClassID("Tavelorn.Qualvex", true);

ScriptInfoT<Sondrel> SondrelScriptInfo(1u, SondrelClassID.c_str(), "", "");

const bool SondrelTypeRecorded = (SetTypeInfo(typeid(Sondrel), typeid(ThreadedOperator)), true);

const std::uint64_t SondrelRegistrationTags[] = {
    RegTag::RegInit,    Word(&Operator::RegInit),
    RegTag::RegCleanup, Word(&Operator::RegCleanup),
    RegTag::Version,    3,
    RegTag::BuildNote,  Word("Built: " __DATE__),
    RegTag::BaseClass,  Word(&ThreadedOperator::ClassID),
    RegTag::ScriptInfo, Word(&SondrelScriptInfo),
    RegTag::Creator,    Word(&CreateSondrel),
    RegTag::IconPath,   Word(":/ToolIcons/IDB_TILE_BRIGHTNESS"),
    RegTag::Name,       Word("Qualvex"),
    RegTag::Author,     Word("Tavelorn"),
    RegTag::ShortName,  Word("S_1"),
    RegTag::ScriptName, Word("Qualvex"),
    0,                  0,
};

Registry SondrelRegistry(&ClassRegistry, SondrelClassID, TagList(SondrelRegistrationTags, false));

}  // namespace
