// What the fuzz targets share: a check that ends the run when an input breaks a property the code
// promises, and a reader that takes fixed-size values from the front of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qualvex::fuzz {

// Aborts with the broken property; the fuzzing engine records the input as a crash, and the stack
// it prints shows which check it was.
inline void Require(bool holds, const std::string& what)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", what.c_str());
    std::abort();
}

// Takes values from the front of the input, bit for bit; zero bytes once the input is used up.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : m_Data(data), m_Size(size) {}

    template <typename T>
    T Take()
    {
        unsigned char bytes[sizeof(T)] = {};
        const std::size_t n = m_Size - m_At < sizeof(T) ? m_Size - m_At : sizeof(T);
        if (n > 0)
            std::memcpy(bytes, m_Data + m_At, n);
        m_At += n;
        T value;
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

private:
    const std::uint8_t* m_Data;
    std::size_t m_Size;
    std::size_t m_At = 0;
};

}  // namespace qualvex::fuzz
