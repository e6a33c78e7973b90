// The launcher under load and hostile input: many starts at once, processes sharing the deletion
// queue, payloads whose counts and lengths lie. Each scenario checks that nothing is lost and that
// every run ends on its own.
#include "harness.h"
#include "runtime_layout.h"
#include "writers/runtime_bundle.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kestro::scenario {
namespace {

using testing::HasSubstr;
using testing::Not;

namespace fs = std::filesystem;

// Twenty starts of one executable at once: the first holds the guard until told to go, so every
// other start must find it and hand over, whatever the order Wine runs them in.
TEST(Load, TwentyStartsAtOnceRunOneInstance) {
    constexpr int kStarts = 20;
    Scenario s("twenty_starts");
    s.timeout(std::chrono::seconds(120));
    fs::create_directories(s.directory() + "/app");
    const std::string probe = s.directory() + "/app/probe.exe";
    fs::copy_file(scenarioProgram("startup-probe"), probe);
    const std::string go = s.directory() + "/go";

    std::vector<RunningProgram> runs;
    for (int i = 0; i < kStarts; ++i)
        runs.push_back(s.start(probe, {"guard", "handover", windowsPath(go)}));
    // Every start but the first ends by itself; the first prints and waits.
    int firsts = 0;
    for (RunningProgram& run : runs)
        firsts += run.waitForOutput("first ", std::chrono::seconds(100)) ? 1 : 0;
    writeFile(go, "");
    std::string firstId;
    for (RunningProgram& run : runs) {
        RunResult r = run.wait();
        EXPECT_FALSE(r.timedOut);
        r.expectExitCode(0);
        for (const std::string& id : withPrefix(r.stdoutLines(), "first "))
            firstId = id;
    }
    EXPECT_EQ(firsts, 1);
    ASSERT_FALSE(firstId.empty());

    // The process registry names the first instance, under the executable's lower-cased path.
    EXPECT_EQ(registry::readDword(std::string(kLauncherKey) + "\\pids", lowerCase(windowsPath(probe))),
              std::stoul(firstId));
    // Nobody consumes the hand-overs here, so they replace each other; what is left is one whole line.
    const std::u16string line = fromUtf16Le(readFile(s.tmpDirectory() + "/kqx_p" + firstId + ".tmp"));
    EXPECT_EQ(line.substr(0, 15), u"guard handover ");
    EXPECT_EQ(std::count(line.begin(), line.end(), u'\n'), 1);
    EXPECT_EQ(line.back(), u'\n');
}

// Processes that queue entries while two others drain: every entry is either done (its file gone)
// or still queued, and a last drain leaves nothing behind.
TEST(Load, QueueingWhileTwoDrainLosesNoEntry) {
    constexpr int kFiles = 12;
    Scenario s("queue_under_load");
    s.timeout(std::chrono::seconds(120));
    std::vector<std::string> files;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(s.tmpDirectory() + "/qvx_nlog_" + std::to_string(i) + "_1");
        writeFile(files.back(), "contents");
    }
    const std::string queueTool = scenarioProgram("queue-tool");
    std::vector<RunningProgram> runs;
    for (int i = 0; i < kFiles; ++i) {
        runs.push_back(s.start(queueTool, {"file", windowsPath(files[i])}));
        if (i == kFiles / 3 || i == 2 * kFiles / 3)
            runs.push_back(s.start(queueTool, {"drain"}));
    }
    for (RunningProgram& run : runs) {
        RunResult r = run.wait();
        EXPECT_FALSE(r.timedOut);
        r.expectExitCode(0);
    }
    const std::string queued = registry::readString(kDeletionQueueKey, "delete_file").value_or("");
    for (const std::string& file : files) {
        EXPECT_TRUE(!fs::exists(file) || queued.find(windowsPath(file) + ";") != std::string::npos)
            << file << " is neither deleted nor queued: " << queued;
    }
    s.runProgram(queueTool, {"drain"}).expectExitCode(0);
    for (const std::string& file : files)
        EXPECT_FALSE(fs::exists(file)) << file;
    EXPECT_EQ(registry::readString(kDeletionQueueKey, "delete_file").value_or(""), "");
}

// Counts and lengths that point far past the payload's end or below zero end the start with the
// reader's internal error, at once and without allocating what they claim.
TEST(Load, HostilePayloadCountsAndLengthsEndWithAnInternalError) {
    const auto int32 = [](int32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); };
    const std::string magic = std::string("\xD5\x13\xE4\xE8", 4);
    struct Row {
        const char* what;
        std::string payload;
        const char* fatalText;
    } rows[] = {
        {"2^31-1 configuration records", magic + int32(INT32_MAX) + int32(107) + int32(1) + "0",
         "Internal Error: readInt"},
        {"negative text length", magic + int32(1) + int32(107) + int32(-1) + "0",
         "Internal Error: readString"},
        {"text length 2^31-1", magic + int32(1) + int32(107) + int32(INT32_MAX) + "0",
         "Internal Error: readString"},
        {"text length of INT32_MIN", magic + int32(1) + int32(107) + int32(INT32_MIN) + "0",
         "Internal Error: readString"},
        {"2^31-1 messages",
         magic + int32(0) + int32(INT32_MAX) + int32(20013) + int32(2) + std::string("x\0", 2),
         "Internal Error: readInt"},
        {"negative message length", magic + int32(0) + int32(1) + int32(20013) + int32(-2),
         "Internal Error: readWString"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Scenario s("hostile_payload");
        s.timeout(std::chrono::seconds(60));
        s.rawPayload(row.payload);
        RunResult r = s.run();
        EXPECT_FALSE(r.timedOut);
        r.expectExitCode(1);
        r.expectMessageBoxError(row.fatalText);
    }
}

