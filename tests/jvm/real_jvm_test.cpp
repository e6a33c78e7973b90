// The launcher's JNI half (java_calls, vm_state, splash_controller) against a real JVM: Debian's OpenJDK
// libjvm.so, resolved the way the launcher resolves jvm.dll, with the real runtime jar and a probe
// application. The properties, the option list and the parameters of main come from the launcher's own
// builders, so that the Java side is checked against what the launcher really sends.
#include "desktop_program.h"
#include "launch/class_data_archive.h"
#include "launch/java_calls.h"
#include "launch/launch_composition.h"
#include "launch/vm_state.h"
#include "splash/splash_controller.h"
#include "test_files.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> logged;
int javaEntries = 0;
// Where jniProgramExit writes what it was given before it ends the process.
std::string exitRecord;

using kestro::test_support::readFile;

char* option(const std::string& text) {
    return strdup(text.c_str());
}

const std::string kClassPath =
    std::string("-Djava.class.path=") + KESTRO_RUNTIME_JAR + ":" + KESTRO_PROBE_CLASSES;

// A fresh directory per run; returns its path.
std::string runDirectory(const std::string& name) {
    const std::string directory = std::string(KESTRO_JVM_TEST_DIR) + "/" + name;
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    return directory;
}

void loadJvmLibrary(const char* path = KESTRO_LIBJVM) {
    void* library = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(library, nullptr) << dlerror();
    void* entry = dlsym(library, "JNI_CreateJavaVM");
    ASSERT_NE(entry, nullptr);
    setCreateVmEntry(entry);
}

// UTF-16 units one per wchar_t, as the launcher's wide strings hold them on Windows.
std::wstring units(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}
std::wstring units(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The launcher's parameters as callMain hands them to callStaticMain.
std::vector<std::u16string> utf16(const WideArguments& parameters) {
    std::vector<std::u16string> converted;
    for (const std::wstring& parameter : parameters)
        converted.emplace_back(parameter.begin(), parameter.end());
    return converted;
}

std::vector<std::string> forLog(const std::vector<std::u16string>& parameters) {
    return std::vector<std::string>(parameters.size(), "(log form)");
}

// The option list as the launcher composes it; only the class path, which the launcher gathers from
// the file system, is given here.
std::vector<char*> launcherOptions(const LauncherPropertyValues& values, const NarrowArguments& configured) {
    static std::vector<char*> properties;
    properties = composeLauncherProperties(values);
    ClassPathOverrides overrides;
    std::vector<char*> options = composeVmOptions(properties.data(), configured, {}, {}, overrides);
    options.push_back(option(kClassPath));
    return options;
}

} // namespace

void jniLogLine(const char* text) {
    logged.push_back(text);
}
void jniLogError(const char* text) {
    logged.push_back(std::string("ERROR: ") + text);
}
void jniEnteringJava() {
    ++javaEntries;
}
void jniProgramExit(int code) {
    std::ofstream(exitRecord) << "System.exit(" << code << ")\n";
    _exit(code);
}

