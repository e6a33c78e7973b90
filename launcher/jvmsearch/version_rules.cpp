#include "jvmsearch/version_rules.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kVersionLinePrefixes[] = {"java version \"", "openjdk version \""};

int compareOverLength(const char* version, const char* bound, size_t length) {
    return strncmp(version, bound, length);
}

} // namespace

bool parseVersionLine(const char* line, char* out, size_t capacity) {
    out[0] = '\0';
    for (const char* prefix : kVersionLinePrefixes) {
        const size_t prefixLength = strlen(prefix);
        if (strncmp(line, prefix, prefixLength) != 0) {
            continue;
        }
        const char* start = line + prefixLength;
        const char* end = strchr(start, '"');
        const size_t length = end != nullptr ? static_cast<size_t>(end - start) : 0;
        if (length == 0 || length >= capacity) {
            return false;
        }
        memcpy(out, start, length);
        out[length] = '\0';
        return true;
    }
    return false;
}

bool isPrereleaseVersion(const char* version) {
    return strstr(version, "beta") != nullptr || strstr(version, "ea") != nullptr ||
           strstr(version, "rc") != nullptr;
}

bool isVersionWithinBounds(const char* version, const char* minimum, const char* maximum) {
    if (compareOverLength(version, minimum, strlen(minimum)) < 0) {
        return false;
    }
    return compareOverLength(version, maximum, strlen(maximum)) <= 0;
}

bool isVersionKeyInRange(const char* key, const char* minimum, const char* maximum) {
    const size_t keyLength = strlen(key);
    if (compareOverLength(key, minimum, std::min(keyLength, strlen(minimum))) < 0) {
        return false;
    }
    return compareOverLength(key, maximum, std::min(keyLength, strlen(maximum))) <= 0;
}

bool isAbsoluteLocation(const char* value) {
    return strlen(value) > 1 && (value[1] == ':' || (value[0] == '\\' && value[1] == '\\'));
}

bool nextSearchEntry(const char** cursor, char* letter, char* value, size_t capacity) {
    const char* start = *cursor;
    while (*start == ';') {
        ++start;
    }
    if (*start == '\0') {
        *cursor = start;
        return false;
    }
    const char* end = strchr(start, ';');
    if (end == nullptr) {
        end = start + strlen(start);
    }
    *letter = *start;
    const size_t length = std::min(static_cast<size_t>(end - start - 1), capacity - 1);
    memcpy(value, start + 1, length);
    value[length] = '\0';
    *cursor = *end == ';' ? end + 1 : end;
    return true;
}

bool isLastPassEntry(char letter, const char* value) {
    return letter == 'B' || ((letter == 'A' || letter == 'R') && !isAbsoluteLocation(value));
}
