#include "host/plugin_loader.h"

#include "host/plugin_version_record.h"

#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>

namespace host {

namespace {

// A version record larger than this is not a version record.
constexpr std::uint64_t kMaxRecordBytes = 64 * 1024;

[[noreturn]] void Refuse(const std::filesystem::path& file, const std::string& why)
{
    throw PluginError(file.string() + ": " + why);
}

// Reads [offset, offset + size) of the file, after checking that the range lies inside it.
std::vector<char> ReadRange(std::ifstream& in, std::uint64_t fileSize, std::uint64_t offset, std::uint64_t size,
                            const std::filesystem::path& file, const char* what)
{
    if (offset > fileSize || size > fileSize - offset)
        Refuse(file, std::string("not a loadable plug-in: its ") + what + " lies outside the file");
    std::vector<char> bytes(static_cast<std::size_t>(size));
    in.seekg(static_cast<std::streamoff>(offset));
    if (size > 0 && !in.read(bytes.data(), static_cast<std::streamsize>(size)))
        Refuse(file, std::string("could not read its ") + what);
    return bytes;
}

std::vector<char> ReadRecordSection(const std::filesystem::path& file)
{
    std::error_code error;
    const std::uint64_t fileSize = std::filesystem::file_size(file, error);
    if (error)
        Refuse(file, "cannot read the file: " + error.message());
    std::ifstream in(file, std::ios::binary);
    if (!in)
        Refuse(file, "cannot open the file");

    Elf64_Ehdr header;
    if (fileSize < sizeof header)
        Refuse(file, "not a loadable plug-in: too short for a shared library");
    const std::vector<char> headerBytes = ReadRange(in, fileSize, 0, sizeof header, file, "file header");
    std::memcpy(&header, headerBytes.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        Refuse(file, "not a loadable plug-in: not a shared library");
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_type != ET_DYN)
        Refuse(file, "not a loadable plug-in: not a 64-bit little-endian shared library");
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum)
        Refuse(file, "not a loadable plug-in: its section table is damaged");

    const std::vector<char> tableBytes = ReadRange(in, fileSize, header.e_shoff,
                                                   std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), file,
                                                   "section table");
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), tableBytes.data(), tableBytes.size());

    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_type == SHT_NOBITS || names.sh_size > 16 * 1024 * 1024)
        Refuse(file, "not a loadable plug-in: its section names are damaged");
    const std::vector<char> nameBytes = ReadRange(in, fileSize, names.sh_offset, names.sh_size, file, "section names");

    const std::string_view wanted = HOST_PLUGIN_VERSION_SECTION;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_name >= nameBytes.size())
            continue;
        const char* name = nameBytes.data() + section.sh_name;
        const std::size_t room = nameBytes.size() - section.sh_name;
        if (strnlen(name, room) != wanted.size() || std::memcmp(name, wanted.data(), wanted.size()) != 0)
            continue;
        if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxRecordBytes)
            Refuse(file, "its version record is damaged");
        return ReadRange(in, fileSize, section.sh_offset, section.sh_size, file, "version record");
    }
    Refuse(file, "not a loadable plug-in: it carries no version record");
}

}  // namespace

std::string PluginVersionRecord::Get(std::string_view key) const
{
    for (const auto& [name, value] : Entries)
        if (name == key)
            return value;
    return {};
}

PluginVersionRecord ReadPluginVersionRecord(const std::filesystem::path& file)
{
    const std::vector<char> bytes = ReadRecordSection(file);
    std::size_t at = 0;
    // Takes the next NUL-terminated string; the record must not end inside one.
    auto next = [&](std::string& out) {
        const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), '\0');
        if (end == bytes.end())
            Refuse(file, "its version record is damaged: a string runs past its end");
        out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), end);
        at = static_cast<std::size_t>(end - bytes.begin()) + 1;
    };
    std::string magic;
    next(magic);
    if (magic != HOST_PLUGIN_VERSION_MAGIC)
        Refuse(file, "its version record is of an unknown kind");
    PluginVersionRecord record;
    for (;;) {
        std::string key, value;
        next(key);
        if (key.empty())
            return record;
        next(value);
        record.Entries.emplace_back(std::move(key), std::move(value));
    }
}

LoadedPlugin::LoadedPlugin(std::filesystem::path file, PluginVersionRecord record, void* handle)
    : m_File(std::move(file)), m_Record(std::move(record)), m_Handle(handle)
{
}

LoadedPlugin::~LoadedPlugin()
{
    if (m_Handle != nullptr)
        dlclose(m_Handle);
}

void LoadedPlugin::Unload()
{
    if (m_Handle == nullptr)
        return;
    void* handle = m_Handle;
    m_Handle = nullptr;
    if (dlclose(handle) != 0)
        throw PluginError(m_File.string() + ": could not unload: " + dlerror());
}

std::unique_ptr<LoadedPlugin> LoadPlugin(const std::filesystem::path& file)
{
    PluginVersionRecord record = ReadPluginVersionRecord(file);
    const std::string api = record.Get("APIVersion");
    if (api.empty())
        Refuse(file, "refused: its version record has no \"APIVersion\" entry");
    if (api != HOST_PLUGIN_API_VERSION)
        Refuse(file, "refused: built for plug-in interface \"APIVersion\" " + api + ", this host offers " +
                         HOST_PLUGIN_API_VERSION);
    // An absolute path, so that the loader does not search its own paths for the file.
    const std::filesystem::path absolute = std::filesystem::absolute(file);
    dlerror();
    void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        Refuse(file, std::string("could not be loaded: ") + (why ? why : "unknown loader error"));
    }
    return std::make_unique<LoadedPlugin>(file, std::move(record), handle);
}

PluginFolder LoadPluginFolder(const std::filesystem::path& folder)
{
    PluginFolder result;
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error)
        throw PluginError(folder.string() + ": cannot read the plug-in folder: " + error.message());
    std::vector<std::filesystem::path> files;
    for (const auto& entry : it)
        if (entry.path().extension() == ".plugin" && entry.is_regular_file(error))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        try {
            result.Loaded.push_back(LoadPlugin(file));
        } catch (const PluginError& refused) {
            result.Refused.emplace_back(refused.what());
        }
    }
    return result;
}

}  // namespace host
