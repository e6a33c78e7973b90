#include "support/text_encoding.h"

#include <cstdint>
#include <cstdio>

namespace kestro::packer {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Code page 1252 bytes 0x80..0x9F; 0 marks the five bytes it leaves undefined. All other bytes equal
// their Unicode code point.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::string codePointName(char32_t codePoint) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(codePoint));
    return name;
}

// Decodes one code point at *pos and advances it; returns false on malformed or overlong input.
bool decodeUtf8(const std::string& text, size_t* pos, char32_t* codePoint) {
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byteAt(*pos);
    int continuation;
    char32_t value;
    if (lead < 0x80) {
        continuation = 0;
        value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        continuation = 1;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        continuation = 2;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        continuation = 3;
        value = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - *pos <= static_cast<size_t>(continuation))
        return false;
    for (int i = 1; i <= continuation; ++i) {
        unsigned char next = byteAt(*pos + i);
        if ((next & 0xC0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallestOfLength[4] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallestOfLength[continuation] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return false;
    *pos += continuation + 1;
    *codePoint = value;
    return true;
}

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

bool cp1252ByteFor(char32_t codePoint, unsigned char* byte) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
        *byte = static_cast<unsigned char>(codePoint);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == codePoint) {
            *byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

std::string malformedAt(size_t pos) {
    return "malformed UTF-8 at byte " + std::to_string(pos);
}

} // namespace

bool utf8ToCp1252(const std::string& utf8, std::string* cp1252, std::string* error) {
    std::string out;
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t codePoint;
        if (!decodeUtf8(utf8, &pos, &codePoint)) {
            *error = malformedAt(pos);
            return false;
        }
        unsigned char byte;
        if (!cp1252ByteFor(codePoint, &byte)) {
            *error =
                "character " + codePointName(codePoint) + " cannot be written in the Windows code page 1252";
            return false;
        }
        out.push_back(static_cast<char>(byte));
    }
    *cp1252 = std::move(out);
    return true;
}

std::string cp1252ToUtf8(const std::string& cp1252) {
    std::string out;
    for (char c : cp1252) {
        auto byte = static_cast<unsigned char>(c);
        char32_t codePoint = byte;
        if (byte >= 0x80 && byte < 0xA0)
            codePoint = kCp1252High[byte - 0x80] != 0 ? kCp1252High[byte - 0x80] : kReplacement;
        appendUtf8(out, codePoint);
    }
    return out;
}

bool utf8ToUtf16(const std::string& utf8, std::u16string* utf16, std::string* error) {
    std::u16string out;
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t codePoint;
        if (!decodeUtf8(utf8, &pos, &codePoint)) {
            *error = malformedAt(pos);
            return false;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(codePoint));
        }
    }
    *utf16 = std::move(out);
    return true;
}

std::string utf16ToUtf8(const std::u16string& utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t unit = utf16[i];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool lowFollows = i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF;
        if (high && lowFollows) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

std::string shownInMessage(const std::string& text, size_t limit) {
    if (text.size() <= limit)
        return text;
    size_t cut = limit - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    return text.substr(0, cut) + "...";
}

} // namespace kestro::packer
