// The resource writer against the real launcher stub, with wrestool (icoutils) as the independent reader.
#include "executable/pe_checksum.h"
#include "executable/pe_resources.h"
#include "executable/version_resource.h"

#include "commands/inspect.h"
#include "commands/pack.h"
#include "project/project_file.h"

#include "payload/payload_codec.h"
#include "pe_image.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>

namespace kestro::packer {
namespace {

using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

std::string runCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

// wrestool's listing without the offsets, which move when the section is rewritten.
std::string listResources(const std::string& path) {
    const std::string listing = runCommand("wrestool -l '" + path + "' 2>&1");
    return std::regex_replace(listing, std::regex(R"(offset=0x[0-9a-f]+ )"), "");
}

class PeResourcesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (runCommand("command -v wrestool").empty())
            GTEST_SKIP() << "wrestool (icoutils) is not installed; run scripts/install-deps";
        stub_ = readFile(KESTRO_LAUNCHER_STUB);
        ASSERT_FALSE(stub_.empty());
        dir_ = makeTestDirectory();
    }

    std::string stub_;
    std::string dir_;
};

TEST_F(PeResourcesTest, UnchangedTreeRoundTripsAndTheImageStaysWhole) {
    ResourceTree tree;
    std::string error;
    ASSERT_TRUE(readResources(stub_, &tree, &error)) << error;
    // The dialogs and the launcher's icon group that the launcher's windows load.
    ASSERT_TRUE(tree.count(resource_type::GroupIcon) && tree[resource_type::GroupIcon].count(1001));
    ASSERT_TRUE(tree.count(5) && tree[5].count(103) && tree[5].count(104));

    std::string image = stub_;
    ASSERT_TRUE(writeResources(&image, tree, &error)) << error;
    writeFile(dir_ + "/before.exe", stub_);
    writeFile(dir_ + "/after.exe", image);
    const std::string before = listResources(dir_ + "/before.exe");
    EXPECT_NE(before.find("--type=14 --name=1001"), std::string::npos) << before;
    EXPECT_EQ(listResources(dir_ + "/after.exe"), before);

    ResourceTree reread;
    ASSERT_TRUE(readResources(image, &reread, &error)) << error;
    EXPECT_EQ(reread.size(), tree.size());
    EXPECT_EQ(reread[5][103].begin()->second.bytes, tree[5][103].begin()->second.bytes);

    size_t payloadStart = 0;
    ASSERT_TRUE(payload::findPayloadStart(image, &payloadStart, &error)) << error;
    EXPECT_EQ(payloadStart, image.size());
    // The same inputs give the same bytes.
    std::string again = stub_;
    ASSERT_TRUE(writeResources(&again, tree, &error)) << error;
    EXPECT_EQ(again, image);
    // objdump's own check of the headers: it reads the relocations at their new place.
    const std::string headers = runCommand("objdump -p '" + dir_ + "/after.exe' 2>&1");
    EXPECT_EQ(headers.find("objdump:"), std::string::npos) << headers;
}

TEST_F(PeResourcesTest, LargerResourcesMoveTheRelocationsAndKeepTheHeadersTrue) {
    ResourceTree tree;
    std::string error;
    ASSERT_TRUE(readResources(stub_, &tree, &error)) << error;
    // Three icon images of different sizes behind one group, and a version block with odd lengths.
    std::string group("\0\0\1\0\3\0", 6);
    for (uint16_t id = 1; id <= 3; ++id) {
        const std::string picture(1000u * id + 3, static_cast<char>('a' + id));
        tree[resource_type::Icon][static_cast<uint16_t>(100 + id)][1033].bytes = picture;
        std::string entry(14, '\0');
        entry[0] = static_cast<char>(16 * id);
        entry[1] = static_cast<char>(16 * id);
        entry[8] = static_cast<char>(picture.size() & 0xff);
        entry[9] = static_cast<char>(picture.size() >> 8);
        entry[12] = static_cast<char>(100 + id);
        group += entry;
    }
    tree[resource_type::GroupIcon][1001][1033].bytes = group;
    tree[resource_type::Version][1][1033].bytes = std::string(70001, 'v');
    tree[ResourceKey(u"Custom")][ResourceKey(u"name")][0].bytes = "named";

    std::string image = stub_;
    ASSERT_TRUE(writeResources(&image, tree, &error)) << error;
    writeFile(dir_ + "/after.exe", image);
    const std::string listing = listResources(dir_ + "/after.exe");
    EXPECT_NE(listing.find("--type=16 --name=1 --language=1033 [type=version size=70001]"), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("--type=3 --name=103 --language=1033 [type=icon size=3003]"), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("Custom"), std::string::npos) << listing;
    EXPECT_TRUE(runCommand("wrestool -x --raw --type=3 --name=102 '" + dir_ + "/after.exe'") ==
                std::string(2003, 'c'));
    EXPECT_TRUE(runCommand("wrestool -x --raw --type=5 --name=104 '" + dir_ + "/after.exe'") ==
                tree[5][104].begin()->second.bytes);

    // objdump reads the section table, the image size and the base relocations at their new place.
    const std::string headers = runCommand("objdump -h -p '" + dir_ + "/after.exe' 2>&1");
    EXPECT_EQ(headers.find("objdump:"), std::string::npos) << headers;
    EXPECT_NE(headers.find("PE File Base Relocations"), std::string::npos);
    std::smatch last;
    ASSERT_TRUE(std::regex_search(headers, last, std::regex(R"(\.rsrc[^\n]*\n[^\n]*\n\s+\d+ \.reloc)")))
        << "the relocations follow the resources: " << headers;
    size_t payloadStart = 0;
    ASSERT_TRUE(payload::findPayloadStart(image, &payloadStart, &error)) << error;
    EXPECT_EQ(payloadStart, image.size());
}

