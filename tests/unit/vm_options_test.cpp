#include "launch/class_data_archive.h"
#include "launch/vm_options.h"

#include "support/paths.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string trimmed(const std::string& line, bool* kept) {
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    *kept = trimOptionsLine(buffer.data());
    return buffer.data();
}

TEST(OptionsFileLine, TrimmingAndComments) {
    const struct {
        const char* line;
        bool kept;
        const char* option;
    } rows[] = {
        {"  -Xmx256m  \n", true, "-Xmx256m"},
        {"-Xss2m\r\n", true, "-Xss2m"},
        {"-Xss2m\r\r\n\n", true, "-Xss2m"},
        {"-Dname=a b\n", true, "-Dname=a b"},
        // Only blanks are trimmed: tabs belong to the option.
        {"\t-Dtab=1\t\n", true, "\t-Dtab=1\t"},
        {"\n", false, ""},
        {"", false, ""},
        {"    \r\n", false, ""},
        {"# comment\n", false, "# comment"},
        {"   # indented comment\n", false, "# indented comment"},
        {"-Dhash=#1\n", true, "-Dhash=#1"},
        // A carriage return inside the line is not at its end and stays.
        {"-Da=\rb\n", true, "-Da=\rb"},
    };
    for (const auto& row : rows) {
        bool kept = false;
        EXPECT_EQ(trimmed(row.line, &kept), row.option) << row.line;
        EXPECT_EQ(kept, row.kept) << row.line;
    }
}

// The copies readVmOptionsFile keeps from a file with these bytes, read in text mode as the launcher
// opens it.
std::vector<char*> readLines(const std::string& bytes) {
    const std::string path = std::string(executableDirectory()) + "vm_options_test.lines";
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    FILE* in = std::fopen(path.c_str(), "rt");
    std::vector<char*> lines;
    readVmOptionsFile(in, lines);
    std::fclose(in);
    std::remove(path.c_str());
    return lines;
}

std::vector<std::string> keptLines(const std::string& bytes) {
    const std::vector<char*> lines = readLines(bytes);
    return std::vector<std::string>(lines.begin(), lines.end());
}

TEST(OptionsFileReading, CrLfBlanksAndCommentsLeaveTheOptionsInOrder) {
    EXPECT_EQ(keptLines("  -Xmx256m  \r\n# a comment\r\n\r\n   \r\n-Dname=a b\r\n-Dlast=no-newline"),
              (std::vector<std::string>{"-Xmx256m", "-Dname=a b", "-Dlast=no-newline"}));
}

TEST(OptionsFileReading, LongLinesComeInPiecesOf8191Bytes) {
    const std::string first(8191, 'a');
    const std::string rest(900, 'b');
    EXPECT_EQ(keptLines(first + rest + "\n-Dafter=1\n"),
              (std::vector<std::string>{first, rest, "-Dafter=1"}));
    // A line of exactly 8191 bytes: its newline is read as a piece of its own and adds nothing.
    EXPECT_EQ(keptLines(first + "\n-Dafter=1\n"), (std::vector<std::string>{first, "-Dafter=1"}));
}

// A 300 KB file of short lines once cost a gigabyte: each kept option is held at its own size.
TEST(OptionsFileReading, EachKeptLineCostsItsOwnLength) {
    std::string bytes;
    for (int i = 0; i < 50000; ++i)
        bytes += "-Da=" + std::to_string(i % 10) + "\n";
    const std::vector<char*> lines = readLines(bytes);
    ASSERT_EQ(lines.size(), 50000u);
    size_t held = 0;
    for (char* line : lines)
        held += _msize(line);
    EXPECT_EQ(held, 50000u * 6);
    EXPECT_STREQ(lines.back(), "-Da=9");
}

TEST(OptionsFileReading, KeptLinesAreExpanded) {
    EXPECT_EQ(keptLines("-Dhome=%KESTRO_EXEDIR%\n"),
              (std::vector<std::string>{std::string("-Dhome=") + executableDirectory()}));
}

// The two names beside the executable: "<name>.vmoptions", else "<name>.exe.vmoptions".
class OptionsFileName : public testing::Test {
  protected:
    void SetUp() override {
        const std::string exe = executablePath();
        cutName = exe.substr(0, exe.size() - 4) + ".vmoptions";
        wholeName = exe + ".vmoptions";
        TearDown();
    }
    void TearDown() override {
        std::remove(cutName.c_str());
        std::remove(wholeName.c_str());
    }
    static void write(const std::string& path, const char* text) {
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs(text, file);
        std::fclose(file);
    }
    static std::vector<std::string> optionsRead() {
        FILE* file = openVmOptionsFile();
        if (!file)
            return {"<none>"};
        std::vector<char*> lines;
        readVmOptionsFile(file, lines);
        std::fclose(file);
        return std::vector<std::string>(lines.begin(), lines.end());
    }
    std::string cutName, wholeName;
};

