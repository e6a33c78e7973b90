// The headers of a PE image (a Windows executable or DLL): the one reader that finds the payload
// behind a launcher stub, rewrites its resources, locates its signature and tells a DLL's machine.
// Every field it reads lies inside the bytes it was given; it never follows an address into the
// sections themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestro::pe {

constexpr uint16_t kPe32 = 0x10b;
constexpr uint16_t kPe32Plus = 0x20b;
constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kMachineX86 = 0x014c;

// Indexes of the data directories that matter here.
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kCertificateDirectory = 4; // its address is a file offset, not an RVA
constexpr uint32_t kRelocationDirectory = 5;

constexpr size_t kSectionHeaderSize = 40;

struct Section {
    size_t headerOffset = 0; // where its header lies in the file
    std::string name;        // up to 8 bytes, without the zeros that pad it
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0, characteristics = 0;
};

struct Headers {
    size_t signature = 0; // file offset of "PE\0\0", as e_lfanew gives it
    uint16_t machine = 0;
    size_t optionalHeader = 0; // file offset of the optional header, right after the file header
    uint16_t optionalSize = 0;
    // kPe32 or kPe32Plus; 0 for an optional header of neither kind, which leaves the fields below
    // it 0 and no data directories.
    uint16_t magic = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfHeaders = 0;
    size_t dataDirectories = 0;  // file offset of the first data directory entry
    uint32_t directoryCount = 0; // entries that lie inside the optional header, at most 16
    size_t sectionTable = 0;
    std::vector<Section> sections; // in table order

    // File offsets of fields of a PE32 or PE32+ optional header (magic not 0).
    size_t sizeOfInitializedDataField() const { return optionalHeader + 8; }
    size_t sizeOfImageField() const { return optionalHeader + 56; }
    size_t checksumField() const { return optionalHeader + 64; }
    size_t numberOfSectionsField() const { return signature + 6; }

    // The file offset of data directory index's entry (address, then size), or 0 when the optional
    // header holds no such entry.
    size_t directoryField(uint32_t index) const;

    // Where the raw data of the last section in table order ends: where the payload of a launcher
    // starts, whatever section that header describes. 0 without sections.
    uint64_t endOfLastSection() const;
};

// Reads the headers from bytes, the start of the file (at least up to the end of its section
// table). Returns false and says why in error for bytes that hold no PE image: no "MZ", a PE
// signature outside bytes or other than "PE\0\0", or a section table that runs past the end of bytes.
bool readHeaders(const std::string& bytes, Headers* headers, std::string* error);

} // namespace kestro::pe
