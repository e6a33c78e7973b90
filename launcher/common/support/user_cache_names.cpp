// The names and times of the user's cache, the same on every system.
#include "support/user_cache.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kEntryNameDigits = kRuntimeEntryNameDigits;
constexpr size_t kClassDataKeyDigits = 32;
constexpr uint64_t kFileTimeUnitsPerDay = 864000000000ULL;

bool hexDigits(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// "<entry><suffix><decimal digits>"
bool entryWithSuffix(const char* name, const char* suffix) {
    const size_t suffixLength = strlen(suffix);
    if (strlen(name) <= kEntryNameDigits + suffixLength || !hexDigits(name, kEntryNameDigits) ||
        strncmp(name + kEntryNameDigits, suffix, suffixLength) != 0)
        return false;
    for (const char* digit = name + kEntryNameDigits + suffixLength; *digit != '\0'; ++digit)
        if (!isdigit(static_cast<unsigned char>(*digit)))
            return false;
    return true;
}

} // namespace

std::string runtimeEntryName(const char* digest) {
    if (strlen(digest) != 64 || !hexDigits(digest, 64))
        return std::string();
    std::string name(digest, kEntryNameDigits);
    for (char& c : name)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return name;
}

RuntimeRoomName classifyRuntimeRoomName(const char* name) {
    if (strlen(name) == kEntryNameDigits && hexDigits(name, kEntryNameDigits))
        return RuntimeRoomName::Entry;
    if (entryWithSuffix(name, ".new"))
        return RuntimeRoomName::BeingMade;
    if (entryWithSuffix(name, ".old"))
        return RuntimeRoomName::BeingRemoved;
    return RuntimeRoomName::Foreign;
}

bool isClassDataArchiveName(const char* name) {
    if (strlen(name) <= kClassDataKeyDigits || !hexDigits(name, kClassDataKeyDigits))
        return false;
    const char* extension = name + kClassDataKeyDigits;
    return strcmp(extension, ".jsa") == 0 || strcmp(extension, ".aot") == 0 ||
           strcmp(extension, ".aot.config") == 0;
}

bool unusedFor(uint64_t lastUse, uint64_t now, int days) {
    return now > lastUse && now - lastUse > static_cast<uint64_t>(days) * kFileTimeUnitsPerDay;
}