// A stub cut before its resources and relocations, as a linker without resources would leave it:
// the writer adds the resource section behind the last one, in the room the headers have.
TEST_F(PeResourcesTest, AStubWithoutResourcesGetsANewLastSection) {
    const size_t pe = stub_.find(std::string("PE\0\0", 4));
    const size_t optional = pe + 24;
    const size_t directories = optional + 112; // PE32+
    uint16_t sections = 0;
    std::memcpy(&sections, &stub_[pe + 6], 2);
    const size_t table =
        optional + static_cast<uint8_t>(stub_[pe + 20]) + (static_cast<uint8_t>(stub_[pe + 21]) << 8);
    const size_t resourceHeader = table + (sections - 2u) * 40u;
    ASSERT_EQ(stub_.compare(resourceHeader, 5, ".rsrc"), 0);
    uint32_t resourceOffset = 0;
    std::memcpy(&resourceOffset, &stub_[resourceHeader + 20], 4);
    std::string image = stub_.substr(0, resourceOffset);
    const uint16_t fewer = static_cast<uint16_t>(sections - 2);
    std::memcpy(&image[pe + 6], &fewer, 2);
    std::memset(&image[resourceHeader], 0, 80);
    std::memset(&image[directories + 2 * 8], 0, 8); // resources
    std::memset(&image[directories + 5 * 8], 0, 8); // relocations

    ResourceTree tree;
    std::string error;
    ASSERT_TRUE(readResources(image, &tree, &error)) << error;
    EXPECT_TRUE(tree.empty());
    tree[resource_type::Version][1][kUsEnglish].bytes = "version";
    ASSERT_TRUE(writeResources(&image, tree, &error)) << error;
    writeFile(dir_ + "/added.exe", image);
    EXPECT_NE(listResources(dir_ + "/added.exe").find("--type=16 --name=1 --language=1033"),
              std::string::npos);
    size_t payloadStart = 0;
    ASSERT_TRUE(payload::findPayloadStart(image, &payloadStart, &error)) << error;
    EXPECT_EQ(payloadStart, image.size());
    const std::string headers = runCommand("objdump -h '" + dir_ + "/added.exe' 2>&1");
    EXPECT_NE(headers.find(" 9 .rsrc "), std::string::npos) << headers;
}

// An .ico file of the given images (sizes in pixels, contents made up: Windows checks them on use only).
std::string iconFile(const std::vector<std::pair<int, std::string>>& images) {
    std::string ico("\0\0\1\0", 4);
    ico += static_cast<char>(images.size());
    ico += '\0';
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (const auto& [pixels, bytes] : images) {
        std::string entry(16, '\0');
        entry[0] = entry[1] = static_cast<char>(pixels & 0xff);
        entry[4] = 1;
        entry[6] = 32;
        const uint32_t fields[2] = {static_cast<uint32_t>(bytes.size()), offset};
        std::memcpy(&entry[8], fields, 8);
        ico += entry;
        offset += static_cast<uint32_t>(bytes.size());
    }
    for (const auto& image : images)
        ico += image.second;
    return ico;
}

