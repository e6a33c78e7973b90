#include "jvmsearch/java_validation.h"
#include "jvmsearch/registry_jvms.h"
#include "support/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The store is empty here, so configuration 130 (pre-releases everywhere) reads as 0.
TEST(VersionAcceptable, PrereleasesOnlyWhereTheCallerAllowsThem) {
    struct {
        const char* version;
        bool allowPrerelease;
        bool accepted;
    } cases[] = {
        {"1.5.0-beta2", false, false}, {"1.6.0-ea", false, false}, {"1.6.0-rc", false, false},
        {"1.5.0-beta2", true, true},   {"1.6.0-ea", true, true},   {"1.6.0-rc", true, true},
        {"1.6.0_10", false, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isVersionAcceptable(c.version, "1.4", "1.6", c.allowPrerelease), c.accepted)
            << c.version << " allowance " << c.allowPrerelease;
    // Allowed pre-releases still meet the bounds.
    EXPECT_FALSE(isVersionAcceptable("1.7.0-ea", "1.4", "1.6", true));
    EXPECT_TRUE(isVersionAcceptable("1.0.0", "", "", false));
}

TEST(RegistryKeyName, BackslashesBecomeSlashesAndLongNamesAreRefused) {
    char name[64];
    EXPECT_TRUE(registryKeyName(name, sizeof name, "jvms\\", "c:\\j2re\\bin\\java.exe"));
    EXPECT_STREQ(name, "jvms\\c:/j2re/bin/java.exe");
    EXPECT_FALSE(registryKeyName(name, 8, "jvms\\", "c:\\j"));
    EXPECT_STREQ(name, "");
}

// A text value may fill the reader's buffer to the last byte, its terminating zero included; a
// stored text without that zero is ended after its bytes, or refused when it fills the buffer.
TEST(RegistryString, AValueFillingTheBufferExactlyIsRead) {
    const std::string key = "SOFTWARE\\Morvane\\kestro\\unit_" + std::to_string(GetCurrentProcessId());
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &created, nullptr),
              ERROR_SUCCESS);
    const std::string fills(99, '1');
    const std::string tooLong(100, '1');
    struct {
        const char* name;
        std::string stored;
        DWORD storedBytes;
        bool read;
        const char* text;
    } cases[] = {
        {"fills", fills, 100, true, fills.c_str()},
        {"tooLong", tooLong, 101, false, ""},
        {"unterminated", "1.4.2", 5, true, "1.4.2"},
        {"unterminatedFull", tooLong, 100, false, ""},
    };
    for (const auto& c : cases)
        RegSetValueExA(created, c.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(c.stored.c_str()),
                       c.storedBytes);
    for (const auto& c : cases) {
        char buffer[100];
        DWORD size = sizeof buffer;
        EXPECT_EQ(readRegistryString(HKEY_CURRENT_USER, key.c_str(), c.name, buffer, &size), c.read)
            << c.name;
        EXPECT_STREQ(buffer, c.text) << c.name;
    }
    RegCloseKey(created);
    RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
}

// A Java uninstaller may delete the vendor key while a launcher enumerates it: every index then
// fails alike, and the enumeration must end rather than walk through every possible index.
TEST(SubKeyNames, AKeyDeletedWhileOpenEndsTheEnumeration) {
    const std::string key = "SOFTWARE\\Morvane\\kestro\\unit_enum_" + std::to_string(GetCurrentProcessId());
    for (const char* version : {"1.8.0_392", "17.0.9"}) {
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (key + "\\" + version).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &created, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(created);
    }
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(subKeyNames(opened).size(), 2u);

    ASSERT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str()), ERROR_SUCCESS);
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(opened, 5, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_TRUE(subKeyNames(opened).empty());
    RegCloseKey(opened);
}

// Runtime homes laid out in a fresh directory under the prefix's temporary directory.
class JavaExeForHome : public testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        root_ = std::string(temp) + "kestro_layout_" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(root_.c_str(), nullptr);
    }
    void TearDown() override {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            if (!DeleteFileA(it->c_str()))
                RemoveDirectoryA(it->c_str());
        RemoveDirectoryA(root_.c_str());
    }
    // Creates the files (and their directories) below the home.
    std::string home(const std::string& name, std::initializer_list<const char*> files) {
        std::string home = root_ + "\\" + name;
        makeDirectory(home);
        for (const char* file : files) {
            std::string path = home;
            std::string rest = file;
            for (size_t slash; (slash = rest.find('\\')) != std::string::npos; rest.erase(0, slash + 1)) {
                path += "\\" + rest.substr(0, slash);
                makeDirectory(path);
            }
            path += "\\" + rest;
            HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            CloseHandle(handle);
            created_.push_back(path);
        }
        return home;
    }

  private:
    void makeDirectory(const std::string& path) {
        if (CreateDirectoryA(path.c_str(), nullptr))
            created_.push_back(path);
    }
    std::string root_;
    std::vector<std::string> created_;
};

TEST_F(JavaExeForHome, EachLayoutGivesItsExecutable) {
    const std::string jre = home("jre", {"bin\\java.exe", "bin\\client\\jvm.dll"});
    const std::string jdk =
        home("jdk", {"bin\\java.exe", "bin\\javac.exe", "lib\\tools.jar", "jre\\bin\\java.exe"});
    const std::string modernJdk = home("jdk17", {"bin\\java.exe", "bin\\javac.exe", "bin\\server\\jvm.dll"});
    const std::string modernJre = home("jre17", {"bin\\java.exe", "bin\\server\\jvm.dll"});
    const std::string empty = home("empty", {});
    // A JDK 8 without its embedded JRE but with a jre directory left over is no modern JDK.
    const std::string brokenJdk = home("broken", {"bin\\java.exe", "bin\\javac.exe", "jre\\readme.txt"});
    struct {
        std::string home;
        bool jdkRequired;
        bool found;
        const char* executable;
    } cases[] = {
        {jre, false, true, "\\bin\\java.exe"},
        {jre, true, false, "\\jre\\bin\\java.exe"},
        {jdk, false, true, "\\jre\\bin\\java.exe"},
        {jdk, true, true, "\\jre\\bin\\java.exe"},
        {modernJdk, false, true, "\\bin\\java.exe"},
        {modernJdk, true, true, "\\bin\\java.exe"},
        {modernJre, false, true, "\\bin\\java.exe"},
        {modernJre, true, false, "\\jre\\bin\\java.exe"},
        // Without the JDK requirement the executable's existence is left to checkJavaExe.
        {empty, false, true, "\\bin\\java.exe"},
        {empty, true, false, "\\jre\\bin\\java.exe"},
        {brokenJdk, true, false, "\\jre\\bin\\java.exe"},
    };
    for (const auto& c : cases) {
        char executable[kPathCapacity];
        EXPECT_EQ(javaExeForHomeLayout(executable, c.home.c_str(), c.jdkRequired), c.found)
            << c.home << " jdk required " << c.jdkRequired;
        EXPECT_EQ(std::string(executable), c.home + c.executable)
            << c.home << " jdk required " << c.jdkRequired;
    }
}

TEST_F(JavaExeForHome, AHomeTooLongForTheBufferIsRefused) {
    std::string longHome(kPathCapacity - 10, 'x');
    char executable[kPathCapacity];
    EXPECT_FALSE(javaExeForHomeLayout(executable, longHome.c_str(), false));
    EXPECT_STREQ(executable, "");
}

} // namespace