TEST_F(OptionsFileName, OnlyTheFirstPresentNameIsRead) {
    EXPECT_EQ(optionsRead(), std::vector<std::string>{"<none>"});
    write(wholeName, "-Dfrom=whole\n");
    EXPECT_EQ(optionsRead(), std::vector<std::string>{"-Dfrom=whole"});
    write(cutName, "-Dfrom=cut\n");
    EXPECT_EQ(optionsRead(), std::vector<std::string>{"-Dfrom=cut"});
}

TEST(ClassPathForms, TheLastOfEachFormWinsAndOthersAreOptions) {
    // Each row: the options in order, then what the list and the three overrides end as.
    const struct {
        std::vector<std::string> given;
        std::vector<std::string> options;
        const char* replacement;
        const char* prefix;
        const char* suffix;
    } rows[] = {
        {{"-Xmx1m", "-classpath a", "-classpath b"}, {"-Xmx1m"}, "b", nullptr, nullptr},
        {{"-classpath/p a", "-Dx=1", "-classpath/p b"}, {"-Dx=1"}, nullptr, "b", nullptr},
        {{"-classpath/a a", "-classpath/a b;c"}, {}, nullptr, nullptr, "b;c"},
        {{"-classpath/p p", "-classpath r", "-classpath/a s"}, {}, "r", "p", "s"},
        // The forms are case-sensitive and need their blank; anything else is an option.
        {{"-CLASSPATH a", "-classpath", "-classpath/p", "-classpath/x y", "-cp z"},
         {"-CLASSPATH a", "-classpath", "-classpath/p", "-classpath/x y", "-cp z"},
         nullptr,
         nullptr,
         nullptr},
        // An empty form still sets its override, to the empty text.
        {{"-classpath "}, {}, "", nullptr, nullptr},
    };
    for (const auto& row : rows) {
        std::vector<std::vector<char>> texts;
        VmOptionList options;
        ClassPathOverrides overrides;
        for (const std::string& option : row.given) {
            texts.emplace_back(option.begin(), option.end());
            texts.back().push_back('\0');
        }
        for (std::vector<char>& text : texts)
            classifyOption(text.data(), options, overrides);
        const std::string context = row.given.front();
        EXPECT_EQ(std::vector<std::string>(options.begin(), options.end()), row.options) << context;
        auto same = [](const char* actual, const char* expected) {
            return expected ? actual && std::string(actual) == expected : actual == nullptr;
        };
        EXPECT_TRUE(same(overrides.replacement, row.replacement)) << context;
        EXPECT_TRUE(same(overrides.prefix, row.prefix)) << context;
        EXPECT_TRUE(same(overrides.suffix, row.suffix)) << context;
    }
}

TEST(StackSizeOption, TheLastXssInBytesKilobytesMegabytesOrGigabytes) {
    const struct {
        std::vector<const char*> options;
        size_t size;
    } rows[] = {
        {{"-Xmx256m"}, 0},
        {{"-Xss2m"}, size_t(2) << 20},
        {{"-Xss512k", "-Dx=1"}, size_t(512) << 10},
        {{"-Xss1M", "-Xss1048576"}, size_t(1) << 20},
        {{"-Xss1G"}, size_t(1) << 30},
        {{"-Xss2m", "-Xss"}, 0},
        {{"-Xss2mb"}, 0},
        {{"-Xssm"}, 0},
        {{"-Xss-1m"}, 0},
        {{"-Xss99999999999999999999999g"}, 0},
        // Not the stack option, though it starts like it.
        {{"-XX:ThreadStackSize=4096", "-Dx=-Xss1m"}, 0},
    };
    for (const auto& row : rows) {
        VmOptionList options;
        for (const char* option : row.options)
            options.push_back(const_cast<char*>(option));
        EXPECT_EQ(requestedStackSize(options), row.size) << testing::PrintToString(row.options);
    }
}

} // namespace

