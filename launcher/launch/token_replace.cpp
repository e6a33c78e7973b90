// Token replacement in a bounded text, free of Win32 so that it is also built on the host (fuzz targets).
#include "launch/variable_expansion.h"

#include <cstring>
#include <string>

bool replaceAll(char* text, size_t capacity, const char* token, const char* value) {
    const size_t tokenLength = std::strlen(token);
    const size_t valueLength = std::strlen(value);
    if (tokenLength == 0 || capacity == 0)
        return true;
    std::string expanded = text;
    bool complete = true;
    size_t at = expanded.find(token);
    while (at != std::string::npos) {
        if (expanded.size() - tokenLength + valueLength >= capacity) {
            complete = false;
            at = expanded.find(token, at + tokenLength);
            continue;
        }
        expanded.replace(at, tokenLength, value);
        at = expanded.find(token, at + valueLength);
    }
    std::memcpy(text, expanded.c_str(), expanded.size() + 1);
    return complete;
}
