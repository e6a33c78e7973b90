#include "commands/inspect.h"
#include "commands/pack.h"
#include "payload/payload_format.h"
#include "pe_image.h"
#include "project/project_file.h"
#include "project/project_keys.h"
#include "support/text_encoding.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kestro::packer {
namespace {

using kestro::testing::buildPeImage;
using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

const char* const kProject = R"([application]
name = "Caf\u00e9 Manager"
main_class = "com.example.cafe.Main"
kind = "installer"
executable_type = 5
arguments = "--mode \"full\""
error_log_enabled = true
error_log_file = "error.log"

[java]
min_version = "1.8"
search_sequence = ["EJAVA_HOME", "Y"]
allow_prerelease = true

[vm]
parameters = "-Xmx512m"
class_path = ["A1lib\\extra.jar"]

[splash]
width = 400

[splash.status]
colour = [10, 20, 30]

[messages]
no_jvm = "Kein Java gefunden \u20ac"
cancel_button = "Annuler \u00e0 \u4e2d"

[[files]]
source = "app.jar"

[[files]]
source = "data.bin"
name = "data-renamed.bin"
)";

class InspectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = makeTestDirectory();
        stub_ = buildPeImage({{0x400, 0x200}});
        writeFile(directory_ + "/stub.exe", stub_ + "signature");
        writeFile(directory_ + "/app.jar", "jar bytes");
        writeFile(directory_ + "/data.bin", std::string(5000, 'd'));
        writeFile(directory_ + "/app.toml", kProject);
    }

    std::string pack() {
        PackRequest request;
        std::string error;
        EXPECT_TRUE(loadProjectFile(directory_ + "/app.toml", &request, &error)) << error;
        EXPECT_TRUE(packLauncher(directory_ + "/stub.exe", request, directory_ + "/App.exe", &error))
            << error;
        return directory_ + "/App.exe";
    }

    std::string directory_, stub_;
};

TEST_F(InspectTest, InspectShowsTheProjectValuesByKey) {
    LauncherContents contents;
    std::string error;
    ASSERT_TRUE(inspectLauncher(pack(), &contents, &error)) << error;
    EXPECT_EQ(contents.payloadOffset, stub_.size());

    std::map<std::string, std::string> byKey;
    for (const auto& [id, text] : contents.tables.config) {
        const ProjectKey* key = findKeyById(id, false);
        ASSERT_NE(key, nullptr) << id;
        byKey[std::string(key->section) + "." + key->name] = cp1252ToUtf8(text);
    }
    for (const auto& [id, text] : contents.tables.messages) {
        const ProjectKey* key = findKeyById(id, true);
        ASSERT_NE(key, nullptr) << id;
        byKey[std::string(key->section) + "." + key->name] = utf16ToUtf8(text);
    }
    const std::map<std::string, std::string> expected = {
        {"application.name", "Caf\xC3\xA9 Manager"},
        {"application.main_class", "com.example.cafe.Main"},
        {"application.kind", "s"},
        {"application.executable_type", "5"},
        {"application.arguments", "--mode \"full\""},
        {"application.error_log_enabled", "1"},
        {"application.error_log_file", "error.log"},
        {"java.min_version", "1.8"},
        {"java.search_sequence", "EJAVA_HOME;Y"},
        {"java.allow_prerelease", "1"},
        {"vm.parameters", "-Xmx512m"},
        {"vm.class_path", "A1lib\\extra.jar"},
        {"splash.width", "400"},
        {"splash.status.colour", "10,20,30"},
        {"messages.no_jvm", "Kein Java gefunden \xE2\x82\xAC"},
        {"messages.cancel_button", "Annuler \xC3\xA0 \xE4\xB8\xAD"},
        {"files.count", "2"},
        {"files.names", "app.jar;data-renamed.bin;"},
    };
    for (const auto& [key, text] : expected)
        EXPECT_EQ(byKey[key], text) << key;

    ASSERT_EQ(contents.files.size(), 2u);
    EXPECT_EQ(contents.files[0].name, "app.jar");
    EXPECT_EQ(contents.files[0].size, 9);
    EXPECT_EQ(contents.files[1].name, "data-renamed.bin");
    EXPECT_EQ(contents.files[1].size, 5000);
    EXPECT_FALSE(contents.files[1].truncated);
    EXPECT_EQ(contents.trailingBytes, 0u);
}

