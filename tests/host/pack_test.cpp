#include "commands/pack.h"
#include "payload/payload_format.h"
#include "payload/stub_marker.h"
#include "pe/pe_image.h"
#include "pe_image.h"

#include "support/temporary_file.h"
#include "writers/runtime_bundle.h"

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestro::packer {
namespace {

using kestro::testing::buildPeImage;
using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

class PackTest : public ::testing::Test {
  public: // the rows of the failure table arrange through it
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

    // A runtime directory of the given files (path below the runtime, contents) inside the test
    // directory, so that a temporary archive left behind would show.
    std::string runtime(const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string home = directory_ + "/jre";
        for (const auto& [path, contents] : files) {
            std::filesystem::create_directories(std::filesystem::path(home + "/" + path).parent_path());
            writeFile(home + "/" + path, contents);
        }
        return home;
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
    std::string output_; // the failure table's rows may name another
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

TEST_F(PackTest, FilesOfAnySizeAreCopiedWholeAndInOrder) {
    // Sizes around the packer's 1 MiB copy chunks: the first leaves too little room for the next
    // size field, an empty file, then one spanning several chunks.
    const size_t sizes[] = {(1u << 20) - 12, 0, (3u << 20) + 17, 5};
    std::string expected;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::string contents;
        for (size_t b = 0; b < sizes[i]; ++b)
            contents.push_back(static_cast<char>(b * 7 + i));
        addFile("data" + std::to_string(i) + ".bin", contents);
        payload::appendIncludedFile(expected, contents);
    }
    std::string error;
    ASSERT_TRUE(packLauncher(stubPath_, request_, directory_ + "/App.exe", &error)) << error;
    const std::string launcher = readFile(directory_ + "/App.exe");
    ASSERT_GE(launcher.size(), expected.size());
    EXPECT_TRUE(launcher.compare(launcher.size() - expected.size(), expected.size(), expected) == 0);
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
        {"name used twice, case of an accented letter aside (NTFS folds them too)",
         [](PackTest&, PackRequest& request, std::string&) {
             request.files.push_back(IncludedFile{"\xE4\x9A.txt", "/etc/hostname"});
             request.files.push_back(IncludedFile{"\xC4\x8A.txt", "/etc/hostname"});
         },
         "used twice"},
        {"included file that cannot be read, after one that fills chunks",
         [](PackTest& test, PackRequest& request, std::string&) {
             test.addFile("big.bin", std::string(3u << 20, 'b'));
             request.files.push_back(IncludedFile{"dir.bin", test.directory_});
         },
         "could not be read completely"},
        {"write that fails midway (file size limit)",
         [](PackTest& test, PackRequest&, std::string&) {
             test.addFile("big.bin", std::string(3u << 20, 'b'));
             const rlimit limit{1u << 20, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         "File too large"},
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
        {"executable that is no Kestro stub",
         [](PackTest&, PackRequest&, std::string& stubPath) {
             writeFile(stubPath, buildPeImage({{0x400, 0x200}}, "", 224, false));
         },
         "is not a Kestro launcher stub"},
        {"stub of another architecture",
         [](PackTest&, PackRequest& request, std::string&) { request.targetMachine = pe::kMachineX86; },
         "is for x64, not for x86"},
        {"output is the stub",
         [](PackTest& test, PackRequest&, std::string& stubPath) { stubPath = test.directory_ + "/App.exe"; },
         "is the launcher stub"},
        {"output is an included file, by another name",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.files.push_back(IncludedFile{"App.exe", test.directory_ + "/./App.exe"});
         },
         "is the included file"},
        {"output is the splash picture the project read",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.inputFiles.emplace_back("the splash picture", test.directory_ + "/App.exe");
         },
         "is the splash picture"},
        {"output is a directory",
         [](PackTest& test, PackRequest&, std::string&) { test.output_ = test.directory_; },
         "is a directory"},
        {"output inside the runtime directory the packer archives",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.bundledRuntime = test.runtime({{"bin/java.exe", "MZ"}});
             test.output_ = test.directory_ + "/jre/bin/App.exe";
             writeFile(test.output_, "previous launcher");
         },
         "lies inside the bundled runtime directory"},
        {"finished launcher as the stub",
         [](PackTest& test, PackRequest& request, std::string& stubPath) {
             std::string error;
             stubPath = test.directory_ + "/Finished.exe";
             EXPECT_TRUE(packLauncher(test.stubPath_, request, stubPath, &error)) << error;
         },
         "is a finished launcher, not a stub"},
        {"marker only in the data after the image",
         [](PackTest&, PackRequest&, std::string& stubPath) {
             writeFile(stubPath, buildPeImage({{0x400, 0x200}}, payload::kStubMarker, 224, false));
         },
         "is not a Kestro launcher stub"},
        {"output is the project file",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.projectPath = test.directory_ + "/App.exe";
         },
         "is the project file"},
        {"Windows stub for a Linux launcher",
         [](PackTest&, PackRequest& request, std::string&) { request.system = TargetSystem::Linux; },
         "is not a Linux executable, but the launcher is for Linux"},
        {"Linux launcher to be signed",
         [](PackTest&, PackRequest& request, std::string&) {
             request.system = TargetSystem::Linux;
             request.signing = SigningRequest{};
         },
         "a Linux launcher is not signed"},
        {"runtime for Linux",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.bundledRuntime = test.runtime({{"bin/java", "ELF"}, {"lib/server/libjvm.so", "ELF"}});
         },
         "neither bin/java.exe nor bin/javaw.exe"},
        {"runtime without jvm.dll where the launcher looks",
         [](PackTest& test, PackRequest& request, std::string&) {
             request.bundledRuntime = test.runtime({{"bin/javaw.exe", "MZ"}, {"bin/jvm.dll", "MZ"}});
         },
         "no jvm.dll in bin/hotspot, bin/client, bin/server"},
        {"runtime of another architecture",
         [](PackTest& test, PackRequest& request, std::string&) {
             std::string dll = buildPeImage({{0x400, 0x200}}, "", 224, false);
             dll[0x84] = 0x4c; // machine: i386
             dll[0x85] = 0x01;
             request.bundledRuntime = test.runtime({{"bin/java.exe", "MZ"}, {"bin/client/jvm.dll", dll}});
         },
         "bin/client/jvm.dll is for x86, but the launcher stub is for x64"},
    };
    // The file size limit row fails writes with EFBIG instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    for (const FailureCase& row : cases) {
        SetUp();
        output_ = directory_ + "/App.exe";
        std::string stubPath = stubPath_;
        writeFile(output_, "previous launcher");
        row.arrange(*this, request_, stubPath);
        const bool file = std::filesystem::is_regular_file(output_);
        std::string error;
        EXPECT_FALSE(packLauncher(stubPath, request_, output_, &error)) << row.what;
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_NE(error.find(row.expected), std::string::npos) << row.what << ": " << error;
        if (file) {
            EXPECT_EQ(readFile(output_), "previous launcher") << row.what;
        }
        for (const std::string& entry : directoryEntries())
            EXPECT_EQ(entry.find(".kestro-pack"), std::string::npos) << row.what << ": left " << entry;
    }
}

