// Finding and loading a Java runtime, seen from outside: the search-probe stub calls LoadDLL as the
// launch worker does, against runtime homes of fake runtimes (testdoubles/runtime, testdoubles/jni)
// and registry keys written for the scenario. Each scenario reads the native log, the probe's
// output and what the runtime doubles recorded.
#include "harness.h"
#include "runtime_layout.h"

#include <filesystem>

namespace kestro::scenario {
namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

namespace fs = std::filesystem;

// What the probe printed.
struct Outcome {
    RunResult run;
    bool loaded = false;
    std::string jvmHome, pathBefore, pathAfter;
    bool entrySet = false;
};

Outcome probe(Scenario& s, const std::vector<std::string>& arguments = {}) {
    Outcome o;
    o.run = s.run(arguments);
    for (const std::string& line : o.run.stdoutLines()) {
        if (line == "LoadDLL 1")
            o.loaded = true;
        else if (line.rfind("jvmHome ", 0) == 0)
            o.jvmHome = line.substr(8);
        else if (line == "entry set")
            o.entrySet = true;
        else if (line.rfind("PATH before ", 0) == 0)
            o.pathBefore = line.substr(12);
        else if (line.rfind("PATH after ", 0) == 0)
            o.pathAfter = line.substr(11);
    }
    return o;
}

Scenario searchScenario(const std::string& name) {
    Scenario s(name);
    // Configuration 107 = 0: messages go to standard error, never to a box.
    s.stub(scenarioProgram("search-probe")).config(107, "0");
    return s;
}

// The runtime home LoadDLL recorded for a runtime whose java.exe lies in bin: "<bin>\..".
std::string homeOf(const Runtime& runtime) {
    return lowerCase(windowsPath(runtime.javaBin)) + "\\..";
}

size_t countLines(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// Index of the first log line containing text; lines.size() when none does.
size_t lineIndex(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            return i;
    return lines.size();
}

void touch(const std::string& file) {
    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(10));
}

RuntimeDescription withoutJavaw() {
    RuntimeDescription d = describe();
    d.javaw = false;
    return d;
}

RuntimeDescription withoutEntry() {
    RuntimeDescription d = describe();
    d.jvmWithoutEntry = true;
    return d;
}

RuntimeDescription packedWith(const std::vector<std::string>& libraries) {
    RuntimeDescription d = describe();
    d.packed = libraries;
    return d;
}

RuntimeDescription packedWithoutUnpacker() {
    RuntimeDescription d = packedWith({"lib\\rt.jar"});
    d.unpacker = false;
    return d;
}

TEST(VersionCache, RunsJavaOncePerChangeOfItsFile) {
    Scenario s = searchScenario("version_cache");
    Runtime jre = layOutRuntime(s.directory() + "/jre", describe(Layout::Jre, "1.6.0_10"));
    s.config(128, "A" + jre.windowsHome);
    const std::string key = versionCacheKey(jre.cacheKeyPath());

    Outcome first = probe(s);
    EXPECT_TRUE(first.loaded);
    EXPECT_EQ(jre.versionRuns(), 1);
    EXPECT_THAT(first.run.logLines(), Contains("got version from execution 1.6.0_10"));
    EXPECT_EQ(registry::readString(key, "Version"), "1.6.0_10");
    std::optional<std::string> stamp = registry::readBinary(key, "LastWriteTime");
    ASSERT_TRUE(stamp.has_value());
    EXPECT_EQ(stamp->size(), 8u);

    Outcome second = probe(s);
    EXPECT_TRUE(second.loaded);
    EXPECT_EQ(jre.versionRuns(), 1);
    EXPECT_THAT(second.run.logLines(), Contains("got version from registry 1.6.0_10"));

    touch(jre.javaBin + "/java.exe");
    jre.setBehaviour("version=1.6.0_20");
    probe(s);
    EXPECT_EQ(jre.versionRuns(), 2);
    EXPECT_EQ(registry::readString(key, "Version"), "1.6.0_20");
    EXPECT_NE(registry::readBinary(key, "LastWriteTime"), stamp);

    // A stamp of the wrong size never matches.
    registry::writeBinary(key, "LastWriteTime", registry::readBinary(key, "LastWriteTime")->substr(0, 4));
    probe(s);
    EXPECT_EQ(jre.versionRuns(), 3);
    EXPECT_EQ(registry::readBinary(key, "LastWriteTime")->size(), 8u);
}

TEST(VersionRules, BoundsPrereleaseAndTheVersionLineOfTodaysRuntimes) {
    Scenario s = searchScenario("bounds");
    Runtime old = layOutRuntime(s.directory() + "/old", describe(Layout::Jre, "1.3.1_20"));
    Runtime newer = layOutRuntime(s.directory() + "/newer", describe(Layout::Jre, "1.7.0"));
    Runtime beta = layOutRuntime(s.directory() + "/beta", describe(Layout::Jre, "1.6.0-beta"));
    Runtime fits = layOutRuntime(s.directory() + "/fits", describe(Layout::Jre, "1.4.0"));
    Runtime modern = layOutRuntime(s.directory() + "/modern", describe(Layout::ModernJre));
    modern.setBehaviour("line=openjdk version \"17.0.15\" 2025-04-15");
    s.config(126, "1.4").config(127, "1.6");
    // The variable location refuses pre-releases; directory entries allow them.
    s.config(128, "A" + old.windowsHome + ";A" + newer.windowsHome + ";EBETA_HOME;A" + fits.windowsHome);
    s.env("BETA_HOME", beta.windowsHome);

    Outcome strict = probe(s);
    EXPECT_EQ(strict.jvmHome, homeOf(fits));
    EXPECT_THAT(strict.run.logLines(), Contains("beta vm not allowed"));
    EXPECT_EQ(countLines(strict.run.logLines(), "checkJavaExe returning 0"), 3u);

    s.config(130, "1");
    Outcome lenient = probe(s);
    EXPECT_EQ(lenient.jvmHome, homeOf(beta));
    EXPECT_THAT(lenient.run.logLines(), Not(Contains("beta vm not allowed")));

    // 17.0.15 sorts above the maximum 1.6; without bounds it is taken.
    s.config(128, "A" + modern.windowsHome);
    EXPECT_FALSE(probe(s).loaded);
    s.config(126, "").config(127, "");
    Outcome unbounded = probe(s);
    EXPECT_EQ(unbounded.jvmHome, homeOf(modern));
    EXPECT_EQ(registry::readString(versionCacheKey(modern.cacheKeyPath()), "Version"), "17.0.15");
}

// While JAVA_TOOL_OPTIONS or _JAVA_OPTIONS is set, every runtime says so before its version line (here
// in a line longer than the launcher reads at once): it stays usable. Another line before the version,
// the version on standard output, or a failed run give no version.
TEST(VersionRules, PickedUpOptionsAreNoticedOtherOutputsGiveNoVersion) {
    Scenario s = searchScenario("version_outputs");
    Runtime warning = layOutRuntime(s.directory() + "/warning", describe());
    warning.setBehaviour("warning=Something else first");
    Runtime toStdout = layOutRuntime(s.directory() + "/stdout", describe());
    toStdout.setBehaviour("stream=stdout");
    Runtime failing = layOutRuntime(s.directory() + "/failing", describe());
    failing.setBehaviour("exit=3");
    const Runtime usable = layOutRuntime(s.directory() + "/usable", describe());
    s.config(128, "A" + warning.windowsHome + ";A" + toStdout.windowsHome + ";A" + failing.windowsHome +
                      ";A" + usable.windowsHome)
        .env("JAVA_TOOL_OPTIONS", "-Dlong=" + std::string(150, 'x'))
        .env("_JAVA_OPTIONS", "-Xmx1g");

    Outcome o = probe(s);

    EXPECT_EQ(o.jvmHome, homeOf(usable));
    EXPECT_EQ(countLines(o.run.logLines(), "couldn't get version"), 3u);
    EXPECT_THAT(o.run.logLines(), Contains("Exit Code 3"));
    // Failures outside the registry search are not cached.
    EXPECT_FALSE(registry::keyExists(versionCacheKey(failing.cacheKeyPath())));
}

TEST(GuiExecutable, Configuration107SwitchesToJavaw) {
    Scenario s = searchScenario("javaw");
    Runtime withJavaw = layOutRuntime(s.directory() + "/with", describe());
    Runtime without = layOutRuntime(s.directory() + "/without", withoutJavaw());
    s.config(107, "1").config(128, "A" + withJavaw.windowsHome);

    Outcome o = probe(s);
    EXPECT_TRUE(o.loaded);
    EXPECT_THAT(o.run.logLines(), Contains(EndsWith("bin\\javaw.exe")));
    // The version belongs to java.exe: only java.exe ran.
    EXPECT_THAT(withJavaw.records(), ElementsAre("java.exe -version"));

    s.config(128, "A" + without.windowsHome);
    Outcome missing = probe(s);
    EXPECT_FALSE(missing.loaded);
    EXPECT_EQ(without.versionRuns(), 1);
    EXPECT_THAT(missing.run.logLines(), Contains("ERROR: No JVM found"));
    EXPECT_THAT(missing.run.messageBoxes, IsEmpty());
}

TEST(SearchOrder, LocationFilesSequenceAndProductVariable) {
    Scenario s = searchScenario("search_order");
    Runtime preferred = layOutRuntime(s.directory() + "/preferred", describe());
    Runtime registered = layOutRuntime(s.directory() + "/registered", describe());
    Runtime javaHome = layOutRuntime(s.directory() + "/javahome", describe());
    Runtime installer = layOutRuntime(s.directory() + "/installer", describe());
    Runtime kestro = layOutRuntime(s.directory() + "/kestro", describe());
    Runtime sorvana = layOutRuntime(s.directory() + "/sorvana", describe());
    MachineRegistryScope machine;
    registry::writeString(std::string(kJreVendorKey) + "\\1.6.0_10", "JavaHome", registered.windowsHome);
    s.config(10003, ".").config(128, "Qunknown;Y;EJAVA_HOME;EJDK_HOME;").config(2001, "k");
    // Forward slashes in a variable's value are read as backslashes.
    std::string slashed = javaHome.windowsHome;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    s.env("JAVA_HOME", slashed)
        .env("KESTRO_JAVA_HOME", kestro.windowsHome)
        .env("SORVANA_JAVA_HOME", sorvana.windowsHome);
    fs::create_directories(s.directory() + "/.sorvana");
    writeFile(s.directory() + "/.sorvana/pref_jre.cfg", preferred.windowsHome + "\r\n");
    writeFile(s.directory() + "/.sorvana/inst_jre.cfg", installer.windowsHome + "\n");

    Outcome first = probe(s);
    EXPECT_EQ(first.jvmHome, homeOf(preferred));
    EXPECT_THAT(first.run.logLines(), Contains("Using preferred location"));

    fs::remove(s.directory() + "/.sorvana/pref_jre.cfg");
    Outcome fromRegistry = probe(s);
    EXPECT_EQ(fromRegistry.jvmHome, homeOf(registered));
    EXPECT_THAT(fromRegistry.run.logLines(), Contains("Testing location unknown (type Q)"));
    EXPECT_LT(lineIndex(fromRegistry.run.logLines(), "(type Q)"),
              lineIndex(fromRegistry.run.logLines(), "(type Y)"));

    registry::deleteKey("HKLM\\SOFTWARE\\JavaSoft");
    EXPECT_EQ(probe(s).jvmHome, homeOf(javaHome));

    s.env("JAVA_HOME", s.directory() + "/nothing");
    Outcome product = probe(s);
    EXPECT_EQ(product.jvmHome, homeOf(kestro));
    EXPECT_THAT(product.run.logLines(), Contains("Search sequence finished"));

    s.config(2001, "s");
    EXPECT_EQ(probe(s).jvmHome, homeOf(sorvana));

    s.config(2001, "x");
    Outcome installed = probe(s);
    EXPECT_EQ(installed.jvmHome, homeOf(installer));
    EXPECT_THAT(installed.run.logLines(), Contains("Using installer location"));
}

TEST(SearchOrder, ExecutableSearchPath) {
    Scenario s = searchScenario("search_path");
    Runtime onPath = layOutRuntime(s.directory() + "/onpath", describe());
    s.config(128, "S").env("PATH", "C:\\windows\\system32;C:\\windows;" + windowsPath(onPath.javaBin));

    Outcome found = probe(s);
    EXPECT_TRUE(found.loaded);
    EXPECT_EQ(found.jvmHome, homeOf(onPath));

    // A java.exe on the path that fails lets the search go on (here to its end).
    onPath.setBehaviour("exit=1");
    touch(onPath.javaBin + "/java.exe");
    Outcome failed = probe(s);
    EXPECT_FALSE(failed.loaded);
    EXPECT_THAT(failed.run.logLines(), Contains("Search sequence finished"));
}

TEST(SearchOrder, LastPassTakesAnExistingExecutable) {
    Scenario s = searchScenario("last_pass");
    // Beside the launcher, too old for the bounds.
    Runtime beside = layOutRuntime(s.directory() + "/jre", describe(Layout::Jre, "1.3.1"));
    Runtime absolute = layOutRuntime(s.directory() + "/absolute", describe(Layout::Jre, "1.3.1"));
    s.config(126, "1.4").config(128, "A" + absolute.windowsHome + ";Bjre");

    Outcome b = probe(s);
    EXPECT_EQ(b.jvmHome, homeOf(beside));
    EXPECT_THAT(b.run.logLines(), Not(Contains("Testing relative location " + absolute.windowsHome)));
    EXPECT_THAT(b.run.logLines(), Contains("Testing relative location jre"));
    EXPECT_THAT(b.run.logLines(), Contains(lowerCase(windowsPath(beside.javaBin + "/java.exe")) + " exists"));

    s.config(128, "A" + absolute.windowsHome);
    EXPECT_FALSE(probe(s).loaded);

    s.config(128, "Ajre");
    EXPECT_EQ(probe(s).jvmHome, homeOf(beside));
}

TEST(SearchOrder, EmptyLocationLineNamesTheLaunchersDirectory) {
    Scenario s = searchScenario("empty_location_line");
    Runtime here = layOutRuntime(s.directory(), describe());
    s.config(10003, ".");
    fs::create_directories(s.directory() + "/.sorvana");
    writeFile(s.directory() + "/.sorvana/inst_jre.cfg", "\n");

    Outcome o = probe(s);
    EXPECT_THAT(o.run.logLines(), Contains("Has installer location "));
    EXPECT_EQ(o.jvmHome, homeOf(here));
}

TEST(RegistryDiscovery, NewestAcceptableSubKeyFirstAndFailuresCached) {
    Scenario s = searchScenario("registry_newest");
    MachineRegistryScope machine;
    Runtime r142 = layOutRuntime(s.directory() + "/r142", describe(Layout::Jre, "1.4.2"));
    Runtime r150 = layOutRuntime(s.directory() + "/r150", describe(Layout::Jre, "1.5.0"));
    Runtime broken = layOutRuntime(s.directory() + "/broken", describe(Layout::Jre, "1.5.0_06"));
    broken.setBehaviour("exit=1");
    Runtime r17 = layOutRuntime(s.directory() + "/r17", describe(Layout::Jre, "1.7"));
    const std::string jre = kJreVendorKey;
    registry::writeString(jre, "CurrentVersion", "1.7");
    registry::writeString(jre + "\\1.4.2", "JavaHome", r142.windowsHome);
    registry::writeString(jre + "\\1.5.0_06", "JavaHome", broken.windowsHome);
    registry::writeString(jre + "\\1.5.0", "JavaHome", r150.windowsHome);
    registry::writeString(jre + "\\1.7", "JavaHome", r17.windowsHome);
    s.config(126, "1.4").config(127, "1.6").config(128, "Y");

    Outcome o = probe(s);

    EXPECT_EQ(o.jvmHome, homeOf(r150));
    auto lines = o.run.logLines();
    EXPECT_LT(lineIndex(lines, "checkJavaExe (" + broken.windowsHome),
              lineIndex(lines, "checkJavaExe (" + r150.windowsHome));
    EXPECT_EQ(r17.versionRuns() + r142.versionRuns(), 0);
    EXPECT_EQ(registry::readString(versionCacheKey(broken.cacheKeyPath()), "Version"), "1.0.0");

    // The cached failure is rejected by the minimum without running the runtime again.
    probe(s);
    EXPECT_EQ(broken.versionRuns(), 1);
}

TEST(RegistryDiscovery, CurrentVersionTiesGoToTheJreUnlessAJdkIsRequired) {
    Scenario s = searchScenario("registry_current");
    MachineRegistryScope machine;
    Runtime jre = layOutRuntime(s.directory() + "/jre", describe(Layout::Jre, "1.5.0_06"));
    Runtime jdk = layOutRuntime(s.directory() + "/jdk", describe(Layout::Jdk, "1.5.0_06"));
    for (const std::string vendor : {kJreVendorKey, kJdkVendorKey})
        registry::writeString(vendor, "CurrentVersion", "1.5.0_06");
    registry::writeString(std::string(kJreVendorKey) + "\\1.5.0_06", "JavaHome", jre.windowsHome);
    registry::writeString(std::string(kJdkVendorKey) + "\\1.5.0_06", "JavaHome", jdk.windowsHome);
    s.config(128, "Y");

    EXPECT_EQ(probe(s).jvmHome, homeOf(jre));

    s.config(131, "1");
    Outcome jdkOnly = probe(s);
    EXPECT_EQ(jdkOnly.jvmHome, homeOf(jdk));
    EXPECT_THAT(jdkOnly.run.logLines(), Not(Contains(HasSubstr(lowerCase(jre.windowsHome)))));
}

TEST(RegistryDiscovery, LocatedRuntimesOfBothHivesWinTies) {
    Scenario s = searchScenario("registry_located");
    MachineRegistryScope machine;
    Runtime registered = layOutRuntime(s.directory() + "/registered", describe(Layout::Jre, "1.6.0_05"));
    Runtime user = layOutRuntime(s.directory() + "/user", describe(Layout::Jre, "1.6.0_05"));
    Runtime machineWide = layOutRuntime(s.directory() + "/machine", describe(Layout::Jre, "1.6.0_05"));
    Runtime older = layOutRuntime(s.directory() + "/older", describe(Layout::Jre, "1.6.0_01-ea"));
    registry::writeString(std::string(kJreVendorKey) + "\\1.6.0_05", "JavaHome", registered.windowsHome);
    addLocatedJvm("HKCU", windowsPath(user.javaBin + "/java.exe"));
    addLocatedJvm("HKCU", windowsPath(older.javaBin + "/java.exe"));
    addLocatedJvm("HKLM", windowsPath(machineWide.javaBin + "/java.exe"));
    s.config(128, "Y");

    Outcome tie = probe(s);
    EXPECT_EQ(tie.jvmHome, homeOf(machineWide));
    EXPECT_EQ(older.versionRuns(), 1);

    // A newer per-user runtime beats the machine-wide one and the registered one.
    user.setBehaviour("version=1.6.0_07");
    touch(user.javaBin + "/java.exe");
    EXPECT_EQ(probe(s).jvmHome, homeOf(user));
}

TEST(RegistryDiscovery, TodaysVersionNumbersOrderTheRegistry) {
    Scenario s = searchScenario("registry_numbers");
    MachineRegistryScope machine;
    Runtime r9 = layOutRuntime(s.directory() + "/r9", describe(Layout::ModernJre, "9"));
    Runtime r11 = layOutRuntime(s.directory() + "/r11", describe(Layout::ModernJre, "11.0.21"));
    Runtime r17 = layOutRuntime(s.directory() + "/r17", describe(Layout::ModernJre, "17.0.9"));
    Runtime located = layOutRuntime(s.directory() + "/located", describe(Layout::ModernJre, "9.0.4"));
    const std::string jre = kJreVendorKey;
    registry::writeString(jre + "\\9", "JavaHome", r9.windowsHome);
    registry::writeString(jre + "\\11.0.21", "JavaHome", r11.windowsHome);
    registry::writeString(jre + "\\17.0.9", "JavaHome", r17.windowsHome);
    addLocatedJvm("HKCU", windowsPath(located.javaBin + "/java.exe"));
    s.config(128, "Y");

    // Newest sub-key first; the registered 17 outweighs the located 9.0.4.
    Outcome newest = probe(s);
    EXPECT_EQ(newest.jvmHome, homeOf(r17));
    EXPECT_EQ(r9.versionRuns() + r11.versionRuns(), 0);

    // A maximum of 11 admits 11.0.21; the located 9.0.4 is older.
    s.config(127, "11");
    EXPECT_EQ(probe(s).jvmHome, homeOf(r11));

    // CurrentVersion of the JDK key (17) is newer than the JRE key's (9).
    s.config(127, "");
    registry::writeString(jre, "CurrentVersion", "9");
    registry::writeString(std::string(kJdkVendorKey), "CurrentVersion", "17.0.9");
    registry::writeString(std::string(kJdkVendorKey) + "\\17.0.9", "JavaHome", r17.windowsHome);
    registry::deleteKey(jre + "\\17.0.9");
    Outcome current = probe(s);
    EXPECT_EQ(current.jvmHome, homeOf(r17));
    EXPECT_EQ(r9.versionRuns(), 0);
}

// An uninstaller that deletes keys while the search reads them, and keys that name folders which
// are gone: each such candidate is passed over, and the search goes on to the next one.
TEST(RegistryDiscovery, KeysDeletedDuringTheSearchAndVanishedFoldersArePassedOver) {
    Scenario s = searchScenario("registry_vanishing");
    MachineRegistryScope machine;
    Runtime uninstalling = layOutRuntime(s.directory() + "/uninstalling", describe(Layout::Jre, "1.7"));
    Runtime r16 = layOutRuntime(s.directory() + "/r16", describe(Layout::Jre, "1.6.0_10"));
    Runtime jdk = layOutRuntime(s.directory() + "/jdk", describe(Layout::Jdk, "1.6.0_20"));
    Runtime leaving = layOutRuntime(s.directory() + "/leaving", describe(Layout::Jre, "1.6.0_30"));
    Runtime staying = layOutRuntime(s.directory() + "/staying", describe(Layout::Jre, "1.5.0"));
    // The newest registered runtime takes the vendor keys away while its version is asked for, and a
    // located one its whole list.
    uninstalling.setBehaviour("exit=1\ndeletekey=HKLM\\SOFTWARE\\JavaSoft");
    leaving.setBehaviour("exit=1\ndeletekey=HKCU\\SOFTWARE\\Morvane\\kestro\\locatedjvms");
    const std::string jre = kJreVendorKey;
    registry::writeString(jre + "\\1.7", "JavaHome", uninstalling.windowsHome);
    registry::writeString(jre + "\\1.6.0_10", "JavaHome", r16.windowsHome);
    registry::writeString(std::string(kJdkVendorKey) + "\\1.6.0_20", "JavaHome", jdk.windowsHome);
    addLocatedJvm("HKCU", windowsPath(leaving.javaBin + "/java.exe"));
    addLocatedJvm("HKCU", windowsPath(staying.javaBin + "/java.exe"));
    s.config(128, "Y");

    Outcome deleted = probe(s);
    EXPECT_TRUE(deleted.loaded);
    EXPECT_EQ(deleted.jvmHome, homeOf(staying));
    EXPECT_EQ(uninstalling.versionRuns(), 1);
    EXPECT_EQ(leaving.versionRuns(), 1);
    EXPECT_EQ(r16.versionRuns() + jdk.versionRuns(), 0);
    EXPECT_FALSE(registry::keyExists("HKLM\\SOFTWARE\\JavaSoft"));

    // Keys naming a folder that never existed and a runtime removed since its version was cached.
    registry::writeString(jre + "\\1.8", "JavaHome", windowsPath(s.directory() + "/never"));
    registry::writeString(jre + "\\1.6.0_10", "JavaHome", r16.windowsHome);
    addLocatedJvm("HKCU", windowsPath(staying.javaBin + "/java.exe"));
    fs::remove_all(staying.home);
    Outcome vanished = probe(s);
    EXPECT_TRUE(vanished.loaded);
    EXPECT_EQ(vanished.jvmHome, homeOf(r16));
}

// The 64-bit launcher cannot load a 32-bit jvm.dll: such a runtime must not end the search.
TEST(LibraryLoading, RuntimesForAnotherMachineArePassedOver) {
    Scenario s = searchScenario("foreign_machine");
    // A whole 32-bit Java whose version an earlier run learned (this machine cannot run it).
    RuntimeDescription x86 = describe(Layout::Jre, "1.8.0_392");
    x86.x86Java = x86.x86Jvm = true;
    Runtime java32 = layOutRuntime(s.directory() + "/Java x86/jre8", x86);
    java32.cacheVersion("1.8.0_392");
    // A java.exe that answers, in front of a 32-bit library.
    RuntimeDescription mixed = describe(Layout::ModernJre, "17.0.9");
    mixed.x86Jvm = true;
    Runtime jvm32 = layOutRuntime(s.directory() + "/Java x86/jdk-17", mixed);
    Runtime java64 = layOutRuntime(s.directory() + "/My Tools/jre", describe(Layout::ModernJre, "11.0.21"));
    s.config(128, "A" + java32.windowsHome + ";A" + jvm32.windowsHome + ";A" + java64.windowsHome);

    Outcome o = probe(s);

    EXPECT_TRUE(o.loaded);
    EXPECT_EQ(o.jvmHome, homeOf(java64));
    auto lines = o.run.logLines();
    EXPECT_THAT(lines, Contains(lowerCase(windowsPath(java32.javaBin + "/java.exe")) +
                                " is built for another architecture (machine 0x14c)"));
    EXPECT_THAT(lines, Contains(lowerCase(windowsPath(jvm32.javaBin + "/server/jvm.dll")) +
                                " is built for another architecture (machine 0x14c)"));
    EXPECT_EQ(countLines(lines, "Trying to load JVM-DLL from"), 1u);
    EXPECT_EQ(jvm32.versionRuns(), 0);
    // The program path is quoted, so that a blank in it (kept where a volume has no 8.3 names)
    // cannot split it.
    ASSERT_THAT(java64.commandLines(), testing::SizeIs(1));
    EXPECT_THAT(java64.commandLines()[0], testing::StartsWith("\""));
    EXPECT_THAT(java64.commandLines()[0], EndsWith("java.exe\" -version"));

    // The last pass, which takes a runtime whose executable merely exists, passes it over too.
    s.config(128, "BJava x86\\jre8");
    Outcome last = probe(s);
    EXPECT_FALSE(last.loaded);
    EXPECT_THAT(last.run.logLines(), Contains("Testing relative location Java x86\\jre8"));
    EXPECT_THAT(last.run.logLines(), Contains("ERROR: No JVM found"));
}

TEST(LibraryLoading, VariantOrderAndPath) {
    Scenario s = searchScenario("variants");
    Runtime jre = layOutRuntime(s.directory() + "/jre", describe());
    fs::create_directories(jre.javaBin + "/server");
    fs::copy_file(jre.javaBin + "/client/jvm.dll", jre.javaBin + "/server/jvm.dll");
    const std::string bin = lowerCase(windowsPath(jre.javaBin));

    Outcome o = probe(s, {"--dir", jre.windowsHome});
    EXPECT_TRUE(o.loaded);
    EXPECT_TRUE(o.entrySet);
    auto lines = o.run.logLines();
    EXPECT_THAT(lines, Contains("Trying " + bin + "\\hotspot\\jvm.dll (exists 0)"));
    EXPECT_LT(lineIndex(lines, "\\hotspot\\"), lineIndex(lines, "\\client\\jvm.dll (exists 1)"));
    EXPECT_THAT(lines, Not(Contains(HasSubstr("\\server\\jvm.dll"))));
    EXPECT_EQ(o.pathAfter, o.pathBefore + ";" + bin);
    // A directory given to LoadDLL is taken on trust: no version run.
    EXPECT_EQ(jre.versionRuns(), 0);

    s.config(152, "server");
    Outcome configured = probe(s, {"--dir", jre.windowsHome});
    EXPECT_LT(lineIndex(configured.run.logLines(), "\\server\\jvm.dll (exists 1)"),
              lineIndex(configured.run.logLines(), "\\hotspot\\"));
    EXPECT_THAT(configured.run.logLines(), Not(Contains(HasSubstr("\\client\\"))));
}

TEST(LibraryLoading, AJdksEmbeddedJreIsTheSecondPath) {
    Scenario s = searchScenario("embedded_jre");
    Runtime jdk = layOutRuntime(s.directory() + "/jdk", describe(Layout::Jdk));
    const std::string jdkBin = lowerCase(windowsPath(jdk.home + "/bin"));

    Outcome o = probe(s, {"--exe", windowsPath(jdk.home + "/bin/java.exe")});

    EXPECT_TRUE(o.loaded);
    EXPECT_THAT(o.run.logLines(), Contains("Trying " + jdkBin + "\\client\\jvm.dll (exists 0)"));
    EXPECT_THAT(o.run.logLines(),
                Contains("Trying " + jdkBin + "\\..\\jre\\bin\\client\\jvm.dll (exists 1)"));
    EXPECT_EQ(o.pathAfter, o.pathBefore + ";" + jdkBin + "\\..\\jre\\bin");
}

TEST(LibraryLoading, ModernJdkWithJdkRequired) {
    Scenario s = searchScenario("modern_jdk");
    Runtime jdk = layOutRuntime(s.directory() + "/jdk17", describe(Layout::ModernJdk));
    Runtime jre = layOutRuntime(s.directory() + "/jre17", describe(Layout::ModernJre));
    s.config(131, "1").config(128, "A" + jre.windowsHome + ";A" + jdk.windowsHome);

    Outcome o = probe(s);

    EXPECT_TRUE(o.loaded);
    EXPECT_EQ(o.jvmHome, homeOf(jdk));
    EXPECT_EQ(jre.versionRuns(), 0);
    EXPECT_THAT(o.run.logLines(), Contains(EndsWith("\\bin\\server\\jvm.dll (exists 1)")));
}

TEST(LibraryLoading, FailuresRestorePathAndTellTheLocation) {
    Scenario s = searchScenario("load_failures");
    Runtime noLibrary = layOutRuntime(s.directory() + "/nolib", describe());
    fs::remove_all(noLibrary.javaBin + "/client");
    Runtime noEntry = layOutRuntime(s.directory() + "/noentry", withoutEntry());
    s.config(1001, "no runtime").config(1002, "damaged on the path").config(1003, "variable {0} broken");
    s.config(1004, "damaged at {0}").config(1005, "cannot load");
    s.config(128, "A" + noLibrary.windowsHome);

    Outcome missing = probe(s, {"--errors"});
    EXPECT_FALSE(missing.loaded);
    EXPECT_EQ(missing.pathAfter, missing.pathBefore);
    EXPECT_THAT(missing.run.logLines(), Contains("ERROR: Could not get DLL-Handle."));
    EXPECT_THAT(missing.run.logLines(), Contains("ERROR: Could not load functions"));
    EXPECT_EQ(countLines(missing.run.logLines(), "(exists 0)"), 10u);
    missing.run.expectStderrContains("damaged at " + noLibrary.windowsHome);

    s.config(128, "EBROKEN_HOME").env("BROKEN_HOME", noEntry.windowsHome);
    Outcome withoutEntry = probe(s, {"--errors"});
    EXPECT_FALSE(withoutEntry.entrySet);
    EXPECT_THAT(withoutEntry.run.logLines(), Not(Contains("ERROR: Could not get DLL-Handle.")));
    EXPECT_THAT(withoutEntry.run.logLines(), Contains("ERROR: Could not load functions"));
    withoutEntry.run.expectStderrContains("variable BROKEN_HOME broken");

    s.config(128, "S").env("PATH", "C:\\windows\\system32;C:\\windows;" + windowsPath(noEntry.javaBin));
    probe(s, {"--errors"}).run.expectStderrContains("damaged on the path");

    MachineRegistryScope machine;
    registry::writeString(std::string(kJreVendorKey) + "\\1.6.0_10", "JavaHome", noEntry.windowsHome);
    s.config(128, "Y");
    probe(s, {"--errors"}).run.expectStderrContains("cannot load");

    s.config(128, "");
    Outcome none = probe(s, {"--errors"});
    EXPECT_THAT(none.run.logLines(), Contains("ERROR: No JVM found"));
    none.run.expectStderrContains("no runtime");

    // A given java.exe that fails the version test.
    s.config(126, "1.7");
    Outcome unusable = probe(s, {"--errors", "--exe", windowsPath(noEntry.javaBin + "/java.exe")});
    EXPECT_THAT(unusable.run.logLines(), Contains("ERROR: Provided JVM unusable"));
    unusable.run.expectStderrContains("no runtime");
}

TEST(Pack200, OneUnpackerRunPerPackedLibrary) {
    Scenario s = searchScenario("pack200");
    // A blank in the home: every path of the unpacker's command line is quoted.
    Runtime packed = layOutRuntime(s.directory() + "/packed jre",
                                   packedWith({"lib\\rt.jar", "lib\\charsets.jar", "lib\\jsse.jar"}));
    s.config(128, "A" + packed.windowsHome);

    Outcome o = probe(s);

    EXPECT_TRUE(o.loaded);
    auto lines = o.run.logLines();
    EXPECT_THAT(lines, Contains("Unpacking JRE"));
    EXPECT_EQ(countLines(lines, "Unpacking " + lowerCase(packed.windowsHome)), 6u);
    EXPECT_EQ(countLines(lines, "pack path doesn't exists"), 3u);
    EXPECT_EQ(countLines(lines, "unpack done"), 3u);
    const std::string home = lowerCase(packed.windowsHome);
    EXPECT_THAT(packed.records(), Contains("\"" + home + "\\bin\\unpack200.exe\" -r \"" + home +
                                           "\\lib\\rt.jar.pack\" \"" + home + "\\lib\\rt.jar\""));
    EXPECT_TRUE(fs::exists(packed.home + "/lib/jsse.jar"));
    EXPECT_FALSE(fs::exists(packed.home + "/lib/rt.jar.pack"));

    Outcome again = probe(s);
    EXPECT_THAT(again.run.logLines(), Not(Contains("Unpacking JRE")));
    EXPECT_EQ(countLines(packed.records(), "unpack200.exe"), 3u);
}

TEST(Pack200, MissingUnpackerIsFatal) {
    Scenario s = searchScenario("pack200_missing");
    Runtime packed = layOutRuntime(s.directory() + "/jre", packedWithoutUnpacker());
    s.config(1009, "internal error {0}").config(128, "A" + packed.windowsHome);

    Outcome o = probe(s);

    o.run.expectExitCode(1);
    EXPECT_THAT(o.run.logLines(), Contains("could not create unpack process"));
    o.run.expectConsoleError("internal error 20");
}

} // namespace
} // namespace kestro::scenario
