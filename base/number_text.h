// Numbers typed on the command line or in settings: the whole text is the number, an optional
// leading '+' allowed, nothing else around it.
#pragma once

#include <charconv>
#include <string>
#include <system_error>

namespace qualvex {

template <typename Number>
bool ParseNumberText(const std::string& text, Number& value)
{
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    const auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end && begin != end;
}

}  // namespace qualvex
