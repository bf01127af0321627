#include "base/safe_text.h"

#include <cstdio>

namespace qualvex {

std::string Printable(std::string_view text, std::size_t maxChars)
{
    std::string shown;
    const std::size_t length = text.size() < maxChars ? text.size() : maxChars;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (text.size() > maxChars)
        shown += "...";
    return shown;
}

std::string Quoted(std::string_view text, std::size_t maxChars)
{
    std::string quoted(1, '"');
    quoted += Printable(text, maxChars);
    quoted += '"';
    return quoted;
}

std::size_t JsonNestingDepth(std::string_view json, std::size_t limit)
{
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : json) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit)
                    return deepest;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::string ShellQuoted(std::string_view text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace qualvex