TEST_F(InspectTest, JsonIsSortedAndEscaped) {
    LauncherContents contents;
    std::string error;
    ASSERT_TRUE(inspectLauncher(pack(), &contents, &error)) << error;
    const std::string json = formatInspectionJson(contents);
    EXPECT_NE(
        json.find("{\"id\": 124, \"key\": \"application.arguments\", \"text\": \"--mode \\\"full\\\"\"}"),
        std::string::npos)
        << json;
    EXPECT_NE(
        json.find("{\"name\": \"data-renamed.bin\", \"size\": 5000, \"stored\": 5000, \"truncated\": false}"),
        std::string::npos);
    EXPECT_LT(json.find("\"id\": 101,"), json.find("\"id\": 122,"));
    EXPECT_LT(json.find("\"id\": 122,"), json.find("\"id\": 2001,"));
    EXPECT_LT(json.find("\"configuration\""), json.find("\"files\""));
    EXPECT_LT(json.find("\"files\""), json.find("\"messages\""));
    EXPECT_EQ(json, formatInspectionJson(contents));
}

TEST_F(InspectTest, LaterDuplicateRecordsWinAndUnknownIdsAreShown) {
    PackRequest request;
    request.tables.config = {
        {payload::config::MainClass, "Old"}, {9999, "x"}, {payload::config::MainClass, "New"}};
    std::string error;
    ASSERT_TRUE(packLauncher(directory_ + "/stub.exe", request, directory_ + "/App.exe", &error)) << error;
    LauncherContents contents;
    ASSERT_TRUE(inspectLauncher(directory_ + "/App.exe", &contents, &error)) << error;
    const std::string text = formatInspection(contents);
    EXPECT_NE(text.find("application.main_class = \"New\""), std::string::npos) << text;
    EXPECT_EQ(text.find("\"Old\""), std::string::npos);
    EXPECT_NE(text.find("9999  (unknown id) = \"x\""), std::string::npos);
    EXPECT_NE(formatInspectionJson(contents).find("{\"id\": 9999, \"key\": null, \"text\": \"x\"}"),
              std::string::npos);
}

TEST_F(InspectTest, TruncatedIncludedFilesAreReported) {
    const std::string launcherPath = pack();
    const std::string launcher = readFile(launcherPath);
    struct Cut {
        size_t bytesRemoved;
        size_t filesSeen;
        int64_t lastSize;
        int64_t lastStored;
    };
    for (const Cut& cut : {Cut{100, 2, 5000, 4900}, Cut{5000 + 4, 2, -1, 0}}) {
        writeFile(launcherPath, launcher.substr(0, launcher.size() - cut.bytesRemoved));
        LauncherContents contents;
        std::string error;
        ASSERT_TRUE(inspectLauncher(launcherPath, &contents, &error)) << error;
        ASSERT_EQ(contents.files.size(), cut.filesSeen);
        EXPECT_TRUE(contents.files.back().truncated);
        EXPECT_EQ(contents.files.back().size, cut.lastSize);
        EXPECT_EQ(contents.files.back().stored, cut.lastStored);
        EXPECT_NE(formatInspection(contents).find("TRUNCATED"), std::string::npos);
    }
}

// Where a PE32 image keeps its certificate table's offset and size.
size_t securityEntry(const std::string& image) {
    const size_t optionalHeader = static_cast<uint8_t>(image[60]) | static_cast<uint8_t>(image[61]) << 8;
    return optionalHeader + 24 + 96 + 4 * 8;
}

void put32(std::string& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
}

