#include "elf/elf_image.h"

#include "binary/little_endian.h"

#include <algorithm>
#include <cstdint>

namespace kestro::elf {
namespace {

using binary::get16;
using binary::get32;
using binary::get64;

constexpr size_t kClassField = 4;    // 2: 64-bit
constexpr size_t kEncodingField = 5; // 1: little-endian
constexpr size_t kProgramHeaderEntry = 56;
constexpr size_t kSectionHeaderEntry = 64;
constexpr uint32_t kSectionWithoutFileData = 8; // SHT_NOBITS (.bss)

// offset + size, or false when that sum passes limit or overflows.
bool endWithin(uint64_t offset, uint64_t size, uint64_t limit, uint64_t* end) {
    if (offset > limit || size > limit - offset)
        return false;
    *end = offset + size;
    return true;
}

} // namespace

uint64_t Headers::tablesEnd() const {
    // A table whose end cannot be counted ends past any file, so that it is refused and never read.
    const auto tableEnd = [](uint64_t offset, uint64_t entrySize, uint64_t count) {
        uint64_t end;
        return endWithin(offset, entrySize * count, UINT64_MAX, &end) ? end : UINT64_MAX;
    };
    uint64_t end = kFileHeaderSize;
    if (programHeaders != 0)
        end = std::max(end, tableEnd(programHeaders, programHeaderSize, programHeaderCount));
    if (sectionHeaders != 0)
        end = std::max(end, tableEnd(sectionHeaders, sectionHeaderSize, sectionHeaderCount));
    return end;
}

bool looksLikeElf(const std::string& bytes) {
    return bytes.compare(0, 4,
                         "\x7f"
                         "ELF") == 0;
}

bool readHeaders(const std::string& bytes, Headers* headers, std::string* error) {
    *headers = Headers{};
    if (!looksLikeElf(bytes) || bytes.size() < kFileHeaderSize) {
        *error = "not an ELF executable";
        return false;
    }
    if (bytes[kClassField] != 2 || bytes[kEncodingField] != 1) {
        *error = "not a 64-bit little-endian ELF executable";
        return false;
    }
    headers->type = get16(bytes, 16);
    headers->machine = get16(bytes, 18);
    headers->programHeaders = get64(bytes, 32);
    headers->sectionHeaders = get64(bytes, 40);
    headers->programHeaderSize = get16(bytes, 54);
    headers->programHeaderCount = get16(bytes, 56);
    headers->sectionHeaderSize = get16(bytes, 58);
    headers->sectionHeaderCount = get16(bytes, 60);
    if ((headers->programHeaders != 0 && headers->programHeaderSize < kProgramHeaderEntry) ||
        (headers->sectionHeaders != 0 && headers->sectionHeaderSize < kSectionHeaderEntry)) {
        *error = "ELF header tables with entries of an impossible size";
        return false;
    }
    return true;
}

bool imageEnd(const std::string& bytes, const Headers& headers, uint64_t fileSize, uint64_t* end,
              std::string* error) {
    const auto outside = [&](const char* what) {
        *error = std::string("the ELF ") + what + " lies past the end of the file";
        return false;
    };
    if (headers.tablesEnd() > bytes.size() || headers.tablesEnd() > fileSize)
        return outside("header tables");
    uint64_t furthest = headers.tablesEnd();
    for (uint16_t i = 0; headers.programHeaders != 0 && i < headers.programHeaderCount; ++i) {
        const size_t entry = headers.programHeaders + size_t{i} * headers.programHeaderSize;
        uint64_t segmentEnd;
        if (!endWithin(get64(bytes, entry + 8), get64(bytes, entry + 32), fileSize, &segmentEnd))
            return outside("segment");
        furthest = std::max(furthest, segmentEnd);
    }
    for (uint16_t i = 0; headers.sectionHeaders != 0 && i < headers.sectionHeaderCount; ++i) {
        const size_t entry = headers.sectionHeaders + size_t{i} * headers.sectionHeaderSize;
        if (get32(bytes, entry + 4) == kSectionWithoutFileData)
            continue;
        uint64_t sectionEnd;
        if (!endWithin(get64(bytes, entry + 24), get64(bytes, entry + 32), fileSize, &sectionEnd))
            return outside("section");
        furthest = std::max(furthest, sectionEnd);
    }
    *end = furthest;
    return true;
}

} // namespace kestro::elf
