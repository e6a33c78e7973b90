#include "launch/variable_expansion.h"

#include "startup/startup_state.h"
#include "support/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string expanded(const std::string& text) {
    char buffer[kExpansionCapacity];
    snprintf(buffer, sizeof buffer, "%s", text.c_str());
    expandVariables(buffer);
    return buffer;
}

class VariableExpansion : public testing::Test {
  protected:
    void SetUp() override {
        setExtractionDirectory("C:\\tmp\\e1");
        setJvmHome("D:\\j2re\\bin\\javaw.exe");
        exeDirectory = executableDirectory();
    }
    std::string exeDirectory;
};

TEST_F(VariableExpansion, EachFixedTokenHasItsValue) {
    const struct {
        const char* token;
        std::string value;
    } rows[] = {
        {"%KESTRO_EXEDIR%", "exe"},
        {"%SORVANA_EXEDIR%", "exe"},
        {"%KESTRO_TEMPDIR%", "C:\\tmp\\e1"},
        {"%SORVANA_TEMPDIR%", "C:\\tmp\\e1"},
        {"%KESTRO_PATHLIST_SEPARATOR%", ";"},
        {"%SORVANA_PATHLIST_SEPARATOR%", ";"},
        {"%KESTRO_JVM_HOME%", "D:\\j2re\\bin\\.."},
        {"%SORVANA_JVM_HOME%", "D:\\j2re\\bin\\.."},
        {"${KESTRO_EXEDIR}", "exe"},
        {"${SORVANA_EXEDIR}", "exe"},
        {"${KESTRO_TEMPDIR}", "C:\\tmp\\e1"},
        {"${SORVANA_TEMPDIR}", "C:\\tmp\\e1"},
        {"${KESTRO_PATHLIST_SEPARATOR}", ";"},
        {"${SORVANA_PATHLIST_SEPARATOR}", ";"},
        {"${KESTRO_JVM_HOME}", "D:\\j2re\\bin\\.."},
        {"${SORVANA_JVM_HOME}", "D:\\j2re\\bin\\.."},
        {"${launcher:sys.launcherDirectory}", "exe"},
        {"${launcher:sys.launcherTempDirectory}", "C:\\tmp\\e1"},
        {"${launcher:sys.pathlistSeparator}", ";"},
        {"${launcher:sys.jvmHome}", "D:\\j2re\\bin\\.."},
    };
    for (const auto& row : rows) {
        const std::string value = row.value == "exe" ? exeDirectory : row.value;
        EXPECT_EQ(expanded(std::string("<") + row.token + ">"), "<" + value + ">") << row.token;
        // Tokens are case-sensitive.
        std::string lower = row.token;
        for (char& c : lower)
            c = char(tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(expanded(lower), lower) << row.token;
    }
}

TEST_F(VariableExpansion, PathsJoinDirectlyAndEveryOccurrenceIsReplaced) {
    ASSERT_EQ(exeDirectory.back(), '\\');
    EXPECT_EQ(expanded("${KESTRO_EXEDIR}lib"), exeDirectory + "lib");
    EXPECT_EQ(expanded("%KESTRO_TEMPDIR%;%KESTRO_TEMPDIR%"), "C:\\tmp\\e1;C:\\tmp\\e1");
    EXPECT_EQ(expanded("%KESTRO_JVM_HOME%\\lib"), "D:\\j2re\\bin\\..\\lib");
    setJvmHome("C:\\jre\\bin\\java.exe");
    EXPECT_EQ(expanded("${launcher:sys.jvmHome}"), "C:\\jre\\bin\\..");
}

TEST_F(VariableExpansion, EmptyBeforeTheValuesAreKnown) {
    setExtractionDirectory("");
    EXPECT_EQ(expanded("[${KESTRO_TEMPDIR}]"), "[]");
}

// The environment block keeps the case a variable was set with; the brace reference matches that
// spelling and the upper-cased one only.
TEST_F(VariableExpansion, EnvironmentVariablesInTheirOwnAndUpperCase) {
    SetEnvironmentVariableA("KxMixed", "mixed-value");
    EXPECT_EQ(expanded("${KxMixed}|${KXMIXED}|${kxmixed}"), "mixed-value|mixed-value|${kxmixed}");
    EXPECT_EQ(expanded("${KxUndefinedName}"), "${KxUndefinedName}");
    SetEnvironmentVariableA("KxMixed", nullptr);
}

// Windows keeps each drive's current directory in entries like "=C:=C:\dir"; they name no variable.
TEST(EnvironmentTokens, HiddenDriveEntriesAndEntriesWithoutValueAreNoVariables) {
    const char block[] = "=C:=C:\\dir\0NoEquals\0Path=p;q\0\0";
    char text[64] = "${}|${=C:}|${NoEquals}|${Path}|${PATH}|${path}";
    EXPECT_TRUE(expandEnvironmentTokens(text, sizeof text, block));
    EXPECT_STREQ(text, "${}|${=C:}|${NoEquals}|p;q|p;q|${path}");
}

TEST_F(VariableExpansion, InsertedTextIsNotExpandedByTheTokenThatInsertedIt) {
    // A value holding its own token would loop forever if it were searched again.
    SetEnvironmentVariableA("KxSelf", "a${KxSelf}b");
    EXPECT_EQ(expanded("${KxSelf}"), "a${KxSelf}b");
    // Fixed tokens are replaced before the environment pass, so a value's fixed token stays.
    SetEnvironmentVariableA("KXFIXED", "%KESTRO_TEMPDIR%");
    EXPECT_EQ(expanded("${KXFIXED}"), "%KESTRO_TEMPDIR%");
    // A variable named like a fixed token never replaces it.
    SetEnvironmentVariableA("KESTRO_EXEDIR", "from-environment");
    EXPECT_EQ(expanded("${KESTRO_EXEDIR}"), exeDirectory);
    SetEnvironmentVariableA("KxSelf", nullptr);
    SetEnvironmentVariableA("KXFIXED", nullptr);
    SetEnvironmentVariableA("KESTRO_EXEDIR", nullptr);
}

TEST(ReplaceAll, AnOccurrenceThatWouldNotFitIsLeftAndReported) {
    char text[16] = "ab$X$X";
    EXPECT_FALSE(replaceAll(text, 14, "$X", "123456"));
    // The first replacement fits (10 bytes), the second would need 15 with the terminator.
    EXPECT_STREQ(text, "ab123456$X");
    char small[16] = "$X$X";
    EXPECT_TRUE(replaceAll(small, sizeof small, "$X", "1234567"));
    EXPECT_STREQ(small, "12345671234567");
}

} // namespace
