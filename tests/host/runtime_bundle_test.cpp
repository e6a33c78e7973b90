#include "archives.h"
#include "commands/pack.h"
#include "payload/payload_format.h"
#include "pe_image.h"
#include "project/project_file.h"
#include "writers/runtime_bundle.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

namespace kestro::packer {
namespace {

namespace fs = std::filesystem;
using kestro::testing::buildPeImage;
using kestro::testing::makeTestDirectory;
using kestro::testing::readFile;
using kestro::testing::writeFile;

struct TarEntry {
    std::string name;
    char type;
    std::string data;
    std::string header;
};

std::string gunzip(const std::string& path) {
    gzFile in = gzopen(path.c_str(), "rb");
    EXPECT_NE(in, nullptr);
    std::string bytes;
    char chunk[4096];
    for (int got; (got = gzread(in, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, got);
    gzclose(in);
    return bytes;
}

std::vector<TarEntry> tarEntries(const std::string& tar) {
    std::vector<TarEntry> entries;
    for (size_t at = 0; at + 512 <= tar.size() && tar.compare(at + 257, 5, "ustar") == 0;) {
        const std::string header = tar.substr(at, 512);
        const size_t size = std::stoul(header.substr(124, 12), nullptr, 8);
        entries.push_back(
            {header.substr(0, header.find('\0')), header[156], tar.substr(at + 512, size), header});
        at += 512 + (size + 511) / 512 * 512;
    }
    return entries;
}

class RuntimeBundle : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = makeTestDirectory();
        runtime_ = directory_ + "/jre";
        for (const char* dir : {"jre", "jre/bin", "jre/bin/server", "jre/lib", "jre/lib/ext", "jre/conf"})
            fs::create_directory(directory_ + "/" + dir);
        writeFile(runtime_ + "/bin/java.exe", "MZ-java");
        // larger than one copy chunk, and a DLL of the test stubs' machine
        writeFile(runtime_ + "/bin/server/jvm.dll", buildPeImage({{0x400, 0x11000}}, "", 224, false));
        writeFile(runtime_ + "/lib/rt.jar.pack", "packed");
        writeFile(runtime_ + "/lib/ext/a.jar", "");
        writeFile(runtime_ + "/Release", "JAVA_VERSION=\"1.8.0\"");
    }

    std::string directory_, runtime_;
};

TEST_F(RuntimeBundle, DirectoryBecomesASortedUstarArchiveWithFixedMetadata) {
    RuntimeArchiveFacts facts;
    std::string error;
    const std::string archive = directory_ + "/out.tar.gz";
    ASSERT_TRUE(writeRuntimeArchive(runtime_, archive, &facts, &error)) << error;

    const std::string gz = readFile(archive);
    ASSERT_GE(gz.size(), 10u);
    EXPECT_EQ(gz.substr(0, 3), std::string("\x1f\x8b\x08", 3));
    EXPECT_EQ(gz.substr(4, 4), std::string(4, '\0')) << "no time stamp in the gzip header";

    const std::string tar = gunzip(archive);
    EXPECT_EQ(facts.streamLength, static_cast<int64_t>(tar.size()));
    EXPECT_TRUE(facts.packed);
    EXPECT_EQ(tar.substr(tar.size() - 1024), std::string(1024, '\0'));

    std::vector<std::string> names;
    for (const TarEntry& entry : tarEntries(tar)) {
        names.push_back(entry.name);
        EXPECT_EQ(entry.type, entry.name.back() == '/' ? '5' : '0') << entry.name;
        EXPECT_EQ(entry.header.substr(108, 16), std::string("0000000\0"
                                                            "0000000\0",
                                                            16))
            << "owner 0";
        EXPECT_EQ(entry.header.substr(136, 12), std::string("00000000000\0", 12)) << "time 0";
        unsigned sum = 0;
        for (size_t i = 0; i < 512; ++i)
            sum += i >= 148 && i < 156 ? ' ' : static_cast<unsigned char>(entry.header[i]);
        EXPECT_EQ(std::stoul(entry.header.substr(148, 7), nullptr, 8), sum) << entry.name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Release", "bin/", "bin/java.exe", "bin/server/",
                                               "bin/server/jvm.dll", "conf/", "lib/", "lib/ext/",
                                               "lib/ext/a.jar", "lib/rt.jar.pack"}));
    EXPECT_EQ(tarEntries(tar)[4].data, readFile(runtime_ + "/bin/server/jvm.dll"));