namespace {

// Writes a later start's hand-over as the launcher writes it: the arguments part of its command line
// as one UTF-16LE line, no byte-order mark.
void handOver(const std::string& file, const std::u16string& line) {
    std::string bytes;
    for (char16_t unit : line + u"\n")
        bytes += char(unit & 0xff), bytes += char(unit >> 8);
    std::ofstream(file, std::ios::binary) << bytes;
}

TEST(RealJvmLaunch, BootstrapRunsTheApplicationWithEverythingTheLauncherPassed) {
    const std::string directory = runDirectory("launch");
    ASSERT_EQ(attachToVm(), nullptr) << "no VM yet: nothing to attach to";
    std::u16string splashText;
    EXPECT_EQ(pollSplashController(splashText), SplashRequest::Nothing) << "no VM yet: polled again later";
    loadJvmLibrary();
    LauncherPropertyValues properties;
    properties.instanceName = "c:_apps_probe.exe";
    properties.manualSelection = true;
    properties.moduleName = "C:\\apps\\probe.exe";
    properties.processCommFile = directory + "/kqx_p4242.tmp";
    properties.temporaryDirectory = directory;
    properties.unextractedPosition = 3000000000;
    properties.withConsoleCodePage = true;
    properties.consoleCodePage = 850;
    properties.configuredArgumentCount = 2;
    ASSERT_TRUE(
        createJavaVm(launcherOptions(properties, {"-Xmx64m", "-Dprobe.output=" + directory + "/probe.txt"})));
    setVmCreated();

    EXPECT_EQ(callFirstRun(), FirstRun::Proceed) << "no first-run handler configured";
    EXPECT_EQ(javaEntries, 1) << "the first call into the program's Java code is announced";

    LauncherParameterValues values;
    values.guiApplication = true;
    values.mainClass = L"probe.ProbeApp";
    values.errorLog = units(directory + "/error.log");
    values.outputLog = units(directory + "/output.log");
    // The project's own "-c" reaches main; the command line's switches are the launcher's.
    values.configuredArguments = {L"--configured", L"-c"};
    values.dashJAreVmOptions = true;
    const WideArguments commandLine = {L"C:\\apps\\probe.exe",
                                       L"-q",
                                       units(u"Gr\u00fc\u00dfe \u20ac"),
                                       L"-J-Xss2m",
                                       L"x y",
                                       L"-c",
                                       units(u"\U0001F600"),
                                       L"",
                                       L"-console",
                                       L"-C",
                                       L"-manual",
                                       L"/manual"};
    const std::vector<std::u16string> parameters = utf16(composeLauncherParameters(values, commandLine));
    EXPECT_EQ(callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters)),
              MainCall::Returned);

    // A later start's arguments reach the listener the application registered.
    handOver(properties.processCommFile, u"open \"Zdj\u0119cie \u017c.txt\" 'x'");
    EXPECT_TRUE(kestro::test_support::waitUntil([&] {
        return readFile(directory + "/probe.txt.handover").find("end\n") != std::string::npos;
    })) << "no hand-over received";
    EXPECT_EQ(readFile(directory + "/probe.txt.handover"), "open\nZdj\u0119cie \u017c.txt\nx\nend\n");

    // The splash thread's polls, through the launcher's own code: the text the application set, then
    // nothing, then the close it asked for from another thread.
    std::vector<SplashRequest> requests;
    std::promise<void> textTaken, closeAsked;
    std::thread splash([&] {
        requests.push_back(pollSplashController(splashText));
        requests.push_back(pollSplashController(splashText));
        textTaken.set_value();
        closeAsked.get_future().wait();
        requests.push_back(pollSplashController(splashText));
        endSplashPolling();
    });
    textTaken.get_future().wait();
    JNIEnv* env = creatingThreadEnv();
    jclass controller = env->FindClass("com/kestro/runtime/KestroController");
    ASSERT_NE(controller, nullptr);
    env->CallStaticVoidMethod(controller, env->GetStaticMethodID(controller, "closeSplash", "()V"));
    closeAsked.set_value();
    splash.join();
    EXPECT_EQ(requests, (std::vector<SplashRequest>{SplashRequest::NewText, SplashRequest::Nothing,
                                                    SplashRequest::Close}));
    EXPECT_EQ(splashText, u"Ready \u2713");
    destroyJavaVm();
    EXPECT_EQ(attachToVm(), nullptr) << "the VM is gone";

    const std::string probe = readFile(directory + "/probe.txt");
    const std::string expected = "count=7\n"
                                 "arg0=--configured\n"
                                 "arg1=-c\n"
                                 "arg2=Gr\u00fc\u00dfe \u20ac\n"
                                 "arg3=x y\n"
                                 "arg4=\U0001F600\n"
                                 "arg5=\n"
                                 "arg6=-C\n"
                                 "kestro.semaphoreName=c:_apps_probe.exe\n"
                                 "kestro.moduleName=C:\\apps\\probe.exe\n"
                                 "kestro.tempDir=" +
                                 directory +
                                 "\n"
                                 "kestro.unextractedPosition=3000000000\n"
                                 "kestro.manualJre=true\n"
                                 "kestro.consoleCodepage=cp850\n"
                                 "java.class.path=" +
                                 kClassPath.substr(18) +
                                 "\n"
                                 "executablePath=C:\\apps\\probe.exe\n"
                                 "unextractedPosition=3000000000\n"
                                 "manualRuntimeChoice=true\n"
                                 "program=C:\\apps\\probe.exe\n"
                                 "launcherSwitches=[-q, -c, -console, -manual, /manual]\n"
                                 "console=true\n";
    EXPECT_EQ(probe, expected);
    EXPECT_EQ(readFile(directory + "/error.log"), "to the error log\n");
    EXPECT_EQ(readFile(directory + "/output.log"), "to the output log\n");
    std::vector<std::string> expectedLog = {"Creating JVM", "param count: 18"};
    for (int i = 0; i < 18; ++i)
        expectedLog.push_back("param " + std::to_string(i) + ": (log form)");
    expectedLog.insert(expectedLog.end(), {"calling main", "main returned"});
    EXPECT_EQ(logged, expectedLog);
}

