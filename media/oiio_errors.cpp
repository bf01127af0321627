#include "media/oiio_errors.h"

namespace qualvex {

std::string ErrorText(const std::string& error, const char* fallback)
{
    std::string text = error.empty() ? fallback : error;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace qualvex