// A signed stub's stale entry must not reach the output, and whatever a security entry says, the
// payload still reads: a table that cannot be one is reported, never followed into the payload.
TEST_F(InspectTest, SecurityEntriesNeverHideThePayload) {
    std::string stub = stub_;
    const size_t optionalHeader = securityEntry(stub) - 128;
    put32(stub, optionalHeader, 0x10b);      // PE32
    put32(stub, optionalHeader + 92, 16);    // data directories
    put32(stub, securityEntry(stub), 0x600); // the stub's old table, in its overlay
    put32(stub, securityEntry(stub) + 4, 9);
    writeFile(directory_ + "/stub.exe", stub + "signature");
    const std::string launcherPath = pack();
    LauncherContents contents;
    std::string error;
    ASSERT_TRUE(inspectLauncher(launcherPath, &contents, &error)) << error;
    EXPECT_FALSE(contents.signature.present);
    EXPECT_NE(formatInspection(contents).find("Signature: none"), std::string::npos);

    // Padding to 8 bytes, then a certificate header with bytes that are no PKCS#7 signature.
    std::string launcher = readFile(launcherPath);
    const size_t filesEnd = launcher.size();
    launcher.resize((launcher.size() + 7) / 8 * 8, '\0');
    const uint32_t table = static_cast<uint32_t>(launcher.size());
    launcher += std::string("\x18\0\0\0\0\x02\x02\0", 8) + std::string(16, '\x30');
    const uint32_t payload = static_cast<uint32_t>(contents.payloadOffset);
    struct Entry {
        uint32_t offset, size;
        const char* problem;
    };
    for (const Entry& entry :
         {Entry{table, 24, "cannot be read as PKCS#7"}, Entry{table, 25, "past the end of the file"},
          Entry{0xfffffff8u, 0xffffffffu, "past the end of the file"},
          Entry{(payload + 7) / 8 * 8, 24, "overlaps the launcher's payload"},
          Entry{table + 4, 16, "not aligned"}, Entry{table + 16, 4, "too small"}}) {
        put32(launcher, securityEntry(launcher), entry.offset);
        put32(launcher, securityEntry(launcher) + 4, entry.size);
        writeFile(launcherPath, launcher);
        ASSERT_TRUE(inspectLauncher(launcherPath, &contents, &error)) << error;
        EXPECT_TRUE(contents.signature.present);
        EXPECT_NE(contents.signature.problem.find(entry.problem), std::string::npos)
            << entry.offset << ": " << contents.signature.problem;
        ASSERT_EQ(contents.files.size(), 2u);
        EXPECT_FALSE(contents.files[1].truncated);
        EXPECT_EQ(contents.files[1].size, 5000);
        EXPECT_NE(formatInspection(contents).find("Signature: unreadable: "), std::string::npos);
        // Only a usable table and the zeros that align it are no data of the launcher's.
        const bool usable = entry.problem[0] == 'c';
        EXPECT_EQ(contents.trailingBytes, usable ? 0u : launcher.size() - filesEnd) << entry.offset;
    }
}

