#include "jreprovision/tar_reader.h"

#include "archives.h"
#include "test_files.h"
#include "writers/runtime_bundle.h"

#include "startup/dialogs.h"
#include "support/log.h"

#include <commctrl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kestro::test_support::gzipped;
using kestro::test_support::readFile;
using kestro::test_support::removeTree;
using kestro::test_support::TarBuilder;
using kestro::test_support::writeFile;

std::string pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + i * 7 % 26);
    return data;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string currentDirectory() {
    char path[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, path);
    return path;
}

void recordPosition(int32_t position, void* positions) {
    static_cast<std::vector<int32_t>*>(positions)->push_back(position);
}

// Each test gets a fresh directory holding the archive and the runtime directory "jre", and sees
// only the log lines written during the test.
class TarExtraction : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        root_ = std::string(temp) + "kestro_tar_" + std::to_string(GetCurrentProcessId());
        removeTree(root_);
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(target().c_str(), nullptr));
        logLine("tar reader test");
        logStart_ = readFile(logFilePath()).size();
    }
    void TearDown() override { removeTree(root_); }

    std::string archive() const { return root_ + "\\jre.tar.gz"; }
    std::string target() const { return root_ + "\\jre"; }
    std::string inTarget(const std::string& relative) const { return target() + "\\" + relative; }
    std::string logSinceStart() const { return readFile(logFilePath()).substr(logStart_); }

    bool extract(const std::string& tar, int32_t expectedTotalSize = 0,
                 std::vector<int32_t>* positions = nullptr) {
        writeFile(archive(), gzipped(tar));
        return extractRuntimeArchiveReporting(archive().c_str(), target().c_str(),
                                              positions != nullptr ? recordPosition : nullptr, positions,
                                              expectedTotalSize);
    }

    std::string root_;
    size_t logStart_ = 0;
};

TEST(TarProgressPosition, PercentOfTheExpectedTotal) {
    struct Row {
        int64_t streamPosition;
        int32_t expected;
        int32_t position;
    } rows[] = {
        {512, 10240, 5},
        {10240, 10240, 100},
        {20480, 10240, 200}, // not capped at 100
        {0, 10240, 1},
        {99, 10000, 1},
        {199, 10000, 1}, // 0 is sent as 1
        {5000, 0, 1},
        {0, 0, 1}, // no divisor
        {1LL << 40, 1, INT32_MAX},
    };
    for (const Row& row : rows)
        EXPECT_EQ(tarProgressPosition(row.streamPosition, row.expected), row.position)
            << row.streamPosition << " of " << row.expected;
}

