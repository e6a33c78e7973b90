#include "pack.h"
#include "payload/payload_format.h"
#include "pe_image.h"

#include <dirent.h>
#include <gtest/gtest.h>

namespace kestro::packer {
namespace {

using kestro::testing::buildPeImage;
using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

class PackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = makeTestDirectory();
        stubPath_ = directory_ + "/stub.exe";
        stub_ = buildPeImage({{0x400, 0x200}, {0x600, 0x100}});
        writeFile(stubPath_, stub_ + "OVERLAY-AND-SIGNATURE");
        request_ = PackRequest{};
        request_.tables.config = {{payload::config::MainClass, "com.example.Main"}};
        request_.tables.messages = {{payload::message::CancelButton, u"Cancel"}};
    }

    std::string addFile(const std::string& name, const std::string& contents) {
        const std::string path = directory_ + "/src-" + name;
        writeFile(path, contents);
        request_.files.push_back(IncludedFile{name, path});
        return path;
    }

    std::vector<std::string> directoryEntries() {
        std::vector<std::string> names;
        DIR* dir = opendir(directory_.c_str());
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.' || std::string(entry->d_name).size() > 2)
                names.push_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }

    std::string directory_, stubPath_, stub_;
    PackRequest request_;
};

TEST_F(PackTest, StubIsCutAtTheLastSectionAndFollowedByTablesFilesAndTrailingData) {
    addFile("app.jar", "PK-jar-bytes");
    addFile("empty.txt", "");
    request_.trailingData = "TRAILER";
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    const std::string launcher = readFile(directory_ + "/App.exe");

    ASSERT_EQ(launcher.compare(0, stub_.size(), stub_), 0);
    EXPECT_EQ(launcher.find("OVERLAY"), std::string::npos) << "the stub's overlay must be dropped";

    payload::PayloadTables tables;
    size_t end;
    ASSERT_TRUE(payload::decodeTables(launcher, stub_.size(), &tables, &end, &error)) << error;
    EXPECT_EQ(tables.config.front(),
              (std::pair<int32_t, std::string>{payload::config::MainClass, "com.example.Main"}));
    EXPECT_EQ(tables.config[tables.config.size() - 2],
              (std::pair<int32_t, std::string>{payload::config::IncludedFileCount, "2"}));
    EXPECT_EQ(tables.config.back(),
              (std::pair<int32_t, std::string>{payload::config::IncludedFileNames, "app.jar;empty.txt;"}));
    EXPECT_EQ(tables.messages, request_.tables.messages);

    std::string expected;
    payload::appendIncludedFile(expected, "PK-jar-bytes");
    payload::appendIncludedFile(expected, "");
    EXPECT_EQ(launcher.substr(end), expected + "TRAILER");
}

TEST_F(PackTest, FilesCountAndNamesComeFromTheFilesNotFromTheTables) {
    request_.tables.config.emplace_back(payload::config::IncludedFileCount, "9");
    request_.tables.config.emplace_back(payload::config::IncludedFileNames, "stale.jar;");
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    payload::PayloadTables tables;
    size_t end;
    ASSERT_TRUE(
        payload::decodeTables(readFile(directory_ + "/App.exe"), stub_.size(), &tables, &end, &error));
    int countRecords = 0;
    for (const auto& [id, text] : tables.config) {
        if (id == payload::config::IncludedFileCount) {
            ++countRecords;
            EXPECT_EQ(text, "0");
        }
        EXPECT_NE(text, "stale.jar;");
    }
    EXPECT_EQ(countRecords, 1);
}

TEST_F(PackTest, PayloadFollowsTheLastSectionHeaderEvenWhenAnEarlierOneEndsLater) {
    const std::string stub = buildPeImage({{0x800, 0x400}, {0x400, 0x100}}, "JUNK");
    writeFile(stubPath_, stub);
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    const std::string launcher = readFile(directory_ + "/App.exe");
    EXPECT_EQ(launcher.compare(0, 0x500, stub, 0, 0x500), 0);
    std::string magic;
    payload::appendInt32(magic, static_cast<int32_t>(payload::kMagic));
    EXPECT_EQ(launcher.substr(0x500, 4), magic);
}

TEST_F(PackTest, SameInputsGiveIdenticalBytes) {
    addFile("app.jar", std::string(200000, 'x'));
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/one.exe", &error)) << error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/two.exe", &error)) << error;
    EXPECT_EQ(readFile(directory_ + "/one.exe"), readFile(directory_ + "/two.exe"));
}

TEST_F(PackTest, FilesLargerThanOneChunkAreCopiedWhole) {
    std::string contents;
    for (int i = 0; i < 3 * 65536 + 17; ++i)
        contents.push_back(static_cast<char>(i * 7));
    addFile("data.bin", contents);
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    std::string expected;
    payload::appendIncludedFile(expected, contents);
    const std::string launcher = readFile(directory_ + "/App.exe");
    EXPECT_EQ(launcher.substr(launcher.size() - expected.size()), expected);
}

