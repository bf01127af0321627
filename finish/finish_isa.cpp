#include "finish/finish_isa.h"

#include <cstdlib>
#include <cstring>

namespace qualvex::finish {

bool FinishIsaAvailable(FinishIsa isa)
{
    return isa == FinishIsa::Baseline || __builtin_cpu_supports("avx2");
}

FinishIsa ChosenFinishIsa()
{
    const char* asked = std::getenv("QUALVEX_FINISH_ISA");
    if (asked != nullptr && std::strcmp(asked, "baseline") == 0)
        return FinishIsa::Baseline;
    return FinishIsaAvailable(FinishIsa::Avx2) ? FinishIsa::Avx2 : FinishIsa::Baseline;
}

}  // namespace qualvex::finish
