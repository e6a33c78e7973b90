#include "payload/payload_store.h"

#include "payload/payload_format.h"
#include "payload/stub_marker.h"
#include "support/errors.h"
#include "support/log.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

namespace format = kestro::payload;

// Written once by loadPayload before any other thread exists; only read afterwards. Lookups use
// find(), so reading an absent id leaves the maps unchanged.
std::map<int, std::string> configTexts;
std::map<int, std::wstring> messageTexts;
int64_t fileSectionOffset = 0;
int64_t unextractedOffset = 0;

// The packer refuses stubs without these bytes. Every program that reads a payload links this file,
// and `used` keeps the bytes in it although nothing reads them.
[[gnu::used]] const char* volatile stubMarker = format::kStubMarker;

[[noreturn]] void failShortRead(const char* fatalText, bool reportLastError) {
    if (reportLastError) {
        printf("error %lu\n", lastFileError());
        fflush(stdout);
    }
    fatalError(fatalText);
}

// A text length that the rest of the file cannot hold is as much a truncated payload as a short
// read, and is refused before anything is allocated for it.
bool fitsInRestOfFile(NativeFile file, int32_t length) {
    const int64_t size = fileSize(file);
    if (length < 0 || size < 0)
        return false;
    return length <= size - filePosition(file);
}

char* readStringBytes(NativeFile file, const char* fatalText, int32_t* length) {
    if (!readExactly(file, length, sizeof *length) || !fitsInRestOfFile(file, *length))
        failShortRead(fatalText, false);
    char* bytes = new char[static_cast<size_t>(*length) + 2];
    if (!readExactly(file, bytes, static_cast<size_t>(*length)))
        failShortRead(fatalText, false);
    bytes[*length] = '\0';
    bytes[*length + 1] = '\0';
    return bytes;
}

} // namespace

int16_t readShort(NativeFile file) {
    int16_t value;
    if (!readExactly(file, &value, sizeof value))
        failShortRead("Internal Error: readShort", true);
    return value;
}

int32_t readInt(NativeFile file) {
    int32_t value;
    if (!readExactly(file, &value, sizeof value))
        failShortRead("Internal Error: readInt", true);
    return value;
}

int64_t readLong(NativeFile file) {
    int64_t value;
    if (!readExactly(file, &value, sizeof value))
        failShortRead("Internal Error: readLong", true);
    return value;
}

char* readString(NativeFile file) {
    int32_t length;
    return readStringBytes(file, "Internal Error: readString", &length);
}

// An odd byte count leaves its last byte out of the text. The units are put together from their
// little-endian bytes rather than cast, so that the same code reads a payload where wchar_t is wider
// than 16 bits (the host builds that fuzz this reader).
wchar_t* readWString(NativeFile file) {
    int32_t length;
    char* bytes = readStringBytes(file, "Internal Error: readWString", &length);
    const int32_t units = length / 2;
    wchar_t* text = new wchar_t[static_cast<size_t>(units) + 1];
    for (int32_t i = 0; i < units; ++i) {
        text[i] = static_cast<wchar_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                       static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    }
    text[units] = L'\0';
    delete[] bytes;
    return text;
}

void loadPayload() {
    // A second load starts from nothing, so that it never mixes two payloads.
    configTexts.clear();
    messageTexts.clear();
    unextractedOffset = 0;
    NativeFile file = openPayloadFile();
    seekToPayload(file);
    if (static_cast<uint32_t>(readInt(file)) != format::kMagic)
        fatalError("Internal Error: magic");

    int32_t configCount = readInt(file);
    for (int32_t i = 0; i < configCount; ++i) {
        int32_t id = readInt(file);
        char* text = readString(file);
        configTexts[id] = text;
        delete[] text;
    }
    int32_t messageCount = readInt(file);
    for (int32_t i = 0; i < messageCount; ++i) {
        int32_t id = readInt(file);
        wchar_t* text = readWString(file);
        messageTexts[id] = text;
        delete[] text;
    }
    fileSectionOffset = filePosition(file);
    closeFile(file);

    int32_t executableType = getConfigNumber(format::config::ExecutableType);
    if (executableType != 1 && executableType != 5)
        useConsoleErrors();
}

void getConfigText(int id, char* out, size_t capacity) {
    if (capacity == 0)
        return;
    auto found = configTexts.find(id);
    const char* text = found != configTexts.end() ? found->second.c_str() : "";
    size_t length = strnlen(text, capacity - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

int32_t getConfigNumber(int id) {
    char text[kTextCapacity];
    getConfigText(id, text, sizeof text);
    return parseConfigNumber(text);
}

uint32_t getConfigColour(int id) {
    char text[kTextCapacity];
    getConfigText(id, text, sizeof text);
    return parseConfigColour(text);
}

void getMessage(int id, wchar_t* out) {
    auto found = messageTexts.find(id);
    const wchar_t* text = found != messageTexts.end() ? found->second.c_str() : L"";
    size_t length = wcsnlen(text, kTextCapacity - 1);
    wmemcpy(out, text, length);
    out[length] = L'\0';
}

int64_t fileSectionStart() {
    return fileSectionOffset;
}

int64_t unextractedPosition() {
    return unextractedOffset;
}

void setUnextractedPosition(int64_t position) {
    unextractedOffset = position;
}

// Like atoi, but a number beyond the 32-bit range is held at its nearest end instead of wrapping.
int32_t parseConfigNumber(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= static_cast<int64_t>(INT_MAX) + 1)
            value = value * 10 + (*text - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int32_t>(value);
}

// "r,g,b" as the Win32 RGB macro composes it: each part cut to 8 bits, red in the low byte. Parts
// that are missing read as 0.
uint32_t parseConfigColour(const char* text) {
    int32_t parts[3] = {0, 0, 0};
    for (int i = 0; i < 3 && text != nullptr; ++i) {
        parts[i] = parseConfigNumber(text);
        text = strchr(text, ',');
        if (text != nullptr)
            ++text;
    }
    return (static_cast<uint32_t>(parts[0]) & 0xFF) | (static_cast<uint32_t>(parts[1]) & 0xFF) << 8 |
           (static_cast<uint32_t>(parts[2]) & 0xFF) << 16;
}