TEST(IncludedFileNames, OnlyPlainWindowsFileNamesPass) {
    const std::string longest(255, 'n');
    const std::vector<std::string> good = {"app.jar", "jre.tar.gz", "R\xE9sum\xE9.txt",
                                           "a b",     ".hidden",    "console.jar",
                                           "com10",   "com0",       longest};
    const std::vector<std::string> bad = {"",         ".",           "..",         "../x",
                                          "a/b",      "a\\b",        "/abs",       "\\\\server\\x",
                                          "C:x",      "c:\\x",       "a;b",        "a:b",
                                          "a*b",      "a?b",         "a|b",        "a\"b",
                                          "a<b",      "tab\tname",   "CON",        "nul.txt",
                                          "Com1.jar", "trailing.",   "trailing ",  "CONIN$",
                                          "com\xB9",  "LPT\xB3.log", longest + "n"};
    for (const std::string& name : good) {
        std::string error;
        EXPECT_TRUE(validateIncludedFileName(name, &error)) << name << ": " << error;
    }
    for (const std::string& name : bad) {
        std::string error;
        EXPECT_FALSE(validateIncludedFileName(name, &error)) << name;
        EXPECT_FALSE(error.empty());
    }
}

TEST(TemporaryFileTest, AnInterruptRemovesTheFileAndStillEndsTheProcess) {
    const std::string directory = kestro::testing::makeTestDirectory();
    int channel[2];
    ASSERT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    if (child == 0) {
        TemporaryFile file;
        std::string error;
        if (!file.create(directory, &error))
            _exit(3);
        const std::string path = file.path() + "\n";
        if (write(channel[1], path.data(), path.size()) != static_cast<ssize_t>(path.size()))
            _exit(4);
        raise(SIGTERM);
        _exit(5); // not reached: the handler ends the process with the signal
    }
    close(channel[1]);
    char buffer[4096] = {};
    const ssize_t got = read(channel[0], buffer, sizeof buffer - 1);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(got, 0);
    const std::string path(buffer, static_cast<size_t>(got) - 1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

} // namespace
} // namespace kestro::packer