namespace {

TEST(ClassDataSharing, VersionsKindsAndOptions) {
    const struct {
        const char* version;
        int feature;
    } versions[] = {{"1.8.0_392", 8}, {"17.0.15", 17}, {"19-ea", 19}, {"21", 21},    {"25.0.3+9-LTS", 25},
                    {"1.9", 9},       {"", 0},         {"beta", 0},   {"100.1", 100}};
    for (const auto& row : versions)
        EXPECT_EQ(javaFeatureVersion(row.version), row.feature) << row.version;
    EXPECT_EQ(
        releaseVersion("IMPLEMENTOR=\"Eclipse Adoptium\"\r\nJAVA_VERSION=\"25.0.3\"\r\nOS_NAME=\"Windows\""),
        "25.0.3");
    EXPECT_EQ(releaseVersion("JAVA_VERSION_DATE=\"2025-04-15\"\n"), "");

    const struct {
        int feature;
        bool outputSeen;
        ClassDataArchive kind;
    } kinds[] = {{0, false, ClassDataArchive::None},         {17, false, ClassDataArchive::None},
                 {18, true, ClassDataArchive::None},         {19, true, ClassDataArchive::Dynamic},
                 {24, false, ClassDataArchive::Dynamic},     {25, true, ClassDataArchive::Dynamic},
                 {25, false, ClassDataArchive::AheadOfTime}, {26, false, ClassDataArchive::AheadOfTime}};
    for (const auto& row : kinds)
        EXPECT_EQ(classDataArchiveFor(row.feature, row.outputSeen), row.kind)
            << row.feature << row.outputSeen;

    using Options = std::vector<std::string>;
    EXPECT_EQ(classDataSharingOptions(ClassDataArchive::Dynamic, "c:\\a.jsa", true),
              (Options{"-XX:SharedArchiveFile=c:\\a.jsa", "-XX:+AutoCreateSharedArchive", "-Xlog:cds*=off"}));
    EXPECT_EQ(classDataSharingOptions(ClassDataArchive::AheadOfTime, "c:\\a.aot", false),
              (Options{"-XX:AOTCacheOutput=c:\\a.aot"}));
    EXPECT_EQ(classDataSharingOptions(ClassDataArchive::AheadOfTime, "c:\\a.aot", true),
              (Options{"-XX:AOTCache=c:\\a.aot"}));
    EXPECT_TRUE(classDataSharingOptions(ClassDataArchive::None, "c:\\a", false).empty());
}

TEST(ClassDataSharing, OptionsOfTheUsersOwnWin) {
    const struct {
        const char* option;
        bool chooses;
    } rows[] = {
        {"-Xshare:off", true},
        {"-Xshare:auto", true},
        {"-XX:SharedArchiveFile=x", true},
        {"-XX:ArchiveClassesAtExit=x", true},
        {"-XX:-AutoCreateSharedArchive", true},
        {"-XX:+UseSharedSpaces", true},
        {"-XX:AOTCache=x", true},
        {"-XX:AOTCacheOutput=x", true},
        {"-XX:AOTMode=off", true},
        {"-XX:AOTConfiguration=x", true},
        {"-XX:SharedArchiveFileX", false},
        {"-XX:+AutoCreateSharedArchiveLater", false},
        {"-Xmx512m", false},
        {"-Dshare=-Xshare:off", false},
        {"-XX:+UseG1GC", false},
    };
    for (const auto& row : rows) {
        char* option = const_cast<char*>(row.option);
        EXPECT_EQ(optionsChooseClassDataSharing({nullptr, option}), row.chooses) << row.option;
        EXPECT_EQ(textChoosesClassDataSharing(std::string("-Xmx1g  ") + row.option + " -Da=b"), row.chooses)
            << row.option;
    }
}

// The name stays while the extraction directory changes and moves with everything else.
TEST(ClassDataSharing, ArchiveNames) {
    const std::string key = classDataArchiveKey(
        "rt", "app.exe 1", "-Djava.class.path=C:\\t\\kqx1.tmp_dir5\\a.jar;", "C:\\t\\kqx1.tmp_dir5");
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(classDataArchiveKey("rt", "app.exe 1", "-Djava.class.path=C:\\t\\kqx2.tmp_dir9\\a.jar;",
                                  "C:\\t\\kqx2.tmp_dir9"),
              key);
    for (const std::string& other :
         {classDataArchiveKey("rt2", "app.exe 1", "-Djava.class.path=C:\\t\\kqx1.tmp_dir5\\a.jar;",
                              "C:\\t\\kqx1.tmp_dir5"),
          classDataArchiveKey("rt", "app.exe 2", "-Djava.class.path=C:\\t\\kqx1.tmp_dir5\\a.jar;",
                              "C:\\t\\kqx1.tmp_dir5"),
          classDataArchiveKey("rt", "app.exe 1", "-Djava.class.path=C:\\t\\kqx1.tmp_dir5\\b.jar;",
                              "C:\\t\\kqx1.tmp_dir5"),
          classDataArchiveKey("rtapp.exe 1", "", "-Djava.class.path=C:\\t\\kqx1.tmp_dir5\\a.jar;",
                              "C:\\t\\kqx1.tmp_dir5")})
        EXPECT_NE(other, key);
}

} // namespace
