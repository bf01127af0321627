// The library's static objects, built when the host loads it and destroyed in reverse order when
// it unloads: the class leaves the class list before its identifier goes.
#include "finish/finisher.h"

#include "host/fuid.h"
#include "host/registry.h"
#include "host/tag_list.h"

#include <new>
#include <typeinfo>

namespace {

// Creation callback: no storage gives no instance; a constructor that throws has its storage
// released and the exception passed on to the host.
Operator* CreateFinisher(const Registry* entry, const ScriptVal& table, const TagList& tags)
{
    return new (std::nothrow) Finisher(entry, table, tags);
}

template <typename T>
std::uint64_t Word(T value)
{
    return reinterpret_cast<std::uint64_t>(value);
}

const FuID FinisherClassID("Tavelorn.QualvexFinish", true);

ScriptInfoT<Finisher> FinisherScriptInfo(1u, FinisherClassID.c_str(), "", "");

const bool FinisherTypeRecorded = (SetTypeInfo(typeid(Finisher), typeid(ThreadedOperator)), true);

const std::uint64_t FinisherRegistrationTags[] = {
    RegTag::RegInit,    Word(&Operator::RegInit),
    RegTag::RegCleanup, Word(&Operator::RegCleanup),
    RegTag::Version,    1,
    RegTag::BuildNote,  Word("Built: " __DATE__),
    RegTag::BaseClass,  Word(&ThreadedOperator::ClassID),
    RegTag::ScriptInfo, Word(&FinisherScriptInfo),
    RegTag::Creator,    Word(&CreateFinisher),
    RegTag::Name,       Word("Qualvex Finish"),
    RegTag::Author,     Word("Tavelorn"),
    RegTag::ShortName,  Word("QvF"),
    RegTag::ScriptName, Word("QualvexFinish"),
    0,                  0,
};

Registry FinisherRegistry(&ClassRegistry, FinisherClassID, TagList(FinisherRegistrationTags, false));

}  // namespace