// A small file system mounted for TMP, so that extraction runs out of space part-way. Mounting needs
// root; elsewhere the scenario is skipped.
class SmallTmp {
  public:
    SmallTmp(const std::string& mountPoint, const char* size) : mountPoint_(mountPoint) {
        fs::create_directories(mountPoint);
        mounted_ = std::system(("mount -t tmpfs -o size=" + std::string(size) + " kestro_small_tmp '" +
                                mountPoint + "' 2>/dev/null")
                                   .c_str()) == 0;
    }
    ~SmallTmp() {
        if (mounted_)
            std::system(("umount -l '" + mountPoint_ + "'").c_str());
    }
    bool mounted() const { return mounted_; }
    bool grow(const char* size) {
        return std::system(
                   ("mount -o remount,size=" + std::string(size) + " '" + mountPoint_ + "'").c_str()) == 0;
    }

  private:
    std::string mountPoint_;
    bool mounted_ = false;
};

std::vector<std::string> extractionDirectoriesIn(const std::string& directory) {
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.is_directory() && entry.path().filename().string().find(".tmp_dir") != std::string::npos)
            found.push_back(entry.path().string());
    return found;
}

// A start whose extraction runs out of room: it ends with the disk-full message and exit 1, in time.
RunResult runOnFullDisk(Scenario& s) {
    RunResult full = s.run({"-q"});
    EXPECT_FALSE(full.timedOut);
    full.expectExitCode(1);
    full.expectConsoleError("The disk is full.");
    return full;
}

// Included files that do not fit: message 20018, exit 1, no half-written directory; with room, the
// next start extracts them whole.
TEST(Load, DiskFullDuringExtractionLeavesNothingAndTheNextStartWorks) {
    Scenario s("disk_full");
    SmallTmp small(s.directory() + "/small", "2m");
    if (!small.mounted())
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    std::string big(6 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 131 % 251);
    s.config(107, "0")
        .config(122, "com.example.Main")
        .message(20018, u"The disk is full.")
        .include("first.txt", "small")
        .include("big.bin", big)
        .unsetEnv("JAVA_HOME")
        .tmpIn("small");

    RunResult full = runOnFullDisk(s);
    EXPECT_THAT(extractionDirectoriesIn(s.tmpDirectory()), testing::IsEmpty());

    ASSERT_TRUE(small.grow("64m"));
    RunResult roomy = s.run({"-q"});
    EXPECT_FALSE(roomy.timedOut);
    const std::vector<std::string> directories = extractionDirectoriesIn(s.tmpDirectory());
    ASSERT_EQ(directories.size(), 1u) << roomy.describe();
    EXPECT_EQ(readFile(directories[0] + "/big.bin"), big);
    EXPECT_EQ(readFile(directories[0] + "/first.txt"), "small");
}

