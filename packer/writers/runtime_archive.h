// What the runtime archive's writer and its checker share: the tar layout the launcher reads, the
// entry-name rule and the facts gathered over a whole runtime. Internal to the packer.
#pragma once

#include "tar/tar_rules.h"
#include "writers/runtime_bundle.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestro::packer::archive {

constexpr size_t kBlock = 512;
constexpr size_t kNameField = 100;
constexpr size_t kChunk = 1 << 16;
// The launcher's sizes, its progress divisor and its stream positions are signed 32-bit numbers.
constexpr int64_t kLimit = int64_t{1} << 31;
// Enough of a DLL's start to hold its PE headers and section table.
constexpr size_t kPeHeadBytes = kChunk;

using Block = std::array<char, kBlock>;

// What the rules over the whole runtime need to know, gathered entry by entry.
struct Inventory {
    bool hasRegularFile = false;
    bool hasBin = false;
    bool hasJavaExecutable = false;
    std::vector<std::pair<std::string, uint16_t>> jvmLibraries;
    std::vector<std::string> packFiles; // regular files ending in ".pack", "./" removed

    // head: the first bytes of a regular file, enough for its PE header where that matters
    void add(std::string name, bool regular, const std::string& head = std::string());
    // The facts of the whole runtime; false with error set when the launcher could not use it.
    bool conclude(RuntimeArchiveFacts* facts, std::string* error) const;
};

// The launcher turns '/' into '\\' and writes where the name leads: the shared entry rules decide.
bool admitName(tar::EntryNames& names, const std::string& name, bool directory, std::string* error);

} // namespace kestro::packer::archive
