// What class-data sharing buys on a real runtime: the launcher's JNI half (the same sources as the
// launcher, built for the host, as in tests/jvm) starts a program that builds the Swing components
// of a small window headless and then prints its first line, on Java 25 or later from /usr/lib/jvm
// (or KESTRO_BENCH_JAVA_HOME). Each start is a process of its own; the time is from its start to
// that line. Three ways, the options from the launcher's own rules (class_data_archive):
//   without      no archive options
//   dynamic      the dynamic archive, as for a process whose output is seen
//   ahead        the ahead-of-time cache, as for a process whose output nobody sees
// Each archive is made by one start first (timed to its exit as well: what the first start pays).
// Then the three ways take turns; prints the medians and the ratios to "without", all measured in
// this run. Timing never fails the program.
#include "desktop_program.h"
#include "launch/class_data_archive.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

void jniLogLine(const char*) {}
void jniLogError(const char*) {}
void jniEnteringJava() {}
void jniProgramExit(int code) {
    _exit(code);
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 9;

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int featureOf(const std::string& home) {
    return javaFeatureVersion(releaseVersion(readText(home + "/release")).c_str());
}

std::string javaHome() {
    if (const char* given = std::getenv("KESTRO_BENCH_JAVA_HOME"))
        return given;
    std::string found;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ignored)) {
        const std::string home = entry.path().string();
        if (featureOf(home) >= 25 && fs::exists(home + "/lib/server/libjvm.so") &&
            featureOf(home) > (found.empty() ? 0 : featureOf(found)))
            found = home;
    }
    return found;
}

// The child: one start, its standard output into the pipe.
[[noreturn]] void startProgram(const std::string& home, const std::vector<std::string>& sharing, int output) {
    dup2(output, STDOUT_FILENO);
    runDesktopProgram(home, sharing, {"-Djava.awt.headless=true"}, {});
}

struct Timing {
    double firstLineMs = -1;
    double exitMs = -1;
};

Timing timedStart(const std::string& home, const std::vector<std::string>& sharing) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const auto begin = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        startProgram(home, sharing, pipeEnds[1]);
    }
    close(pipeEnds[1]);
    Timing timing;
    char c;
    while (read(pipeEnds[0], &c, 1) == 1) {
        if (c == '\n' && timing.firstLineMs < 0)
            timing.firstLineMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    timing.exitMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "a start ended with status %d\n", status);
    return timing;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    const std::string home = javaHome();
    if (home.empty()) {
        std::printf("no runtime of Java 25 or later in /usr/lib/jvm; set KESTRO_BENCH_JAVA_HOME\n");
        return 0;
    }
    const std::string directory =
        fs::temp_directory_path().string() + "/kestro-class-data-bench-" + std::to_string(getpid());
    fs::create_directories(directory);
    const int feature = featureOf(home);
    struct Way {
        const char* name;
        ClassDataArchive kind;
        std::vector<std::string> options;
        Timing making;
        std::vector<double> firstLines;
    } ways[] = {{"without", ClassDataArchive::None, {}, {}, {}},
                {"dynamic", classDataArchiveFor(feature, true), {}, {}, {}},
                {"ahead", classDataArchiveFor(feature, false), {}, {}, {}}};
    for (Way& way : ways) {
        const std::string archive = directory + "/" + way.name + classDataArchiveExtension(way.kind);
        way.making = timedStart(home, classDataSharingOptions(way.kind, archive, false));
        way.options = classDataSharingOptions(way.kind, archive, true);
    }
    for (int i = 0; i < kRepetitions; ++i)
        for (Way& way : ways)
            way.firstLines.push_back(timedStart(home, way.options).firstLineMs);

    std::printf("%s (Java %d): a Swing window's components built headless, median of %d starts each\n",
                home.c_str(), feature, kRepetitions);
    const double without = median(ways[0].firstLines);
    for (const Way& way : ways) {
        const double firstLine = median(way.firstLines);
        std::printf(
            "%-8s first line %7.1f ms, ratio %.2f; the start that made the archive: first line %7.1f ms, "
            "exit %7.1f ms\n",
            way.name, firstLine, firstLine / without, way.making.firstLineMs, way.making.exitMs);
    }
    std::printf("goal: archive / without <= 0.6\n");
    fs::remove_all(directory);
    return 0;
}
