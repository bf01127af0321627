// OpenImageIO's error text made fit for one line of a message.
#pragma once

#include <string>

namespace qualvex {

// `error` without trailing newlines and spaces, or `fallback` when there is none.
std::string ErrorText(const std::string& error, const char* fallback);

}  // namespace qualvex
