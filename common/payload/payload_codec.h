// Encoding and decoding of the payload's two tables and included-file section as bytes in memory.
// Used by the packer and by tools that inspect a finished launcher; the launcher itself reads the
// same layout straight from its file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestro::payload {

struct PayloadTables {
    // Records in payload order. A later record with the same id replaces an earlier one when read.
    std::vector<std::pair<int32_t, std::string>> config;
    std::vector<std::pair<int32_t, std::u16string>> messages;
};

// Appends the magic and both tables to out.
void appendTables(std::string& out, const PayloadTables& tables);

// Appends one included file: its int64 size and the data scrambled with kIncludedFileKey.
void appendIncludedFile(std::string& out, const std::string& data);

// Appends little-endian integers.
void appendInt32(std::string& out, int32_t value);
void appendInt64(std::string& out, int64_t value);

// Reads the magic and both tables from data[offset..size). Returns false and sets error on a wrong
// magic or a truncated table; on success sets *end to the offset just after the message table.
bool decodeTables(const std::string& data, size_t offset, PayloadTables* tables, size_t* end,
                  std::string* error);

// Finds where the payload starts: in a PE image (a Windows launcher) the end of the last section's raw
// data in table order, in an ELF image (a Linux launcher) the end of the image (elf/elf_image.h).
// Returns false and sets error when the headers are missing or point outside the image.
bool findPayloadStart(const std::string& image, size_t* start, std::string* error);

} // namespace kestro::payload
