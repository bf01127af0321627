#include "host/tag_list.h"

#include "host/host_testing.h"

#include <bit>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::string Hex(std::uint64_t value)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

}  // namespace

double TagEntry::Double() const { return std::bit_cast<double>(Word); }

TagList::TagList(const std::uint64_t* words, std::size_t wordCount, bool flag) : m_Flag(flag)
{
    host::testing::CountHostCall("TagList");
    Decode(words, wordCount);
}

void TagList::Decode(const std::uint64_t* words, std::size_t wordCount)
{
    if (words == nullptr)
        throw std::invalid_argument("tag list: the word array is null");
    for (std::size_t i = 0;; i += 2) {
        if (i >= wordCount)
            throw std::invalid_argument("tag list: no closing zero tag within " + std::to_string(wordCount) +
                                        " words");
        if (m_Entries.size() >= MaxEntries)
            throw std::invalid_argument("tag list: more than " + std::to_string(MaxEntries) +
                                        " tags without a closing zero tag");
        const std::uint64_t tagWord = words[i];
        if (tagWord == 0)
            return;
        if (i + 1 >= wordCount)
            throw std::invalid_argument("tag list: tag " + Hex(tagWord) + " at word " + std::to_string(i) +
                                        " has no value word before the end of the array");
        if (tagWord > 0xffffffffu)
            throw std::invalid_argument("tag list: tag word " + Hex(tagWord) + " at word " + std::to_string(i) +
                                        " does not fit in 32 bits");

        TagEntry entry;
        entry.Tag = static_cast<std::uint32_t>(tagWord);
        entry.Word = words[i + 1];
        switch (static_cast<unsigned>(entry.Tag >> 28)) {
        case 1:
        case 2:
        case 6:
            break;
        case 3: {
            const char* text = static_cast<const char*>(entry.Pointer());
            if (text == nullptr)
                throw std::invalid_argument("tag list: string tag " + Hex(entry.Tag) + " holds a null address");
            entry.Text = text;
            break;
        }
        case 8: {
            const FuID* id = static_cast<const FuID*>(entry.Pointer());
            if (id == nullptr)
                throw std::invalid_argument("tag list: class identifier tag " + Hex(entry.Tag) +
                                            " holds a null address");
            entry.Text = id->str();
            break;
        }
        default:
            throw std::invalid_argument("tag list: tag " + Hex(entry.Tag) + " has the unknown value type digit " +
                                        std::to_string(entry.Tag >> 28));
        }
        m_Entries.push_back(std::move(entry));
    }
}

const TagEntry* TagList::Find(std::uint32_t tag) const
{
    for (const TagEntry& entry : m_Entries)
        if (entry.Tag == tag)
            return &entry;
    return nullptr;
}

std::optional<std::int64_t> TagList::GetInteger(std::uint32_t tag) const
{
    const TagEntry* entry = Find(tag);
    if (entry == nullptr || entry->Type() != TagType::Integer)
        return std::nullopt;
    return entry->Integer();
}

std::optional<double> TagList::GetDouble(std::uint32_t tag) const
{
    const TagEntry* entry = Find(tag);
    if (entry == nullptr || entry->Type() != TagType::Double)
        return std::nullopt;
    return entry->Double();
}

std::optional<std::string> TagList::GetString(std::uint32_t tag) const
{
    const TagEntry* entry = Find(tag);
    if (entry == nullptr || entry->Type() != TagType::String)
        return std::nullopt;
    return entry->Text;
}

const void* TagList::GetPointer(std::uint32_t tag) const
{
    const TagEntry* entry = Find(tag);
    if (entry == nullptr || entry->Type() != TagType::Pointer)
        return nullptr;
    return entry->Pointer();
}
