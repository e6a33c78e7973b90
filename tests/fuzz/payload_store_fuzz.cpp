// The launcher's payload store and included-file walk, run whole on an in-memory executable. Where
// the packer's decoder reads a payload, the store must end up with the same texts and messages (as C
// texts, within the store's 8192 units), and where the decoder refuses the tables the store must end
// the process rather than go on. Extraction then writes each included file descrambled, and only
// inside its new directory; a failed extraction (short data, refused name, full disk) leaves no
// directory behind, and no handle stays open that the launcher did not mean to hold.
#include "payload/included_files.h"
#include "payload/payload_codec.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "win32/win32_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace format = kestro::payload;

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// MZ, then a PE header at 64 with one section whose raw data ends at 128: the payload follows.
std::string minimalImage() {
    std::string image(128, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    image[60] = 64;
    std::memcpy(&image[64], "PE\0\0", 4);
    image[64 + 6] = 1;                            // one section
    image[64 + 24 + 20] = static_cast<char>(128); // its raw data starts at 128, size 0
    return image;
}

std::string asCText(const std::string& text, size_t capacity) {
    return text.substr(0, std::min({std::strlen(text.c_str()), text.size(), capacity - 1}));
}

int64_t readInt64(const std::string& data, size_t at) {
    int64_t value = 0;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

// The store against the decoder: each id's last record, as the store hands it out.
void compareTables(const format::PayloadTables& tables) {
    std::map<int32_t, std::string> config;
    for (const auto& [id, text] : tables.config)
        config[id] = text;
    std::map<int32_t, std::u16string> messages;
    for (const auto& [id, text] : tables.messages)
        messages[id] = text;
    std::vector<char> text(kTextCapacity);
    for (const auto& [id, expected] : config) {
        getConfigText(id, text.data(), text.size());
        check(asCText(expected, kTextCapacity) == text.data());
    }
    std::vector<wchar_t> message(kTextCapacity);
    for (const auto& [id, expected] : messages) {
        getMessage(id, message.data());
        size_t length = 0;
        while (length < expected.size() && expected[length] != 0 && length < kTextCapacity - 1) {
            check(message[length] == static_cast<wchar_t>(expected[length]));
            ++length;
        }
        check(message[length] == L'\0');
    }
}

// Extraction from the payload at tablesEnd, checked against a walk of the same bytes here.
void checkExtraction(const std::string& image, size_t tablesEnd) {
    char directory[8192];
    int result = -1;
    try {
        result = extractIncludedFiles(directory);
    } catch (const win32_memory::ProcessEnded&) {
        return; // a cut-off size or a file that cannot be created: the process ends, as it should
    }
    const std::string inside = std::string(directory) + "\\";
    for (const auto& [path, data] : win32_memory::files()) {
        check(path == win32_memory::kExecutable || path.compare(0, 7, "C:\\tmp\\") == 0);
        check(path.find('\\', 7) == std::string::npos || path.compare(0, inside.size(), inside) == 0);
    }
    const int32_t count = getConfigNumber(format::config::IncludedFileCount);
    if (result != kCopyDone) {
        check(win32_memory::directories().count(directory) == 0);
        check(win32_memory::openHandles() == 0);
        return;
    }
    if (count == 0) {
        check(directory[0] == '\0');
        return;
    }
    char names[kTextCapacity];
    getConfigText(format::config::IncludedFileNames, names, sizeof names);
    size_t at = tablesEnd;
    int extracted = 0;
    // A later file of the same name replaces an earlier one, as on disk.
    std::map<std::string, std::string> expected;
    for (char* name = std::strtok(names, ";"); name != nullptr && extracted < count;
         name = std::strtok(nullptr, ";"), ++extracted) {
        check(isSafeIncludedFileName(name) && at + 8 <= image.size());
        const int64_t size = readInt64(image, at);
        at += 8;
        if (size <= 0)
            continue;
        check(static_cast<uint64_t>(size) <= image.size() - at);
        std::string bytes = image.substr(at, static_cast<size_t>(size));
        format::scrambleBytes(reinterpret_cast<uint8_t*>(&bytes[0]), bytes.size());
        expected[name] = bytes;
        at += static_cast<size_t>(size);
    }
    check(unextractedPosition() == static_cast<int64_t>(at));
    for (const auto& [name, bytes] : expected) {
        const auto written = win32_memory::files().find(inside + name);
        check(written != win32_memory::files().end() && written->second == bytes);
        releaseIncludedFile(name.c_str());
    }
    check(win32_memory::openHandles() == 0);
}

} // namespace

// The first byte: bit 0 set, the rest is the whole executable; clear, the rest is a payload behind
// a minimal image. Bits 1 to 7, when not all clear, fill the disk after that many 64-byte blocks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const bool whole = (data[0] & 1) != 0;
    std::string image = whole ? std::string() : minimalImage();
    image.append(reinterpret_cast<const char*>(data + 1), size - 1);
    win32_memory::reset(static_cast<size_t>(data[0] >> 1) * 64);
    win32_memory::putFile(win32_memory::kExecutable, image);

    size_t start = 0, end = 0;
    std::string error;
    format::PayloadTables tables;
    const bool found = format::findPayloadStart(image, &start, &error);
    const bool decoded = found && format::decodeTables(image, start, &tables, &end, &error);
    bool loaded = false;
    try {
        loadPayload();
        loaded = true;
    } catch (const win32_memory::ProcessEnded&) {
    }
    if (!found)
        return 0;
    check(loaded == decoded);
    if (!loaded)
        return 0;
    check(win32_memory::openHandles() == 0);
    check(fileSectionStart() == static_cast<int64_t>(end));
    compareTables(tables);
    checkExtraction(image, end);
    return 0;
}
