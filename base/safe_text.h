// Text read from files and command lines, made safe to print and to parse: control characters
// (a tampered file can carry terminal escape sequences) are shown escaped, long values are cut,
// and JSON nesting is measured before a recursive parser or printer sees it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qualvex {

// How deep a settings file or record may nest; a flat object of controls needs one level.
inline constexpr std::size_t kMaxJsonDepth = 32;

// `text` in double quotes, with control characters written as \xNN and at most `maxChars`
// characters of it shown ("..." marks a cut).
std::string Quoted(std::string_view text, std::size_t maxChars = 80);

// `text` with its control characters written as \xNN, cut at `maxChars`; for values printed
// without quotes.
std::string Printable(std::string_view text, std::size_t maxChars = 200);

// The deepest nesting of arrays and objects in `json`, counting only brackets outside strings;
// stops counting once past `limit`.
std::size_t JsonNestingDepth(std::string_view json, std::size_t limit = kMaxJsonDepth);

// `text` as one word of a POSIX shell command line: in single quotes, a single quote written as '\''.
std::string ShellQuoted(std::string_view text);

}  // namespace qualvex
