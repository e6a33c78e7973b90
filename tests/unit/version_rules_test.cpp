#include "jvmsearch/version_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct BoundsCase {
    const char* version;
    const char* minimum;
    const char* maximum;
    bool accepted;
};

TEST(VersionBounds, EachBoundIsAPrefixComparedBytewise) {
    const BoundsCase cases[] = {
        {"1.4.0", "1.4", "1.6", true},
        {"1.6.0_10", "1.4", "1.6", true},
        {"1.3.1_20", "1.4", "1.6", false},
        {"1.7.0", "1.4", "1.6", false},
        {"1.4", "1.4", "1.6", true},
        {"1.4.1_07", "1.4.2", "", false},
        {"1.4.2_05", "1.4.2", "", true},
        // Bytewise, not numeric: "1.10" sorts below "1.4".
        {"1.10.0", "1.4", "", false},
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

TEST(VersionKeyRange, ComparesOverTheShorterOfKeyAndBound) {
    const BoundsCase cases[] = {
        {"1.4", "1.4.2", "", true},
        {"1.4.1_01", "1.4.2", "", false},
        {"1.6", "", "1.6.0_10", true},
        {"1.6.0_11", "", "1.6.0_10", false},
        {"1.5.0_06", "1.4", "1.6", true},
        {"1.7", "1.4", "1.6", false},
        {"1.3", "1.4", "1.6", false},
        // An empty key equals every bound over zero bytes.
        {"", "1.4", "1.6", true},
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
};

TEST(VersionLine, JavaAndOpenjdkLinesGiveTheQuotedText) {
    const LineCase cases[] = {
        {"java version \"1.4.2_05\"\n", "1.4.2_05"},
        {"java version \"1.6.0_10\"", "1.6.0_10"},
        {"openjdk version \"17.0.15\" 2025-04-15\n", "17.0.15"},
        {"java version \"21.0.2\" 2024-01-16 LTS\n", "21.0.2"},
        {"openjdk version \"1.8.0_402\"\n", "1.8.0_402"},
        {"Picked up _JAVA_OPTIONS: -Xmx1g\n", nullptr},
        {"java full version \"1.6.0_10-b33\"\n", nullptr},
        {"Java version \"1.6.0\"\n", nullptr},
        {"java version 1.6.0\n", nullptr},
        {"java version \"1.6.0\n", nullptr},
        {"java version \"\"\n", nullptr},
        {"", nullptr},
    };
    for (const LineCase& c : cases) {
        char version[64] = "garbage";
        const bool found = parseVersionLine(c.line, version, sizeof version);
        EXPECT_EQ(found, c.version != nullptr) << c.line;
        EXPECT_STREQ(version, c.version != nullptr ? c.version : "") << c.line;
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
