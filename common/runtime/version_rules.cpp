#include "runtime/version_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

const char* const kVersionLinePrefixes[] = {"java version \"", "openjdk version \""};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// One part of a version: a run of digits, or a single other character.
struct VersionPart {
    char first;         // the part's first byte, which orders a number against a character
    bool number;        // a run of digits
    const char* digits; // a number's digits after its leading zeros
    size_t digitCount;  // how many; 0 for a number of zeros only
};

// Where the parts begin: after a leading "1." that a digit follows, the numbering of every runtime
// before version 9.
const char* firstPart(const char* version) {
    return version[0] == '1' && version[1] == '.' && isDigit(version[2]) ? version + 2 : version;
}

// Reads the part at *cursor and moves past it; false at the end of the text.
bool nextPart(const char** cursor, VersionPart* part) {
    const char* at = *cursor;
    if (*at == '\0') {
        return false;
    }
    part->first = *at;
    part->number = isDigit(*at);
    if (!part->number) {
        *cursor = at + 1;
        return true;
    }
    while (*at == '0') {
        ++at;
    }
    part->digits = at;
    while (isDigit(*at)) {
        ++at;
    }
    part->digitCount = static_cast<size_t>(at - part->digits);
    *cursor = at;
    return true;
}

int comparePart(const VersionPart& a, const VersionPart& b) {
    if (a.number && b.number) {
        // Without leading zeros the longer number is the greater; of equal lengths, the digits decide.
        if (a.digitCount != b.digitCount) {
            return a.digitCount < b.digitCount ? -1 : 1;
        }
        return memcmp(a.digits, b.digits, a.digitCount);
    }
    // A character is never a digit, so it sorts below or above every number, as bytes do.
    return static_cast<unsigned char>(a.first) - static_cast<unsigned char>(b.first);
}

size_t countParts(const char* version) {
    size_t count = 0;
    VersionPart part;
    for (const char* cursor = firstPart(version); nextPart(&cursor, &part);) {
        ++count;
    }
    return count;
}

// Compares at most partLimit parts of each version.
int compareParts(const char* a, const char* b, size_t partLimit) {
    const char* cursorA = firstPart(a);
    const char* cursorB = firstPart(b);
    for (size_t index = 0; index < partLimit; ++index) {
        VersionPart partA;
        VersionPart partB;
        const bool hasA = nextPart(&cursorA, &partA);
        const bool hasB = nextPart(&cursorB, &partB);
        if (!hasA || !hasB) {
            return (hasA ? 1 : 0) - (hasB ? 1 : 0);
        }
        const int order = comparePart(partA, partB);
        if (order != 0) {
            return order;
        }
    }
    return 0;
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

bool isPickedUpOptionsNotice(const char* line) {
    return strncmp(line, "Picked up ", 10) == 0 || strncmp(line, "NOTE: Picked up ", 16) == 0;
}

bool isPrereleaseVersion(const char* version) {
    return strstr(version, "beta") != nullptr || strstr(version, "ea") != nullptr ||
           strstr(version, "rc") != nullptr;
}

int compareVersions(const char* a, const char* b) {
    return compareParts(a, b, SIZE_MAX);
}

bool isVersionWithinBounds(const char* version, const char* minimum, const char* maximum) {
    if (compareParts(version, minimum, countParts(minimum)) < 0) {
        return false;
    }
    return compareParts(version, maximum, countParts(maximum)) <= 0;
}

bool isVersionKeyInRange(const char* key, const char* minimum, const char* maximum) {
    const size_t keyParts = countParts(key);
    if (compareParts(key, minimum, std::min(keyParts, countParts(minimum))) < 0) {
        return false;
    }
    return compareParts(key, maximum, std::min(keyParts, countParts(maximum))) <= 0;
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

std::string describeVersionRange(const char* minimum, const char* maximum) {
    const auto spoken = [](const char* bound) {
        const char* rest = bound + 2;
        const bool oldStyle =
            strncmp(bound, "1.", 2) == 0 && *rest != '\0' && std::all_of(rest, rest + strlen(rest), isDigit);
        return std::string(oldStyle ? rest : bound);
    };
    const std::string low = spoken(minimum), high = spoken(maximum);
    if (low.empty() && high.empty())
        return "any Java";
    if (high.empty())
        return "Java " + low + " or newer";
    if (low.empty())
        return "Java " + high + " or older";
    if (low == high)
        return "Java " + low;
    return "Java " + low + " to " + high;
}
