// Tag lists: attribute lists handed to the host as 64-bit words, a tag word followed by its value
// word, closed by a zero tag. The leading hexadecimal digit of the 32-bit tag gives the value's
// type. The host decodes a list once, when it is made, and keeps its own copy of every value.
#pragma once

#include "host/fuid.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

enum class TagType : std::uint8_t {
    Integer = 1,  // signed integer
    Double = 2,   // IEEE 754 double bit pattern
    String = 3,   // address of a NUL-terminated string
    Pointer = 6,  // address of a function or object
    ClassID = 8,  // address of a host FuID constant
};

struct TagEntry {
    std::uint32_t Tag = 0;
    std::uint64_t Word = 0;
    std::string Text;  // String: the copied text; ClassID: the identifier's text

    TagType Type() const { return static_cast<TagType>(Tag >> 28); }
    std::int64_t Integer() const { return static_cast<std::int64_t>(Word); }
    double Double() const;
    const void* Pointer() const { return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(Word)); }
};

class TagList {
public:
    // Lists longer than this are taken to be missing their closing zero tag.
    static constexpr std::size_t MaxEntries = 1024;
    static constexpr std::size_t UnknownLength = static_cast<std::size_t>(-1);

    TagList() = default;

    // A list whose array length the compiler knows: the host never reads past its end.
    template <std::size_t N>
    TagList(const std::uint64_t (&words)[N], bool flag) : TagList(words, N, flag)
    {
    }
    // A list of unknown length: read until the zero tag, at most MaxEntries entries. (A template,
    // so that an array argument prefers the bounded form above.)
    template <typename Words>
        requires(std::is_pointer_v<Words> && std::is_convertible_v<Words, const std::uint64_t*>)
    TagList(Words words, bool flag) : TagList(static_cast<const std::uint64_t*>(words), UnknownLength, flag)
    {
    }
    TagList(const std::uint64_t* words, std::size_t wordCount, bool flag);

    const std::vector<TagEntry>& Entries() const { return m_Entries; }
    std::size_t size() const { return m_Entries.size(); }
    bool empty() const { return m_Entries.empty(); }
    bool Flag() const { return m_Flag; }

    const TagEntry* Find(std::uint32_t tag) const;
    std::optional<std::int64_t> GetInteger(std::uint32_t tag) const;
    std::optional<double> GetDouble(std::uint32_t tag) const;
    std::optional<std::string> GetString(std::uint32_t tag) const;
    const void* GetPointer(std::uint32_t tag) const;

private:
    void Decode(const std::uint64_t* words, std::size_t wordCount);

    std::vector<TagEntry> m_Entries;
    bool m_Flag = false;
};