TEST_F(TarExtraction, WritesFilesAndDirectoriesAndSkipsEverythingElse) {
    const std::string java = pattern(1000);
    const std::string rt = pattern(70000); // more than two chunks
    TarBuilder tar;
    tar.directory("bin/")
        .file("bin/java.exe", java)
        .entry("bin/javaw.exe", '2', "") // symbolic link
        .entry("bin/hard.exe", '1', "")
        .entry("././@LongLink", 'L', std::string(120, 'n') + '\0')
        .entry("PaxHeaders/x", 'x', "30 path=lib/some/long/name\n")
        .entry("lib", '5', "", "ustar  \0") // the older GNU magic
        .entry("lib/rt.jar", '0', rt, "ustar  \0")
        .entry("lib/empty", '0', "",
               "ustar\0"
               "00",
               "          0 ")
        .entry("lib/blanks", '0', "xyz",
               "ustar\0"
               "00",
               "   3 \0\0\0\0\0\0\0");
    ASSERT_TRUE(extract(tar.finished()));

    EXPECT_EQ(readFile(inTarget("bin\\java.exe")), java);
    EXPECT_EQ(readFile(inTarget("lib\\rt.jar")), rt);
    EXPECT_TRUE(exists(inTarget("lib\\empty")));
    EXPECT_EQ(readFile(inTarget("lib\\empty")), "");
    EXPECT_EQ(readFile(inTarget("lib\\blanks")), "xyz");
    for (const char* skipped : {"bin\\javaw.exe", "bin\\hard.exe", "././@LongLink", "PaxHeaders"})
        EXPECT_FALSE(exists(inTarget(skipped))) << skipped;
    EXPECT_FALSE(exists(inTarget("lib\\some")));

    const std::string log = logSinceStart();
    EXPECT_NE(log.find("extracting bin\\java.exe (size 1000)"), std::string::npos) << log;
    EXPECT_NE(log.find("extracting lib\\rt.jar (size 70000)"), std::string::npos) << log;
    EXPECT_NE(log.find("untaring JRE was successful"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST_F(TarExtraction, AnArchiveWithoutEndBlocksEndsAfterItsLastFile) {
    ASSERT_TRUE(extract(TarBuilder().file("only.txt", "data").unfinished()));
    EXPECT_EQ(readFile(inTarget("only.txt")), "data");
}

TEST_F(TarExtraction, OverwritesAnExistingFile) {
    std::ofstream(inTarget("release")) << "an older and longer text";
    ASSERT_TRUE(extract(TarBuilder().file("release", "new").finished()));
    EXPECT_EQ(readFile(inTarget("release")), "new");
}

TEST_F(TarExtraction, FailsWithoutARegularFile) {
    struct Row {
        const char* what;
        std::string tar;
    } rows[] = {
        {"directories only", TarBuilder().directory("bin/").directory("lib/").finished()},
        {"nothing at all", ""},
        {"not a tar", std::string(2048, 'x')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        logStart_ = readFile(logFilePath()).size();
        EXPECT_FALSE(extract(row.tar));
        const std::string log = logSinceStart();
        EXPECT_TRUE(log.find("ERROR: no magic number") != std::string::npos ||
                    log.find("ERROR: unexpected eof") != std::string::npos)
            << log;
        EXPECT_NE(log.find("ERROR: untaring JRE was unsuccessful"), std::string::npos) << log;
    }
    EXPECT_TRUE(isDirectory(inTarget("bin")));
}

TEST_F(TarExtraction, TruncatedArchiveStopsInsideTheFile) {
    const std::string whole =
        TarBuilder().file("first", "1").directory("lib/").file("lib/cut.jar", pattern(1000)).finished();
    EXPECT_FALSE(extract(whole.substr(0, 1024 + 512 + 512 + 600)));
    EXPECT_EQ(readFile(inTarget("first")), "1") << "files already written stay";
    const std::string log = logSinceStart();
    EXPECT_NE(log.find("ERROR: sizes don't match: 600, 1000"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: extract file failed"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: untaring JRE was unsuccessful"), std::string::npos) << log;
}

TEST_F(TarExtraction, SizeBeyondThe32BitRangeIsRefused) {
    const std::string tar = TarBuilder()
                                .file("first", "1")
                                .entry("huge", 'x', "",
                                       "ustar\0"
                                       "00",
                                       "77777777777 ")
                                .finished();
    EXPECT_FALSE(extract(tar));
    EXPECT_NE(logSinceStart().find("ERROR: entry size out of range"), std::string::npos);
}

// The entries that would climb out are refused before anything is written for them, whatever came
// before; the caller then reports a corrupted runtime.
TEST_F(TarExtraction, NamesLeadingOutsideTheRuntimeAreRefused) {
    const std::string marker = "kestro_escape_" + std::to_string(GetCurrentProcessId());
    const std::string drive = root_.substr(0, 2);
    struct Row {
        std::string name;
        char type;
        std::string wouldLand;
    } rows[] = {
        {"/" + marker, '0', drive + "\\" + marker},
        {"C:\\" + marker, '0', "C:\\" + marker},
        {"c:/" + marker, '0', "C:\\" + marker},
        {"../" + marker, '0', root_ + "\\" + marker},
        {"a/../../" + marker, '0', root_ + "\\" + marker},
        {"../" + marker + "/", '5', root_ + "\\" + marker},
        {"bin/java.exe:hidden", '0', inTarget("bin\\java.exe:hidden")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        logStart_ = readFile(logFilePath()).size();
        const std::string tar = TarBuilder()
                                    .directory("a/")
                                    .directory("bin/")
                                    .file("ok", "fine")
                                    .entry(row.name, row.type, "evil")
                                    .finished();
        EXPECT_FALSE(extract(tar));
        EXPECT_FALSE(exists(row.wouldLand)) << row.wouldLand;
        const std::string log = logSinceStart();
        EXPECT_NE(log.find("ERROR: extract file failed"), std::string::npos) << log;
        EXPECT_NE(log.find("ERROR: untaring JRE was unsuccessful"), std::string::npos) << log;
        RemoveDirectoryA(row.wouldLand.c_str());
        DeleteFileA(row.wouldLand.c_str());
    }
}

TEST_F(TarExtraction, NameFillingItsWholeFieldIsRefusedNotCut) {
    EXPECT_FALSE(extract(TarBuilder().file(std::string(100, 'n'), "x").finished()));
    EXPECT_FALSE(exists(inTarget(std::string(99, 'n'))));
    EXPECT_NE(logSinceStart().find("ERROR: extract file failed"), std::string::npos);
}

TEST_F(TarExtraction, ProgressBeforeEachFileFromTheStreamPosition) {
    const std::string tar =
        TarBuilder().file("a", pattern(1000)).directory("d/").file("d/b", pattern(3000)).finished();
    const int32_t total = static_cast<int32_t>(tar.size()); // 512+1024 + 512 + 512+3072 + 1024 = 6656
    std::vector<int32_t> positions;
    ASSERT_TRUE(extract(tar, total, &positions));
    // Before "a" the stream stands after its header (512), before "d/b" after its header (2560).
    const std::vector<int32_t> perFile = {512 * 100 / total, 2560 * 100 / total};
    ASSERT_EQ(perFile, (std::vector<int32_t>{7, 38}));
    // Further positions may come from the 200 ms pacing inside a file on a slow machine.
    auto next = positions.begin();
    for (int32_t expected : perFile) {
        next = std::find(next, positions.end(), expected);
        EXPECT_NE(next, positions.end()) << "missing position " << expected;
    }
    for (size_t i = 1; i < positions.size(); ++i)
        EXPECT_LE(positions[i - 1], positions[i]);
}

TEST_F(TarExtraction, ProgressReachesTheDialogsProgressBar) {
    InitCommonControls();
    // A message-only window stands in for the dialog, so that the check needs no display.
    HWND dialog = CreateWindowExA(0, "STATIC", "progress", WS_OVERLAPPED, 0, 0, 200, 100, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(dialog, nullptr);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD, 0, 0, 100, 10, dialog,
                               reinterpret_cast<HMENU>(1001), nullptr, nullptr);
    // Wine creates the progress control only when it has a display (make check provides one); Windows
    // always has one.
    ASSERT_NE(bar, nullptr);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 250));
    const std::string tar = TarBuilder().file("a", "1").file("b", "2").finished();
    writeFile(archive(), gzipped(tar));
    ASSERT_TRUE(extractRuntimeArchiveReporting(archive().c_str(), target().c_str(), showProgressPosition,
                                               dialog, 1024));
    // The last position sent: "b" begins after two headers and one padded block, 1536 of 1024 bytes.
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 150);
    DestroyWindow(dialog);
}

TEST_F(TarExtraction, ReturnsToTheCurrentDirectoryAndFailsForAMissingArchive) {
    const std::string before = currentDirectory();
    ASSERT_TRUE(extract(TarBuilder().file("x", "1").finished()));
    EXPECT_EQ(currentDirectory(), before);
    EXPECT_FALSE(extract(TarBuilder().directory("d/").finished()));
    EXPECT_EQ(currentDirectory(), before);

    logStart_ = readFile(logFilePath()).size();
    EXPECT_FALSE(extractRuntimeArchiveReporting((root_ + "\\absent.tar.gz").c_str(), target().c_str(),
                                                nullptr, nullptr, 0));
    EXPECT_EQ(currentDirectory(), before);
    EXPECT_NE(logSinceStart().find("ERROR: Could not open gz-file"), std::string::npos);
}

// Every archive the packer's check accepts is unpacked whole; every one it refuses, the reader
// refuses too rather than ending the process half-way. The rows are the shapes real archives and
// hostile ones take.
TEST_F(TarExtraction, WhatThePackerAcceptsIsUnpackedWholeAndTheRestRefused) {
    struct Entry {
        std::string name;
        char type;
        std::string data;
    };
    struct Row {
        const char* what;
        std::vector<Entry> entries;
        const char* sizeField; // for the last entry, when set
        bool accepted;
    } rows[] = {
        {"files without their directories",
         {{"bin/java.exe", '0', "java"}, {"lib/ext/deep/a.jar", '0', pattern(700)}},
         nullptr,
         true},
        {"dot prefix and doubled separators",
         {{"./", '5', ""}, {"./bin/", '5', ""}, {"./bin//java.exe", '0', "j"}, {"bin/./x", '0', "x"}},
         nullptr,
         true},
        {"the same file twice", {{"bin/java.exe", '0', "old"}, {"bin/java.exe", '0', "new"}}, nullptr, true},
        {"empty name", {{"bin/java.exe", '0', "j"}, {"", '0', "x"}}, nullptr, false},
        {"dot as a file", {{"bin/java.exe", '0', "j"}, {".", '0', "x"}}, nullptr, false},
        {"file named as a directory", {{"bin/java.exe", '0', "j"}, {"bin/x/", '0', "x"}}, nullptr, false},
        {"file and directory of one name", {{"bin", '0', "b"}, {"bin/java.exe", '0', "j"}}, nullptr, false},
        {"directory then file of its name",
         {{"bin/java.exe", '0', "j"}, {"lib/", '5', ""}, {"lib", '0', "l"}},
         nullptr,
         false},
        {"names differing in letter case",
         {{"bin/java.exe", '0', "j"}, {"BIN/Java.exe", '0', "J"}},
         nullptr,
         false},
        {"question mark", {{"bin/java.exe", '0', "j"}, {"bin/a?b", '0', "x"}}, nullptr, false},
        {"control character", {{"bin/java.exe", '0', "j"}, {"bin/a\x01", '0', "x"}}, nullptr, false},
        {"device name", {{"bin/java.exe", '0', "j"}, {"con", '0', "x"}}, nullptr, false},
        {"device name with an extension",
         {{"bin/java.exe", '0', "j"}, {"lib/Aux.txt", '0', "x"}},
         nullptr,
         false},
        {"trailing dot", {{"bin/java.exe", '0', "j"}, {"lib./x", '0', "x"}}, nullptr, false},
        {"size field with a blank inside",
         {{"bin/java.exe", '0', "j"}, {"lib/a", '0', pattern(15)}},
         "0 17\0\0\0\0\0\0\0\0",
         false},
        {"size field in base 256",
         {{"bin/java.exe", '0', "j"}, {"lib/a", '0', "x"}},
         "\x80\0\0\0\0\0\0\0\0\0\0\x01",
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        removeTree(target());
        ASSERT_TRUE(CreateDirectoryA(target().c_str(), nullptr));
        TarBuilder tar;
        for (size_t i = 0; i < row.entries.size(); ++i) {
            const Entry& entry = row.entries[i];
            const bool last = i + 1 == row.entries.size();
            tar.entry(entry.name, entry.type, entry.data,
                      "ustar\0"
                      "00",
                      last ? row.sizeField : nullptr);
        }
        writeFile(archive(), gzipped(tar.finished()));
        kestro::packer::RuntimeArchiveFacts facts;
        std::string error;
        EXPECT_EQ(kestro::packer::checkRuntimeArchive(archive(), &facts, &error), row.accepted) << error;
        const bool extracted =
            extractRuntimeArchiveReporting(archive().c_str(), target().c_str(), nullptr, nullptr, 0);
        EXPECT_EQ(extracted, row.accepted);
        if (!row.accepted)
            continue;
        // The last entry of a name holds its data.
        for (const Entry& entry : row.entries) {
            std::string expected;
            for (const Entry& later : row.entries) {
                if (later.name == entry.name)
                    expected = later.data;
            }
            if (entry.type == '0') {
                EXPECT_EQ(readFile(inTarget(entry.name)), expected) << entry.name;
            }
        }
    }
}

} // namespace
