#include "startup/startup.h"
#include "support/paths.h"
#include "support/single_instance.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

namespace {

TEST(ArgumentsPart, FollowsTheProgramName) {
    struct Case {
        const wchar_t* commandLine;
        const wchar_t* expected;
    } cases[] = {
        {L"app.exe a b", L"a b"},
        {L"app.exe    a  b ", L"a  b "},
        {L"\"c:\\my apps\\app.exe\" -q x", L"-q x"},
        {L"\"c:\\my apps\\app.exe\"", L""},
        {L"\"c:\\my apps\\app.exe\"x y", L"y"},
        {L"app.exe", L""},
        {L"\"unterminated a b", L""},
        {L"app.exe \u00FC \u4E2D", L"\u00FC \u4E2D"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(argumentsPartOfCommandLine(c.commandLine), c.expected);
}

TEST(InstanceName, BackslashesBecomeUnderscores) {
    EXPECT_EQ(instanceNameForPath("c:\\app\\setup.exe"), "c:_app_setup.exe");
    EXPECT_EQ(instanceNameForPath("\\\\srv\\share\\a.exe"), "__srv_share_a.exe");
}

TEST(InstanceName, ModulePathStandsInWhenNoFullPathCanBeMade) {
    EXPECT_EQ(executableKey("C:\\Apps\\Setup.EXE"), "c:\\apps\\setup.exe");
    // Relative, and too long once the executable's directory is put in front: no full path.
    const std::string refused = "App\\" + std::string(8180, 'X') + ".EXE";
    EXPECT_EQ(executableKey(refused.c_str()), "app\\" + std::string(8180, 'x') + ".exe");
}

TEST(PathPrefix, JoinsWithOneSeparator) {
    EXPECT_EQ(prefixedPath(L"", L"C:\\windows"), L"C:\\windows");
    EXPECT_EQ(prefixedPath(L"C:\\a", L"C:\\windows"), L"C:\\a;C:\\windows");
    EXPECT_EQ(prefixedPath(L"C:\\a;D:\\b;", L"C:\\windows"), L"C:\\a;D:\\b;C:\\windows");
    EXPECT_EQ(prefixedPath(L"C:\\a", L""), L"C:\\a;");
}

// Where a later instance looks: a 32-bit number under the lower-cased full path of the executable.
// The reader takes any value of four bytes, whatever its type.
TEST(ProcessRegistry, RecordsThisProcess) {
    registerProcessId();
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    CharLowerBuffA(path, length);
    const char* key = "SOFTWARE\\Morvane\\kestro\\pids";
    DWORD type = 0, id = 0, size = sizeof id;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, key, path, RRF_RT_ANY, &type, &id, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(id, GetCurrentProcessId());

    id = 4242;
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, path, REG_BINARY, &id, sizeof id), ERROR_SUCCESS);
    EXPECT_EQ(registeredProcessId(), 4242u);
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, path, REG_QWORD, "12345678", 8), ERROR_SUCCESS);
    EXPECT_EQ(registeredProcessId(), 0u);
}

// Left by an earlier process with this id, which nobody consumed: not for this one.
TEST(HandOver, AFileLeftForThisProcessIdIsRemoved) {
    char commFile[8192];
    processCommFileName(commFile, GetCurrentProcessId());
    FILE* stale = fopen(commFile, "wb");
    ASSERT_NE(stale, nullptr) << commFile;
    fputs("old arguments\n", stale);
    fclose(stale);

    discardStaleHandOver();

    EXPECT_FALSE(pathExists(commFile));
}

// Real top-level windows of this process (the test runs with a display).
class ProcessWindows : public ::testing::Test {
  protected:
    HWND create(const char* title, DWORD style) {
        HWND window = CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW | style, 10, 10, 200, 100,
                                      nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        windows.push_back(window);
        return window;
    }
    void TearDown() override {
        for (HWND window : windows)
            DestroyWindow(window);
    }
    std::vector<HWND> windows;
};

TEST_F(ProcessWindows, CountsVisibleOnes) {
    const DWORD self = GetCurrentProcessId();
    const int before = countProcessWindows(self);
    create("one", WS_VISIBLE);
    create("two", WS_VISIBLE);
    create("hidden", 0);
    EXPECT_EQ(countProcessWindows(self), before + 2);
    EXPECT_EQ(countProcessWindows(self, {windows[0], windows[2]}), before + 1) << "the windows besides";
}

TEST_F(ProcessWindows, ActivationRestoresMinimisedWindowsWhenAsked) {
    HWND window = create("minimised", WS_VISIBLE);
    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(window));

    activateProcessWindows(GetCurrentProcessId(), false);
    EXPECT_TRUE(IsIconic(window));

    activateProcessWindows(GetCurrentProcessId(), true);
    EXPECT_FALSE(IsIconic(window));
}

} // namespace
