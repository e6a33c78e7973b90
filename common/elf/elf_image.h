// The headers of an ELF image (a Linux executable or shared library), as far as a launcher needs them:
// where the image ends, so that the payload of a Linux launcher follows it as a Windows launcher's
// follows its last section, and which machine it was built for. 64-bit little-endian images only.
// Every field it reads lies inside the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestro::elf {

constexpr uint16_t kMachineX86_64 = 62;

// The fixed part every image starts with: enough to find both header tables.
constexpr size_t kFileHeaderSize = 64;

struct Headers {
    uint16_t type = 0; // 2 executable, 3 shared object (a position-independent executable too)
    uint16_t machine = 0;
    uint64_t programHeaders = 0, sectionHeaders = 0; // file offsets of the tables, 0 when absent
    uint16_t programHeaderSize = 0, programHeaderCount = 0;
    uint16_t sectionHeaderSize = 0, sectionHeaderCount = 0;

    // Bytes from the start of the file that the header tables need: the whole file header and both
    // tables.
    uint64_t tablesEnd() const;
};

// True when bytes start like an ELF image (of any class).
bool looksLikeElf(const std::string& bytes);

// Reads the file header from the first kFileHeaderSize bytes. Returns false and says why for bytes
// that hold no 64-bit little-endian ELF image, or whose tables have entries of an impossible size.
bool readHeaders(const std::string& bytes, Headers* headers, std::string* error);

// Where the image ends: the furthest of the section header table, the file contents of every section
// and of every segment. bytes holds the file from its start at least up to headers.tablesEnd().
// Returns false and says why when a table or what it describes lies outside the file of fileSize bytes.
bool imageEnd(const std::string& bytes, const Headers& headers, uint64_t fileSize, uint64_t* end,
              std::string* error);

} // namespace kestro::elf