TEST_F(PeResourcesTest, TheProjectIconReplacesTheLauncherIconAndThePayloadStillFollows) {
    const std::string pictures[3] = {std::string(1128, '1'), std::string(4264, '2'), std::string(16936, '3')};
    writeFile(dir_ + "/app.ico", iconFile({{16, pictures[0]}, {32, pictures[1]}, {256, pictures[2]}}));
    writeFile(dir_ + "/stub.exe", stub_);
    writeFile(dir_ + "/app.jar", "jar bytes");
    writeFile(dir_ + "/app.toml", "[application]\nmain_class = \"a.Main\"\nicon = \"app.ico\"\n"
                                  "[[files]]\nsource = \"app.jar\"\n");
    PackRequest request;
    std::string error;
    ASSERT_TRUE(loadProjectFile(dir_ + "/app.toml", &request, &error)) << error;
    ASSERT_TRUE(packLauncher(dir_ + "/stub.exe", request, dir_ + "/App.exe", &error)) << error;
    const std::string launcher = dir_ + "/App.exe";

    // wrestool rebuilds the .ico from the group and its icons: the same file comes back (wrestool pads
    // images it cannot decode, such as these made-up ones, with zeros at the end).
    const std::string ico = readFile(dir_ + "/app.ico");
    const std::string extracted = runCommand("wrestool -x --type=14 --name=1001 '" + launcher + "'");
    EXPECT_TRUE(extracted.compare(0, ico.size(), ico) == 0) << extracted.size() << " bytes extracted";
    const std::string listing = listResources(launcher);
    EXPECT_NE(listing.find("--type=5 --name=103"), std::string::npos) << listing;
    EXPECT_NE(listing.find("--type=5 --name=104"), std::string::npos) << listing;
    // The stub's own icon images are gone with its group; only the three new ones remain.
    EXPECT_NE(listing.find("--type=3 --name=3 "), std::string::npos) << listing;
    EXPECT_EQ(listing.find("--type=3 --name=4 "), std::string::npos) << listing;

    LauncherContents contents;
    ASSERT_TRUE(inspectLauncher(launcher, &contents, &error)) << error;
    ResourceTree tree;
    ASSERT_TRUE(readResources(readFile(launcher), &tree, &error)) << error;
    EXPECT_GT(contents.payloadOffset, stub_.size());
    const std::string report = formatInspection(contents);
    EXPECT_NE(report.find("  icon group 1001 (language 1033): 3 images: 16x16/32 32x32/32 256x256/32\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("  dialog 104 (language 1033): 274 bytes\n"), std::string::npos) << report;
    ASSERT_EQ(contents.files.size(), 1u);

    // Same inputs, same bytes.
    ASSERT_TRUE(packLauncher(dir_ + "/stub.exe", request, dir_ + "/Again.exe", &error)) << error;
    EXPECT_EQ(readFile(dir_ + "/Again.exe"), readFile(launcher));

    writeFile(dir_ + "/app.ico", "not an icon");
    EXPECT_FALSE(packLauncher(dir_ + "/stub.exe", request, dir_ + "/Bad.exe", &error));
    EXPECT_NE(error.find("app.ico: not an icon file"), std::string::npos) << error;
}

// The stub carries a manifest; a project's own replaces it byte for byte, and one Windows could not
// parse is refused before it makes a launcher that does not start.
TEST_F(PeResourcesTest, AProjectManifestReplacesTheLaunchersOwn) {
    const std::string ours = runCommand("wrestool -x --raw --type=24 --name=1 '" KESTRO_LAUNCHER_STUB "'");
    EXPECT_NE(ours.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos) << ours;
    const std::string manifest =
        "\xEF\xBB\xBF\r\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
        "<!-- Za\u017c\u00f3\u0142\u0107 --></assembly>\n";
    writeFile(dir_ + "/app.jar", "jar bytes");
    writeFile(dir_ + "/app.toml", "[[files]]\nsource = \"app.jar\"\n[application]\nmain_class = \"a.Main\"\n"
                                  "manifest = \"app.manifest\"\n");
    const struct {
        std::string text;
        const char* expected; // nullptr: accepted
    } cases[] = {
        {manifest, nullptr},
        {"assembly", "is not well-formed XML (line 1: syntax error)"},
        {"  \n", "is empty"},
        {"<notxml assembly>", "is not well-formed XML (line 1: not well-formed (invalid token))"},
        {"\n<assembly>\n<dependency>\n</assembly>", "is not well-formed XML (line 4: mismatched tag)"},
        {"<m:root xmlns:m=\"urn:x\"><assembly/></m:root>", "has the root element <root>, not <assembly>"},
        {"<assembly>\xC0\xAF</assembly>", "is not UTF-8 text"},
        {std::string("<assembly>\0</assembly>", 21), "is not UTF-8 text"},
    };
    for (const auto& c : cases) {
        writeFile(dir_ + "/app.manifest", c.text);
        PackRequest request;
        std::string error;
        const bool loaded = loadProjectFile(dir_ + "/app.toml", &request, &error);
        if (c.expected != nullptr) {
            EXPECT_FALSE(loaded) << c.expected;
            EXPECT_NE(error.find("app.toml:5:12: application.manifest: "), std::string::npos) << error;
            EXPECT_NE(error.find(std::string("app.manifest ") + c.expected), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(loaded) << error;
        ASSERT_TRUE(packLauncher(KESTRO_LAUNCHER_STUB, request, dir_ + "/App.exe", &error)) << error;
        EXPECT_EQ(runCommand("wrestool -x --raw --type=24 --name=1 '" + dir_ + "/App.exe'"), manifest);
        EXPECT_NE(listResources(dir_ + "/App.exe").find("--type=5 --name=103"), std::string::npos);
    }
}

// This kernel runs no 32-bit programs, so the i686 stub's rewrite is checked by the independent readers
// alone: the same resources as the x64 launcher's, headers objdump reads, and for both a checksum that
// pefile finds true over the whole file, payload and all. pefile is Debian's, which Debian's own
// Python reads, whatever python3 comes first on the PATH.
TEST_F(PeResourcesTest, TheI686StubTakesTheSameResourcesAsTheX64One) {
    writeFile(dir_ + "/app.jar", "jar bytes");
    writeFile(dir_ + "/app.toml",
              "[[files]]\nsource = \"app.jar\"\n[application]\nmain_class = \"a.Main\"\n"
              "icon = \"" KESTRO_SOURCE_DIR "/examples/hello/resources/hello.png\"\n"
              "[splash]\npicture = \"" KESTRO_SOURCE_DIR "/examples/hello/resources/splash.png\"\n"
              "[version]\nfile_version = \"1.2\"\n");
    PackRequest request;
    std::string error;
    ASSERT_TRUE(loadProjectFile(dir_ + "/app.toml", &request, &error)) << error;
    ASSERT_TRUE(packLauncher(KESTRO_LAUNCHER_STUB, request, dir_ + "/x64.exe", &error)) << error;
    ASSERT_TRUE(packLauncher(KESTRO_LAUNCHER_STUB_X86, request, dir_ + "/x86.exe", &error)) << error;

    const std::string listing = listResources(dir_ + "/x86.exe");
    EXPECT_EQ(listing, listResources(dir_ + "/x64.exe"));
    for (const char* entry : {"--type=2 --name=10000 ", "--type=14 --name=1001 ", "--type=16 --name=1 ",
                              "--type=24 --name=1 ", "--type=5 --name=104 "})
        EXPECT_NE(listing.find(entry), std::string::npos) << entry << listing;
    const std::string headers = runCommand("objdump -p '" + dir_ + "/x86.exe' 2>&1");
    EXPECT_EQ(headers.find("objdump:"), std::string::npos) << headers;
    EXPECT_NE(headers.find("pei-i386"), std::string::npos) << headers;
    LauncherContents contents;
    ASSERT_TRUE(inspectLauncher(dir_ + "/x86.exe", &contents, &error)) << error;
    EXPECT_EQ(contents.files.size(), 1u);
    for (const char* launcher : {"/x64.exe", "/x86.exe"}) {
        EXPECT_EQ(runCommand("/usr/bin/python3 -c 'import pefile, sys; p = pefile.PE(sys.argv[1]); "
                             "print(p.OPTIONAL_HEADER.CheckSum == p.generate_checksum())' '" +
                             dir_ + launcher + "' 2>&1"),
                  "True\n")
            << launcher;
    }
    // The packer sums the file as it writes it, in parts of any length.
    const std::string whole = readFile(dir_ + "/x64.exe");
    PeChecksum parts;
    for (size_t at = 0, step = 1; at < whole.size(); at += step, step = step * 3 % 65537)
        parts.add(whole.data() + at, std::min(step, whole.size() - at));
    EXPECT_EQ(parts.value(), peChecksum(whole, whole.size()));
}

TEST(VersionResource, VersionsAndKeysAreCheckedAtTheirLine) {
    const std::string dir = makeTestDirectory();
    const struct {
        const char* table;
        const char* expected; // nullptr: accepted
    } cases[] = {
        {"product_name = \"x\"", "app.toml:3:1: version.file_version is required"},
        {"file_version = \"1.2.3.4.5\"",
         "app.toml:4:16: version.file_version \"1.2.3.4.5\" is not a version of up"},
        {"file_version = \"1.65536\"", "app.toml:4:16: version.file_version \"1.65536\" is not a version"},
        {"file_version = \"1..2\"", "up to four numbers"},
        {"file_version = \"1.2.\"", "up to four numbers"},
        {"file_version = \"1\"\nproduct = \"x\"", "app.toml:5:11: unknown key \"version.product\""},
        {"file_version = \"1\"\nproduct_nmae = \"x\"", "did you mean \"version.product_name\"?"},
        {"file_version = 1", "must be a string"},
        {"file_version = \"1\"\ncompany_name = \"a\\u0000b\"",
         "app.toml:5:16: version.company_name contains a NUL"},
        // The product version is free text; its leading numbers, or the file version's, are the fixed one.
        {"file_version = \"3.1\"\nproduct_version = \"2026.1-beta\"", nullptr},
        {"file_version = \"3.1\"\nproduct_version = \"v2\"", nullptr},
    };
    for (const auto& c : cases) {
        writeFile(dir + "/app.toml",
                  std::string("[application]\nmain_class = \"a.Main\"\n[version]\n") + c.table + "\n");
        PackRequest request;
        std::string error;
        const bool loaded = loadProjectFile(dir + "/app.toml", &request, &error);
        if (c.expected != nullptr) {
            EXPECT_FALSE(loaded) << c.table;
            EXPECT_NE(error.find(c.expected), std::string::npos) << c.table << ": " << error;
            continue;
        }
        ASSERT_TRUE(loaded) << c.table << ": " << error;
        VersionInfo read;
        ASSERT_TRUE(
            readVersionResource(request.resources[resource_type::Version][1][kUsEnglish].bytes, &read));
        const bool beta = std::string(c.table).find("beta") != std::string::npos;
        EXPECT_EQ(read.productVersion, beta ? "2026.1.0.0" : "3.1.0.0") << c.table;
        EXPECT_EQ(read.strings.at(1),
                  (std::pair<std::string, std::string>{"ProductVersion", beta ? "2026.1-beta" : "v2"}));
    }
}

// A resource section rewritten in place by the test, at the stub's own resource directory.
class HostileResourceTree : public PeResourcesTest {
  protected:
    // The file offset of the resource directory, from objdump's section listing.
    size_t resourceStart() {
        writeFile(dir_ + "/stub.exe", stub_);
        std::smatch match;
        const std::string headers = runCommand("objdump -h '" + dir_ + "/stub.exe'");
        if (!std::regex_search(headers, match,
                               std::regex(R"(\.rsrc\s+[0-9a-f]+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+))")))
            return 0;
        return std::stoul(match[1].str(), nullptr, 16);
    }
    void put32(size_t at, uint32_t value) { std::memcpy(&stub_[at], &value, 4); }
};

TEST_F(HostileResourceTree, DamagedTreesAreRefusedWithTheirFault) {
    const size_t root = resourceStart();
    ASSERT_NE(root, 0u);
    const std::string original = stub_;
    uint32_t firstTarget = 0;
    std::memcpy(&firstTarget, &stub_[root + 16 + 4], 4);
    const size_t typeDirectory = root + (firstTarget & 0x7fffffff);
    uint32_t nameTarget = 0;
    std::memcpy(&nameTarget, &stub_[typeDirectory + 16 + 4], 4);
    const size_t languageDirectory = root + (nameTarget & 0x7fffffff);
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
        const char* expected;
    };
    const Case cases[] = {
        {"type entry points back at the root", root + 16 + 4, 0x80000000u, "loop"},
        {"directory beyond the section", root + 16 + 4, 0x80fffff0u, "outside the section"},
        {"entry count far past the section", root + 14, 0xffffu, "past the section"},
        {"name string beyond the section", root + 16, 0x80ffff00u, "name lies outside"},
        {"a fourth level", languageDirectory + 16 + 4, 0x80000000u | (nameTarget & 0x7fffffff),
         "more than three levels"},
        {"data where a directory belongs", root + 16 + 4, 0x10u, "data where a directory"},
    };
    for (const Case& c : cases) {
        stub_ = original;
        put32(c.at, c.value);
        ResourceTree tree;
        std::string error;
        EXPECT_FALSE(readResources(stub_, &tree, &error)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
    }
    // A data entry whose bytes lie beyond the section.
    stub_ = original;
    uint32_t dataEntry = 0;
    std::memcpy(&dataEntry, &stub_[languageDirectory + 16 + 4], 4);
    put32(root + dataEntry + 4, 0x7fffffffu);
    ResourceTree tree;
    std::string error;
    EXPECT_FALSE(readResources(stub_, &tree, &error));
    EXPECT_NE(error.find("data lies outside"), std::string::npos) << error;
}

} // namespace
} // namespace kestro::packer
