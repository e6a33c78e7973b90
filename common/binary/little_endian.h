// Little-endian integers in byte strings, as the PE format, icon and bitmap files and the payload
// store them. The readers take an offset the caller has checked against the string's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestro::binary {

inline uint16_t get16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

inline uint32_t get32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(get16(bytes, at)) | static_cast<uint32_t>(get16(bytes, at + 2)) << 16;
}

inline uint64_t get64(const std::string& bytes, size_t at) {
    return static_cast<uint64_t>(get32(bytes, at)) | static_cast<uint64_t>(get32(bytes, at + 4)) << 32;
}

inline void put16(std::string& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xff);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

inline void put32(std::string& bytes, size_t at, uint32_t value) {
    put16(bytes, at, static_cast<uint16_t>(value & 0xffff));
    put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

inline void append16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8);
}

inline void append32(std::string& out, uint32_t value) {
    append16(out, static_cast<uint16_t>(value & 0xffff));
    append16(out, static_cast<uint16_t>(value >> 16));
}

inline void append64(std::string& out, uint64_t value) {
    append32(out, static_cast<uint32_t>(value & 0xffffffffu));
    append32(out, static_cast<uint32_t>(value >> 32));
}

} // namespace kestro::binary
