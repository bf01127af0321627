// The two ways a qualvex command fails: a usage error (exit code 2) and anything else (exit
// code 1). Messages name the file, control or option concerned and what is wrong with it.
#pragma once

#include <stdexcept>

namespace qualvex {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace qualvex
