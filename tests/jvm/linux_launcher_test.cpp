// The Linux launcher as users get it: packed by the packer from a project file and started as a
// program, on Debian's OpenJDK 17 (and Java 25 where /usr/lib/jvm has one), with the probe program of
// this folder printing what reached it. Each start runs in an environment of its own: a UTF-8 locale
// as a desktop session has, a cache and a runtime directory per test, no display, no java on PATH,
// and only the variables a test names.
#include "jvmsearch/runtime_search.h"
#include "support/cleanup.h"
#include "support/text_conversion.h"
#include "test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kestro::test_support::linesOf;
using kestro::test_support::lineStartingWith;
using kestro::test_support::readFile;
using kestro::test_support::runShell;
using kestro::test_support::withPrefix;
using kestro::test_support::writeFile;

// Debian names it twice (java-17-openjdk-amd64 and a link to it); the runtime knows itself by the first.
const std::string kJdk17 = std::filesystem::canonical(KESTRO_JDK17_HOME).string();

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

struct Start {
    int code = -1;
    std::vector<std::string> out; // standard output, by line
    std::string err;
    std::string log; // the native log of this start
};

class LinuxLauncher : public testing::Test {
  protected:
    void SetUp() override {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        directory_ = std::string(KESTRO_JVM_TEST_DIR) + "/linux-" + test->name();
        fs::remove_all(directory_);
        fs::create_directories(directory_ + "/home");
        fs::create_directories(runtimeDirectory());
        fs::permissions(runtimeDirectory(), fs::perms::owner_all);
    }

    std::string runtimeDirectory() const { return directory_ + "/run"; }
    std::string cache() const { return directory_ + "/cache/kestro"; }

    // Packs the probe into directory/name with the project's own tables after [application]; what
    // the packer printed goes to *printed when asked for.
    std::string pack(const std::string& name, const std::string& tables = "",
                     std::string* printed = nullptr) {
        const std::string project = directory_ + "/" + name + ".toml";
        writeFile(project, "[application]\nname = \"" + name + "\"\nmain_class = \"probe.LauncherProbe\"\n" +
                               tables + "\n[[files]]\nsource = \"" KESTRO_PROBE_JAR "\"\n");
        const std::string launcher = directory_ + "/" + name;
        std::string output;
        EXPECT_EQ(runShell(std::string(KESTRO_CLI) + " pack " + quoted(project) +
                               " --target linux-x64 --stub " KESTRO_LINUX_STUB
                               " --runtime-jar " KESTRO_RUNTIME_JAR " -o " +
                               quoted(launcher),
                           &output),
                  0)
            << output;
        if (printed != nullptr)
            *printed = output;
        return launcher;
    }

    // The command that starts launcher with arguments, in the test's environment plus variables
    // ("NAME=value" each).
    std::string command(const std::string& launcher, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& variables) const {
        std::string line = "cd " + quoted(directory_) + " && env -i HOME=" + quoted(directory_ + "/home") +
                           " XDG_CACHE_HOME=" + quoted(directory_ + "/cache") +
                           " XDG_RUNTIME_DIR=" + quoted(runtimeDirectory()) + " PATH=/nowhere LANG=C.UTF-8";
        for (const std::string& variable : variables)
            line += " " + quoted(variable);
        line += " " + quoted(launcher);
        for (const std::string& argument : arguments)
            line += " " + quoted(argument);
        return line;
    }

    Start start(const std::string& launcher, const std::vector<std::string>& arguments,
                const std::vector<std::string>& variables = {"KESTRO_JAVA_HOME=" + kJdk17}) {
        std::error_code ignored;
        fs::remove_all(cache() + "/logs", ignored);
        Start run;
        std::string out;
        run.code =
            runShell(command(launcher, arguments, variables) + " 2>" + quoted(directory_ + "/err"), &out);
        run.out = linesOf(out);
        run.err = readFile(directory_ + "/err");
        for (const auto& log : fs::directory_iterator(cache() + "/logs", ignored))
            run.log += readFile(log.path().string());
        return run;
    }

    // Starts launcher with "wait" and reads its output up to the line "waiting" into *out.
    FILE* startWaiting(const std::string& launcher, std::vector<std::string>* out,
                       const std::vector<std::string>& variables = {"KESTRO_JAVA_HOME=" + kJdk17}) {
        // exec: the launcher is the process popen made, whose output ends when it ends.
        std::string line = command(launcher, {"wait"}, variables);
        line.insert(line.find("env -i"), "exec ");
        FILE* program = popen(line.c_str(), "r");
        char text[4096];
        while (program != nullptr && fgets(text, sizeof text, program) != nullptr) {
            out->push_back(linesOf(text).front());
            if (out->back() == "waiting")
                break;
        }
        return program;
    }

    // What this launcher's starts left in the runtime directory: nothing once they have ended.
    std::vector<std::string> leftInRuntimeDirectory() const {
        std::vector<std::string> left;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(runtimeDirectory() + "/kestro", ignored))
            if (entry.path().filename().string().find(".tmp_dir") != std::string::npos)
                left.push_back(entry.path().filename().string());
        return left;
    }

    std::string directory_;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Sets path's modification time (a link's own) seconds into the past.
