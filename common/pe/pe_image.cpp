#include "pe/pe_image.h"

#include "binary/little_endian.h"

namespace kestro::pe {
namespace {

using binary::get16;
using binary::get32;

constexpr size_t kSignatureOffsetField = 60; // e_lfanew
constexpr size_t kFileHeaderSize = 20;
constexpr uint32_t kMaxDirectories = 16;

bool fits(const std::string& bytes, uint64_t offset, uint64_t size) {
    return offset <= bytes.size() && bytes.size() - offset >= size;
}

} // namespace

size_t Headers::directoryField(uint32_t index) const {
    return index < directoryCount ? dataDirectories + 8 * size_t{index} : 0;
}

uint64_t Headers::endOfLastSection() const {
    return sections.empty() ? 0 : uint64_t{sections.back().rawOffset} + sections.back().rawSize;
}

bool readHeaders(const std::string& bytes, Headers* headers, std::string* error) {
    *headers = Headers{};
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || !fits(bytes, kSignatureOffsetField, 4)) {
        *error = "not a PE executable";
        return false;
    }
    const uint32_t signature = get32(bytes, kSignatureOffsetField);
    if (!fits(bytes, signature, 4 + kFileHeaderSize) ||
        bytes.compare(signature, 4, std::string("PE\0\0", 4)) != 0) {
        *error = "not a PE executable";
        return false;
    }
    Headers& h = *headers;
    h.signature = signature;
    h.machine = get16(bytes, signature + 4);
    const uint16_t sectionCount = get16(bytes, signature + 6);
    h.optionalHeader = signature + 4 + kFileHeaderSize;
    h.optionalSize = get16(bytes, signature + 20);
    h.sectionTable = h.optionalHeader + h.optionalSize;
    if (!fits(bytes, h.sectionTable, uint64_t{sectionCount} * kSectionHeaderSize)) {
        *error = "the PE section table runs past the end of the file";
        return false;
    }
    const uint16_t magic = h.optionalSize >= 2 ? get16(bytes, h.optionalHeader) : 0;
    const size_t countField = h.optionalHeader + (magic == kPe32 ? 92 : 108);
    if ((magic == kPe32 || magic == kPe32Plus) && countField + 4 <= h.sectionTable) {
        h.magic = magic;
        h.sectionAlignment = get32(bytes, h.optionalHeader + 32);
        h.fileAlignment = get32(bytes, h.optionalHeader + 36);
        h.sizeOfHeaders = get32(bytes, h.optionalHeader + 60);
        h.dataDirectories = countField + 4;
        // The loader reads no more entries than the optional header holds, and never more than 16.
        const uint64_t room = (h.sectionTable - h.dataDirectories) / 8;
        uint64_t count = get32(bytes, countField);
        count = count < room ? count : room;
        h.directoryCount = static_cast<uint32_t>(count < kMaxDirectories ? count : kMaxDirectories);
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        Section s;
        s.headerOffset = h.sectionTable + size_t{i} * kSectionHeaderSize;
        const std::string name = bytes.substr(s.headerOffset, 8);
        s.name = name.substr(0, name.find('\0'));
        s.virtualSize = get32(bytes, s.headerOffset + 8);
        s.virtualAddress = get32(bytes, s.headerOffset + 12);
        s.rawSize = get32(bytes, s.headerOffset + 16);
        s.rawOffset = get32(bytes, s.headerOffset + 20);
        s.characteristics = get32(bytes, s.headerOffset + 36);
        h.sections.push_back(std::move(s));
    }
    return true;
}

} // namespace kestro::pe
