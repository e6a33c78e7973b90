#include "payload/payload_codec.h"

#include "payload/payload_format.h"

#include "binary/little_endian.h"
#include "pe/pe_image.h"

namespace kestro::payload {
namespace {

bool readInt32(const std::string& data, size_t* offset, int32_t* value) {
    if (*offset > data.size() || data.size() - *offset < 4)
        return false;
    *value = static_cast<int32_t>(binary::get32(data, *offset));
    *offset += 4;
    return true;
}

bool readBytes(const std::string& data, size_t* offset, int32_t length, std::string* bytes) {
    if (length < 0 || *offset > data.size() || data.size() - *offset < static_cast<size_t>(length))
        return false;
    bytes->assign(data, *offset, static_cast<size_t>(length));
    *offset += static_cast<size_t>(length);
    return true;
}

} // namespace

void appendInt32(std::string& out, int32_t value) {
    binary::append32(out, static_cast<uint32_t>(value));
}

void appendInt64(std::string& out, int64_t value) {
    binary::append64(out, static_cast<uint64_t>(value));
}

void appendTables(std::string& out, const PayloadTables& tables) {
    appendInt32(out, static_cast<int32_t>(kMagic));
    appendInt32(out, static_cast<int32_t>(tables.config.size()));
    for (const auto& [id, text] : tables.config) {
        appendInt32(out, id);
        appendInt32(out, static_cast<int32_t>(text.size()));
        out += text;
    }
    appendInt32(out, static_cast<int32_t>(tables.messages.size()));
    for (const auto& [id, text] : tables.messages) {
        appendInt32(out, id);
        appendInt32(out, static_cast<int32_t>(text.size() * 2));
        for (char16_t unit : text) {
            out.push_back(static_cast<char>(unit & 0xFF));
            out.push_back(static_cast<char>(unit >> 8));
        }
    }
}

void appendIncludedFile(std::string& out, const std::string& data) {
    appendInt64(out, static_cast<int64_t>(data.size()));
    size_t start = out.size();
    out += data;
    scrambleBytes(reinterpret_cast<uint8_t*>(&out[start]), data.size());
}

bool decodeTables(const std::string& data, size_t offset, PayloadTables* tables, size_t* end,
                  std::string* error) {
    if (offset > data.size() || data.size() - offset < 4) {
        *error = "no payload: the file ends where the payload should start";
        return false;
    }
    if (binary::get32(data, offset) != kMagic) {
        *error = "no payload: wrong magic number";
        return false;
    }
    offset += 4;
    tables->config.clear();
    tables->messages.clear();

    int32_t count;
    if (!readInt32(data, &offset, &count)) {
        *error = "truncated payload: configuration count";
        return false;
    }
    // Every record takes at least its id and length: a count the data cannot hold is cut off.
    if (count > 0 && static_cast<uint64_t>(count) > (data.size() - offset) / 8) {
        *error = "truncated payload: " + std::to_string(count) + " configuration records";
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        int32_t id, length;
        std::string text;
        if (!readInt32(data, &offset, &id) || !readInt32(data, &offset, &length) ||
            !readBytes(data, &offset, length, &text)) {
            *error = "truncated payload: configuration record " + std::to_string(i);
            return false;
        }
        tables->config.emplace_back(id, std::move(text));
    }

    if (!readInt32(data, &offset, &count)) {
        *error = "truncated payload: message count";
        return false;
    }
    if (count > 0 && static_cast<uint64_t>(count) > (data.size() - offset) / 8) {
        *error = "truncated payload: " + std::to_string(count) + " message records";
        return false;
    }
    for (int32_t i = 0; i < count; ++i) {
        int32_t id, length;
        std::string bytes;
        if (!readInt32(data, &offset, &id) || !readInt32(data, &offset, &length) ||
            !readBytes(data, &offset, length, &bytes)) {
            *error = "truncated payload: message record " + std::to_string(i);
            return false;
        }
        std::u16string text;
        for (size_t k = 0; k + 1 < bytes.size(); k += 2)
            text.push_back(static_cast<char16_t>(binary::get16(bytes, k)));
        tables->messages.emplace_back(id, std::move(text));
    }
    *end = offset;
    return true;
}

bool findPayloadStart(const std::string& image, size_t* start, std::string* error) {
    kestro::pe::Headers headers;
    if (!kestro::pe::readHeaders(image, &headers, error))
        return false;
    if (headers.sections.empty()) {
        *error = "PE executable without sections";
        return false;
    }
    const uint64_t end = headers.endOfLastSection();
    if (end > image.size()) {
        *error = "the last section's raw data extends past the end of the file";
        return false;
    }
    *start = static_cast<size_t>(end);
    return true;
}

} // namespace kestro::payload
