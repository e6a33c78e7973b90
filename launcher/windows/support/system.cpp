#include "support/system.h"

#include <windows.h>

#include <cstring>

unsigned long currentProcessId() {
    return GetCurrentProcessId();
}

uint32_t millisecondTicks() {
    return GetTickCount();
}

VariableLookup readEnvironmentVariable(const char* name, char* out, size_t capacity) {
    const DWORD length = GetEnvironmentVariableA(name, out, static_cast<DWORD>(capacity));
    if (length > 0 && length < capacity)
        return VariableLookup::Found;
    if (length >= capacity)
        return VariableLookup::TooLong;
    return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? VariableLookup::Missing : VariableLookup::Empty;
}

std::string environmentBlock() {
    char* block = GetEnvironmentStringsA();
    if (block == nullptr)
        return std::string();
    const char* end = block;
    while (*end != '\0')
        end += strlen(end) + 1;
    std::string copy(block, static_cast<size_t>(end - block) + 1);
    FreeEnvironmentStringsA(block);
    return copy;
}
