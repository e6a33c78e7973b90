#include "executable/version_resource.h"

#include "support/text_encoding.h"

#include "binary/little_endian.h"

#include <algorithm>
#include <cstdint>

namespace kestro::packer {
namespace {

// US English, Unicode: the table's key and the translation Windows looks the strings up by.
constexpr char16_t kStringTableKey[] = u"040904B0";
constexpr uint32_t kTranslation = 0x04B00409u;

using binary::append16;
using binary::append32;
using binary::get16;
using binary::get32;
void alignTo4(std::string& out) {
    out.resize((out.size() + 3) & ~size_t{3}, '\0');
}
void appendText(std::string& out, const std::u16string& text) {
    for (char16_t c : text)
        append16(out, c);
    append16(out, 0);
}

// One node of the version tree: length, value length (in WCHARs for text), type, key, value, children,
// each part starting on a 4-byte boundary. Every node starts 4-aligned, so relative alignment is enough.
std::string node(const std::u16string& key, const std::string& value, uint16_t valueLength, bool text,
                 const std::vector<std::string>& children = {}) {
    std::string out(6, '\0');
    appendText(out, key);
    alignTo4(out);
    out += value;
    for (const std::string& child : children) {
        alignTo4(out);
        out += child;
    }
    out[0] = static_cast<char>(out.size() & 0xff);
    out[1] = static_cast<char>(out.size() >> 8);
    out[2] = static_cast<char>(valueLength & 0xff);
    out[3] = static_cast<char>(valueLength >> 8);
    out[4] = text ? 1 : 0;
    return out;
}

// Reads up to four numbers from 0 to 65535 separated by dots at the start of text into the fixed
// fields' halves. Returns how many characters they took: 0 when text starts with no such number.
size_t leadingVersion(const std::string& text, uint32_t* high, uint32_t* low) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t count = 0, at = 0, taken = 0;
    while (count < 4) {
        size_t end = at;
        uint32_t value = 0;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && value <= 65535)
            value = value * 10 + static_cast<uint32_t>(text[end++] - '0');
        if (end == at || value > 65535 || (end < text.size() && text[end] >= '0' && text[end] <= '9'))
            break;
        parts[count++] = value;
        taken = end;
        if (end == text.size() || text[end] != '.')
            break;
        at = end + 1;
    }
    *high = parts[0] << 16 | parts[1];
    *low = parts[2] << 16 | parts[3];
    return count == 0 ? 0 : taken;
}

bool parseVersion(const std::string& text, uint32_t* high, uint32_t* low, std::string* error) {
    if (text.empty() || leadingVersion(text, high, low) != text.size()) {
        *error = "\"" + text + "\" is not a version of up to four numbers from 0 to 65535, such as 1.2.3.4";
        return false;
    }
    return true;
}

// A node read from a block: its key, where its value lies and where its children lie.
struct VersionNode {
    std::u16string key;
    size_t valueAt = 0, valueBytes = 0, childrenAt = 0, end = 0;
};

// Reads the node at `at`, which must end by `limit`. The value length counts UTF-16 units for texts.
bool readNode(const std::string& block, size_t at, size_t limit, VersionNode* node) {
    if (at + 6 > limit)
        return false;
    const size_t length = get16(block, at), valueLength = get16(block, at + 2);
    const bool text = get16(block, at + 4) == 1;
    if (length < 6 || length > limit - at)
        return false;
    node->end = at + length;
    node->key.clear();
    size_t i = at + 6;
    for (; i + 2 <= node->end && get16(block, i) != 0; i += 2)
        node->key += static_cast<char16_t>(get16(block, i));
    if (i + 2 > node->end)
        return false;
    node->valueAt = std::min((i + 2 + 3) & ~size_t{3}, node->end);
    node->valueBytes = std::min(valueLength * (text ? size_t{2} : 1), node->end - node->valueAt);
    node->childrenAt = std::min((node->valueAt + node->valueBytes + 3) & ~size_t{3}, node->end);
    return true;
}

std::string versionText(uint32_t high, uint32_t low) {
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xffff) + "." +
           std::to_string(low >> 16) + "." + std::to_string(low & 0xffff);
}

} // namespace

bool readVersionResource(const std::string& block, VersionInfo* info) {
    VersionNode root;
    if (!readNode(block, 0, block.size(), &root) || root.key != u"VS_VERSION_INFO" || root.valueBytes < 52 ||
        get32(block, root.valueAt) != 0xFEEF04BDu)
        return false;
    info->fileVersion = versionText(get32(block, root.valueAt + 8), get32(block, root.valueAt + 12));
    info->productVersion = versionText(get32(block, root.valueAt + 16), get32(block, root.valueAt + 20));
    info->strings.clear();
    VersionNode child, table, entry;
    for (size_t at = root.childrenAt; readNode(block, at, root.end, &child);
         at = (child.end + 3) & ~size_t{3}) {
        if (child.key != u"StringFileInfo" || !readNode(block, child.childrenAt, child.end, &table))
            continue;
        for (size_t e = table.childrenAt; readNode(block, e, table.end, &entry);
             e = (entry.end + 3) & ~size_t{3}) {
            std::u16string value;
            for (size_t i = entry.valueAt; i + 2 <= entry.valueAt + entry.valueBytes && get16(block, i) != 0;
                 i += 2)
                value += static_cast<char16_t>(get16(block, i));
            info->strings.emplace_back(utf16ToUtf8(entry.key), utf16ToUtf8(value));
        }
        break;
    }
    return true;
}

bool checkFileVersion(const std::string& text, std::string* error) {
    uint32_t high, low;
    return parseVersion(text, &high, &low, error);
}

bool buildVersionResource(const VersionInfo& info, std::string* block, std::string* error) {
    uint32_t file[2], product[2];
    if (!parseVersion(info.fileVersion, &file[0], &file[1], error))
        return false;
    if (leadingVersion(info.productVersion, &product[0], &product[1]) == 0) {
        product[0] = file[0];
        product[1] = file[1];
    }
    std::string fixed;
    for (uint32_t field : {0xFEEF04BDu, 0x00010000u, file[0], file[1], product[0], product[1], 0x3Fu, 0u,
                           0x00040004u /* Windows NT */, 1u /* application */, 0u, 0u, 0u})
        append32(fixed, field);

    std::vector<std::string> strings;
    for (const auto& [name, utf8] : info.strings) {
        std::u16string key, value;
        if (!utf8ToUtf16(name, &key, error) || !utf8ToUtf16(utf8, &value, error))
            return false;
        std::string text;
        appendText(text, value);
        strings.push_back(node(key, text, static_cast<uint16_t>(value.size() + 1), true));
    }
    std::string translation;
    append32(translation, kTranslation);
    const std::string root =
        node(u"VS_VERSION_INFO", fixed, static_cast<uint16_t>(fixed.size()), false,
             {node(u"StringFileInfo", "", 0, true, {node(kStringTableKey, "", 0, true, strings)}),
              node(u"VarFileInfo", "", 0, true, {node(u"Translation", translation, 4, false)})});
    if (root.size() > 0xffff) {
        *error = "the version texts are too long together";
        return false;
    }
    *block = root;
    return true;
}

} // namespace kestro::packer
