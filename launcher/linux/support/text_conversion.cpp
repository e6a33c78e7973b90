// Linux's texts: 8-bit texts are UTF-8 (the packer writes a Linux launcher's configuration in UTF-8,
// and Linux names files in it); 16-bit texts hold UTF-16 units, one per wchar_t.
#include "support/text_conversion.h"

#include "launch/arguments.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[*at], which moves past it; U+FFFD for a malformed sequence, of
// which one byte is taken.
char32_t decodeUtf8(const unsigned char* text, size_t length, size_t* at) {
    const unsigned char lead = text[(*at)++];
    if (lead < 0x80)
        return lead;
    size_t count;
    char32_t point;
    char32_t smallest;
    if ((lead & 0xE0) == 0xC0) {
        count = 1, point = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 2, point = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 3, point = lead & 0x07, smallest = 0x10000;
    } else {
        return kReplacement;
    }
    if (*at + count > length)
        return kReplacement;
    for (size_t i = 0; i < count; ++i) {
        if ((text[*at + i] & 0xC0) != 0x80)
            return kReplacement;
        point = point << 6 | (text[*at + i] & 0x3F);
    }
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return kReplacement;
    *at += count;
    return point;
}

void appendUtf8(std::string& out, char32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

} // namespace

std::wstring wideFromNarrow(const char* text) {
    std::wstring wide;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const size_t length = std::char_traits<char>::length(text);
    for (size_t at = 0; at < length;) {
        const char32_t point = decodeUtf8(bytes, length, &at);
        if (point >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(point);
        }
    }
    return wide;
}

// An unpaired surrogate becomes U+FFFD.
std::string narrowFromWide(const std::wstring& text) {
    std::string narrow;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t unit = static_cast<char32_t>(text[i]) & 0xFFFF;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && (text[i + 1] & 0xFC00) == 0xDC00)
            unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) & 0x3FF);
        else if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = kReplacement;
        appendUtf8(narrow, unit);
    }
    return narrow;
}

std::wstring widePath(const char* path) {
    return wideFromNarrow(path);
}

std::string argumentForLog(const std::wstring& argument) {
    return narrowFromWide(argument);
}
