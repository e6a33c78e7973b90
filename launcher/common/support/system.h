// Small services of the system that the shared launcher code asks for; the system's launcher provides
// them (windows/support/system.cpp, linux/support/system.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

unsigned long currentProcessId();

// Milliseconds from a fixed point in the past, wrapping around: only differences count.
uint32_t millisecondTicks();

enum class VariableLookup {
    Found,   // the value is in out, terminated
    Empty,   // the variable is set to nothing
    Missing, // the variable is not set
    TooLong, // the value needs capacity bytes or more
};

// Reads an environment variable into out (capacity bytes) as an 8-bit text.
VariableLookup readEnvironmentVariable(const char* name, char* out, size_t capacity);

// The process environment as a block of "NAME=value" entries, each ended by a zero byte, the block by
// an empty entry; empty when the system does not give one.
std::string environmentBlock();