TEST(RealJvmFailures, EmptyCommandLineRefusingFirstRunThrowingMainAndMissingClass) {
    const std::string directory = runDirectory("failures");
    loadJvmLibrary();
    LauncherPropertyValues properties;
    properties.moduleName = "probe.exe";
    ASSERT_TRUE(createJavaVm(launcherOptions(properties, {"-Dkestro.firstRunHandler=probe.RefusingFirstRun",
                                                          "-Dprobe.output=" + directory + "/probe.txt"})));
    setVmCreated();

    EXPECT_EQ(callFirstRun(), FirstRun::Stop);
    // A handler that throws stops the launch as well, and the exception is dealt with.
    JNIEnv* env = creatingThreadEnv();
    jclass system = env->FindClass("java/lang/System");
    env->CallStaticObjectMethod(
        system,
        env->GetStaticMethodID(system, "setProperty",
                               "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;"),
        env->NewStringUTF("kestro.firstRunHandler"), env->NewStringUTF("probe.ThrowingFirstRun"));
    EXPECT_EQ(callFirstRun(), FirstRun::Stop);
    EXPECT_FALSE(env->ExceptionCheck());

    // With an empty command line the configured arguments are the application's, not the program.
    LauncherParameterValues values;
    values.mainClass = L"probe.ProbeApp";
    values.configuredArguments = {L"--from-configuration", L"two"};
    std::vector<std::u16string> parameters = utf16(composeLauncherParameters(values, {}));
    EXPECT_EQ(callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters)),
              MainCall::Returned);
    const std::string probe = readFile(directory + "/probe.txt");
    EXPECT_EQ(probe.substr(0, probe.find("kestro.")), "count=2\narg0=--from-configuration\narg1=two\n");
    EXPECT_NE(probe.find("\nprogram=\n"), std::string::npos) << probe;

    EXPECT_EQ(callStaticMain("com/kestro/runtime/NotThere", parameters, forLog(parameters)),
              MainCall::ClassMissing);

    // main throws while another thread of the application works: the exception and its stack go to
    // the error log at once, main comes back once that thread has ended, and the launcher learns the
    // exception's class and message.
    values.mainClass = L"probe.ThrowingApp";
    values.errorLog = units(directory + "/error.log");
    parameters = utf16(composeLauncherParameters(values, {L"probe.exe"}));
    logged.clear();
    std::u16string exception;
    EXPECT_EQ(callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters), &exception),
              MainCall::Threw);
    EXPECT_EQ(readFile(directory + "/probe.txt.other"), "ended")
        << "main came back before the other thread ended";
    EXPECT_EQ(exception, u"java.lang.IllegalStateException: thrown by the application \u017c\u00f3\u0142w");
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "ERROR: an exception occured");
    const std::string errorLog = readFile(directory + "/error.log");
    EXPECT_EQ(errorLog.rfind("Exception in thread \"main\" java.lang.IllegalStateException: thrown by the "
                             "application",
                             0),
              0u)
        << errorLog;
    EXPECT_NE(errorLog.find("\tat probe.ThrowingApp.main(ThrowingApp.java:"), std::string::npos) << errorLog;

    // The VM is closed to other threads before it goes: a splash still polling is answered without it.
    destroyJavaVm();
    std::u16string splashText;
    EXPECT_EQ(pollSplashController(splashText), SplashRequest::Nothing);
    EXPECT_EQ(attachToVm(), nullptr);
}

