#include "support/paths.h"

#include "test_files.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kestro::test_support::removeTree;

std::string systemTempPath() {
    char path[MAX_PATH];
    GetTempPathA(MAX_PATH, path);
    return path;
}

void writeFile(const std::string& path, const char* content = "x") {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, content, static_cast<DWORD>(strlen(content)), &written, nullptr);
    CloseHandle(file);
}

// A fresh directory under the system's temporary path, removed with everything in it afterwards.
class Sandbox : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = systemTempPath() + "kestro_paths_" + std::to_string(GetCurrentProcessId());
        removeTree(root_);
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
    }
    void TearDown() override { removeTree(root_); }
    std::string at(const std::string& relative) const { return root_ + "\\" + relative; }
    void makeDirectory(const std::string& relative) const {
        ASSERT_TRUE(CreateDirectoryA(at(relative).c_str(), nullptr)) << relative;
    }

    std::string root_;
};

// Restores the current directory, which some checks must change.
class CurrentDirectory {
  public:
    CurrentDirectory() { GetCurrentDirectoryA(MAX_PATH, saved_); }
    ~CurrentDirectory() { SetCurrentDirectoryA(saved_); }

  private:
    char saved_[MAX_PATH];
};

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string moduleDirectory() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string module = path;
    return module.substr(0, module.rfind('\\') + 1);
}

std::string normalized(std::string path) {
    path.resize(kPathCapacity);
    normalizeSeparators(&path[0]);
    return path.c_str();
}

TEST(IsRelativePath, FollowsTheDriveAndNetworkPrefixes) {
    struct Case {
        const char* path;
        bool relative;
    };
    const Case cases[] = {
        {"", true},
        {"a", true},
        {"c:", true},
        {"\\\\", true},
        {"lib\\a.jar", true},
        {"\\temp", true},
        {"/usr", true},
        {"c:a.jar", true},
        {"c:\\a", false},
        {"\\\\srv\\x", false},
        {"c:\\", false},
        {"\"c:\\a\"", false},
        {"\"\\\\srv\"", false},
        {"\"ab", true},
        {"\"c:", true},
        {"\"c:\\", false},
        {"\"lib\\a\"", true},
        {"c:/a", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isRelativePath(c.path), c.relative) << c.path;
    }
}

TEST(NormalizeSeparators, CollapsesRunsButKeepsANetworkPrefix) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"c:\\\\a\\\\\\b", "c:\\a\\b"},
        {"\\\\srv\\x", "\\\\srv\\x"},
        {"\\\\\\srv", "\\\\srv"},
        {"a\\\\\\\\", "a\\"},
        {"\\a\\\\b", "\\a\\b"},
        {"\\", "\\"},
        {"", ""},
        {"c:/a//b", "c:/a//b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(normalized(c.path), c.expected) << c.path;
    }
}

TEST(NormalizeSeparators, LeavesATextTooLongForItsBufferUnchanged) {
    std::string tooLong = "c:\\\\" + std::string(kPathCapacity, 'a');
    std::string copy = tooLong;
    normalizeSeparators(&copy[0]);
    EXPECT_EQ(copy, tooLong);
}

TEST(ExecutablePath, IsTheModuleFileWithTheDirectoryCached) {
    char module[MAX_PATH];
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    EXPECT_EQ(_stricmp(executablePath(), module), 0) << executablePath();
    EXPECT_EQ(executablePath(), executablePath());
    EXPECT_EQ(_stricmp(executableDirectory(), moduleDirectory().c_str()), 0) << executableDirectory();
}