    // The checker accepts what the writer makes, with the same facts.
    RuntimeArchiveFacts checked;
    ASSERT_TRUE(checkRuntimeArchive(archive, &checked, &error)) << error;
    EXPECT_EQ(checked.streamLength, facts.streamLength);
    EXPECT_TRUE(checked.packed);
}

TEST_F(RuntimeBundle, SameTreeGivesTheSameBytesWhateverTheFileTimes) {
    RuntimeArchiveFacts facts;
    std::string error;
    ASSERT_TRUE(writeRuntimeArchive(runtime_, directory_ + "/first.tar.gz", &facts, &error)) << error;
    struct utimbuf old = {1000000, 1000000};
    utime((runtime_ + "/bin/java.exe").c_str(), &old);
    chmod((runtime_ + "/bin/java.exe").c_str(), 0700);
    ASSERT_TRUE(writeRuntimeArchive(runtime_, directory_ + "/second.tar.gz", &facts, &error)) << error;
    EXPECT_EQ(readFile(directory_ + "/first.tar.gz"), readFile(directory_ + "/second.tar.gz"));
}

// Large runtimes are compressed in slices, one gzip member each, on all cores; gzip readers such as
// the launcher's (zlib's gz functions) read the members as one stream.
TEST_F(RuntimeBundle, LargeTreeIsWrittenAsGzipMembersThatReadAsOneStream) {
    std::string big(10 << 20, '\0');
    uint32_t state = 12345;
    for (size_t i = 0; i < big.size(); ++i) {
        state = state * 1103515245u + 12345u;
        big[i] = static_cast<char>(i % 3 == 0 ? (state >> 24) : 'a' + i % 7);
    }
    writeFile(runtime_ + "/lib/modules", big);
    RuntimeArchiveFacts facts, checked;
    std::string error;
    const std::string archive = directory_ + "/large.tar.gz";
    ASSERT_TRUE(writeRuntimeArchive(runtime_, archive, &facts, &error)) << error;

    const std::string gz = readFile(archive);
    size_t members = 0;
    for (size_t at = gz.find("\x1f\x8b\x08"); at != std::string::npos; at = gz.find("\x1f\x8b\x08", at + 1))
        members += gz.compare(at + 3, 5, std::string(5, '\0')) == 0;
    EXPECT_GE(members, 3u) << "10 MiB and more in slices of 4 MiB";
    const std::string tar = gunzip(archive);
    EXPECT_EQ(static_cast<int64_t>(tar.size()), facts.streamLength);
    bool found = false;
    for (const TarEntry& entry : tarEntries(tar))
        found = found || (entry.name == "lib/modules" && entry.data == big);
    EXPECT_TRUE(found);
    ASSERT_TRUE(checkRuntimeArchive(archive, &checked, &error)) << error;
    EXPECT_EQ(checked.streamLength, facts.streamLength);
    EXPECT_LT(gz.size(), big.size() * 3 / 4) << "compressed about as well as gzip -6";
}

