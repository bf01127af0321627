#include "media/module_loader.h"

#include "base/errors.h"

#include <dlfcn.h>

#include <cstring>
#include <system_error>

namespace qualvex {

ModuleEntryPoint LoadModule(const char* name, const char* entry, const std::string& what, const std::string& needs)
{
    Dl_info self{};
    if (::dladdr(reinterpret_cast<const void*>(&LoadModule), &self) == 0 || self.dli_fname == nullptr)
        throw Failure("cannot find where qualvex's " + what + " lies (" + needs + ")");
    // Named without the program's "bin/../lib" in messages; as found where the name cannot be resolved.
    std::error_code error;
    std::filesystem::path commands = std::filesystem::weakly_canonical(self.dli_fname, error);
    if (error)
        commands = self.dli_fname;
    ModuleEntryPoint point{commands.parent_path() / name, nullptr};
    void* library = ::dlopen(point.Module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        throw Failure("cannot load qualvex's " + what + " " + point.Module.string() + " (" + needs + "): " + ::dlerror());
    point.Address = ::dlsym(library, entry);
    return point;
}

void CheckModuleTable(const std::filesystem::path& module, const std::string& what, bool found, std::size_t size,
                      const char* version, std::size_t expectedSize)
{
    if (!found || size != expectedSize || std::strcmp(version, QUALVEX_VERSION) != 0)
        throw Failure(module.string() + " is not this qualvex's " + what + " (version " QUALVEX_VERSION ")");
}

}  // namespace qualvex
