// Token replacement in a bounded text and the environment pass over a block, free of Win32 so that
// they are also built on the host (fuzz targets).
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

bool expandEnvironmentTokens(char* text, size_t capacity, const char* block) {
    bool complete = true;
    for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) {
        const char* equals = std::strchr(entry, '=');
        if (!equals || equals == entry)
            continue;
        std::string token = "${" + std::string(entry, equals) + "}";
        complete &= replaceAll(text, capacity, token.c_str(), equals + 1);
        // As the C runtime's upper-casing does in the "C" locale the launcher keeps: ASCII letters only.
        for (char& c : token) {
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        complete &= replaceAll(text, capacity, token.c_str(), equals + 1);
    }
    return complete;
}
