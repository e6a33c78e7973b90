#include "runtime/version_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

namespace {

struct BoundsCase {
    const char* version;
    const char* minimum;
    const char* maximum;
    bool accepted;
};

TEST(VersionBounds, EachBoundIsAPrefixOfWholeParts) {
    const BoundsCase cases[] = {
        {"1.4.0", "1.4", "1.6", true},
        {"1.6.0_10", "1.4", "1.6", true},
        {"1.3.1_20", "1.4", "1.6", false},
        {"1.7.0", "1.4", "1.6", false},
        {"1.4", "1.4", "1.6", true},
        {"1.4.1_07", "1.4.2", "", false},
        {"1.4.2_05", "1.4.2", "", true},
        // Numbers compare as numbers: "1.10" is version 10, above 1.4.
        {"1.10.0", "1.4", "", true},
        {"17.0.15", "1.4", "1.8", false},
        {"1.0.0", "", "", true},
        {"", "", "", true},
        {"1.0.0", "1.4", "", false},
        // A version shorter than the bound compares below it.
        {"1.6", "", "1.6.0_10", true},
        {"1.6", "1.6.0", "", false},
    };
    for (const BoundsCase& c : cases)
        EXPECT_EQ(isVersionWithinBounds(c.version, c.minimum, c.maximum), c.accepted)
            << c.version << " in [" << c.minimum << ", " << c.maximum << "]";
}

// Every runtime since version 9 numbers itself without "1.", and its numbers grow past one digit.
TEST(VersionBounds, TodaysRuntimesAndTheOldNumberingMeet) {
    const BoundsCase cases[] = {
        {"9", "11", "", false},
        {"17.0.9", "9", "", true},
        {"11.0.21", "11", "17", true},
        {"21", "11", "17", false},
        {"1.8.0_392", "8", "8", true},
        {"8", "1.8", "1.8", true},
        {"1.8.0_392", "1.8.0_400", "", false},
        {"1.8.0_45", "", "1.8.0_392", true},
        {"25-ea", "21", "", true},
        {"17.0.15", "", "17", true},
        {"170", "", "17", false},
        {"17.0.15", "", "17.0.1", false},
        {"1.6.0_45", "", "1.6", true},
        {"1.60", "", "1.6", false},
        {"1.7.0", "", "1.6", false},
    };
    for (const BoundsCase& c : cases)
        EXPECT_EQ(isVersionWithinBounds(c.version, c.minimum, c.maximum), c.accepted)
            << c.version << " in [" << c.minimum << ", " << c.maximum << "]";
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(VersionOrder, OneXVersionsKeepTheirOrderAndLaterOnesFollowIt) {
    // Versions of the old numbering whose numbers have equal widths, as each generation wrote them:
    // every pair keeps the order plain text comparison gave it.
    const char* oneX[] = {"1.3.1_20", "1.4",         "1.4.1_07", "1.4.2",    "1.4.2_05", "1.5",
                          "1.5.0",    "1.5.0-beta2", "1.5.0_06", "1.6.0-ea", "1.6.0-rc", "1.6.0_10",
                          "1.6.0_45", "1.7.0",       "1.7.0_80", "1.8.0_01", "1.8.0_92", "1.0.0"};
    for (const char* a : oneX)
        for (const char* b : oneX)
            EXPECT_EQ(sign(compareVersions(a, b)), sign(strcmp(a, b))) << a << " against " << b;

    const char* ascending[] = {"1.5.0_06", "1.8.0_45", "1.8.0_392", "9",       "9.0.4",
                               "10",       "11",       "11.0.2",    "11.0.21", "17",
                               "17.0.9",   "17.0.15",  "21",        "21.0.2",  "25-ea"};
    for (size_t i = 0; i + 1 < std::size(ascending); ++i) {
        EXPECT_LT(compareVersions(ascending[i], ascending[i + 1]), 0)
            << ascending[i] << " < " << ascending[i + 1];
        EXPECT_GT(compareVersions(ascending[i + 1], ascending[i]), 0)
            << ascending[i + 1] << " > " << ascending[i];
    }
    EXPECT_EQ(compareVersions("1.8", "8"), 0);
    EXPECT_EQ(compareVersions("1.8.0_392", "8.0_392"), 0);
    EXPECT_EQ(compareVersions("17.0.09", "17.0.9"), 0);
}

TEST(VersionKeyRange, ComparesOverTheShorterOfKeyAndBound) {
    const BoundsCase cases[] = {
        {"1.4", "1.4.2", "", true},
        {"1.4.1_01", "1.4.2", "", false},
        {"1.6", "", "1.6.0_10", true},
        {"1.6.0_11", "", "1.6.0_10", false},
        {"1.5.0_06", "1.4", "1.6", true},
        {"1.7", "1.4", "1.6", false},
        {"1.3", "1.4", "1.6", false},
        // An empty key equals every bound over zero parts.
        {"", "1.4", "1.6", true},
        {"9", "11", "", false},
        {"17", "1.8", "", true},
        {"17", "", "1.8", false},
        {"11", "1.8.0_392", "17.0.9", true},
        {"1.8", "", "1.8.0_392", true},
    };
    for (const BoundsCase& c : cases)
        EXPECT_EQ(isVersionKeyInRange(c.version, c.minimum, c.maximum), c.accepted)
            << c.version << " in [" << c.minimum << ", " << c.maximum << "]";
}

TEST(Prerelease, MarkersAnywhereCaseSensitive) {
    EXPECT_TRUE(isPrereleaseVersion("1.5.0-beta2"));
    EXPECT_TRUE(isPrereleaseVersion("1.6.0-ea"));
    EXPECT_TRUE(isPrereleaseVersion("1.6.0-rc"));
    EXPECT_TRUE(isPrereleaseVersion("1.7.0-eap")); // "ea" inside a longer word counts too
    EXPECT_FALSE(isPrereleaseVersion("1.6.0_10"));
    EXPECT_FALSE(isPrereleaseVersion("1.6.0-BETA"));
    EXPECT_FALSE(isPrereleaseVersion("1.6.0-RC"));
}

struct LineCase {
    const char* line;
    const char* version; // null: no version
    bool notice;         // printed before the version line when options were picked up
};

TEST(VersionLine, JavaAndOpenjdkLinesGiveTheQuotedText) {
    const LineCase cases[] = {
        {"java version \"1.4.2_05\"\n", "1.4.2_05", false},
        {"java version \"1.6.0_10\"", "1.6.0_10", false},
        {"openjdk version \"17.0.15\" 2025-04-15\n", "17.0.15", false},
        {"java version \"21.0.2\" 2024-01-16 LTS\n", "21.0.2", false},
        {"openjdk version \"1.8.0_402\"\n", "1.8.0_402", false},
        {"Picked up _JAVA_OPTIONS: -Xmx1g\n", nullptr, true},
        {"Picked up JAVA_TOOL_OPTIONS: -Dx=\"java version \"1\"\"\n", nullptr, true},
        {"NOTE: Picked up JDK_JAVA_OPTIONS: --add-opens=a/b=c\n", nullptr, true},
        {"OpenJDK 64-Bit Server VM warning: Picked up nothing\n", nullptr, false},
        {"java full version \"1.6.0_10-b33\"\n", nullptr, false},
        {"Java version \"1.6.0\"\n", nullptr, false},
        {"java version 1.6.0\n", nullptr, false},
        {"java version \"1.6.0\n", nullptr, false},
        {"java version \"\"\n", nullptr, false},
        {"", nullptr, false},
    };
    for (const LineCase& c : cases) {
        char version[64] = "garbage";
        const bool found = parseVersionLine(c.line, version, sizeof version);
        EXPECT_EQ(found, c.version != nullptr) << c.line;
        EXPECT_STREQ(version, c.version != nullptr ? c.version : "") << c.line;
        EXPECT_EQ(isPickedUpOptionsNotice(c.line), c.notice) << c.line;
    }
}

TEST(VersionLine, AVersionLongerThanTheBufferIsRefused) {
    char version[4];
    EXPECT_FALSE(parseVersionLine("java version \"1.6.0\"", version, sizeof version));
    EXPECT_STREQ(version, "");
    EXPECT_TRUE(parseVersionLine("java version \"1.6\"", version, sizeof version));
}

TEST(SearchSequence, EntriesAreALetterAndTheRestSkippingEmptyOnes) {
    const char* cursor = ";;Y;EJAVA_HOME;;Ajre dir;S;Q";
    std::string seen;
    char letter = '\0';
    char value[64];
    while (nextSearchEntry(&cursor, &letter, value, sizeof value))
        seen += std::string(1, letter) + "[" + value + "]";
    EXPECT_EQ(seen, "Y[]E[JAVA_HOME]A[jre dir]S[]Q[]");
}

TEST(SearchSequence, LongValuesAreCut) {
    const char* cursor = "Babcdef;Yx";
    char letter = '\0';
    char value[4];
    ASSERT_TRUE(nextSearchEntry(&cursor, &letter, value, sizeof value));
    EXPECT_STREQ(value, "abc");
    ASSERT_TRUE(nextSearchEntry(&cursor, &letter, value, sizeof value));
    EXPECT_EQ(letter, 'Y');
}

TEST(SearchSequence, LastPassTakesBAndRelativeAOrR) {
    struct {
        char letter;
        const char* value;
        bool taken;
    } cases[] = {
        {'B', "c:\\java", true}, {'B', "jre", true},        {'A', "jre", true},
        {'R', "..\\jre", true},  {'A', "c:\\java", false},  {'R', "\\\\server\\jre", false},
        {'A', "c", true},        {'E', "JAVA_HOME", false}, {'S', "", false},
        {'Y', "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLastPassEntry(c.letter, c.value), c.taken) << c.letter << c.value;
}

} // namespace
