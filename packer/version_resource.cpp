#include "version_resource.h"

#include "text_encoding.h"

#include <cstdint>

namespace kestro::packer {
namespace {

// US English, Unicode: the table's key and the translation Windows looks the strings up by.
constexpr char16_t kStringTableKey[] = u"040904B0";
constexpr uint32_t kTranslation = 0x04B00409u;

void append16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}
void append32(std::string& out, uint32_t value) {
    append16(out, value & 0xffff);
    append16(out, value >> 16);
}
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

bool parseVersion(const std::string& text, uint32_t* high, uint32_t* low, std::string* error) {
    uint32_t parts[4] = {0, 0, 0, 0};
    size_t count = 0, at = 0;
    while (true) {
        size_t end = at;
        uint32_t value = 0;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && value <= 65535)
            value = value * 10 + static_cast<uint32_t>(text[end++] - '0');
        if (end == at || value > 65535 || count == 4) {
            *error =
                "\"" + text + "\" is not a version of up to four numbers from 0 to 65535, such as 1.2.3.4";
            return false;
        }
        parts[count++] = value;
        if (end == text.size())
            break;
        if (text[end] != '.' || end + 1 == text.size()) {
            *error =
                "\"" + text + "\" is not a version of up to four numbers from 0 to 65535, such as 1.2.3.4";
            return false;
        }
        at = end + 1;
    }
    *high = parts[0] << 16 | parts[1];
    *low = parts[2] << 16 | parts[3];
    return true;
}

} // namespace

bool buildVersionResource(const VersionInfo& info, std::string* block, std::string* error) {
    uint32_t file[2], product[2];
    if (!parseVersion(info.fileVersion, &file[0], &file[1], error) ||
        !parseVersion(info.productVersion.empty() ? info.fileVersion : info.productVersion, &product[0],
                      &product[1], error))
        return false;
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
