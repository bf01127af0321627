// The program's modules of calls (the image library's, the movie libraries'), loaded from beside
// the file that holds this code: the commands module (lib/qualvex when installed, cli/ in the
// build tree). Each brings libraries that only its calls need, which a run that makes none of
// them never loads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qualvex {

// The module `name` loaded (never unloaded: what it made lives on), and the address of its entry
// point `entry`, or null. Throws Failure naming the module, and `needs` ("reading and writing
// image files needs it"), when it cannot be loaded.
struct ModuleEntryPoint {
    std::filesystem::path Module;
    void* Address = nullptr;
};
ModuleEntryPoint LoadModule(const char* name, const char* entry, const std::string& what, const std::string& needs);

// Throws Failure naming the module unless its table is this build's: its size and the program's
// version, its first two members, as this program has them.
void CheckModuleTable(const std::filesystem::path& module, const std::string& what, bool found, std::size_t size,
                      const char* version, std::size_t expectedSize);

// The table the module's entry point returns, checked to be this build's (Table: Size, Version, ...).
template <typename Table>
const Table& LoadModuleTable(const char* name, const char* entry, const std::string& what, const std::string& needs)
{
    const ModuleEntryPoint point = LoadModule(name, entry, what, needs);
    const auto call = reinterpret_cast<const Table* (*)()>(point.Address);
    const Table* table = call != nullptr ? call() : nullptr;
    CheckModuleTable(point.Module, what, table != nullptr, table != nullptr ? table->Size : 0,
                     table != nullptr ? table->Version : "", sizeof(Table));
    return *table;
}

}  // namespace qualvex
