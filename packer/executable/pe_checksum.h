// The PE checksum Windows checks for drivers and system DLLs and tools show for every executable:
// the file's 16-bit little-endian words summed with end-around carry, the checksum field counted as
// zero, plus the file's length. Computed over the finished launcher, payload and all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestro::packer {

// The checksum of a file written in parts, fed in file order. The checksum field itself must be
// fed as zeros.
class PeChecksum {
  public:
    void add(const char* data, size_t size);
    uint32_t value() const;

  private:
    uint64_t sum_ = 0;    // words summed without carry, folded by value()
    uint64_t length_ = 0; // bytes fed so far: their parity places the next byte in its word
};

// The checksum of image, with the four bytes at checksumField counted as zeros.
uint32_t peChecksum(const std::string& image, size_t checksumField);

} // namespace kestro::packer