// Run only as the child of the test below: prints the path this copy of the program sees and
// whether the 8-bit file functions open it.
TEST(DISABLED_ExecutablePathChild, Prints) {
    HANDLE self = CreateFileA(executablePath(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    printf("executablePath=%s\nopened=%d\n", executablePath(), self != INVALID_HANDLE_VALUE ? 1 : 0);
    if (self != INVALID_HANDLE_VALUE) {
        CloseHandle(self);
    }
}

// Output of a copy of this program started from copy, running only the child above.
std::string runChildCopy(const std::wstring& copy) {
    std::wstring commandLine =
        L"\"" + copy + L"\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_ExecutablePathChild.*";
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        return "cannot create a pipe";
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION child = {};
    const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &child);
    CloseHandle(writeEnd);
    std::string output;
    char chunk[256];
    DWORD got = 0;
    while (started && ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    CloseHandle(readEnd);
    if (!started) {
        return "cannot start the copy";
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return output;
}

std::string valueAfter(const std::string& output, const std::string& key) {
    const size_t start = output.find(key);
    if (start == std::string::npos) {
        return "<no " + key + ">";
    }
    const size_t end = output.find_first_of("\r\n", start);
    return output.substr(start + key.size(), end - start - key.size());
}

TEST(ExecutablePath, UnderAnUnrepresentableDirectoryIsStillOpenable) {
    wchar_t tempPath[MAX_PATH];
    GetTempPathW(MAX_PATH, tempPath);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    // None has a form in the Western ANSI code page; Polish and Greek letters have best-fit
    // look-alikes there ("L", "O", "d"), which name another directory.
    for (const wchar_t* name : {L"\u0141ukasz", L"\u03A9\u03B4", L"\u4E2D\u6587"}) {
        const std::wstring directory =
            std::wstring(tempPath) + L"kestro_" + name + L"_" + std::to_wstring(GetCurrentProcessId());
        const std::wstring copy = directory + L"\\paths_test.exe";
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));

        const std::string output = runChildCopy(copy);
        char expected[MAX_PATH];
        std::wstring shortCopy(MAX_PATH, L'\0');
        const DWORD shortLength = GetShortPathNameW(copy.c_str(), &shortCopy[0], MAX_PATH);
        DeleteFileW(copy.c_str());
        RemoveDirectoryW(directory.c_str());

        EXPECT_EQ(valueAfter(output, "opened="), "1") << output;
        const std::string seen = valueAfter(output, "executablePath=");
        ASSERT_NE(shortLength, 0u);
        WideCharToMultiByte(CP_ACP, 0, shortCopy.c_str(), -1, expected, MAX_PATH, nullptr, nullptr);
        EXPECT_EQ(_stricmp(seen.c_str(), expected), 0) << seen;
    }
}

TEST(MakeAbsolute, ResolvesAgainstTheExecutableNotTheCurrentDirectory) {
    CurrentDirectory restore;
    SetCurrentDirectoryA(systemTempPath().c_str());
    const std::string directory = executableDirectory();
    struct Case {
        const char* path;
        std::string expected;
    };
    const Case cases[] = {
        {"lib\\\\a.jar", directory + "lib\\a.jar"},       {"a.jar", directory + "a.jar"},
        {"\"lib\\a.jar\"", directory + "\"lib\\a.jar\""}, {"c:\\\\app\\a.jar", "c:\\app\\a.jar"},
        {"\\\\srv\\\\share", "\\\\srv\\share"},
    };
    for (const Case& c : cases) {
        char out[kPathCapacity];
        EXPECT_TRUE(makeAbsolute(out, c.path)) << c.path;
        EXPECT_EQ(out, c.expected) << c.path;
    }
}

TEST(MakeAbsolute, RefusesWhatDoesNotFit) {
    char out[kPathCapacity];
    std::string longRelative(kPathCapacity - 2, 'a');
    EXPECT_FALSE(makeAbsolute(out, longRelative.c_str()));
    EXPECT_STREQ(out, "");
    std::string longAbsolute = "c:\\" + std::string(kPathCapacity, 'a');
    EXPECT_FALSE(makeAbsolute(out, longAbsolute.c_str()));
    EXPECT_STREQ(out, "");
}

TEST(AbsolutePathList, SkipsEmptyEntriesAndJoinsWithSemicolons) {
    char out[kPathCapacity];
    absolutePathList(out, sizeof out, ";a.jar;;c:\\\\b;");
    EXPECT_EQ(std::string(out), std::string(executableDirectory()) + "a.jar;c:\\b");
    absolutePathList(out, sizeof out, "");
    EXPECT_STREQ(out, "");
}

TEST(AbsolutePathList, NamesTheEntriesLeftOutForWantOfRoom) {
    char out[16];
    std::string leftOut = "stale";
    absolutePathList(out, sizeof out, "c:\\aaaa;c:\\bbbbbbbbbbbb;;c:\\cc;c:\\dddd", &leftOut);
    EXPECT_STREQ(out, "c:\\aaaa;c:\\cc");
    EXPECT_EQ(leftOut, "c:\\bbbbbbbbbbbb;c:\\dddd");
    absolutePathList(out, sizeof out, "c:\\aaaa", &leftOut);
    EXPECT_EQ(leftOut, "");
}

TEST(FullPath, RemovesDotStepsAndLowerCasesUnlessAsked) {
    char out[kPathCapacity];
    EXPECT_TRUE(fullPath(out, "C:\\Dir\\..\\X\\.\\\\Y.JAR", true));
    EXPECT_STREQ(out, "C:\\X\\Y.JAR");
    EXPECT_TRUE(fullPath(out, "C:\\Dir\\..\\X\\.\\\\Y.JAR", false));
    EXPECT_STREQ(out, "c:\\x\\y.jar");
    EXPECT_TRUE(fullPath(out, "Sub\\..\\File.Txt", true));
    EXPECT_EQ(_stricmp(out, (moduleDirectory() + "File.Txt").c_str()), 0) << out;
}

TEST(FullPath, LowerCasesBeyondAsciiThroughUtf16) {
    if (GetACP() != 1252) {
        GTEST_SKIP() << "needs the ANSI code page 1252, have " << GetACP();
    }
    char out[kPathCapacity];
    EXPECT_TRUE(fullPath(out, "C:\\\xC4RGER\\\xDC\\\xC9t\xE9", false));
    EXPECT_STREQ(out, "c:\\\xE4rger\\\xFC\\\xE9t\xE9");
}

TEST(PathExists, DriveRootsAlwaysExist) {
    for (const char* root : {"q:\\", "q:\\.", "q:\\.\\.", "Z:\\"}) {
        EXPECT_TRUE(pathExists(root)) << root;
    }
    // The drive-root rule is only for those exact forms; findFile asks the disk.
    EXPECT_FALSE(pathExists("q:\\.\\.\\."));
    EXPECT_FALSE(findFile("q:\\", nullptr));
}

TEST_F(Sandbox, PathExistsAsksADirectorySearch) {
    writeFile(at("present.txt"));
    makeDirectory("folder");
    EXPECT_TRUE(pathExists(at("present.txt").c_str()));
    EXPECT_TRUE(pathExists(at("folder").c_str()));
    EXPECT_TRUE(pathExists(at("pres*.txt").c_str()));
    EXPECT_FALSE(pathExists(at("absent.txt").c_str()));
    EXPECT_FALSE(pathExists(at("folder\\").c_str()));
}

TEST_F(Sandbox, FindFileReportsTheLastWriteTime) {
    const std::string path = at("dated.txt");
    writeFile(path);
    const uint64_t stamp = 130000000000000000ULL; // 2012-12-16
    FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);

    uint64_t found = 0;
    EXPECT_TRUE(findFile(path.c_str(), &found));
    EXPECT_EQ(found, stamp);
    EXPECT_TRUE(findFile(path.c_str(), nullptr));
    found = 7;
    EXPECT_FALSE(findFile(at("missing").c_str(), &found));
    EXPECT_EQ(found, 7u);
}

