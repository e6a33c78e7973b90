// The question asked without a runtime: its format comes from the payload and must not read past the
// two version texts it is given.
#include "startup/dialogs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The composed question; usable says whether the format is expected to be filled.
std::wstring question(const wchar_t* format, const char* minimum, const char* maximum, size_t capacity = 8192,
                      bool usable = true) {
    std::wstring out(capacity, L'#');
    EXPECT_EQ(composeQuestion(format, minimum, maximum, &out[0], capacity), usable) << format;
    return out.c_str();
}

TEST(QuestionText, VersionsFillTheFormatAndAnOpenBoundShowsAsDash) {
    EXPECT_EQ(question(L"Java %S to %S (100%%)", "1.8", "11"), L"Java 1.8 to 11 (100%)");
    EXPECT_EQ(question(L"Java %S \u2013 %S", "", ""), L"Java - \u2013 -");
    EXPECT_EQ(question(L"Java %S or newer", "1.8", "11"), L"Java 1.8 or newer");
    EXPECT_EQ(question(L"No Java found.", "1.8", "11"), L"No Java found.");
}

TEST(QuestionText, AFormatThatWouldReadOtherArgumentsIsShownAsItIs) {
    for (const wchar_t* hostile : {L"%S %S %S", L"%s to %S", L"%n%S", L"%ls", L"%*S", L"Java %S%", L"%d %S"})
        EXPECT_EQ(question(hostile, "1.8", "11", 8192, false), hostile);
}

TEST(QuestionText, ALongResultIsCutAndTerminated) {
    EXPECT_EQ(question(L"Java %S to %S", "1.8", "11", 8), L"Java 1.");
    EXPECT_EQ(question(L"%S %S %S and more", "1.8", "11", 5, false), L"%S %");
}

} // namespace
