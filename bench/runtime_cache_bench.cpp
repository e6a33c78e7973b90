// What the per-user runtime cache buys: a launcher shipping a runtime of about 130 MB (the runtime
// doubles' programs and a real JDK's other files, its module image cut to size), started under Wine
// in quiet mode with a program whose main returns at once, timed from start to exit:
//   installed   the same launcher without the runtime, finding the same tree through JAVA_HOME
//   warm        with the cache filled: the runtime is used from it
//   first       with the cache emptied before each start: the runtime is unpacked into it
//   per start   with the cache turned off (cache_runtime = false): unpacked beside the included files
// Prints the median of each and the ratios warm / installed and first / per start, all measured in
// this run. Timing never fails the program; only a launch that does not end with code 0 does.
#include "harness.h"
#include "writers/runtime_bundle.h"
#include "runtime_layout.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestro::scenario {
namespace {

namespace fs = std::filesystem;

constexpr int kRepetitions = 5;
constexpr uintmax_t kRuntimeBytes = 130u << 20;

// The JDK whose files fill the runtime: KESTRO_BENCH_JDK, else the newest under /usr/lib/jvm.
std::string donorJdk() {
    if (const char* given = std::getenv("KESTRO_BENCH_JDK"))
        return given;
    for (const char* home : {"/usr/lib/jvm/temurin-25-jdk-amd64", "/usr/lib/jvm/java-17-openjdk-amd64"})
        if (fs::exists(std::string(home) + "/lib/modules"))
            return home;
    return "";
}

uintmax_t treeBytes(const std::string& root) {
    uintmax_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            bytes += entry.file_size();
    return bytes;
}

// The doubles' runtime, with the donor's conf, legal and lib (less what only a JDK has, and its
// module image cut so that the whole tree is kRuntimeBytes) beside its bin. Returns the number of files.
size_t layOutBigRuntime(const std::string& home, const std::string& donor) {
    layOutRuntime(home, describe(Layout::ModernJre, "25.0.3"));
    for (const char* part : {"conf", "legal", "lib"})
        fs::copy(donor + "/" + part, home + "/" + part,
                 fs::copy_options::recursive | fs::copy_options::skip_symlinks);
    // What a JDK has and a runtime does not: sources, the compiler's symbols, the archives of other
    // VM modes.
    for (const char* extra : {"lib/src.zip", "lib/ct.sym", "lib/server/classes_coh.jsa",
                              "lib/server/classes_nocoops.jsa", "lib/server/classes_nocoops_coh.jsa"})
        fs::remove(home + "/" + extra);
    fs::copy_file(donor + "/release", home + "/release", fs::copy_options::overwrite_existing);
    const std::string modules = home + "/lib/modules";
    const uintmax_t others = treeBytes(home) - fs::file_size(modules);
    fs::resize_file(modules, kRuntimeBytes > others ? kRuntimeBytes - others : 1);
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(home))
        files += entry.is_regular_file() ? 1 : 0;
    return files;
}

double timedStart(Scenario& s, const std::string& executable) {
    const auto begin = std::chrono::steady_clock::now();
    RunResult r = s.runProgram(executable, {"-q"});
    const auto end = std::chrono::steady_clock::now();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    return std::chrono::duration<double, std::milli>(end - begin).count();
}

double median(std::vector<double> runs) {
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

TEST(Benchmark, WarmAndFirstStartsWithTheRuntimeCache) {
    const std::string donor = donorJdk();
    if (donor.empty())
        GTEST_SKIP() << "no JDK to fill the runtime with; set KESTRO_BENCH_JDK";
    Scenario s("runtime_cache_bench");
    s.timeout(std::chrono::minutes(5)).config(107, "0").config(122, "com.example.Main").unsetEnv("JAVA_HOME");
    s.include("kestro-runtime.jar", readFile(KESTRO_RUNTIME_JAR));
    const std::string home = s.directory() + "/runtime";
    const size_t files = layOutBigRuntime(home, donor);
    const std::string archive = s.directory() + "/jre.tar.gz";
    packer::RuntimeArchiveFacts facts;
    std::string error, digest;
    ASSERT_TRUE(packer::writeRuntimeArchive(home, archive, &facts, &error)) << error;
    ASSERT_TRUE(packer::archiveDigest(archive, &digest, &error)) << error;

    // The installed launcher first: its executable is packed without the runtime. JAVA_HOME stays set
    // for all: the launchers with the runtime never search.
    const std::string installed = s.directory() + "/Installed.exe";
    s.config(128, "EJAVA_HOME").env("JAVA_HOME", windowsPath(home));
    ASSERT_EQ(s.run({"-q"}).exitCode, 0);
    fs::copy_file(s.executablePath(), installed);

    s.include("jre.tar.gz", readFile(archive))
        .config(151, std::to_string(facts.streamLength))
        .config(153, "0")
        .config(10203, digest)
        .config(10204, "1");
    ASSERT_EQ(s.run({"-q"}).exitCode, 0);
    const std::string cached = s.directory() + "/Cached.exe";
    fs::copy_file(s.executablePath(), cached);
    s.config(10204, "0");
    ASSERT_EQ(s.run({"-q"}).exitCode, 0);
    const std::string perStart = s.directory() + "/PerStart.exe";
    fs::copy_file(s.executablePath(), perStart);

    std::vector<double> installedRuns, warmRuns, firstRuns, perStartRuns;
    for (int i = 0; i < kRepetitions; ++i) {
        installedRuns.push_back(timedStart(s, installed));
        warmRuns.push_back(timedStart(s, cached));
        fs::remove_all(s.userCacheDirectory() + "/runtimes");
        firstRuns.push_back(timedStart(s, cached));
        perStartRuns.push_back(timedStart(s, perStart));
        // What the unpacked runtime left in TMP goes now, not behind the next start's back.
        s.runProgram(scenarioProgram("queue-tool"), {"drain"});
    }
    const double installedMedian = median(installedRuns), warmMedian = median(warmRuns);
    const double firstMedian = median(firstRuns), perStartMedian = median(perStartRuns);
    std::printf(
        "runtime of %.0f MB in %zu files, %.0f MB packed; median of %d starts each, from start to exit\n",
        treeBytes(home) / 1048576.0, files, fs::file_size(archive) / 1048576.0, kRepetitions);
    std::printf("installed (JAVA_HOME):          %8.1f ms\n", installedMedian);
    std::printf("shipped, cache warm:            %8.1f ms\n", warmMedian);
    std::printf("shipped, first start (cache):   %8.1f ms\n", firstMedian);
    std::printf("shipped, unpacked every start:  %8.1f ms\n", perStartMedian);
    std::printf("warm / installed: %.2f (goal <= 1.2); first / unpacked every start: %.2f (goal <= 1.1); "
                "unpacked every start / installed: %.2f\n",
                warmMedian / installedMedian, firstMedian / perStartMedian, perStartMedian / installedMedian);
}

} // namespace
} // namespace kestro::scenario