TEST_F(Sandbox, LongPathNameExpandsAShortName) {
    makeDirectory("a directory with a long name");
    const std::string longPath = at("a directory with a long name\\another long file.name");
    writeFile(longPath);
    char shortPath[MAX_PATH];
    ASSERT_NE(GetShortPathNameA(longPath.c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_STRNE(shortPath, longPath.c_str());

    for (auto routine : {longPathName, longPathNameFallback}) {
        char out[MAX_PATH];
        unsigned long length = routine(shortPath, out, MAX_PATH);
        EXPECT_EQ(length, longPath.size());
        EXPECT_EQ(_stricmp(out, longPath.c_str()), 0) << out;

        char small[8];
        SetLastError(0);
        EXPECT_EQ(routine(shortPath, small, sizeof small), longPath.size() + 1);
        // GetLongPathNameA itself leaves the last error alone here; the contract is in the length.
        if (routine == longPathNameFallback) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        }

        EXPECT_EQ(routine(at("missing").c_str(), out, MAX_PATH), 0u);
    }
}

// The fallback works within MAX_PATH, terminator included: 258 characters still fit, 259 do not.
TEST_F(Sandbox, LongPathNameFallbackRefusesFullFormsOfMaxPathBytes) {
    // A directory deep enough that a short relative name gives a full form beyond MAX_PATH;
    // directories themselves must stay below MAX_PATH - 12.
    std::string deep = root_;
    while (deep.size() < MAX_PATH - 12 - 40) {
        deep += "\\" + std::string(30, 'd');
        ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
    }
    deep += "\\";
    auto fileOfFullLength = [&](size_t length) { return deep + std::string(length - deep.size(), 'f'); };

    const std::string fits = fileOfFullLength(MAX_PATH - 2);
    writeFile(fits);
    char out[MAX_PATH];
    EXPECT_EQ(longPathNameFallback(fits.c_str(), out, MAX_PATH), fits.size());
    EXPECT_EQ(_stricmp(out, fits.c_str()), 0) << out;

    const std::string tooLong = fileOfFullLength(MAX_PATH - 1);
    writeFile(tooLong);
    SetLastError(0);
    EXPECT_EQ(longPathNameFallback(tooLong.c_str(), out, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));

    // Far beyond MAX_PATH, reachable only as a name relative to the current directory.
    CurrentDirectory restore;
    ASSERT_TRUE(SetCurrentDirectoryA(deep.c_str()));
    const std::string relative(60, 'r');
    writeFile(relative);
    SetLastError(0);
    EXPECT_EQ(longPathNameFallback(relative.c_str(), out, MAX_PATH), 0u);
    const DWORD error = GetLastError();
    // Wine's GetFullPathNameA fails with ERROR_FILENAME_EXCED_RANGE where Windows reports the size
    // it needs, so under Wine the resolution step fails before the overflow check.
    EXPECT_TRUE(error == ERROR_BUFFER_OVERFLOW || (runningUnderWine() && error == ERROR_FILENAME_EXCED_RANGE))
        << error;
    DeleteFileA(relative.c_str());
}

TEST_F(Sandbox, EmptyDirectoryRemovesFilesAndEmptySubdirectoriesOnly) {
    makeDirectory("target");
    writeFile(at("target\\file.txt"));
    makeDirectory("target\\empty");
    makeDirectory("target\\full");
    writeFile(at("target\\full\\inner.txt"));

    emptyDirectory((at("target") + "\\").c_str());

    EXPECT_FALSE(pathExists(at("target\\file.txt").c_str()));
    EXPECT_FALSE(pathExists(at("target\\empty").c_str()));
    EXPECT_TRUE(pathExists(at("target\\full\\inner.txt").c_str()));
    EXPECT_TRUE(pathExists(at("target").c_str()));
}

TEST_F(Sandbox, EmptyDirectoryNeverTouchesDotPaths) {
    writeFile(at("kept.txt"));
    CurrentDirectory restore;
    ASSERT_TRUE(SetCurrentDirectoryA(root_.c_str()));
    for (const char* path : {".", ".\\", ""}) {
        emptyDirectory(path);
    }
    EXPECT_TRUE(pathExists(at("kept.txt").c_str()));
}

TEST_F(Sandbox, ListFilesTakesTheExtensionWithOrWithoutItsDot) {
    writeFile(at("a.jar"));
    writeFile(at("b.zip"));
    writeFile(at("c.jar.bak"));
    makeDirectory("d.jar");

    for (const char* extension : {"jar", ".jar"}) {
        char** names = nullptr;
        int count = listFiles(root_.c_str(), extension, &names);
        ASSERT_EQ(count, 2) << extension;
        std::vector<std::string> found(names, names + count);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, (std::vector<std::string>{"a.jar", "d.jar"})) << extension;
        freeFileList(names, count);
    }

    char* unset[1] = {nullptr};
    char** names = unset;
    EXPECT_EQ(listFiles(root_.c_str(), "exe", &names), 0);
    EXPECT_EQ(listFiles(at("missing").c_str(), "jar", &names), 0);
    EXPECT_EQ(names, unset);
}

} // namespace
