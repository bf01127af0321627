// Tag-list decoding from arbitrary words. The input is read as 64-bit words into an array of
// exactly that length, so that a read past its end is caught, and decoded through the bounded
// form. String and class-identifier values are addresses the host follows: each such value word
// is pointed at one of a few objects owned here, or left null, before decoding.
#include "fuzz_check.h"

#include "host/fuid.h"
#include "host/tag_list.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qualvex::fuzz::Require;

const std::array<const char*, 4> kTexts = {"", "RGB", "Tavelorn.Qualvex", "a longer text with spaces\tand a tab"};
const std::array<FuID, 3> kIDs = {FuID(""), FuID("SomeClass"), FuID("DataType.Number")};

constexpr unsigned kString = 3;
constexpr unsigned kClassID = 8;

unsigned TypeDigit(std::uint64_t tagWord) { return static_cast<unsigned>((tagWord >> 28) & 0xf); }

// Points the value word of every string and class-identifier tag the decoder will reach at an
// object owned here; zero stays zero, so that null addresses are tried too.
void PointValuesAtOwnedObjects(std::vector<std::uint64_t>& words)
{
    for (std::size_t i = 0; i + 1 < words.size(); i += 2) {
        const std::uint64_t tag = words[i];
        if (tag == 0 || tag > 0xffffffffu)
            return;
        std::uint64_t& value = words[i + 1];
        if (value == 0)
            continue;
        if (TypeDigit(tag) == kString)
            value = reinterpret_cast<std::uintptr_t>(kTexts[value % kTexts.size()]);
        else if (TypeDigit(tag) == kClassID)
            value = reinterpret_cast<std::uintptr_t>(&kIDs[value % kIDs.size()]);
    }
}

// What the decoder must make of the words: the number of entries, or a refusal.
struct Outcome {
    bool Refused = false;
    std::size_t Entries = 0;
};

Outcome Expected(const std::uint64_t* words, std::size_t count)
{
    if (words == nullptr)
        return {true, 0};
    std::size_t entries = 0;
    for (std::size_t i = 0;; i += 2) {
        if (i >= count || entries >= TagList::MaxEntries)
            return {true, entries};
        const std::uint64_t tag = words[i];
        if (tag == 0)
            return {false, entries};
        if (i + 1 >= count || tag > 0xffffffffu)
            return {true, entries};
        switch (TypeDigit(tag)) {
        case 1:
        case 2:
        case 6:
            break;
        case kString:
        case kClassID:
            if (words[i + 1] == 0)
                return {true, entries};
            break;
        default:
            return {true, entries};
        }
        ++entries;
    }
}

void CheckDecoded(const TagList& tags, const std::uint64_t* words, bool flag)
{
    Require(tags.Flag() == flag, "the list keeps the flag it was made with");
    for (std::size_t n = 0; n < tags.size(); ++n) {
        const TagEntry& entry = tags.Entries()[n];
        Require(entry.Tag == words[2 * n], "entry " + std::to_string(n) + " keeps its tag");
        Require(entry.Word == words[2 * n + 1], "entry " + std::to_string(n) + " keeps its value word");
        const unsigned type = TypeDigit(entry.Tag);
        if (type == kString)
            Require(entry.Text == reinterpret_cast<const char*>(entry.Word), "a string entry holds a copy of the text");
        else if (type == kClassID)
            Require(entry.Text == reinterpret_cast<const FuID*>(entry.Word)->str(),
                    "a class-identifier entry holds the identifier's text");
        else
            Require(entry.Text.empty(), "only string and class-identifier entries carry text");

        // Lookups find the first entry with the tag, and only under its own type.
        if (tags.Find(entry.Tag) != &entry)
            continue;
        Require(tags.GetInteger(entry.Tag).has_value() == (type == 1), "an integer is read only from an integer tag");
        Require(tags.GetDouble(entry.Tag).has_value() == (type == 2), "a double is read only from a double tag");
        Require(tags.GetString(entry.Tag).has_value() == (type == kString), "a string is read only from a string tag");
        if (type == 1)
            Require(*tags.GetInteger(entry.Tag) == static_cast<std::int64_t>(entry.Word), "the integer is the word");
        if (type == 2) {
            const double value = *tags.GetDouble(entry.Tag);
            std::uint64_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            Require(bits == entry.Word, "the double is the word's bit pattern");
        }
        if (type == 6)
            Require(tags.GetPointer(entry.Tag) == entry.Pointer(), "the pointer is the word");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool flag = size % 8 != 0;
    std::vector<std::uint64_t> words(size / 8);
    if (!words.empty())
        std::memcpy(words.data(), data, words.size() * 8);
    PointValuesAtOwnedObjects(words);

    const Outcome expected = Expected(words.data(), words.size());
    try {
        const TagList tags(words.data(), words.size(), flag);
        Require(!expected.Refused, "a list the decoder should refuse was accepted");
        Require(tags.size() == expected.Entries, "the list holds every entry before its zero tag");
        CheckDecoded(tags, words.data(), flag);

        // The same words read through the form without a length stop at the same zero tag.
        const std::uint64_t* unbounded = words.data();
        const TagList again(unbounded, flag);
        Require(again.size() == tags.size(), "the form without a length decodes the same entries");
        for (std::size_t n = 0; n < tags.size(); ++n)
            Require(again.Entries()[n].Tag == tags.Entries()[n].Tag &&
                        again.Entries()[n].Word == tags.Entries()[n].Word &&
                        again.Entries()[n].Text == tags.Entries()[n].Text,
                    "the form without a length decodes entry " + std::to_string(n) + " the same");
    } catch (const std::invalid_argument& refused) {
        Require(expected.Refused, std::string("a well-formed list was refused: ") + refused.what());
        Require(std::string(refused.what()).starts_with("tag list: "), "a refusal says it is about a tag list");
    }
    return 0;
}
