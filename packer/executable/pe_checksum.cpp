#include "executable/pe_checksum.h"

#include <algorithm>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the sum reads the file's words in host order");

namespace kestro::packer {

void PeChecksum::add(const char* data, size_t size) {
    const auto byte = [](char c) { return static_cast<uint64_t>(static_cast<uint8_t>(c)); };
    if (size > 0 && (length_ & 1) != 0) {
        sum_ += byte(*data++) << 8;
        --size;
        ++length_;
    }
    // Eight bytes at a time, four words in two lanes of 32 bits each; a lane gains at most 0x1fffe a
    // step, so the lanes are emptied into the sum before they could overflow.
    constexpr uint64_t kLowWords = 0x0000ffff0000ffffull;
    constexpr size_t kStepsPerFlush = 1 << 15;
    while (size >= 8) {
        uint64_t lanes = 0;
        size_t steps = 0;
        for (; size >= 8 && steps < kStepsPerFlush; ++steps, data += 8, size -= 8) {
            uint64_t eight;
            std::memcpy(&eight, data, 8); // little-endian host: the file's byte order
            lanes += (eight & kLowWords) + ((eight >> 16) & kLowWords);
        }
        sum_ += (lanes & 0xffffffffu) + (lanes >> 32);
        length_ += steps * 8;
    }
    for (; size > 0; --size, ++data, ++length_)
        sum_ += (length_ & 1) != 0 ? byte(*data) << 8 : byte(*data);
}

uint32_t PeChecksum::value() const {
    uint64_t sum = sum_;
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + length_);
}

uint32_t peChecksum(const std::string& image, size_t checksumField) {
    PeChecksum sum;
    const size_t before = std::min(checksumField, image.size());
    sum.add(image.data(), before);
    const char zeros[4] = {};
    if (before < image.size()) {
        const size_t field = std::min<size_t>(4, image.size() - before);
        sum.add(zeros, field);
        sum.add(image.data() + before + field, image.size() - before - field);
    }
    return sum.value();
}

} // namespace kestro::packer