// One run in a process of its own: System.exit of a thread the application left running when its
// main returned reaches the launcher's exit hook, which ends the process with the program's code.
TEST(RealJvmExit, SystemExitOfAnotherThreadEndsThroughTheLaunchersHookWithItsCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string directory = runDirectory("exit");
    exitRecord = directory + "/exit.txt";
    const auto run = [&] {
        loadJvmLibrary();
        LauncherPropertyValues properties;
        properties.moduleName = "probe.exe";
        if (!createJavaVm(launcherOptions(properties, {})))
            _exit(97);
        setVmCreated();
        LauncherParameterValues values;
        values.mainClass = L"probe.ExitingApp";
        const std::vector<std::u16string> parameters =
            utf16(composeLauncherParameters(values, {L"probe.exe"}));
        callStaticMain("com/kestro/runtime/WinLauncher", parameters, forLog(parameters));
        _exit(98); // main came back before the application had ended
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(3), "");
    EXPECT_EQ(readFile(exitRecord), "System.exit(3)\n");
}

// Class-data sharing as the launcher asks for it, against real runtimes: each start is a process of
// its own (one VM per process), forked from this one, which never loads a VM itself.

// The runtime's feature version, read from its release file as the launcher reads it.
int featureOfRuntime(const std::string& home) {
    return javaFeatureVersion(releaseVersion(readFile(home + "/release")).c_str());
}

// The home of a runtime of Java 25 or later under /usr/lib/jvm, the newest; empty when none.
std::string javaHome25() {
    std::string found;
    int best = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/jvm", ignored)) {
        const std::string home = entry.path().string();
        const int feature = featureOfRuntime(home);
        if (feature >= 25 && feature > best && std::filesystem::exists(home + "/lib/server/libjvm.so")) {
            best = feature;
            found = home;
        }
    }
    return found;
}

