#include "support/text_encoding.h"

#include <gtest/gtest.h>

namespace kestro::packer {
namespace {

struct Cp1252Case {
    const char* utf8;
    const char* cp1252;
};

TEST(TextEncoding, Utf8ToCp1252MapsLatinAndTheWindowsPunctuationRange) {
    const Cp1252Case cases[] = {
        {"plain ASCII", "plain ASCII"},
        {"caf\xC3\xA9", "caf\xE9"},                 // é, same code point in Latin-1
        {"\xE2\x82\xAC 5", "\x80 5"},               // € sits in the 0x80..0x9F block
        {"\xC5\xB8", "\x9F"},                       // Ÿ, last of that block
        {"\xE2\x80\x9Cq\xE2\x80\x9D", "\x93q\x94"}, // curly quotes
        {"", ""},
    };
    for (const Cp1252Case& row : cases) {
        std::string converted, error;
        ASSERT_TRUE(utf8ToCp1252(row.utf8, &converted, &error)) << row.utf8 << ": " << error;
        EXPECT_EQ(converted, row.cp1252) << row.utf8;
        EXPECT_EQ(cp1252ToUtf8(converted), row.utf8);
    }
}

TEST(TextEncoding, Utf8ToCp1252RejectsWhatTheCodePageCannotHold) {
    const std::pair<const char*, const char*> cases[] = {
        {"\xC4\x80", "U+0100"},             // Latin Extended-A outside the code page
        {"ok \xF0\x9F\x98\x80", "U+1F600"}, // beyond the BMP
        {"\xC2\x81", "U+0081"},             // a C1 control the code page leaves undefined
        {"\xE4\xB8\xAD", "U+4E2D"},
    };
    for (const auto& [utf8, named] : cases) {
        std::string converted, error;
        EXPECT_FALSE(utf8ToCp1252(utf8, &converted, &error)) << utf8;
        EXPECT_NE(error.find(named), std::string::npos) << error;
    }
    std::string converted, error;
    EXPECT_FALSE(utf8ToCp1252("\xC3", &converted, &error)) << "cut-off sequence";
    EXPECT_FALSE(utf8ToCp1252("\xC0\xAF", &converted, &error)) << "overlong slash";
}

TEST(TextEncoding, EveryDefinedCp1252ByteSurvivesTheRoundTrip) {
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D)
            continue;
        std::string original(1, static_cast<char>(byte)), back, error;
        ASSERT_TRUE(utf8ToCp1252(cp1252ToUtf8(original), &back, &error)) << byte;
        EXPECT_EQ(back, original) << byte;
    }
}

TEST(TextEncoding, Utf16UsesSurrogatePairsAndRoundTrips) {
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    std::u16string wide;
    std::string error;
    ASSERT_TRUE(utf8ToUtf16(utf8, &wide, &error)) << error;
    EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(utf16ToUtf8(wide), utf8);
    EXPECT_EQ(utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx") << "unpaired surrogate";
}

} // namespace
} // namespace kestro::packer
