#include "host/plugin_loader.h"
#include "host/plugin_version_record.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSondrel = fs::path(QUALVEX_PLUGIN_DIR) / "Sondrel.plugin";
const fs::path kFixtures = QUALVEX_FIXTURE_PLUGIN_DIR;

// Where the named section ends in the file, read from the section table by hand.
std::size_t SectionEnd(const std::vector<char>& bytes, const char* name)
{
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    Elf64_Shdr names;
    std::memcpy(&names, bytes.data() + header.e_shoff + header.e_shstrndx * sizeof(Elf64_Shdr), sizeof names);
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        std::memcpy(&section, bytes.data() + header.e_shoff + i * sizeof(Elf64_Shdr), sizeof section);
        if (std::strcmp(bytes.data() + names.sh_offset + section.sh_name, name) == 0)
            return section.sh_offset + section.sh_size;
    }
    return 0;
}

std::string RefusalOf(const fs::path& file)
{
    try {
        host::LoadPlugin(file);
    } catch (const host::PluginError& error) {
        return error.what();
    }
    return "(loaded)";
}

class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Folder = fs::temp_directory_path() / (std::string("qualvex-loader-") + info->name() + "-" +
                                                std::to_string(::getpid()));
        fs::remove_all(m_Folder);
        fs::create_directories(m_Folder);
    }
    void TearDown() override { fs::remove_all(m_Folder); }

    fs::path Write(const char* name, const std::vector<char>& bytes) const
    {
        const fs::path file = m_Folder / name;
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

    static std::vector<char> Read(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path m_Folder;
};

TEST(PluginVersionRecord, IsReadFromTheFileWithoutLoadingIt)
{
    const host::PluginVersionRecord record = host::ReadPluginVersionRecord(kSondrel);
    EXPECT_EQ(host::FindClass("Tavelorn.Qualvex"), nullptr);
    EXPECT_EQ(record.Get("#FileVersion"), "1.0.0.0");
    EXPECT_EQ(record.Get("#ProductVersion"), "1.0.0.0");
    EXPECT_EQ(record.Get("#Translation"), "0409 1200");
    EXPECT_EQ(record.Get("FileDescription"), "Sondrel plugin");
    EXPECT_EQ(record.Get("FileVersion"), "1, 0, 0, 0");
    EXPECT_EQ(record.Get("ProductVersion"), "1, 0, 0, 0");
    EXPECT_EQ(record.Get("InternalName"), "Sondrel");
    EXPECT_EQ(record.Get("ProductName"), "Sondrel");
    EXPECT_EQ(record.Get("OriginalFilename"), "Sondrel.plugin");
    EXPECT_EQ(record.Get("APIVersion"), "7");
}

TEST(PluginLoader, RefusesAnotherInterfaceVersionNamingTheFile)
{
    const fs::path file = kFixtures / "WrongApiVersion.plugin";
    const std::string message = RefusalOf(file);
    EXPECT_NE(message.find(file.string()), std::string::npos) << message;
    EXPECT_NE(message.find("\"APIVersion\" 6"), std::string::npos) << message;
}

TEST(PluginLoader, RefusesALibraryWithoutVersionRecord)
{
    const fs::path file = kFixtures / "NoVersionRecord.plugin";
    const std::string message = RefusalOf(file);
    EXPECT_NE(message.find(file.string()), std::string::npos) << message;
    EXPECT_NE(message.find("no version record"), std::string::npos) << message;
}

TEST_F(ScratchFolder, RefusesFilesThatAreNotSharedLibraries)
{
    EXPECT_NE(RefusalOf(Write("Text.plugin", {'h', 'e', 'l', 'l', 'o'})).find("too short"), std::string::npos);
    std::vector<char> notElf(200, 'x');
    EXPECT_NE(RefusalOf(Write("NotElf.plugin", notElf)).find("not a shared library"), std::string::npos);
    EXPECT_NE(RefusalOf(m_Folder / "Missing.plugin").find("Missing.plugin"), std::string::npos);
}

TEST_F(ScratchFolder, RefusesDamagedLibrariesWithoutReadingOutsideThem)
{
    const std::vector<char> good = Read(kSondrel);
    ASSERT_GT(good.size(), sizeof(Elf64_Ehdr));

    // Cut short: the section table lies past the end of the file.
    std::vector<char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
    EXPECT_NE(RefusalOf(Write("Cut.plugin", cut)).find("lies outside the file"), std::string::npos);

    // A section table offset near the top of the address range must not wrap around.
    std::vector<char> wrapped = good;
    const std::uint64_t far = ~std::uint64_t{0} - 16;
    std::memcpy(wrapped.data() + offsetof(Elf64_Ehdr, e_shoff), &far, sizeof far);
    EXPECT_NE(RefusalOf(Write("Wrapped.plugin", wrapped)).find("lies outside the file"), std::string::npos);

    // A section-name index past the table.
    std::vector<char> badNames = good;
    const std::uint16_t index = 0xfff0;
    std::memcpy(badNames.data() + offsetof(Elf64_Ehdr, e_shstrndx), &index, sizeof index);
    EXPECT_NE(RefusalOf(Write("BadNames.plugin", badNames)).find("damaged"), std::string::npos);

    // The record's closing empty key removed: its last string runs off the end of the section
    // (through whatever padding the compiler or a sanitizer's red zone put after the record).
    std::vector<char> open = good;
    const std::string tail = std::string("APIVersion") + '\0' + "7" + '\0' + '\0';
    const auto at = std::search(open.begin(), open.end(), tail.begin(), tail.end());
    ASSERT_NE(at, open.end());
    const std::size_t sectionEnd = SectionEnd(good, HOST_PLUGIN_VERSION_SECTION);
    ASSERT_GT(sectionEnd, static_cast<std::size_t>(at - open.begin()));
    std::fill(at, open.begin() + static_cast<std::ptrdiff_t>(sectionEnd), 'z');
    EXPECT_NE(RefusalOf(Write("Open.plugin", open)).find("damaged"), std::string::npos);
}

TEST_F(ScratchFolder, RefusesASectionNameOffsetPastTheSectionNames)
{
    std::vector<char> bytes = Read(kSondrel);
    ASSERT_GE(bytes.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    ASSERT_EQ(header.e_shentsize, sizeof(Elf64_Shdr));
    ASSERT_LT(header.e_shstrndx, header.e_shnum);
    ASSERT_LE(header.e_shoff + std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), bytes.size());
    auto sectionAt = [&](std::size_t index) {
        Elf64_Shdr section;
        std::memcpy(&section, bytes.data() + header.e_shoff + index * sizeof section, sizeof section);
        return section;
    };
    const Elf64_Shdr names = sectionAt(header.e_shstrndx);
    ASSERT_LE(names.sh_offset + names.sh_size, bytes.size());

    // The version record's section keeps its contents but names itself far past the names.
    const std::string wanted = HOST_PLUGIN_VERSION_SECTION;
    std::size_t patched = 0;
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section = sectionAt(i);
        if (section.sh_name >= names.sh_size ||
            std::strncmp(bytes.data() + names.sh_offset + section.sh_name, wanted.c_str(),
                         names.sh_size - section.sh_name) != 0)
            continue;
        section.sh_name = 0xFFFFFFF0u;
        std::memcpy(bytes.data() + header.e_shoff + i * sizeof section, &section, sizeof section);
        ++patched;
    }
    ASSERT_EQ(patched, 1u) << "the plug-in has no single " << wanted << " section";

    const fs::path file = Write("FarName.plugin", bytes);
    const std::string message = RefusalOf(file);
    EXPECT_NE(message.find(file.string()), std::string::npos) << message;
    EXPECT_NE(message.find("no version record"), std::string::npos) << message;
    EXPECT_EQ(host::FindClass("Tavelorn.Qualvex"), nullptr);
}