TEST_F(InspectTest, FilesWithoutPayloadAreRejected) {
    const std::pair<std::string, const char*> cases[] = {
        {stub_, "magic"},
        {stub_ + "XXXXXXXX", "magic"},
        {"plain text", "not a PE executable"},
    };
    for (const auto& [bytes, expected] : cases) {
        writeFile(directory_ + "/bad.exe", bytes);
        LauncherContents contents;
        std::string error;
        EXPECT_FALSE(inspectLauncher(directory_ + "/bad.exe", &contents, &error));
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    std::string cutTables = readFile(pack());
    writeFile(directory_ + "/bad.exe", cutTables.substr(0, stub_.size() + 30));
    LauncherContents contents;
    std::string error;
    EXPECT_FALSE(inspectLauncher(directory_ + "/bad.exe", &contents, &error));
    EXPECT_NE(error.find("truncated payload"), std::string::npos) << error;
}

// The command line: exit codes and messages as a user sees them.
class CommandLineTest : public InspectTest {
  protected:
    // Runs the packer with arguments, or with program the shell command arguments.
    int run(const std::string& arguments, std::string* output, const std::string& program = KESTRO_CLI) {
        return test_support::runShell(program + " " + arguments, output);
    }
};

TEST_F(CommandLineTest, PackThenInspectAsJson) {
    std::string output;
    writeFile(directory_ + "/runtime.jar", "runtime jar bytes");
    ASSERT_EQ(run("pack " + directory_ + "/app.toml -o " + directory_ + "/App.exe --stub " + directory_ +
                      "/stub.exe --runtime-jar " + directory_ + "/runtime.jar",
                  &output),
              0)
        << output;
    ASSERT_EQ(run("inspect --json " + directory_ + "/App.exe", &output), 0) << output;
    EXPECT_NE(output.find("\"key\": \"application.main_class\", \"text\": \"com.example.cafe.Main\""),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("app.jar;data-renamed.bin;kestro-runtime.jar;"), std::string::npos) << output;

    // Without -o, the launcher is named after the application, beside the project; a name without
    // .exe is written as asked, with a warning.
    const std::string withStub =
        " --stub " + directory_ + "/stub.exe --runtime-jar " + directory_ + "/runtime.jar";
    ASSERT_EQ(run("pack " + directory_ + "/app.toml" + withStub, &output), 0) << output;
    EXPECT_NE(output.find("kestro: wrote " + directory_ + "/Caf\xc3\xa9 Manager.exe ("), std::string::npos)
        << output;
    ASSERT_EQ(run("pack " + directory_ + "/app.toml -o " + directory_ + "/App" + withStub, &output), 0)
        << output;
    EXPECT_NE(output.find("kestro: warning: " + directory_ + "/App does not end in .exe"), std::string::npos)
        << output;
}

TEST_F(CommandLineTest, ExplainsItselfSummarisesAndRefusesACutLauncher) {
    std::string output;
    for (const char* version : {"--version", "-V"}) {
        EXPECT_EQ(run(version, &output), 0);
        EXPECT_EQ(output, "kestro " KESTRO_VERSION "\n");
    }
    for (const char* help : {"help", "--help", "-h"}) {
        EXPECT_EQ(run(help, &output), 0);
        for (const char* part :
             {"Usage: kestro pack [OPTIONS] PROJECT\n  or:  kestro inspect [OPTIONS] LAUNCHER\n",
              "kestro pack: Build", "kestro inspect: Show", "--version", "--runtime-jar",
              "--sign-password-env", "--set KEY=VALUE", "--json",
              "Exit status: 0 when the work is done; 1 when the pack or the inspection failed"})
            EXPECT_NE(output.find(part), std::string::npos) << part << " in\n" << output;
    }
    for (const char* help : {"help pack", "pack --help"}) {
        EXPECT_EQ(run(help, &output), 0);
        EXPECT_EQ(output.find("Build a launcher from a project file\nUsage: kestro pack [OPTIONS] PROJECT\n"),
                  0u)
            << output;
        EXPECT_EQ(output.find("LAUNCHER"), std::string::npos) << output;
        EXPECT_NE(output.find("2 when the command line is wrong"), std::string::npos) << output;
    }

    writeFile(directory_ + "/runtime.jar", "runtime jar bytes");
    ASSERT_EQ(run("pack " + directory_ + "/app.toml -o " + directory_ +
                      "/App.exe --target windows-x64 --stub " + directory_ + "/stub.exe --runtime-jar " +
                      directory_ + "/runtime.jar",
                  &output),
              0)
        << output;
    // The test jar is no zip: the packer says it could not look for the main class there.
    EXPECT_NE(output.find("kestro: warning: " + directory_ + "/app.jar is not a readable jar"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("kestro: wrote " + directory_ +
                          "/App.exe (9.4 KiB, x64, 3 included files, no Java "
                          "runtime bundled)\n"),
              std::string::npos)
        << output;

    const std::string launcher = readFile(directory_ + "/App.exe");
    writeFile(directory_ + "/Cut.exe", launcher.substr(0, launcher.size() - 10));
    EXPECT_EQ(run("inspect " + directory_ + "/Cut.exe", &output), 1);
    EXPECT_NE(output.find("TRUNCATED"), std::string::npos) << output;
    EXPECT_NE(output.find("the included file kestro-runtime.jar is cut off"), std::string::npos) << output;
}

// Debian 12's osslsigncode 2.5 reads the password only from a file it opens by name ("-" is a file
// there, not standard input). The stand-in signer does the same and tells which password it read,
// given through a pipe as the shell's `<(...)` makes one, beside a file named "-".
TEST_F(CommandLineTest, SigningHandsThePasswordToEveryOsslsigncodeThroughAPipe) {
    writeFile(
        directory_ + "/bin/osslsigncode",
        "#!/bin/sh\n"
        "while [ $# -gt 0 ]; do\n"
        "  case \"$1\" in -readpass) IFS= read -r pw < \"$2\" || exit 1;; -in) in=$2;; -out) out=$2;; esac\n"
        "  shift\n"
        "done\n"
        "printf '%s' \"$pw\" > \"$(dirname \"$0\")/password-seen\" && cp \"$in\" \"$out\"\n");
    ASSERT_EQ(chmod((directory_ + "/bin/osslsigncode").c_str(), 0755), 0);
    writeFile(directory_ + "/-", "wrong\n");
    writeFile(directory_ + "/signer.p12", "key");
    writeFile(directory_ + "/runtime.jar", "runtime jar bytes");
    writeFile(directory_ + "/sign.sh",
              "cd " + directory_ +
                  " && PATH=bin:$PATH exec " KESTRO_CLI
                  " pack app.toml -o App.exe --stub stub.exe --runtime-jar runtime.jar "
                  "--sign --sign-pkcs12 signer.p12 --sign-password-file "
                  "<(printf 's\\303\\251cret 1\\n')\n");
    std::string output;
    ASSERT_EQ(run(directory_ + "/sign.sh", &output, "bash"), 0) << output;
    EXPECT_EQ(readFile(directory_ + "/bin/password-seen"), "s\xc3\xa9"
                                                           "cret 1");
}

// A signature cut off, as a failed upload leaves it, fails the command as a changed file does.
TEST_F(CommandLineTest, ACutSignatureFailsInspection) {
    std::string stub = stub_;
    const size_t optionalHeader = securityEntry(stub) - 128;
    put32(stub, optionalHeader, 0x10b);   // PE32
    put32(stub, optionalHeader + 92, 16); // data directories
    writeFile(directory_ + "/stub.exe", stub);
    std::string launcher = readFile(pack());
    launcher.resize((launcher.size() + 7) / 8 * 8, '\0');
    put32(launcher, securityEntry(launcher), static_cast<uint32_t>(launcher.size()));
    put32(launcher, securityEntry(launcher) + 4, 4096);
    writeFile(directory_ + "/Cut.exe", launcher + std::string("\0\x10\0\0\0\x02\x02\0", 8) + "0\x82");
    std::string output;
    EXPECT_EQ(run("inspect " + directory_ + "/Cut.exe", &output), 1) << output;
    EXPECT_NE(output.find("Cut.exe: the signature is damaged (the certificate table"), std::string::npos)
        << output;
}

// A damaged record count in a large launcher: inspect reads a bounded part of it, under a memory limit
// far below the file's size, and says what is wrong.
TEST_F(CommandLineTest, ADamagedRecordCountIsReportedWithoutReadingTheWholeFile) {
    std::string launcher = readFile(pack());
    payload::PayloadTables tables;
    size_t end = 0;
    std::string error;
    ASSERT_TRUE(payload::decodeTables(launcher, stub_.size(), &tables, &end, &error)) << error;
    put32(launcher, stub_.size() + 4, 0x7ffffff0u);
    writeFile(directory_ + "/Damaged.exe", launcher);
    ASSERT_EQ(truncate((directory_ + "/Damaged.exe").c_str(), 600 << 20), 0);
    std::string output;
    EXPECT_EQ(run("-c 'ulimit -v 300000 && exec " KESTRO_CLI " inspect " + directory_ + "/Damaged.exe'",
                  &output, "sh"),
              1)
        << output;
    EXPECT_NE(output.find("record count or length is damaged"), std::string::npos) << output;
}

// As a compiler's output: the folder made when missing, the mode the umask leaves.
TEST_F(CommandLineTest, OutputGetsItsFolderAndTheModeTheUmaskAllows) {
    writeFile(directory_ + "/runtime.jar", "runtime jar bytes");
    std::string output;
    ASSERT_EQ(run("-c 'umask 027 && exec " KESTRO_CLI " pack " + directory_ + "/app.toml -o " + directory_ +
                      "/out/new/App.exe --stub " + directory_ + "/stub.exe --runtime-jar " + directory_ +
                      "/runtime.jar'",
                  &output, "sh"),
              0)
        << output;
    struct stat written {};
    ASSERT_EQ(stat((directory_ + "/out/new/App.exe").c_str(), &written), 0);
    EXPECT_EQ(written.st_mode & 07777, 0750u);
}

TEST_F(CommandLineTest, ErrorsGoToStandardErrorWithANonZeroExit) {
    writeFile(directory_ + "/broken.toml", "[application]\nmain_class = \"M\"\nbogus = 1\n");
    std::string bmp = "BM" + std::string(12, '\0') + std::string(40, '\0') + std::string(4, '\x7f');
    bmp[10] = 54, bmp[14] = 40, bmp[18] = 1, bmp[22] = 1, bmp[26] = 1, bmp[28] = 24;
    writeFile(directory_ + "/splash.bmp", bmp);
    writeFile(directory_ + "/app.manifest", "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"/>");
    writeFile(directory_ + "/pictured.toml",
              "[application]\nmain_class = \"M\"\nmanifest = \"app.manifest\"\n"
              "[splash]\npicture = \"splash.bmp\"\n");
    const std::string withStub =
        " --stub " + directory_ + "/stub.exe --runtime-jar " + directory_ + "/data.bin";
    const std::string missing = directory_ + "/none.toml";
    const std::pair<std::string, std::string> cases[] = {
        {"pack " + directory_ + "/broken.toml -o " + directory_ + "/x.exe --stub " + directory_ + "/stub.exe",
         directory_ + "/broken.toml:3:9: unknown key \"application.bogus\""},
        {"pack " + missing + " -o " + directory_ + "/x.exe",
         "kestro: project file: cannot open " + missing + ": No such file or directory"},
        {"inspect " + directory_ + "/None.exe",
         "kestro: cannot open " + directory_ + "/None.exe: No such file or directory"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe --stub " + directory_ + "/none.exe",
         "launcher stub " + directory_ + "/none.exe not found"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe",
         "share/kestro/stubs/windows-x64.exe"},
        // Built trees have no share/kestro beside the packer: the installed jar is looked for there.
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe --stub " + directory_ + "/stub.exe",
         "runtime jar " + std::filesystem::path(KESTRO_CLI).parent_path().parent_path().string() +
             "/share/kestro/kestro-runtime.jar not found; install it there or name one with --runtime-jar"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe --stub " + directory_ +
             "/stub.exe --runtime-jar " + directory_ + "/none.jar",
         "runtime jar " + directory_ + "/none.jar not found"},
        {"inspect " + directory_ + "/app.toml", "not a PE executable"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe --target windows-x86 --stub " +
             directory_ + "/stub.exe --runtime-jar " + directory_ + "/app.jar",
         "is for x64, not for x86"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/app.jar --stub " + directory_ +
             "/stub.exe --runtime-jar " + directory_ + "/data.bin",
         "is the included file"},
        {"pack " + directory_ + "/pictured.toml -o " + directory_ + "/splash.bmp" + withStub,
         "is the splash picture " + directory_ + "/splash.bmp"},
        {"pack " + directory_ + "/pictured.toml -o " + directory_ + "/app.manifest" + withStub,
         "is the manifest " + directory_ + "/app.manifest"},
    };
    for (const auto& [arguments, expected] : cases) {
        std::string output;
        EXPECT_EQ(run(arguments, &output), 1) << arguments;
        EXPECT_NE(output.find(expected), std::string::npos) << arguments << "\n" << output;
    }
    // The command line itself is wrong: exit code 2, and where to read how it goes.
    const std::pair<std::string, std::string> usage[] = {
        {"frobnicate",
         "kestro: unknown subcommand \"frobnicate\"; the subcommands are pack, inspect and help"},
        {"", "Usage: kestro pack [OPTIONS] PROJECT"},
        {"pack", "kestro: PROJECT is required\nkestro: see kestro help pack"},
        {"pack " + directory_ + "/app.toml --frobnicate",
         "kestro: The following argument was not expected: --frobnicate"},
        {"pack " + directory_ + "/app.toml -o " + directory_ + "/x.exe --target windows-arm64",
         "windows-x86"},
        {"pack " + directory_ + "/app.toml -o " + directory_, "kestro: -o " + directory_ + " is a directory"},
        {"pack " + directory_ + "/app.toml --set version", "kestro: --set version: give KEY=VALUE"},
        {"pack " + directory_ + "/app.toml --sign-key k.pem",
         "--sign-key signs the launcher only together with --sign"},
        {"help frobnicate", "kestro: help: unknown subcommand \"frobnicate\""},
    };
    for (const auto& [arguments, expected] : usage) {
        std::string output;
        EXPECT_EQ(run(arguments, &output), 2) << arguments;
        EXPECT_NE(output.find(expected), std::string::npos) << arguments << "\n" << output;
    }
}

} // namespace
} // namespace kestro::packer
