#include "payload/payload_store.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConfigNumber, ReadsLikeAtoi) {
    struct Case {
        const char* text;
        int32_t expected;
    } cases[] = {
        {"5", 5},
        {" 12a", 12},
        {"abc", 0},
        {"", 0},
        {"-3", -3},
        {"+7", 7},
        {"\t\n 42", 42},
        {"- 3", 0},
        {"007", 7},
        {"12 34", 12},
        {"1,2", 1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseConfigNumber(c.text), c.expected) << "text: \"" << c.text << "\"";
}

TEST(ConfigNumber, OutOfRangeHoldsAtTheEndsInsteadOfWrapping) {
    EXPECT_EQ(parseConfigNumber("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(parseConfigNumber("2147483648"), INT32_MAX);
    EXPECT_EQ(parseConfigNumber("-99999999999999999999"), INT32_MIN);
}

TEST(ConfigColour, ComposesLikeWin32Rgb) {
    EXPECT_EQ(parseConfigColour("0,0,0"), 0u);
    EXPECT_EQ(parseConfigColour("255,128,0"), static_cast<uint32_t>(RGB(255, 128, 0)));
    EXPECT_EQ(parseConfigColour("255,128,0"), 0x0080FFu);
    EXPECT_EQ(parseConfigColour("1, 2, 3"), static_cast<uint32_t>(RGB(1, 2, 3)));
    // Each part is cut to 8 bits, so an out-of-range green cannot spill into blue.
    EXPECT_EQ(parseConfigColour("0,300,0"), static_cast<uint32_t>(RGB(0, 300 & 0xFF, 0)));
    EXPECT_EQ(parseConfigColour("256,0,511"), static_cast<uint32_t>(RGB(0, 0, 255)));
}

TEST(ConfigColour, MissingPartsReadAsZero) {
    EXPECT_EQ(parseConfigColour(""), 0u);
    EXPECT_EQ(parseConfigColour("10"), static_cast<uint32_t>(RGB(10, 0, 0)));
    EXPECT_EQ(parseConfigColour("10,20"), static_cast<uint32_t>(RGB(10, 20, 0)));
}

TEST(ConfigStore, AbsentIdsReadEmptyAndLeaveTheStoreEmpty) {
    char text[kTextCapacity] = "junk";
    getConfigText(4242, text, sizeof text);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(getConfigNumber(4242), 0);
    EXPECT_EQ(getConfigColour(4242), 0u);
    wchar_t message[kTextCapacity] = L"junk";
    getMessage(20013, message);
    EXPECT_STREQ(message, L"");
}

// The readers on a real file: each consumes exactly its width and texts get a terminator.
class PayloadReaders : public ::testing::Test {
  protected:
    void SetUp() override {
        GetTempPathA(MAX_PATH, directory);
        GetTempFileNameA(directory, "kst", 0, path);
    }
    void TearDown() override {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        DeleteFileA(path);
    }
    void write(const std::string& bytes) {
        HANDLE out =
            CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written;
        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(out);
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }
    char directory[MAX_PATH];
    char path[MAX_PATH];
    HANDLE file = INVALID_HANDLE_VALUE;
};

TEST_F(PayloadReaders, ReadLittleEndianIntegersOfEachWidth) {
    write(std::string("\x34\x12"
                      "\xD5\x13\xE4\xE8"
                      "\x01\x00\x00\x00\x01\x00\x00\x00",
                      14));
    EXPECT_EQ(readShort(file), 0x1234);
    EXPECT_EQ(static_cast<uint32_t>(readInt(file)), 0xE8E413D5u);
    EXPECT_EQ(readLong(file), 0x0000000100000001LL);
}

TEST_F(PayloadReaders, ReadLengthPrefixedTexts) {
    write(std::string("\x03\x00\x00\x00"
                      "abc"
                      "\x04\x00\x00\x00"
                      "\xFC\x00\x41\x00"
                      "\x00\x00\x00\x00",
                      19));
    char* narrow = readString(file);
    EXPECT_STREQ(narrow, "abc");
    delete[] narrow;
    wchar_t* wide = readWString(file);
    EXPECT_STREQ(wide, L"\u00FCA");
    delete[] wide;
    char* empty = readString(file);
    EXPECT_STREQ(empty, "");
    delete[] empty;
}

TEST_F(PayloadReaders, OddWideLengthDropsTheLastByte) {
    write(std::string("\x03\x00\x00\x00"
                      "A\x00Z"
                      "\x02\x00\x00\x00"
                      "ok",
                      13));
    wchar_t* wide = readWString(file);
    EXPECT_STREQ(wide, L"A");
    delete[] wide;
    char* next = readString(file);
    EXPECT_STREQ(next, "ok");
    delete[] next;
}

} // namespace