void makeOlder(const std::string& path, long seconds) {
    timespec times[2] = {};
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Locks path (made when missing) as a running launcher holds its mark or its log, for as long as the
// returned descriptor stays open.
int holdLock(const std::string& path, int how) {
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(file >= 0 && flock(file, how | LOCK_NB) == 0, true) << path;
    return file;
}

// A folder outside every room of the launcher with a file in it, for the links that point there.
void outsideFolder(const std::string& folder) {
    writeFile(folder + "/keep.txt", "not the launcher's");
}

// The names in folder, sorted; a name that starts with one of the prefixes given stands as its label.
std::vector<std::string> namesIn(const std::string& folder,
                                 const std::vector<std::pair<std::string, std::string>>& labels = {}) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) {
        std::string name = entry.path().filename().string();
        for (const auto& [prefix, label] : labels)
            if (name.rfind(prefix, 0) == 0)
                name = label;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A runtime home that is Debian's JDK 17 under another name, with a release file of its own (none
// when version is empty).
void fakeRuntimeHome(const std::string& home, const std::string& version) {
    fs::create_directories(home);
    for (const char* part : {"bin", "lib", "conf"})
        fs::create_directory_symlink(kJdk17 + "/" + part, home + "/" + part);
    if (!version.empty())
        writeFile(home + "/release", "IMPLEMENTOR=\"test\"\nJAVA_VERSION=\"" + version + "\"\n");
}

TEST_F(LinuxLauncher, ArgumentsOptionsExitCodesAndAThrowingMainOnOpenJdk17) {
    // Settings only a Windows launcher has are left out, one warning each; the launcher reads the rest.
    std::string printed, inspected;
    const std::string launcher = pack("probe",
                                      "[vm]\nparameters = \"-Xss512k -Dprobe.fromProject=yes\"\n"
                                      "[java]\nsearch_sequence = [\"Y\", \"EJAVA_HOME\"]\n"
                                      "[messages]\ncancel_button = \"Stop\"\n"
                                      "[version]\nfile_version = \"1.0.0.0\"\n",
                                      &printed);
    EXPECT_EQ(
        withPrefix(linesOf(printed), "kestro: warning: " + directory_ + "/probe.toml:"),
        (std::vector<std::string>{
            "7:20: java.search_sequence: \"Y\" (the runtimes registered with Windows) applies to Windows "
            "launchers only; the Linux launcher searches the system's runtime folders last",
            "9:17: messages.cancel_button applies to Windows launchers only; the Linux launcher is packed "
            "without it",
            "10:1: version applies to Windows launchers only; the Linux launcher is packed without it"}))
        << printed;
    ASSERT_EQ(runShell(std::string(KESTRO_CLI) + " inspect " + quoted(launcher), &inspected), 0);
    EXPECT_TRUE(contains(inspected, "128  java.search_sequence = \"EJAVA_HOME\"")) << inspected;
    EXPECT_FALSE(contains(inspected, "cancel_button")) << inspected;
    // Beside the executable, after the project's options: its -Xss counts, for the program's thread too.
    writeFile(launcher + ".vmoptions",
              "# options of this machine\n-Xss16m\n-Dprobe.fromFile=Gr\u00fc\u00dfe\n");
    Start run = start(launcher, {"Gr\u00fc\u00dfe \u20ac", "x y", "\U0001F600", "", "exit=7"});
    EXPECT_EQ(run.code, 7) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(lineStartingWith(run.out, "platform="), "linux");
    EXPECT_EQ(lineStartingWith(run.out, "java.home="), kJdk17);
    EXPECT_EQ(withPrefix(run.out, "arg="),
              (std::vector<std::string>{"Gr\u00fc\u00dfe \u20ac", "x y", "\U0001F600", "", "exit=7"}));
    EXPECT_EQ(withPrefix(run.out, "vm="),
              (std::vector<std::string>{"-Xss512k", "-Dprobe.fromProject=yes", "-Xss16m",
                                        "-Dprobe.fromFile=Gr\u00fc\u00dfe"}));
    EXPECT_TRUE(contains(run.log, "program thread stack: 16777216 bytes")) << run.log;
    EXPECT_TRUE(contains(run.log, "System.exit(7)")) << run.log;
    EXPECT_EQ(leftInRuntimeDirectory(), std::vector<std::string>{}) << "the included files are removed";
    const long deepStack = std::stol(lineStartingWith(run.out, "depth="));

    // Without the options file the project's -Xss sizes the thread; main throws: its stack on standard
    // error, the application error naming the exception and the log, exit code 1.
    fs::remove(launcher + ".vmoptions");
    run = start(launcher, {"throw"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(contains(run.err,
                         "Exception in thread \"main\" java.lang.IllegalStateException: thrown by the "
                         "probe \u017c\u00f3\u0142w\n\tat probe.LauncherProbe.main("))
        << run.err;
    EXPECT_TRUE(contains(run.err, "The application ended with an error.\n\njava.lang.IllegalStateException: "
                                  "thrown by the probe \u017c\u00f3\u0142w"))
        << run.err;
    EXPECT_TRUE(contains(run.err, cache() + "/logs/qvx_nlog_")) << "the error names the log:\n" << run.err;
    EXPECT_EQ(withPrefix(run.out, "vm="), (std::vector<std::string>{"-Xss512k", "-Dprobe.fromProject=yes"}));
    EXPECT_LT(std::stol(lineStartingWith(run.out, "depth=")) * 8, deepStack)
        << "a 512 KiB stack holds far fewer calls than a 16 MiB one";
    EXPECT_EQ(leftInRuntimeDirectory(), std::vector<std::string>{});

    // Started through a link from another folder (as from ~/.local/bin), the launcher knows itself by
    // its real file: the options file and the project's relative directories are those beside it.
    const std::string placed =
        pack("placed", "working_directory = \"data\"\npath_prefix = [\"tools\", \"/opt/kestro tools\"]\n");
    fs::create_directories(directory_ + "/data");
    writeFile(placed + ".vmoptions", "-Dprobe.beside=real\n");
    fs::create_directories(directory_ + "/home/bin");
    fs::create_symlink(placed, directory_ + "/home/bin/placed");
    run = start(directory_ + "/home/bin/placed", {"relative.txt"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(lineStartingWith(run.out, "user.dir="), directory_ + "/data");
    EXPECT_EQ(lineStartingWith(run.out, "PATH="), directory_ + "/tools:/opt/kestro tools:/nowhere");
    EXPECT_EQ(withPrefix(run.out, "vm="), std::vector<std::string>{"-Dprobe.beside=real"});
    EXPECT_EQ(withPrefix(run.out, "arg="), std::vector<std::string>{"relative.txt"});
}

TEST_F(LinuxLauncher, SearchTakesTheNewestRuntimeWithinTheBoundsAndRemembersWhatItHadToRun) {
    const std::string launcher = pack("search", "[java]\nmin_version = \"17\"\nmax_version = \"17\"\n");
    const std::string folder = directory_ + "/jvm";
    fakeRuntimeHome(folder + "/a-jdk-11", "11.0.20");
    fakeRuntimeHome(folder + "/b-jdk-17.0.2", "17.0.2");
    fakeRuntimeHome(folder + "/c-jdk-17-no-release", ""); // 17.0.15, as its java answers
    fakeRuntimeHome(folder + "/d-jdk-17.0.9", "17.0.9");
    fakeRuntimeHome(folder + "/e-jdk-21", "21.0.1");
    fakeRuntimeHome(folder + "/f-jdk-17-early", "17.0.99-ea");
    fs::create_directory_symlink(folder + "/e-jdk-21", folder + "/g-latest");
    // JAVA_HOME names one outside the bounds, and PATH has no java: the folders decide.
    const std::vector<std::string> variables = {"KESTRO_TEST_RUNTIME_FOLDERS=" + folder,
                                                "JAVA_HOME=" + folder + "/e-jdk-21"};
    Start run = start(launcher, {"exit=0"}, variables);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(contains(run.log, "JVM loaded from " + folder + "/c-jdk-17-no-release (version 17.0.15)"))
        << run.log;
    EXPECT_TRUE(contains(run.log, "beta vm not allowed")) << run.log;
    EXPECT_EQ(lineStartingWith(run.out, "java.version="), "17.0.15");

    run = start(launcher, {}, variables);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(contains(run.log, "version of " + kJdk17 + "/bin/java from the cache: 17.0.15")) << run.log;
    EXPECT_TRUE(contains(run.log, "JVM loaded from " + folder + "/c-jdk-17-no-release")) << run.log;

    // Nothing within the bounds: the reason on standard error, with the versions that would do and
    // the log; started from a desktop (a display, no terminal), in a zenity dialog as well.
    fs::remove_all(folder + "/c-jdk-17-no-release");
    for (const char* home : {"/b-jdk-17.0.2", "/d-jdk-17.0.9"})
        fs::remove_all(folder + home);
    writeFile(directory_ + "/desktop/zenity",
              "#!/bin/sh\nprintf '%s\\n' \"$@\" >" + directory_ + "/dialog\n");
    fs::permissions(directory_ + "/desktop/zenity", fs::perms::owner_all);
    std::vector<std::string> desktop = variables;
    desktop.insert(desktop.end(), {"DISPLAY=:99", "PATH=" + directory_ + "/desktop"});
    run = start(launcher, {}, desktop);
    EXPECT_EQ(run.code, 83);
    const std::string told = "No Java runtime was found. Please install Java and start the program again.\n"
                             "The program runs on Java 17.\n\nLog: " +
                             cache() + "/logs/qvx_nlog_";
    EXPECT_EQ(run.err.rfind(told, 0), 0u) << run.err;
    EXPECT_EQ(
        readFile(directory_ + "/dialog").rfind("--error\n--no-markup\n--title=search\n--text=" + told, 0), 0u)
        << readFile(directory_ + "/dialog");
    EXPECT_EQ(run.out, std::vector<std::string>{});
}

// The search's order, one start each: KESTRO_JAVA_HOME, JAVA_HOME, java on PATH (its links resolved to
// the runtime they lead to), the system's folders; a home refused for its version or for want of a
// library gives way to the next. A java without a release file is asked once, until it changes.
TEST_F(LinuxLauncher, SearchOrderGivesWayToTheNextAndAChangedJavaIsAskedAgain) {
    const std::string launcher = pack("order", "[java]\nmin_version = \"17\"\nmax_version = \"17\"\n");
    const std::string homes = directory_ + "/homes";
    fakeRuntimeHome(homes + "/kestro", "17.0.5");
    fakeRuntimeHome(homes + "/java-home", "17.0.6");
    fakeRuntimeHome(homes + "/old", "11.0.2");
    fakeRuntimeHome(homes + "/folders/jdk", "17.0.8");
    fs::create_directories(homes + "/no-library/bin");
    // On PATH, a link to a link to Debian's java: unresolved, it would lie in no runtime home.
    fs::create_directories(directory_ + "/path");
    fs::create_symlink(homes + "/java-home/bin/java", directory_ + "/path/java");
    // A runtime without a release file whose java answers as its script says.
    const std::string asked = homes + "/asked";
    fs::create_directories(asked + "/bin");
    for (const char* part : {"lib", "conf"})
        fs::create_directory_symlink(kJdk17 + "/" + part, asked + "/" + part);

    const std::string folders = "KESTRO_TEST_RUNTIME_FOLDERS=" + homes + "/folders";
    const std::string path = "PATH=" + directory_ + "/path";
    struct Case {
        std::vector<std::string> variables;
        std::string answer; // what the asked runtime's java prints as its version, when it changes
        std::string home;
        std::string version;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {{"KESTRO_JAVA_HOME=" + homes + "/kestro", "JAVA_HOME=" + homes + "/java-home", path, folders},
         "",
         homes + "/kestro",
         "17.0.5",
         ""},
        {{"KESTRO_JAVA_HOME=" + homes + "/old", "JAVA_HOME=" + homes + "/java-home", path, folders},
         "",
         homes + "/java-home",
         "17.0.6",
         "version of " + homes + "/old: 11.0.2"},
        {{"KESTRO_JAVA_HOME=" + homes + "/no-library", "JAVA_HOME=" + homes + "/old", path, folders},
         "",
         kJdk17,
         "17.0.15",
         "Testing location " + kJdk17 + " (java on PATH)"},
        {{"JAVA_HOME=" + homes + "/old", folders}, "", homes + "/folders/jdk", "17.0.8", ""},
        {{"KESTRO_JAVA_HOME=" + asked, folders}, "17.0.3", asked, "17.0.3", ""},
        {{"KESTRO_JAVA_HOME=" + asked, folders}, "", asked, "17.0.3", "from the cache: 17.0.3"},
        // Replaced in place by one of another version: asked again, and refused.
        {{"KESTRO_JAVA_HOME=" + asked, folders},
         "11.0.21",
         homes + "/folders/jdk",
         "17.0.8",
         "version of " + asked + ": 11.0.21"},
    };
    for (size_t row = 0; row < cases.size(); ++row) {
        const Case& c = cases[row];
        SCOPED_TRACE("row " + std::to_string(row));
        if (!c.answer.empty()) {
            writeFile(asked + "/bin/java",
                      "#!/bin/sh\necho 'openjdk version \"" + c.answer + "\" 2025-01-21' >&2\n");
            fs::permissions(asked + "/bin/java", fs::perms::owner_all);
        }
        const Start run = start(launcher, {"exit=3"}, c.variables);
        EXPECT_EQ(run.code, 3) << run.err;
        EXPECT_TRUE(contains(run.log, "JVM loaded from " + c.home + " (version " + c.version + ")"))
            << run.log;
        EXPECT_TRUE(contains(run.log, c.logged)) << run.log;
    }
}

TEST_F(LinuxLauncher, ShippedJlinkedRuntimeIsUnpackedOnceReusedAndMadeAgainWhenDamaged) {
    const std::string launcher =
        pack("shipped", "[java]\nbundled_runtime = \"" KESTRO_JLINKED_RUNTIME "\"\n");
    const std::string runtimes = cache() + "/runtimes";
    std::string home;
    // No runtime anywhere else: the shipped one must do. The third start finds the cached runtime
    // short of a file and makes it again.
    for (int startNumber = 1; startNumber <= 3; ++startNumber) {
        SCOPED_TRACE("start " + std::to_string(startNumber));
        if (startNumber == 3)
            fs::remove(home + "/lib/modules");
        const Start run = start(launcher, {"exit=0"}, {"KESTRO_TEST_RUNTIME_FOLDERS=/nowhere"});
        EXPECT_EQ(run.code, 0) << run.err << run.log;
        home = lineStartingWith(run.out, "java.home=");
        EXPECT_EQ(home.rfind(runtimes + "/", 0), 0u) << home;
        EXPECT_EQ(lineStartingWith(run.out, "java.version="), "17.0.15");
        EXPECT_EQ(contains(run.log, "damaged: lib/modules"), startNumber == 3) << run.log;
        EXPECT_EQ(contains(run.log, "Caching JRE in"), startNumber != 2) << run.log;
        EXPECT_EQ(contains(run.log, "Using cached JRE"), true) << run.log;
        EXPECT_EQ(contains(run.log, "extracting " + runtimeDirectory()), true) << "the program's jars";
        EXPECT_EQ(contains(run.log, "not extracting jre.tar.gz"), startNumber == 2)
            << "once cached, the archive stays in the payload";
        EXPECT_EQ(leftInRuntimeDirectory(), std::vector<std::string>{});
    }
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(runtimes))
        entries += entry.is_directory() ? 1 : 0;
    EXPECT_EQ(entries, 1);

    // Two launchers of the same runtime (two executables: one instance each) start at once on an empty
    // cache: both run, from the one entry the two made.
    fs::remove_all(runtimes);
    fs::copy_file(launcher, launcher + "-copy");
    std::string codes;
    const std::string variable = " KESTRO_TEST_RUNTIME_FOLDERS=/nowhere";
    runShell(command(launcher, {"exit=0"}, {}) + variable + " >" + directory_ + "/out-1 2>&1 & " +
                 command(launcher + "-copy", {"exit=0"}, {}) + variable + " >" + directory_ +
                 "/out-2 2>&1; second=$?; wait $!; echo $? $second",
             &codes);
    EXPECT_EQ(linesOf(codes).back(), "0 0")
        << readFile(directory_ + "/out-1") << readFile(directory_ + "/out-2");
    const std::string together = lineStartingWith(linesOf(readFile(directory_ + "/out-1")), "java.home=");
    EXPECT_EQ(together.rfind(runtimes + "/", 0), 0u) << together;
    EXPECT_EQ(lineStartingWith(linesOf(readFile(directory_ + "/out-2")), "java.home="), together);
    std::vector<std::string> made;
    for (const auto& entry : fs::directory_iterator(runtimes))
        if (entry.is_directory())
            made.push_back(entry.path().filename().string());
    EXPECT_EQ(made, std::vector<std::string>{fs::path(together).parent_path().filename().string()})
        << "one entry, nothing half made or half removed";

    // With no cache to be had (its place is taken by a file), the runtime is unpacked for the start
    // alone, the log goes to the private runtime directory, and both are gone at the end.
    fs::remove_all(directory_ + "/cache");
    writeFile(directory_ + "/cache", "not a directory");
    const Start uncached = start(launcher, {"exit=0"}, {"KESTRO_TEST_RUNTIME_FOLDERS=/nowhere"});
    EXPECT_EQ(uncached.code, 0) << uncached.err;
    EXPECT_EQ(uncached.err, "");
    const std::string unpacked = lineStartingWith(uncached.out, "java.home=");
    EXPECT_EQ(unpacked.rfind(runtimeDirectory() + "/kestro/kqx", 0), 0u) << unpacked;
    EXPECT_FALSE(fs::exists(unpacked)) << "removed with its extraction directory";
    EXPECT_EQ(leftInRuntimeDirectory(), std::vector<std::string>{});
    std::string log;
    for (const auto& entry : fs::directory_iterator(runtimeDirectory() + "/kestro"))
        if (isLauncherLogName(entry.path().filename().c_str()))
            log += readFile(entry.path().string());
    EXPECT_TRUE(contains(log, "JRE dir: " + unpacked)) << log;

    // Nor its private runtime directory: the place is taken by a link to a folder of someone else's.
    // The launcher makes its own under TMPDIR and leaves that folder alone.
    fs::remove_all(runtimeDirectory() + "/kestro");
    outsideFolder(directory_ + "/elsewhere");
    fs::create_directory_symlink(directory_ + "/elsewhere", runtimeDirectory() + "/kestro");
    fs::create_directories(directory_ + "/tmp");
    const Start redirected = start(launcher, {"exit=0"},
                                   {"KESTRO_TEST_RUNTIME_FOLDERS=/nowhere", "TMPDIR=" + directory_ + "/tmp"});
    EXPECT_EQ(redirected.code, 0) << redirected.err;
    const std::string temporary = directory_ + "/tmp/kestro-" + std::to_string(getuid());
    EXPECT_EQ(lineStartingWith(redirected.out, "java.home=").rfind(temporary + "/kqx", 0), 0u)
        << lineStartingWith(redirected.out, "java.home=");
    EXPECT_EQ(fs::symlink_status(temporary).permissions(), fs::perms::owner_all);
    EXPECT_EQ(namesIn(temporary, {{"qvx_nlog_", "<log>"}, {"kqx_instance_", "<lock>"}}),
              (std::vector<std::string>{"<lock>", "<log>"}))
        << "the included files and the runtime are gone";
    EXPECT_EQ(namesIn(directory_ + "/elsewhere"), std::vector<std::string>{"keep.txt"});
    fs::remove(runtimeDirectory() + "/kestro");
    fs::remove(directory_ + "/cache");

    // A launcher file cut short ends with a clear message and exit code 1, whatever part of the payload
    // is missing: all of it, the settings' end, half the runtime's archive, its last bytes.
    const auto whole = static_cast<long>(fs::file_size(launcher));
    const auto stub = static_cast<long>(fs::file_size(KESTRO_LINUX_STUB));
    const std::string corrupted = "The installation file is corrupted. Please download it again.";
    const std::vector<std::pair<long, std::string>> cuts = {{stub, "Internal Error: readInt"},
                                                            {stub + 200, "Internal Error: readString"},
                                                            {whole / 2, corrupted},
                                                            {whole - 100, corrupted}};
    for (const auto& [size, told] : cuts) {
        SCOPED_TRACE("cut to " + std::to_string(size) + " bytes");
        fs::copy_file(launcher, launcher + "-cut", fs::copy_options::overwrite_existing);
        fs::resize_file(launcher + "-cut", static_cast<uintmax_t>(size));
        const Start run = start(launcher + "-cut", {"exit=0"}, {"KESTRO_TEST_RUNTIME_FOLDERS=/nowhere"});
        EXPECT_EQ(run.code, 1) << run.err;
        EXPECT_EQ(run.err.rfind(told + "\n\nLog: " + cache() + "/logs/qvx_nlog_", 0), 0u) << run.err;
        EXPECT_EQ(withPrefix(run.out, "java.home="), std::vector<std::string>{});
        EXPECT_EQ(leftInRuntimeDirectory(), std::vector<std::string>{});
    }
}

TEST_F(LinuxLauncher, SecondStartHandsItsArgumentsToTheFirst) {
    const std::string launcher = pack("single", "[single_instance]\nhand_over = true\n");
    FILE* first = popen(command(launcher, {"wait"}, {"KESTRO_JAVA_HOME=" + kJdk17}).c_str(), "r");
    ASSERT_NE(first, nullptr);
    std::vector<std::string> firstOut;
    char line[4096];
    while (fgets(line, sizeof line, first) != nullptr) {
        firstOut.push_back(linesOf(line).front());
        if (firstOut.back() == "waiting")
            break;
    }
    ASSERT_EQ(firstOut.empty() ? "" : firstOut.back(), "waiting");

    // Blanks, either quote and nothing at all: each comes back as it was given.
    const Start second = start(launcher, {"open", "Zdj\u0119cie \u017c.txt", "", "say \"hi\"", "it's mine"});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, std::vector<std::string>{}) << "the second start runs no program of its own";

    while (fgets(line, sizeof line, first) != nullptr)
        firstOut.push_back(linesOf(line).front());
    const int status = pclose(first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lineStartingWith(firstOut, "handedOver="),
              "open|Zdj\u0119cie \u017c.txt||say \"hi\"|it's mine");
    EXPECT_EQ(lineStartingWith(firstOut, "received="), "true");

    // The first has ended, and its lock with it: the next start is a first one again.
    const Start third = start(launcher, {"exit=4"});
    EXPECT_EQ(third.code, 4) << third.err;
}

// A launcher killed outright leaves its included files and its single-instance lock file behind; the
// next start is a first one all the same, and its clean-up takes what ended launchers left: only the
// launcher's own names, nothing a running launcher holds, no link followed, no cache entry in use.
TEST_F(LinuxLauncher, NextStartAfterAKilledOneCleansUpOnlyWhatEndedLaunchersLeft) {
    const std::string launcher = pack("cleanup", "[single_instance]\nhand_over = true\n");
    const std::string room = runtimeDirectory() + "/kestro";
    const std::string logs = cache() + "/logs";
    const std::string runtimes = cache() + "/runtimes";
    const std::string classData = cache() + "/class-data";
    const auto firstInstance = [&]() -> unsigned long {
        for (const std::string& name : namesIn(room))
            if (name.rfind("kqx_instance_", 0) == 0)
                return std::stoul(readFile(room + "/" + name));
        return 0;
    };
    const auto hex = [](unsigned long number) {
        char text[32];
        snprintf(text, sizeof text, "%lx", number);
        return std::string(text);
    };

    std::vector<std::string> killedOut;
    FILE* killed = startWaiting(launcher, &killedOut);
    ASSERT_NE(killed, nullptr);
    ASSERT_EQ(killedOut.empty() ? "" : killedOut.back(), "waiting");
    const unsigned long killedId = firstInstance();
    ASSERT_NE(killedId, 0u);
    ASSERT_EQ(kill(static_cast<pid_t>(killedId), SIGKILL), 0);
    pclose(killed);
    const std::string killedPrefix = "kqx" + hex(killedId) + ".tmp_dir";
    ASSERT_EQ(namesIn(room, {{killedPrefix, "<killed>"}, {"kqx_instance_", "<lock>"}}),
              (std::vector<std::string>{"<killed>", "<lock>"}));

    // What other launchers left, beside it. Marked directories count as leftovers whatever their age;
    // one without a mark is given a minute to get it.
    for (const char* outside : {"/outside-1", "/outside-2", "/outside-3", "/outside-4"})
        outsideFolder(directory_ + outside);
    writeFile(room + "/kqx1.tmp_dir1/kqx_in_use", "");
    writeFile(room + "/kqx1.tmp_dir1/lib/app.jar", "jar");
    fs::create_directory_symlink(directory_ + "/outside-1", room + "/kqx1.tmp_dir1/lib/linked");
    writeFile(room + "/kqx2.tmp_dir2/app.jar", "held by a running launcher");
    const int heldExtraction = holdLock(room + "/kqx2.tmp_dir2/kqx_in_use", LOCK_SH);
    writeFile(room + "/kqx3.tmp_dir3/app.jar", "unmarked, two minutes old");
    makeOlder(room + "/kqx3.tmp_dir3", 120);
    writeFile(room + "/kqx4.tmp_dir4/app.jar", "unmarked, being made");
    fs::create_directory_symlink(directory_ + "/outside-2", room + "/kqx5.tmp_dir5");
    writeFile(room + "/other.tmp_dir6/kqx_in_use", "");
    makeOlder(room + "/other.tmp_dir6", 3600);
    writeFile(room + "/kqx_p" + std::to_string(killedId) + ".tmp", "for the killed one");
    writeFile(room + "/kqx_p" + std::to_string(getpid()) + ".tmp", "for a running one");

    // Logs: a day old and unlocked go.
    const long days = 24 * 60 * 60;
    for (const char* name : {"/qvx_nlog_1_1", "/qvx_nlog_2_2", "/qvx_nlog_3_3", "/notes_1_1"})
        writeFile(logs + name, "log");
    const int heldLog = holdLock(logs + "/qvx_nlog_2_2", LOCK_EX);
    fs::create_symlink(directory_ + "/outside-3/keep.txt", logs + "/qvx_nlog_4_4");
    for (const char* name : {"/qvx_nlog_1_1", "/qvx_nlog_2_2", "/notes_1_1", "/qvx_nlog_4_4"})
        makeOlder(logs + name, 2 * days);

    // The cache: entries unused for 30 days go unless a launcher runs from them; half-made ones an
    // hour old go; class-data archives unused for 30 days go.
    const std::string unused = "0123456789abcdef0123", inUse = "aaaaaaaaaaaaaaaaaaaa";
    writeFile(runtimes + "/" + unused + "/jre/release", "JAVA_VERSION=\"17\"\n");
    writeFile(runtimes + "/" + inUse + "/jre/release", "JAVA_VERSION=\"17\"\n");
    const int heldEntry = holdLock(runtimes + "/" + inUse + "/kqx_in_use", LOCK_SH);
    writeFile(runtimes + "/bbbbbbbbbbbbbbbbbbbb.new77/jre/release", "");
    writeFile(runtimes + "/cccccccccccccccccccc.new78/jre/release", "");
    writeFile(runtimes + "/dddddddddddddddddddd/jre/release", "");
    writeFile(runtimes + "/my-runtime/release", "");
    fs::create_directory_symlink(directory_ + "/outside-4", runtimes + "/eeeeeeeeeeeeeeeeeeee");
    for (const std::string& name :
         {unused, inUse, std::string("my-runtime"), std::string("eeeeeeeeeeeeeeeeeeee")})
        makeOlder(runtimes + "/" + name, 31 * days);
    makeOlder(runtimes + "/bbbbbbbbbbbbbbbbbbbb.new77", 2 * 3600);
    const std::string oldArchive = classData + "/0123456789abcdef0123456789abcdef.jsa";
    for (const std::string& name :
         {std::string("/0123456789abcdef0123456789abcdef.jsa"),
          std::string("/fedcba9876543210fedcba9876543210.aot"), std::string("/notes.jsa")})
        writeFile(classData + name, "archive");
    makeOlder(oldArchive, 31 * days);
    makeOlder(classData + "/notes.jsa", 31 * days);

    std::vector<std::string> nextOut;
    FILE* next = startWaiting(launcher, &nextOut);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(nextOut.empty() ? "" : nextOut.back(), "waiting") << "the killed one's lock went with it";
    const unsigned long nextId = firstInstance();
    EXPECT_NE(nextId, killedId);
    // The class-data room is cleaned last.
    EXPECT_TRUE(
        kestro::test_support::waitUntil([&] { return !fs::exists(oldArchive); }, std::chrono::seconds(30)));
    const std::string nextLog = "qvx_nlog_" + hex(nextId) + "_";
    EXPECT_EQ(
        namesIn(room, {{"kqx" + hex(nextId) + ".tmp_dir", "<running>"}, {"kqx_instance_", "<lock>"}}),
        (std::vector<std::string>{"<lock>", "<running>", "kqx2.tmp_dir2", "kqx4.tmp_dir4", "kqx5.tmp_dir5",
                                  "kqx_p" + std::to_string(getpid()) + ".tmp", "other.tmp_dir6"}));
    EXPECT_EQ(namesIn(logs, {{"qvx_nlog_" + hex(killedId) + "_", "<killed>"}, {nextLog, "<running>"}}),
              (std::vector<std::string>{"<killed>", "<running>", "notes_1_1", "qvx_nlog_2_2", "qvx_nlog_3_3",
                                        "qvx_nlog_4_4"}));
    EXPECT_EQ(namesIn(runtimes),
              (std::vector<std::string>{inUse, "cccccccccccccccccccc.new78", "dddddddddddddddddddd",
                                        "eeeeeeeeeeeeeeeeeeee", "my-runtime"}));
    EXPECT_EQ(namesIn(classData),
              (std::vector<std::string>{"fedcba9876543210fedcba9876543210.aot", "notes.jsa"}));
    for (const char* outside : {"/outside-1", "/outside-2", "/outside-3", "/outside-4"})
        EXPECT_EQ(readFile(directory_ + outside + "/keep.txt"), "not the launcher's") << outside;
    EXPECT_EQ(readFile(room + "/kqx2.tmp_dir2/app.jar"), "held by a running launcher");
    for (const int held : {heldExtraction, heldLog, heldEntry})
        close(held);

    // A third start hands over and ends; the running one ends and takes its own directory along.
    EXPECT_EQ(start(launcher, {"done"}).code, 0);
    std::vector<std::string> rest;
    char line[4096];
    while (fgets(line, sizeof line, next) != nullptr)
        rest.push_back(linesOf(line).front());
    const int status = pclose(next);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(lineStartingWith(rest, "handedOver="), "done");
    std::vector<std::string> left = leftInRuntimeDirectory();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left,
              (std::vector<std::string>{"kqx2.tmp_dir2", "kqx4.tmp_dir4", "kqx5.tmp_dir5", "other.tmp_dir6"}))
        << "its own directory went with it";
}

// A Swing program's whole life on the virtual screen: its window appears (and is photographed as
// window.png in the test's folder), and the program ends with its last window.
TEST_F(LinuxLauncher, SwingWindowAppearsOnTheVirtualScreen) {
    const char* display = getenv("DISPLAY");
    if (display == nullptr)
        GTEST_SKIP() << "no DISPLAY (scripts/with-display gives one): the Swing scenario is skipped";
    const std::string launcher = pack("window");
    FILE* program =
        popen(command(launcher, {"window"}, {"KESTRO_JAVA_HOME=" + kJdk17, std::string("DISPLAY=") + display})
                  .c_str(),
              "r");
    ASSERT_NE(program, nullptr);
    std::vector<std::string> out;
    char line[4096];
    while (fgets(line, sizeof line, program) != nullptr && out.size() < 100) {
        out.push_back(linesOf(line).front());
        if (out.back() == "window shown")
            break;
    }
    std::string window, shot;
    EXPECT_EQ(runShell("timeout 60 xdotool search --sync --name 'Kestro probe window' | head -n 1", &window),
              0);
    const std::string picture = directory_ + "/window.png";
    EXPECT_EQ(runShell("import -window " + linesOf(window + "\n").front() + " " + quoted(picture) +
                           " && identify -format %w " + quoted(picture),
                       &shot),
              0)
        << shot;
    EXPECT_GT(std::atoi(shot.c_str()), 100) << "the window's width in pixels: " << shot;
    writeFile(directory_ + "/close", "");
    while (fgets(line, sizeof line, program) != nullptr)
        out.push_back(linesOf(line).front());
    const int status = pclose(program);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(lineStartingWith(out, "platform="), "linux");
    EXPECT_EQ(out.empty() ? "" : out.back(), "window shown");
}

// A runtime of Java 25 or later from the system's folders, and the class data it keeps in the cache.
TEST_F(LinuxLauncher, Java25FromTheSystemFoldersMakesItsClassDataArchiveAndMapsIt) {
    std::string home;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ignored)) {
        const std::string release = readFile(entry.path().string() + "/release");
        if (contains(release, "JAVA_VERSION=\"25") && fs::exists(entry.path() / "lib/server/libjvm.so"))
            home = entry.path().string();
    }
    if (home.empty())
        GTEST_SKIP() << "no runtime of Java 25 in /usr/lib/jvm: the scenario with Java 25 is skipped";
    const std::string launcher = pack("java25", "[java]\nmin_version = \"25\"\n");
    for (int startNumber = 1; startNumber <= 2; ++startNumber) {
        SCOPED_TRACE("start " + std::to_string(startNumber));
        const Start run =
            start(launcher, {"\u00e9t\u00e9", "exit=0"}, {"KESTRO_TEST_RUNTIME_FOLDERS=/usr/lib/jvm"});
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(lineStartingWith(run.out, "java.home="), fs::canonical(home).string());
        EXPECT_EQ(lineStartingWith(run.out, "java.version=").substr(0, 2), "25");
        EXPECT_EQ(withPrefix(run.out, "arg="), (std::vector<std::string>{"\u00e9t\u00e9", "exit=0"}));
        EXPECT_TRUE(contains(run.log, startNumber == 1 ? "(made at exit)" : "(present)")) << run.log;
    }
}