// Reading and patching the file header and section headers of a plug-in file held in memory.
Elf64_Ehdr HeaderOf(const std::vector<char>& bytes)
{
    Elf64_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    return header;
}

void SetHeader(std::vector<char>& bytes, const Elf64_Ehdr& header) { std::memcpy(bytes.data(), &header, sizeof header); }

Elf64_Shdr SectionOf(const std::vector<char>& bytes, std::size_t index)
{
    Elf64_Shdr section;
    std::memcpy(&section, bytes.data() + HeaderOf(bytes).e_shoff + index * sizeof section, sizeof section);
    return section;
}

void SetSection(std::vector<char>& bytes, std::size_t index, const Elf64_Shdr& section)
{
    std::memcpy(bytes.data() + HeaderOf(bytes).e_shoff + index * sizeof section, &section, sizeof section);
}

// The index of the version record's section, or e_shnum when there is none.
std::size_t RecordSectionIndex(const std::vector<char>& bytes)
{
    const Elf64_Ehdr header = HeaderOf(bytes);
    const Elf64_Shdr names = SectionOf(bytes, header.e_shstrndx);
    const std::string wanted = HOST_PLUGIN_VERSION_SECTION;
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr section = SectionOf(bytes, i);
        if (section.sh_name < names.sh_size &&
            std::strncmp(bytes.data() + names.sh_offset + section.sh_name, wanted.c_str(),
                         names.sh_size - section.sh_name) == 0)
            return i;
    }
    return header.e_shnum;
}

