#include "support/temp_directory.h"

#include "support/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string systemTempPath() {
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    return path;
}

class TempDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = systemTempPath() + "kestro_temp_" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    }
    // The tests create at most two levels of directories and no files.
    void TearDown() override {
        for (const char* inner : {"win\\temp", "root\\temp", "root\\tmp", "win", "root"}) {
            RemoveDirectoryA(at(inner).c_str());
        }
        RemoveDirectoryA(root_.c_str());
    }
    std::string at(const std::string& relative) const { return root_ + "\\" + relative; }
    void makeDirectory(const std::string& relative) const {
        ASSERT_TRUE(CreateDirectoryA(at(relative).c_str(), nullptr)) << relative;
    }

    std::string root_;
};

TEST_F(TempDirectory, WritableTestLeavesNoTraceAndToleratesALeftOver) {
    EXPECT_TRUE(isWritableDirectory(root_.c_str()));
    EXPECT_FALSE(pathExists(at("kqx_w_testdir").c_str()));

    makeDirectory("kqx_w_testdir");
    EXPECT_TRUE(isWritableDirectory(root_.c_str()));
    EXPECT_FALSE(pathExists(at("kqx_w_testdir").c_str()));

    EXPECT_FALSE(isWritableDirectory(at("missing").c_str()));
}

TEST_F(TempDirectory, RepresentableSystemPathIsTakenAsItIs) {
    char out[8192];
    chooseTempDirectory(out);
    EXPECT_EQ(out, systemTempPath());
    EXPECT_EQ(out[strlen(out) - 1], '\\');
}

TEST_F(TempDirectory, FallbackCandidatesInOrder) {
    const std::string windows = at("win");
    const std::string root = at("root\\");
    struct Case {
        const char* label;
        std::vector<const char*> existing;
        std::string expected;
    };
    const Case cases[] = {
        {"windows temp first", {"win", "win\\temp", "root", "root\\temp"}, windows + "\\temp"},
        {"then root temp", {"win", "root", "root\\temp", "root\\tmp"}, root + "temp"},
        {"then root tmp", {"win", "root", "root\\tmp"}, root + "tmp"},
        {"then the windows directory", {"win"}, windows},
        {"then a created root tmp", {"root"}, root + "tmp"},
    };
    for (const Case& c : cases) {
        for (const char* directory : c.existing) {
            makeDirectory(directory);
        }
        char out[8192] = "";
        EXPECT_TRUE(findWritableTempDirectory(windows.c_str(), root.c_str(), out)) << c.label;
        EXPECT_EQ(out, c.expected) << c.label;
        TearDown();
        SetUp();
    }
}

TEST_F(TempDirectory, NoWritableCandidate) {
    char out[8192] = "unchanged";
    EXPECT_FALSE(findWritableTempDirectory(at("win").c_str(), at("root\\").c_str(), out));
    EXPECT_FALSE(pathExists(at("root").c_str()));
    // An unknown Windows directory must not stand for the current drive's root.
    EXPECT_FALSE(findWritableTempDirectory("", at("root\\").c_str(), out));
    EXPECT_STREQ(out, "unchanged");
}

TEST(TemporaryFileName, CreatesANewEmptyKqxFileInTheTempDirectory) {
    char first[MAX_PATH];
    char second[MAX_PATH];
    ASSERT_TRUE(temporaryFileName(first));
    ASSERT_TRUE(temporaryFileName(second));
    EXPECT_STRNE(first, second);

    const std::string name = first;
    const std::string directory = systemTempPath();
    EXPECT_EQ(name.compare(0, directory.size() + 3, directory + "kqx"), 0) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
    const std::string digits = name.substr(directory.size() + 3, name.size() - directory.size() - 7);
    EXPECT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEFabcdef"), std::string::npos) << digits;

    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(first, GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, 0u);
    DeleteFileA(first);
    DeleteFileA(second);
}

// Letters without a form in the Western ANSI code page, the first two with best-fit look-alikes
// ("L", "O", "d") that must not be taken for them: each makes the "?" branch choose another directory.
TEST(TemporaryFileName, UnderAnUnrepresentableTmpComesFromAWritableFallback) {
    wchar_t tempPath[MAX_PATH];
    GetTempPathW(MAX_PATH, tempPath);
    for (const wchar_t* name : {L"\u0141ukasz", L"\u03A9\u03B4", L"\u4E2D\u6587"}) {
        const std::wstring directory = std::wstring(tempPath) + L"kestro_tmp_" + name;
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        SetEnvironmentVariableW(L"TMP", (directory + L"\\").c_str());
        char shortDirectory[MAX_PATH] = "";
        wchar_t shortWide[MAX_PATH];
        if (GetShortPathNameW(directory.c_str(), shortWide, MAX_PATH) != 0)
            WideCharToMultiByte(CP_ACP, 0, shortWide, -1, shortDirectory, MAX_PATH, nullptr, nullptr);

        char chosen[8192];
        chooseTempDirectory(chosen);
        char created[MAX_PATH];
        const bool made = temporaryFileName(created);
        char comm[8192];
        processCommFileName(comm, 4711);
        SetEnvironmentVariableW(L"TMP", tempPath);
        RemoveDirectoryW(directory.c_str());

        EXPECT_TRUE(isWritableDirectory(chosen)) << chosen;
        EXPECT_TRUE(made && DeleteFileA(created)) << created;
        // The communication file is named in the user's own directory, by its short form.
        EXPECT_EQ(_stricmp(comm, (std::string(shortDirectory) + "\\kqx_p4711.tmp").c_str()), 0) << comm;
    }
}

TEST(ProcessCommFileName, IsNamedOnlyNeverCreated) {
    char out[8192];
    processCommFileName(out, 4711);
    EXPECT_EQ(out, systemTempPath() + "kqx_p4711.tmp");
    EXPECT_FALSE(pathExists(out));
}

} // namespace
