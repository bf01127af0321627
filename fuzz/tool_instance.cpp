#include "tool_instance.h"

#include "host/operator.h"
#include "host/plugin_loader.h"
#include "host/registry.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace qualvex::fuzz {

const Operator& ToolInstance()
{
    // Kept for the life of the process: the instance must go before the library that made it.
    struct Loaded {
        std::unique_ptr<host::LoadedPlugin> Library;
        std::unique_ptr<Operator> Instance;
    };
    static Loaded* const loaded = [] {
        auto* result = new Loaded;
        try {
            result->Library = host::LoadPlugin(QUALVEX_FUZZ_PLUGIN);
            const Registry* entry = host::FindClass("Tavelorn.Qualvex");
            if (entry == nullptr) {
                std::fprintf(stderr, "%s registers no class Tavelorn.Qualvex\n", QUALVEX_FUZZ_PLUGIN);
                std::abort();
            }
            result->Instance = host::CreateInstance(*entry);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "cannot make the tool instance: %s\n", error.what());
            std::abort();
        }
        return result;
    }();
    return *loaded->Instance;
}

}  // namespace qualvex::fuzz