// One way of damaging the section table of a good plug-in file, and what the refusal must say.
struct SectionTableDamage {
    const char* Name;
    void (*Apply)(std::vector<char>& bytes);
    const char* Refusal;
};

// A range that starts 4 bytes before the end of the file and runs 4 bytes past it: past the end,
// yet no larger than a version record may be, however large the file.
void RunPastTheEnd(std::uint64_t fileSize, Elf64_Shdr& section)
{
    section.sh_offset = fileSize - 4;
    section.sh_size = 8;
}

const SectionTableDamage kSectionTableDamages[] = {
    {"NamesOffsetPastTheEnd",
     [](std::vector<char>& bytes) {
         const std::size_t index = HeaderOf(bytes).e_shstrndx;
         Elf64_Shdr names = SectionOf(bytes, index);
         names.sh_offset = bytes.size() + 1;
         names.sh_size = 1;
         SetSection(bytes, index, names);
     },
     "section names lies outside the file"},
    {"NamesSizePastTheEnd",
     [](std::vector<char>& bytes) {
         const std::size_t index = HeaderOf(bytes).e_shstrndx;
         Elf64_Shdr names = SectionOf(bytes, index);
         names.sh_size = bytes.size() - names.sh_offset + 1;
         SetSection(bytes, index, names);
     },
     "section names lies outside the file"},
    {"NamesWithoutBits",
     [](std::vector<char>& bytes) {
         const std::size_t index = HeaderOf(bytes).e_shstrndx;
         Elf64_Shdr names = SectionOf(bytes, index);
         names.sh_type = SHT_NOBITS;
         SetSection(bytes, index, names);
     },
     "section names are damaged"},
    {"NamesLargerThanAnyNameTable",
     [](std::vector<char>& bytes) {
         const std::size_t index = HeaderOf(bytes).e_shstrndx;
         Elf64_Shdr names = SectionOf(bytes, index);
         names.sh_size = 16 * 1024 * 1024 + 1;
         SetSection(bytes, index, names);
     },
     "section names are damaged"},
    {"SectionTableOffsetPastTheEnd",
     [](std::vector<char>& bytes) {
         Elf64_Ehdr header = HeaderOf(bytes);
         header.e_shoff = bytes.size() + 1;
         SetHeader(bytes, header);
     },
     "section table lies outside the file"},
    {"SectionEntrySizeWrong",
     [](std::vector<char>& bytes) {
         Elf64_Ehdr header = HeaderOf(bytes);
         header.e_shentsize = sizeof(Elf64_Shdr) - 8;
         SetHeader(bytes, header);
     },
     "section table is damaged"},
    {"NamesIndexIsTheSectionCount",
     [](std::vector<char>& bytes) {
         Elf64_Ehdr header = HeaderOf(bytes);
         header.e_shstrndx = header.e_shnum;
         SetHeader(bytes, header);
     },
     "section table is damaged"},
    {"RecordWithoutBits",
     [](std::vector<char>& bytes) {
         const std::size_t index = RecordSectionIndex(bytes);
         Elf64_Shdr record = SectionOf(bytes, index);
         record.sh_type = SHT_NOBITS;
         SetSection(bytes, index, record);
     },
     "version record is damaged"},
    {"RecordOffsetPastTheEnd",
     [](std::vector<char>& bytes) {
         const std::size_t index = RecordSectionIndex(bytes);
         Elf64_Shdr record = SectionOf(bytes, index);
         record.sh_offset = bytes.size() + 1;
         SetSection(bytes, index, record);
     },
     "version record lies outside the file"},
    {"RecordSizePastTheEnd",
     [](std::vector<char>& bytes) {
         const std::size_t index = RecordSectionIndex(bytes);
         Elf64_Shdr record = SectionOf(bytes, index);
         RunPastTheEnd(bytes.size(), record);
         SetSection(bytes, index, record);
     },
     "version record lies outside the file"},
    {"RecordLargerThanAnyRecord",
     [](std::vector<char>& bytes) {
         const std::size_t index = RecordSectionIndex(bytes);
         Elf64_Shdr record = SectionOf(bytes, index);
         record.sh_size = 64 * 1024 + 1;
         SetSection(bytes, index, record);
     },
     "version record is damaged"},
};