// A shipped runtime whose unpacked files do not fit: many small files, as a real runtime has, each
// smaller than the C runtime's stream buffer, so that the disk fills while a file is closed rather
// than while it is written. The start ends with message 20018, leaves no part of the runtime behind
// (nothing that a later start could take for a runtime, nothing holding the space), and with room
// the next start unpacks it whole and runs. A runtime that goes through the user's cache (on the
// same disk) ends the same way: the entry cannot be made, nor the runtime unpacked for the start
// alone, and nothing of either is left.
TEST(Load, DiskFullWhileUnpackingTheShippedRuntime) {
    for (const bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "through the cache" : "unpacked for the start");
        Scenario s(cached ? "disk_full_cached_runtime" : "disk_full_runtime");
        Runtime runtime = layOutRuntime(s.directory() + "/shipped-jre", describe(Layout::Jre, "1.8.0_300"));
        // Room for the archive, the runtime's programs and a megabyte more: the disk fills a few
        // hundred files into lib/many.
        const auto pages = [](uintmax_t bytes) { return (bytes + 4095) / 4096 * 4096; };
        uintmax_t room = 1 << 20;
        for (const auto& entry : fs::recursive_directory_iterator(runtime.home))
            if (entry.is_regular_file())
                room += pages(entry.file_size());
        fs::create_directories(runtime.home + "/lib/many");
        for (int i = 0; i < 700; ++i)
            writeFile(runtime.home + "/lib/many/part" + std::to_string(1000 + i) + ".txt",
                      std::string(3000, static_cast<char>('a' + i % 26)));
        const std::string archive = s.directory() + "/jre.tar.gz";
        packer::RuntimeArchiveFacts facts;
        std::string error, digest;
        ASSERT_TRUE(packer::writeRuntimeArchive(runtime.home, archive, &facts, &error)) << error;
        ASSERT_TRUE(packer::archiveDigest(archive, &digest, &error)) << error;
        room += pages(fs::file_size(archive));
        SmallTmp small(s.directory() + "/small", (std::to_string(room / 1024) + "k").c_str());
        if (!small.mounted())
            GTEST_SKIP() << "mounting a tmpfs is not permitted here";
        fs::create_directories(s.directory() + "/small/local");
        s.config(107, "0")
            .config(122, "com.example.Main")
            .config(151, std::to_string(facts.streamLength))
            .config(153, "0")
            .config(10203, digest)
            .config(10204, cached ? "1" : "0")
            .message(20018, u"The disk is full.")
            .include("kestro-runtime.jar", readFile(runtimeJar()))
            .include("jre.tar.gz", readFile(archive))
            .env("KESTRO_JNI_RECORD", windowsPath(s.directory() + "/jni.txt"))
            .env("LOCALAPPDATA", windowsPath(s.directory() + "/small/local"))
            .unsetEnv("JAVA_HOME")
            .tmpIn("small");
        const std::string runtimes = s.userCacheDirectory() + "/runtimes";

        RunResult full = runOnFullDisk(s);
        // Logged once the part written is gone again, so that the line finds room.
        EXPECT_THAT(full.logLines(), testing::Contains("ERROR: Could not untar JRE"));
        for (const std::string& directory : extractionDirectoriesIn(s.tmpDirectory()))
            EXPECT_FALSE(fs::exists(directory + "/jre")) << directory;
        if (cached) {
            EXPECT_THAT(full.logLines(), testing::Contains("JRE not cached; unpacking it for this start"));
            EXPECT_TRUE(fs::is_empty(runtimes)) << "neither an entry nor part of one";
        }

        ASSERT_TRUE(small.grow("64m"));
        RunResult roomy = s.run({"-q"});
        EXPECT_FALSE(roomy.timedOut);
        roomy.expectExitCode(0);
        EXPECT_THAT(roomy.logLines(), testing::Contains("untaring JRE was successful"));
        const std::string jre = linuxPath(lineStartingWith(roomy.logLines(), "JRE dir: "));
        EXPECT_EQ(jre.rfind(runtimes, 0) == 0, cached) << jre;
        EXPECT_EQ(readFile(jre + "/lib/many/part1699.txt"),
                  std::string(3000, static_cast<char>('a' + 699 % 26)));
    }
}

// A launcher killed while it extracts (its process ended at once, as by a crash): the next start works,
// and the directory the killed one was writing is not lost: the next start's clean-up removes it or
// has it queued, and a drain then removes it. The kill comes once the file is being written; one
// that misses is told apart and tried again.
TEST(Load, KilledDuringExtractionLeavesNothingForGood) {
    std::string big(64 << 20, '\0');
    for (size_t i = 0; i < big.size(); i += 4096)
        big[i] = static_cast<char>(i / 4096);
    // The file of the extraction in directories, and its size (-1 while there is none).
    const auto extracted = [&](const std::vector<std::string>& directories) {
        std::error_code missing;
        return directories.empty() ? uintmax_t(-1) : fs::file_size(directories[0] + "/big.bin", missing);
    };
    int interrupted = 0;
    for (int attempt = 0; attempt < 5 && interrupted < 2; ++attempt) {
        Scenario s("killed_extraction");
        s.config(107, "0").config(122, "com.example.Main").include("big.bin", big).unsetEnv("JAVA_HOME");
        RunningProgram killed = s.startPacked({"-q"});
        waitUntil([&] { return extracted(extractionDirectoriesIn(s.tmpDirectory())) != uintmax_t(-1); },
                  std::chrono::minutes(1), std::chrono::milliseconds(1));
        killed.kill("killed_extraction.exe");
        killed.wait();
        const std::vector<std::string> left = extractionDirectoriesIn(s.tmpDirectory());
        interrupted += !left.empty() && extracted(left) != big.size() ? 1 : 0;

        RunResult next = s.run({"-q"});
        EXPECT_FALSE(next.timedOut);
        next.expectExitCode(83); // no Java runtime in this scenario
        const std::string queued = registry::readString(kDeletionQueueKey, "delete_dir").value_or("");
        for (const std::string& directory : left) {
            EXPECT_TRUE(!fs::exists(directory) ||
                        queued.find(windowsPath(directory) + ";") != std::string::npos)
                << directory << " is neither removed nor queued: " << queued;
        }
        s.runProgram(scenarioProgram("queue-tool"), {"drain"}).expectExitCode(0);
        for (const std::string& directory : left)
            EXPECT_FALSE(fs::exists(directory)) << directory;
    }
    EXPECT_GE(interrupted, 1) << "no kill landed inside an extraction";
}

} // namespace
} // namespace kestro::scenario
