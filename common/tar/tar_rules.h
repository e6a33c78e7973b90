// The rules a shipped runtime archive's entries must meet, shared by the launcher's tar reader and the
// packer's check of an archive, so that every archive the packer accepts the launcher unpacks whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace kestro::tar {

constexpr size_t kBlockSize = 512;
constexpr size_t kNameOffset = 0;
constexpr size_t kNameLength = 100;
constexpr size_t kSizeOffset = 124;
constexpr size_t kSizeLength = 12;
constexpr size_t kTypeOffset = 156;
constexpr size_t kMagicOffset = 257;
constexpr size_t kPrefixOffset = 345;
constexpr char kRegularFile = '0';
constexpr char kDirectory = '5';

// Reads the 12-byte size field: optional leading blanks, octal digits, then nothing but blanks and
// zero bytes (an all-zero field is 0). Returns null with *size set, or why the field is refused:
// anything else in the field, or a value of 2^31 or more (the launcher counts in signed 32 bits).
const char* parseSizeField(const char* field, int32_t* size);

// Admits the names of an archive's files and directories one entry at a time, remembering what the
// earlier ones made (their parent directories included), so that each one can be written on Windows
// without disturbing another.
class EntryNames {
  public:
    // Checks the name field (length bytes, up to its first zero byte) of a regular file or a
    // directory. Returns null and sets *path to the name with '\\' separators, without "." or empty
    // components and without a trailing separator (empty for a directory naming the root itself), or
    // returns why the name is refused: a field without a terminator, a file without a name or with a
    // trailing separator, a character other than printable ASCII or one Windows forbids in a name, a
    // way out of the target directory, a component Windows would alter (a trailing dot or blank, a
    // device name such as "con" or "lpt1.txt"), or a path that an earlier entry made as the other kind
    // or spelled in another letter case.
    const char* admit(const char* field, size_t length, bool directory, std::string* path);

  private:
    struct Made {
        std::string spelling;
        bool directory;
    };
    const char* record(const std::string& path, bool directory);

    std::map<std::string, Made> made_; // by the path as Windows compares it (names::folded)
};

} // namespace kestro::tar