TEST_F(ScratchFolder, RefusesEachDamageToTheSectionTableNamingTheFile)
{
    const std::vector<char> good = Read(kSondrel);
    ASSERT_GE(good.size(), sizeof(Elf64_Ehdr));
    const Elf64_Ehdr header = HeaderOf(good);
    ASSERT_EQ(header.e_shentsize, sizeof(Elf64_Shdr));
    ASSERT_LT(header.e_shstrndx, header.e_shnum);
    ASSERT_LE(header.e_shoff + std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), good.size());
    const Elf64_Shdr names = SectionOf(good, header.e_shstrndx);
    ASSERT_LE(names.sh_offset + names.sh_size, good.size());
    const std::size_t recordIndex = RecordSectionIndex(good);
    ASSERT_LT(recordIndex, header.e_shnum) << "the plug-in has no " << HOST_PLUGIN_VERSION_SECTION << " section";
    const Elf64_Shdr record = SectionOf(good, recordIndex);
    ASSERT_NE(record.sh_type, static_cast<std::uint32_t>(SHT_NOBITS));
    ASSERT_LE(record.sh_offset + record.sh_size, good.size());

    for (const SectionTableDamage& damage : kSectionTableDamages) {
        SCOPED_TRACE(damage.Name);
        std::vector<char> bytes = good;
        damage.Apply(bytes);
        ASSERT_NE(bytes, good);
        const fs::path file = Write((std::string(damage.Name) + ".plugin").c_str(), bytes);
        const std::string message = RefusalOf(file);
        EXPECT_EQ(message.rfind(file.string() + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(damage.Refusal), std::string::npos) << message;
        EXPECT_EQ(host::FindClass("Tavelorn.Qualvex"), nullptr);
    }
}

TEST_F(ScratchFolder, FolderLoadsTheGoodAndReportsTheRefused)
{
    fs::copy_file(kSondrel, m_Folder / "Sondrel.plugin");
    fs::copy_file(kFixtures / "WrongApiVersion.plugin", m_Folder / "WrongApiVersion.plugin");
    Write("Readme.txt", {'n', 'o'});  // not a plug-in name: ignored
    Write("Zero.plugin", {});
    host::PluginFolder folder = host::LoadPluginFolder(m_Folder);
    ASSERT_EQ(folder.Loaded.size(), 1u);
    EXPECT_EQ(folder.Loaded[0]->File().filename(), "Sondrel.plugin");
    ASSERT_EQ(folder.Refused.size(), 2u);
    EXPECT_NE(folder.Refused[0].find("WrongApiVersion.plugin"), std::string::npos);
    EXPECT_NE(folder.Refused[1].find("Zero.plugin"), std::string::npos);
    EXPECT_NE(host::FindClass("Tavelorn.Qualvex"), nullptr);
    folder.Loaded[0]->Unload();
    EXPECT_EQ(host::FindClass("Tavelorn.Qualvex"), nullptr);

    EXPECT_THROW(host::LoadPluginFolder(m_Folder / "absent"), host::PluginError);
}

}  // namespace
