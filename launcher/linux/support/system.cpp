#include "support/system.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

unsigned long currentProcessId() {
    return static_cast<unsigned long>(getpid());
}

uint32_t millisecondTicks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

VariableLookup readEnvironmentVariable(const char* name, char* out, size_t capacity) {
    const char* value = getenv(name);
    if (value == nullptr)
        return VariableLookup::Missing;
    const size_t length = strlen(value);
    if (length == 0)
        return VariableLookup::Empty;
    if (length >= capacity)
        return VariableLookup::TooLong;
    memcpy(out, value, length + 1);
    return VariableLookup::Found;
}

std::string environmentBlock() {
    std::string block;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        block += *entry;
        block += '\0';
    }
    if (block.empty())
        return block;
    return block + '\0';
}