// The Linux side's rules that no start above reaches.
TEST(LinuxLauncherParts, VersionsHomesNamesAndTexts) {
    EXPECT_EQ(
        versionFromOutput("Picked up JAVA_TOOL_OPTIONS: -Xmx1g\nopenjdk version \"17.0.15\" 2025-04-15\n"
                          "OpenJDK Runtime Environment (build 17.0.15+6)\n"),
        "17.0.15");
    EXPECT_EQ(versionFromOutput("java version \"1.8.0_45\"\n"), "1.8.0_45");
    EXPECT_EQ(versionFromOutput("Error: could not open `lib/jvm.cfg'\n"), "");
    EXPECT_EQ(homeOfExecutable("/usr/lib/jvm/java-17/bin/java"), "/usr/lib/jvm/java-17");
    EXPECT_EQ(homeOfExecutable("/opt/tools/java"), "") << "a java outside a bin directory has no home";
    EXPECT_EQ(homeOfExecutable("/bin/java"), "") << "the root is no runtime home";

    // The clean-up takes only the launcher's own names.
    EXPECT_TRUE(isExtractionDirectoryName("kqx1f3c.tmp_dir680179683"));
    EXPECT_FALSE(isExtractionDirectoryName("kqx1f3c.tmp_dir680179683x"));
    EXPECT_FALSE(isExtractionDirectoryName("kqx.tmp_dir1"));
    EXPECT_TRUE(isLauncherLogName("qvx_nlog_10f6_6b19824a"));
    EXPECT_FALSE(isLauncherLogName("qvx_nlog_10f6"));
    unsigned long processId = 0;
    EXPECT_TRUE(isHandOverName("kqx_p4242.tmp", &processId));
    EXPECT_EQ(processId, 4242u);
    EXPECT_FALSE(isHandOverName("kqx_p4242.tmp.new99", &processId)) << "one still being written";

    // Arguments arrive as UTF-8: characters beyond 16 bits become surrogate pairs and come back whole;
    // bytes that are no UTF-8 become U+FFFD, one each, and the rest survives.
    EXPECT_EQ(wideFromNarrow("\U0001F600\u20ac"), (std::wstring{0xD83D, 0xDE00, 0x20AC}));
    EXPECT_EQ(narrowFromWide(wideFromNarrow("Gr\u00fc\u00dfe \U0001F600")), "Gr\u00fc\u00dfe \U0001F600");
    EXPECT_EQ(wideFromNarrow("a\xE9"
                             "b\xF0\x9F"),
              (std::wstring{L'a', 0xFFFD, L'b', 0xFFFD, 0xFFFD}));
    EXPECT_EQ(narrowFromWide(std::wstring{L'x', 0xD800}), "x\uFFFD") << "an unpaired surrogate";
}

} // namespace
