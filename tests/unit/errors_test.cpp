#include "support/error_boxes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string substituted(const char* text, const char* argument, size_t capacity = 8192) {
    std::string out(capacity, '\0');
    substituteArgument(text, argument, &out[0], capacity);
    return out.c_str();
}

TEST(SubstituteArgument, ReplacesOnlyTheFirstPlaceholder) {
    EXPECT_EQ(substituted("Set {0} to a JDK.", "KESTRO_JAVA_HOME"), "Set KESTRO_JAVA_HOME to a JDK.");
    EXPECT_EQ(substituted("{0} and {0}", "A"), "A and {0}");
    EXPECT_EQ(substituted("{0}", "whole"), "whole");
    EXPECT_EQ(substituted("end {0}", ""), "end ");
    EXPECT_EQ(substituted("no placeholder", "x"), "no placeholder");
    EXPECT_EQ(substituted("{1} {a} {0", "x"), "{1} {a} {0");
}

TEST(SubstituteArgument, NullArgumentKeepsThePlaceholder) {
    EXPECT_EQ(substituted("code {0}", nullptr), "code {0}");
}

TEST(SubstituteArgument, CutsSoundlyAtTheBuffer) {
    char out[8];
    EXPECT_FALSE(substituteArgument("ab{0}cd", "123456", out, sizeof out));
    EXPECT_STREQ(out, "ab12345");
    EXPECT_TRUE(substituteArgument("ab{0}", "12", out, sizeof out));
    EXPECT_STREQ(out, "ab12");
}

TEST(ComposeErrorText, AppendsTheLogAfterAnEmptyLine) {
    char out[8192];
    EXPECT_TRUE(
        composeErrorText("Internal Error: magic", "C:\\users\\me\\Temp\\qvx_nlog_2", out, sizeof out));
    EXPECT_STREQ(out, "Internal Error: magic\n\nLog: C:\\users\\me\\Temp\\qvx_nlog_2");
    EXPECT_TRUE(composeErrorText("alone", nullptr, out, sizeof out));
    EXPECT_STREQ(out, "alone");
}

TEST(ComposeErrorText, WideMessageWithEightBitLogPath) {
    wchar_t out[8192];
    EXPECT_TRUE(composeErrorTextWide(L"Kaputt \u00FC \u4E2D", "c:\\qvx_nlog", out, 8192));
    EXPECT_STREQ(out, L"Kaputt \u00FC \u4E2D\n\nLog: c:\\qvx_nlog");
}

TEST(ComposeErrorText, TooLongIsCutAndTerminated) {
    std::string message(9000, 'm');
    char out[8192];
    EXPECT_FALSE(composeErrorText(message.c_str(), "c:\\log", out, sizeof out));
    EXPECT_EQ(std::string(out).size(), sizeof out - 1);
    wchar_t wide[16];
    EXPECT_FALSE(composeErrorTextWide(L"0123456789", "c:\\log", wide, 16));
    EXPECT_STREQ(wide, L"0123456789\n\nLog");
}

// Message boxes until the switch; nothing switches them back.
TEST(ConsoleErrors, SwitchIsOneWay) {
    EXPECT_FALSE(consoleErrorsEnabled());
    useConsoleErrors();
    EXPECT_TRUE(consoleErrorsEnabled());
    useConsoleErrors();
    EXPECT_TRUE(consoleErrorsEnabled());
}

} // namespace