// Runs start in a child process and answers its exit code (-1 when it did not end by itself).
int inChild(const std::function<void()>& start) {
    const pid_t child = fork();
    if (child == 0) {
        start();
        _exit(99);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// One start of the desktop probe in a process of its own, logging as logOption says, its end
// through System.exit when asked.
[[noreturn]] void startDesktopProgram(const std::string& home, const std::vector<std::string>& sharing,
                                      const std::string& logOption, const std::string& directory,
                                      bool systemExit) {
    exitRecord = directory + "/exit.txt";
    runDesktopProgram(home, sharing, {"-Djava.awt.headless=true", logOption},
                      systemExit ? std::vector<std::wstring>{L"exit"} : std::vector<std::wstring>{});
}

// The archive's place as the launcher names it, for this runtime and the probe's class path.
std::string archivePath(const std::string& directory, const std::string& home, ClassDataArchive kind) {
    const std::string classPath =
        std::string("-Djava.class.path=") + KESTRO_RUNTIME_JAR + ":" + KESTRO_PROBE_JAR;
    return directory + "/" +
           classDataArchiveKey(home + "\n" + readFile(home + "/release"), "probe.exe", classPath, directory) +
           classDataArchiveExtension(kind);
}

// OpenJDK 17 gets no options from the launcher (a dynamic archive it would have to be asked for at
// each start, with a mismatch printed whenever it no longer fits): it starts as it always did.
TEST(RealJvmClassData, Java17StartsWithoutArchiveOptions) {
    const std::string home =
        std::filesystem::path(KESTRO_LIBJVM).parent_path().parent_path().parent_path().string();
    ASSERT_EQ(featureOfRuntime(home), 17) << home;
    const ClassDataArchive kind = classDataArchiveFor(featureOfRuntime(home), true);
    EXPECT_EQ(kind, ClassDataArchive::None);
    EXPECT_TRUE(classDataSharingOptions(kind, "unused.jsa", false).empty());
    const std::string directory = runDirectory("class-data-17");
    const std::string log = directory + "/cds.log";
    EXPECT_EQ(inChild([&] { startDesktopProgram(home, {}, "-Xlog:cds=info:file=" + log, directory, false); }),
              0);
    EXPECT_EQ(readFile(log).find("dynamic"), std::string::npos) << readFile(log);
    std::cout << "OpenJDK 17, its own class-data sharing only: "
              << (readFile(log).find("Opened shared archive file") != std::string::npos
                      ? "the runtime's default archive is mapped"
                      : "no archive mapped")
              << "\n";
}

// Java 19 and later, when the process's output is seen: a dynamic archive that the VM writes at the
// first exit (here through System.exit) and maps at the next start.
TEST(RealJvmClassData, Java25MakesTheDynamicArchiveAtSystemExitAndMapsItNextStart) {
    const std::string home = javaHome25();
    if (home.empty())
        GTEST_SKIP() << "no runtime of Java 25 or later in /usr/lib/jvm";
    const ClassDataArchive kind = classDataArchiveFor(featureOfRuntime(home), true);
    ASSERT_EQ(kind, ClassDataArchive::Dynamic);
    const std::string directory = runDirectory("class-data-dynamic");
    const std::string archive = archivePath(directory, home, kind);
    const std::string firstLog = directory + "/first.log", secondLog = directory + "/second.log";

    EXPECT_EQ(inChild([&] {
                  startDesktopProgram(home, classDataSharingOptions(kind, archive, false),
                                      "-Xlog:cds=info:file=" + firstLog, directory, true);
              }),
              0);
    EXPECT_EQ(readFile(directory + "/exit.txt"), "System.exit(0)\n");
    ASSERT_TRUE(std::filesystem::exists(archive)) << "written at the VM's exit:\n" << readFile(firstLog);

    EXPECT_EQ(inChild([&] {
                  startDesktopProgram(home, classDataSharingOptions(kind, archive, true),
                                      "-Xlog:cds=info:file=" + secondLog, directory, false);
              }),
              0);
    const std::string mapped = readFile(secondLog);
    EXPECT_NE(mapped.find("Opened shared archive file " + archive), std::string::npos) << mapped;
    EXPECT_NE(mapped.find("Mapped dynamic region"), std::string::npos) << mapped;
}

// Java 25 and later, when nobody sees the output: the ahead-of-time cache, made as the first start's
// VM is destroyed after main returned, and used by the next.
TEST(RealJvmClassData, Java25MakesTheAheadOfTimeCacheAtTheFirstExitAndUsesItNextStart) {
    const std::string home = javaHome25();
    if (home.empty())
        GTEST_SKIP() << "no runtime of Java 25 or later in /usr/lib/jvm";
    const ClassDataArchive kind = classDataArchiveFor(featureOfRuntime(home), false);
    ASSERT_EQ(kind, ClassDataArchive::AheadOfTime);
    const std::string directory = runDirectory("class-data-aot");
    const std::string archive = archivePath(directory, home, kind);
    const std::string secondLog = directory + "/second.log";

    EXPECT_EQ(inChild([&] {
                  startDesktopProgram(home, classDataSharingOptions(kind, archive, false), "-Xlog:disable",
                                      directory, false);
              }),
              0);
    ASSERT_TRUE(std::filesystem::exists(archive)) << "made at the VM's exit";

    const std::vector<std::string> options = classDataSharingOptions(kind, archive, true);
    ASSERT_EQ(options, std::vector<std::string>{"-XX:AOTCache=" + archive});
    EXPECT_EQ(inChild([&] {
                  startDesktopProgram(home, options, "-Xlog:aot=info:file=" + secondLog, directory, false);
              }),
              0);
    const std::string used = readFile(secondLog);
    EXPECT_NE(used.find("Opened AOT cache " + archive), std::string::npos) << used;
    EXPECT_NE(used.find("Using AOT-linked classes: true"), std::string::npos) << used;
}

} // namespace