TEST_F(RuntimeBundle, NamesUpTo99BytesOnly) {
    const std::string dir = runtime_ + "/lib/" + std::string(80, 'd');
    fs::create_directory(dir);
    // "lib/" + 80 + "/" + 14 = 99 bytes: fits.
    writeFile(dir + "/" + std::string(14, 'f'), "x");
    RuntimeArchiveFacts facts;
    std::string error;
    ASSERT_TRUE(writeRuntimeArchive(runtime_, directory_ + "/a.tar.gz", &facts, &error)) << error;
    writeFile(dir + "/" + std::string(15, 'f'), "x");
    EXPECT_FALSE(writeRuntimeArchive(runtime_, directory_ + "/a.tar.gz", &facts, &error));
    EXPECT_NE(error.find("100 bytes long; the launcher reads tar names of at most 99 bytes"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(std::string(15, 'f')), std::string::npos) << error;
}

TEST_F(RuntimeBundle, TreesTheLauncherCouldNotUnpackAreRefused) {
    struct Row {
        const char* what;
        std::function<void()> change;
        const char* expected;
    } rows[] = {
        {"symbolic link", [&] { fs::create_symlink("java.exe", runtime_ + "/bin/javaw.exe"); },
         "symbolic link"},
        {"forbidden character", [&] { writeFile(runtime_ + "/lib/a?b", ""); }, "printable ASCII"},
        {"packed jar the launcher ignores", [&] { writeFile(runtime_ + "/lib/tools.jar.pack", ""); },
         "stay packed"},
        {"packed jar without rt.jar.pack",
         [&] {
             fs::remove(runtime_ + "/lib/rt.jar.pack");
             writeFile(runtime_ + "/lib/jsse.jar.pack", "");
         },
         "stay packed"},
        {"runtime inside a folder", [&] { fs::rename(runtime_ + "/bin", runtime_ + "/lib/bin"); },
         "no bin directory"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        row.change();
        RuntimeArchiveFacts facts;
        std::string error;
        EXPECT_FALSE(writeRuntimeArchive(runtime_, directory_ + "/x.tar.gz", &facts, &error));
        EXPECT_NE(error.find(row.expected), std::string::npos) << error;
    }
}

TEST_F(RuntimeBundle, ExistingArchiveIsCheckedAgainstTheLauncherReader) {
    const auto entry = [](const std::string& name, char type, const std::string& data = "",
                          const char* sizeField = nullptr) {
        return test_support::TarBuilder()
            .entry(name, type, data,
                   "ustar\0"
                   "00",
                   sizeField)
            .unfinished();
    };
    const auto gzipFile = [&](const std::string& name, const std::string& tar) {
        writeFile(directory_ + name, test_support::gzipped(tar));
        return directory_ + name;
    };
    const std::string java = entry("bin/java.exe", '0', "abc");
    const std::string end(1024, '\0');
    struct Row {
        const char* what;
        std::string tar;
        const char* expected; // nullptr: accepted
    } rows[] = {
        {"plain", entry("bin/", '5') + java + end, nullptr},
        {"dot prefix and pax without path",
         entry("./", '5') + entry("x", 'x', "20 mtime=1234567890\n") + entry("./bin/java.exe", '0') + end,
         nullptr},
        {"absolute", java + entry("/x", '0') + end, "is absolute"},
        {"drive", java + entry("C:\\x", '0') + end, "':'"},
        {"climbing", java + entry("a/../../x", '0') + end, "climbs out"},
        {"climbing directory", java + entry("../d/", '5') + end, "climbs out"},
        {"long name", entry("././@LongLink", 'L') + java + end, "GNU long name"},
        {"pax path", entry("x", 'x', "20 path=bin/long/x\n\n") + java + end, "pax path"},
        {"symbolic link", java + entry("bin/javaw.exe", '2') + end, "is a link"},
        {"full name field", java + entry(std::string(100, 'n'), '0') + end, "whole name field"},
        {"size out of range", java + entry("big", '0', "", "77777777777 ") + end, "size field"},
        {"size read two ways", java + entry("two", '0', "", "0 17\0\0\0\0\0\0\0\0") + end, "not plain octal"},
        {"file without its directory", entry("bin/java.exe", '0') + end, nullptr},
        {"names differing in case", java + entry("BIN/Java.exe", '0') + end, "letter case"},
        {"device name", java + entry("lib/con.dll", '0') + end, "device"},
        {"truncated", java.substr(0, 515), "ends inside"},
        {"garbage after entries", java + std::string(512, 'g'), "not a ustar header"},
        {"no regular file", entry("bin/", '5') + end, "holds no files"},
        {"directory with data", entry("bin/", '5', std::string(6, 'd')) + java + end, "carries data"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RuntimeArchiveFacts facts;
        std::string error;
        const bool accepted = checkRuntimeArchive(gzipFile("/in.tar.gz", row.tar), &facts, &error);
        if (row.expected == nullptr) {
            EXPECT_TRUE(accepted) << error;
            EXPECT_EQ(facts.streamLength, static_cast<int64_t>(row.tar.size()));
            EXPECT_FALSE(facts.packed);
        } else {
            EXPECT_FALSE(accepted);
            EXPECT_NE(error.find(row.expected), std::string::npos) << error;
        }
    }
    // A stream that ends before its gzip trailer gives all its data; gzip -t refuses it, and so does the
    // check.
    const std::string whole = readFile(gzipFile("/whole.tar.gz", rows[0].tar));
    writeFile(directory_ + "/untrailed.tar.gz", whole.substr(0, whole.size() - 8));
    {
        RuntimeArchiveFacts facts;
        std::string error;
        EXPECT_FALSE(checkRuntimeArchive(directory_ + "/untrailed.tar.gz", &facts, &error));
        EXPECT_NE(error.find("gzip data is damaged"), std::string::npos) << error;
    }
    // Two archives one after the other (`cat a.tar.gz b.tar.gz`): the launcher stops at the first one's end.
    writeFile(directory_ + "/two.tar.gz", whole + test_support::gzipped(entry("lib/rt.jar", '0') + end));
    {
        RuntimeArchiveFacts facts;
        std::string error;
        EXPECT_FALSE(checkRuntimeArchive(directory_ + "/two.tar.gz", &facts, &error));
        EXPECT_NE(error.find("data follows the archive's end at offset 2048"), std::string::npos) << error;
    }
    writeFile(directory_ + "/plain.tar", rows[0].tar);
    RuntimeArchiveFacts facts;
    std::string error;
    EXPECT_FALSE(checkRuntimeArchive(directory_ + "/plain.tar", &facts, &error));
    EXPECT_NE(error.find("not gzip-compressed"), std::string::npos) << error;
}

class BundledRuntimeProject : public RuntimeBundle {
  protected:
    bool pack(const std::string& projectText, payload::PayloadTables* tables, std::string* files,
              std::string* error) {
        PackRequest request;
        if (!parseProjectText(projectText, "app.toml", directory_, &request, error))
            return false;
        const std::string stub = buildPeImage({{0x400, 0x200}});
        writeFile(directory_ + "/stub.exe", stub);
        if (!packLauncher(directory_ + "/stub.exe", request, directory_ + "/App.exe", error))
            return false;
        const std::string launcher = readFile(directory_ + "/App.exe");
        size_t end;
        EXPECT_TRUE(payload::decodeTables(launcher, stub.size(), tables, &end, error)) << *error;
        *files = launcher.substr(end);
        return true;
    }

    static std::string config(const payload::PayloadTables& tables, int32_t id) {
        std::string text = "absent";
        for (const auto& record : tables.config) {
            if (record.first == id)
                text = record.second;
        }
        return text;
    }
};

TEST_F(BundledRuntimeProject, DirectoryIsShippedAsJreTarGzWithDerivedRecords) {
    payload::PayloadTables tables;
    std::string files, error;
    ASSERT_TRUE(pack("[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre\"\n", &tables,
                     &files, &error))
        << error;
    RuntimeArchiveFacts facts;
    ASSERT_TRUE(writeRuntimeArchive(runtime_, directory_ + "/expected.tar.gz", &facts, &error)) << error;
    EXPECT_EQ(config(tables, payload::config::RuntimeArchiveSize), std::to_string(facts.streamLength));
    EXPECT_EQ(config(tables, payload::config::RuntimeIsPacked), "1");
    EXPECT_EQ(config(tables, payload::config::IncludedFileNames), "jre.tar.gz;");
    // The runtime cache's key: the digest of the archive's bytes, as sha256sum prints it.
    std::string sum(64, '\0');
    FILE* pipe = popen(("sha256sum '" + directory_ + "/expected.tar.gz'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    sum.resize(fread(&sum[0], 1, sum.size(), pipe));
    pclose(pipe);
    EXPECT_EQ(config(tables, payload::config::RuntimeArchiveDigest), sum.substr(0, 64));
    EXPECT_EQ(config(tables, payload::config::CacheRuntime), "1");
    EXPECT_EQ(config(tables, payload::config::ShareClassData), "1");
    std::string expected;
    payload::appendIncludedFile(expected, readFile(directory_ + "/expected.tar.gz"));
    EXPECT_EQ(files, expected);
    for (const auto& entry : fs::directory_iterator(directory_))
        EXPECT_EQ(entry.path().filename().string().find(".kestro-pack"), std::string::npos)
            << "temporary archive left behind: " << entry.path();
}

// Windows names files in any letter case alike, and the launcher tries the preferred variant's folder
// before its own list.
TEST_F(BundledRuntimeProject, NamesInAnyCaseAndThePreferredVariantAreWhereTheLauncherLooks) {
    const std::string home = directory_ + "/upper";
    writeFile(home + "/BIN/JAVAW.EXE", "MZ");
    writeFile(home + "/BIN/MyVM/JVM.DLL", buildPeImage({{0x400, 0x200}}, "", 224, false));
    payload::PayloadTables tables;
    std::string files, error;
    EXPECT_TRUE(pack("[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"upper\"\n"
                     "preferred_variant = \"myvm\"\n",
                     &tables, &files, &error))
        << error;
    EXPECT_FALSE(pack("[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"upper\"\n", &tables,
                      &files, &error));
    EXPECT_NE(error.find("no jvm.dll in bin/hotspot, bin/client, bin/server, bin/classic or bin/jrockit"),
              std::string::npos)
        << error;
}

TEST_F(BundledRuntimeProject, ExistingArchiveIsShippedAsItIs) {
    RuntimeArchiveFacts facts;
    std::string error;
    fs::remove(runtime_ + "/lib/rt.jar.pack");
    ASSERT_TRUE(writeRuntimeArchive(runtime_, directory_ + "/jre-8.tar.gz", &facts, &error)) << error;
    payload::PayloadTables tables;
    std::string files;
    ASSERT_TRUE(pack("[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre-8.tar.gz\"\n",
                     &tables, &files, &error))
        << error;
    EXPECT_EQ(config(tables, payload::config::RuntimeArchiveSize), std::to_string(facts.streamLength));
    EXPECT_EQ(config(tables, payload::config::RuntimeIsPacked), "0");
    std::string digest;
    ASSERT_TRUE(archiveDigest(directory_ + "/jre-8.tar.gz", &digest, &error)) << error;
    EXPECT_EQ(config(tables, payload::config::RuntimeArchiveDigest), digest);
    std::string expected;
    payload::appendIncludedFile(expected, readFile(directory_ + "/jre-8.tar.gz"));
    EXPECT_EQ(files, expected);
}

TEST_F(BundledRuntimeProject, DerivedKeysAndASecondJreTarGzAreErrors) {
    writeFile(directory_ + "/other.tar.gz", "x");
    const char* projects[] = {
        "[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre\"\nbundled_runtime_size = 5\n",
        "[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre\"\nbundled_runtime_pack200 = "
        "false\n",
        "[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre\"\n[[files]]\nsource = "
        "\"other.tar.gz\"\nname = \"JRE.tar.gz\"\n",
        "[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"missing\"\n",
        "[application]\nmain_class = \"a.B\"\n[java]\nbundled_runtime = \"jre\"\nbundled_runtime_sha256 = "
        "\"ab\"\n",
    };
    for (const char* project : projects) {
        PackRequest request;
        std::string error;
        EXPECT_FALSE(parseProjectText(project, "app.toml", directory_, &request, &error)) << project;
        EXPECT_NE(error.find("bundled_runtime"), std::string::npos) << error;
    }
}

} // namespace
} // namespace kestro::packer