TEST_F(PackTest, RuntimeJarFollowsTheProjectFilesUnderItsFixedName) {
    addFile("app.jar", "PK-app");
    const std::string runtimeJar = directory_ + "/built-runtime.jar";
    writeFile(runtimeJar, "PK-runtime");
    request_.runtimeJarPath = runtimeJar;
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    const std::string launcher = readFile(directory_ + "/App.exe");

    payload::PayloadTables tables;
    size_t end;
    ASSERT_TRUE(payload::decodeTables(launcher, stub_.size(), &tables, &end, &error)) << error;
    EXPECT_EQ(tables.config[tables.config.size() - 2],
              (std::pair<int32_t, std::string>{payload::config::IncludedFileCount, "2"}));
    EXPECT_EQ(tables.config.back(), (std::pair<int32_t, std::string>{payload::config::IncludedFileNames,
                                                                     "app.jar;kestro-runtime.jar;"}));
    std::string expected;
    payload::appendIncludedFile(expected, "PK-app");
    payload::appendIncludedFile(expected, "PK-runtime");
    EXPECT_EQ(launcher.substr(end), expected);
}

TEST_F(PackTest, RuntimeJarNameIsTakenEvenInAnotherCase) {
    addFile("Kestro-Runtime.JAR", "PK-own");
    const std::string runtimeJar = directory_ + "/built-runtime.jar";
    writeFile(runtimeJar, "PK-runtime");
    request_.runtimeJarPath = runtimeJar;
    std::string error;
    EXPECT_FALSE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error));
    EXPECT_NE(error.find("is used twice"), std::string::npos) << error;
}

struct FailureCase {
    const char* what;
    void (*arrange)(PackTest&, PackRequest&, std::string& stubPath);
    const char* expected;
};

TEST_F(PackTest, FailuresNameTheCauseAndLeaveTheOutputAlone) {
    const FailureCase cases[] = {
        {"missing included file",
         [](PackTest&, PackRequest& request, std::string&) {
             request.files.push_back(IncludedFile{"gone.jar", "/nonexistent/gone.jar"});
         },
         "/nonexistent/gone.jar"},
        {"bad name",
         [](PackTest&, PackRequest& request, std::string&) {
             request.files.push_back(IncludedFile{"lib\\x.jar", "/etc/hostname"});
         },
         "directory part"},
        {"name used twice, case aside",
         [](PackTest&, PackRequest& request, std::string&) {
             request.files.push_back(IncludedFile{"App.jar", "/etc/hostname"});
             request.files.push_back(IncludedFile{"app.JAR", "/etc/hostname"});
         },
         "used twice"},
        {"missing stub", [](PackTest&, PackRequest&, std::string& stubPath) { stubPath += ".missing"; },
         "stub.exe.missing"},
        {"stub that is no PE file",
         [](PackTest&, PackRequest&, std::string& stubPath) { writeFile(stubPath, "#!/bin/sh\n"); },
         "not a PE executable"},
        {"stub whose last section ends past the file",
         [](PackTest&, PackRequest&, std::string& stubPath) {
             writeFile(stubPath, buildPeImage({{0x400, 0x200}}).substr(0, 0x500));
         },
         "past the end"},
    };
    for (const FailureCase& row : cases) {
        SetUp();
        const std::string output = directory_ + "/App.exe";
        writeFile(output, "previous launcher");
        std::string stubPath = stubPath_;
        row.arrange(*this, request_, stubPath);
        std::string error;
        EXPECT_FALSE(packLauncher(stubPath, request_, output, &error)) << row.what;
        EXPECT_NE(error.find(row.expected), std::string::npos) << row.what << ": " << error;
        EXPECT_EQ(readFile(output), "previous launcher") << row.what;
        for (const std::string& entry : directoryEntries())
            EXPECT_EQ(entry.find(".kestro-pack"), std::string::npos) << row.what << ": left " << entry;
    }
}

TEST(IncludedFileNames, OnlyPlainWindowsFileNamesPass) {
    for (const char* good :
         {"app.jar", "jre.tar.gz", "R\xE9sum\xE9.txt", "a b", ".hidden", "console.jar", "com10"}) {
        std::string error;
        EXPECT_TRUE(validateIncludedFileName(good, &error)) << good << ": " << error;
    }
    for (const char* bad :
         {"",    ".",         "..",  "../x",    "a/b",      "a\\b",      "/abs",     "\\\\server\\x",
          "C:x", "c:\\x",     "a;b", "a:b",     "a*b",      "a?b",       "a|b",      "a\"b",
          "a<b", "tab\tname", "CON", "nul.txt", "Com1.jar", "trailing.", "trailing "}) {
        std::string error;
        EXPECT_FALSE(validateIncludedFileName(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
} // namespace kestro::packer
