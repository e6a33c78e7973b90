// Starting the VM, seen through the JNI double: launch-probe packs the scenario's configuration and
// calls launchVm; the double records the creation arguments and every JNI call.
#include "archives.h"
#include "harness.h"
#include "runtime_layout.h"

#include <filesystem>
#include <map>

namespace kestro::scenario {
namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::StartsWith;

const std::vector<std::string> kRuntimeClasses = {"com/kestro/runtime/WinLauncher.class",
                                                  "com/kestro/runtime/KestroController.class",
                                                  "com/sorvana/runtime/FirstRun.class"};

// A launch-probe scenario with an extraction directory holding the given archives.
struct Launch {
    explicit Launch(const std::string& name)
        : s(name), extraction(s.directory() + "/extracted"), jni(s.directory() + "/jni.txt") {
        std::filesystem::create_directories(extraction);
        // jvm.dll with the library it needs beside it.
        const std::string jvm = s.directory() + "/jvm";
        std::filesystem::create_directories(jvm);
        for (const char* library : {"testdoubles/jni/jvm.dll", "testdoubles/runtime/companion.dll"})
            std::filesystem::copy_file(windowsProgram(library),
                                       jvm + "/" + std::filesystem::path(library).filename().string());
        s.stub(scenarioProgram("launch-probe"))
            .env("KESTRO_PROBE_JVM", windowsPath(jvm + "/jvm.dll"))
            .env("KESTRO_PROBE_EXTRACTION", windowsPath(extraction))
            .env("KESTRO_JNI_RECORD", windowsPath(jni.path()))
            .unsetEnv("MANPATH");
    }
    void archive(const std::string& name, const std::vector<std::string>& classes = kRuntimeClasses) {
        std::map<std::string, std::string> entries;
        for (const std::string& entry : classes)
            entries[entry] = "class bytes";
        test_support::writeJar(extraction + "/" + name, entries);
    }
    std::string win(const std::string& linuxPath) const { return windowsPath(linuxPath); }

    Scenario s;
    std::string extraction;
    JniRecord jni;
};

TEST(LaunchVm, InstallerKindOptionsInOrderAndTheEightParameters) {
    Launch l("launch_installer_kind");
    l.archive("b.jar");
    l.archive("c.zip");
    l.s.config(2001, "s")
        .config(107, "5")
        .config(102, "1")
        .config(103, "error.log")
        .config(104, "0")
        .config(106, "0")
        .config(122, "com.example.Installer")
        .config(123, "-Xmx256m \"-classpath/p pre.jar\" -Dsame=1")
        .config(10005, "0");
    // Only the first of the two names is read when both exist.
    writeFile(l.s.executablePath() + ".vmoptions", "-Dsecond=name\n");
    writeFile(l.s.executablePath().substr(0, l.s.executablePath().size() - 4) + ".vmoptions",
              "  -Xss2m  \r\n# comment\n\n-Dname=a b\n-Dsame=1\n-classpath/a lib\\x.jar\n");

    RunResult r = l.s.run({"-q", "x"});

    r.expectExitCode(0);
    EXPECT_THAT(r.stdoutLines(), Contains("launchVm true"));
    const std::string exe = l.win(l.s.executablePath());
    const std::string exeDir = exe.substr(0, exe.rfind('\\') + 1);
    const std::string extracted = l.win(l.extraction);
    EXPECT_THAT(withPrefix(l.jni.lines(), "JNI_CreateJavaVM "),
                ElementsAre("version 0x00010002 ignoreUnrecognized 1 nOptions 12"));
    // After the options, the hook through which the program's System.exit ends the launcher.
    EXPECT_THAT(withPrefix(l.jni.lines(), "option 11: "), ElementsAre("exit (with extraInfo)"));
    const std::vector<std::string> options = l.jni.options();
    ASSERT_EQ(options.size(), 11u);
    // Configuration 107 is not 1 here, so errors go to standard error; the properties first, in
    // their fixed order (no semaphore name: the single-instance guard did not run).
    EXPECT_THAT(options, ElementsAre("-Dkestro.isSorvana=true", "-Dkestro.moduleName=" + exe,
                                     "-Dkestro.tempDir=" + extracted,
                                     testing::MatchesRegex("-Dkestro.unextractedPosition=[0-9]+"),
                                     testing::MatchesRegex("-Dkestro.consoleCodepage=cp[0-9]+"),
                                     // configuration 123, the options file, then the class path: its
                                     // prefix, the extraction directory's jars then zips, the suffix.
                                     "-Xmx256m", "-Dsame=1", "-Xss2m", "-Dname=a b", "-Dsame=1",
                                     "-Djava.class.path=pre.jar;" + extracted + "\\b.jar;" + extracted +
                                         "\\c.zip;lib\\x.jar"));
    EXPECT_THAT(r.logLines(), Contains("vmoption count 11"));
    EXPECT_THAT(l.jni.mainArguments(), ElementsAre("false", "com.example.Installer", exeDir + "error.log", "",
                                                   "false", testing::_, "-q", "x"));
    EXPECT_THAT(r.logLines(), Contains("param count: 8"));
    EXPECT_THAT(r.logLines(), Contains("launch done"));
    EXPECT_THAT(l.jni.lines(), Contains("DestroyJavaVM"));
}

// The program ended with an exception: the VM is destroyed all the same, and the launch learns the
// exception's class and message, which the bootstrap has already reported.
TEST(LaunchVm, ThrowingMainIsAnEndOfTheProgram) {
    Launch l("launch_throwing_main");
    l.archive("runtime.jar");
    l.s.env("KESTRO_JNI_SCENARIO", "main=throw");

    RunResult r = l.s.run({"a"});

    r.expectExitCode(1);
    EXPECT_THAT(r.stdoutLines(), Contains("launchVm threw java.lang.IllegalStateException: the double's main "
                                          "failed: \u017c\u00f3\u0142w"));
    EXPECT_THAT(r.logLines(), Contains("ERROR: an exception occured"));
    EXPECT_THAT(l.jni.lines(), testing::Not(Contains("ExceptionDescribe")));
    EXPECT_THAT(l.jni.lines(), Contains("DestroyJavaVM"));
}

// The VM reads the options as HotSpot does: with ignoreUnrecognized, which the launcher always sets,
// it skips an option it does not know; a size it cannot read fails the creation all the same.
TEST(LaunchVm, TheVmSkipsUnknownOptionsAndRefusesUnreadableSizes) {
    const struct {
        const char* parameters;
        int exitCode;
        const char* recorded;
    } rows[] = {
        {"-Xunknown -XX:+SomeNewFlag -Xss512k", 0, "ignored: Unrecognized option: -Xunknown"},
        {"-Xmx64q", 5, "JNI_CreateJavaVM refuses option 4: Invalid memory size: -Xmx64q"},
    };
    for (const auto& row : rows) {
        Launch l("launch_options");
        l.archive("runtime.jar");
        l.s.config(123, row.parameters);

        RunResult r = l.s.run();

        r.expectExitCode(row.exitCode);
        EXPECT_THAT(l.jni.lines(), Contains(testing::HasSubstr(row.recorded)));
        EXPECT_EQ(testing::Matches(Contains(testing::HasSubstr("ignored")))(l.jni.lines()),
                  row.exitCode == 0);
    }
}

TEST(LaunchVm, FailedCreationIsReported) {
    Launch l("launch_creation_fails");
    l.s.env("KESTRO_JNI_SCENARIO", "create=fail");

    RunResult r = l.s.run();

    r.expectExitCode(5);
    EXPECT_THAT(r.logLines(), Contains("ERROR: could not initialize JVM"));
}

TEST(LaunchVm, JArgumentsAreVmOptionsOnlyWithConfiguration125) {
    for (const char* setting : {"1", "0"}) {
        Launch l(std::string("launch_j_arguments_") + setting);
        l.archive("runtime.jar");
        l.s.config(125, setting);

        RunResult r = l.s.run({"-J-Xmx64m", "y"});

        r.expectExitCode(0);
        const bool asOption = std::string(setting) == "1";
        EXPECT_EQ(testing::Matches(Contains("-Xmx64m"))(l.jni.options()), asOption) << setting;
        EXPECT_EQ(testing::Matches(Contains("-J-Xmx64m"))(l.jni.mainArguments()), !asOption) << setting;
    }
}

TEST(LaunchVm, MissingBootstrapClassEndsWith1010) {
    Launch l("launch_no_bootstrap");
    l.archive("other.jar", {"com/example/Other.class"});
    // The parameters of main are built only after the lookup: their unpaired quote (1007) never comes up.
    l.s.config(1010, "Couldn't load main class.").config(124, "\"unpaired").config(1007, "Wrong parameters");

    RunResult r = l.s.run();

    r.expectExitCode(1);
    r.expectConsoleError("Couldn't load main class.");
    EXPECT_THAT(r.logLines(), Contains("ERROR: could not find main class"));
}

TEST(LaunchVm, RequiredClassPathEntryMissingEndsWith1006) {
    Launch l("launch_required_entry");
    l.archive("runtime.jar");
    l.s.config(121, "A1lib\\missing.jar").config(1006, "File or directory {0} not found or empty");

    RunResult r = l.s.run();

    r.expectExitCode(1);
    r.expectConsoleError("File or directory lib\\missing.jar not found or empty");
}

TEST(LaunchVm, MissingMainMethodEndsWith1011) {
    Launch l("launch_no_main_method");
    l.archive("runtime.jar");
    l.s.env("KESTRO_JNI_SCENARIO", "main=missing").config(1011, "Main method not found.");

    RunResult r = l.s.run();

    r.expectExitCode(1);
    r.expectConsoleError("Main method not found.");
    EXPECT_THAT(r.logLines(), Contains("ERROR: could not find main method"));
    EXPECT_THAT(l.jni.lines(), testing::Not(Contains(StartsWith("CallStaticVoidMethod"))));
}

// Installer kind with configuration 10003 ".": the marker lies below the executable's directory.
TEST(LaunchVm, FirstRunCheckOnlyWithTheMarker) {
    const struct {
        const char* name;
        bool marker;
        bool firstRunClass;
        const char* behaviour;
        int exitCode;
        const char* consoleError; // message 1009 with its argument, or null
        bool mainCalled;
    } rows[] = {
        {"no_marker_no_class", false, false, "", 0, nullptr, true},
        {"class_missing", true, false, "", 1, "Internal error 14", false},
        {"method_missing", true, true, "firstrun=missing", 1, "Internal error 15", false},
        {"answers_true", true, true, "firstrun=true", 0, nullptr, true},
        {"answers_false", true, true, "firstrun=false", 0, nullptr, false},
        {"throws", true, true, "firstrun=throw", 0, nullptr, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Launch l(std::string("launch_first_run_") + row.name);
        if (row.firstRunClass)
            l.archive("runtime.jar");
        else
            l.archive("runtime.jar", {"com/kestro/runtime/WinLauncher.class"});
        if (row.marker) {
            std::filesystem::create_directories(l.s.directory() + "/.sorvana");
            writeFile(l.s.directory() + "/.sorvana/firstrun", "");
        }
        l.s.config(2001, "s").config(10003, ".").config(1009, "Internal error {0}");
        l.s.env("KESTRO_JNI_SCENARIO", row.behaviour);

        RunResult r = l.s.run();

        r.expectExitCode(row.exitCode);
        if (row.consoleError)
            r.expectConsoleError(row.consoleError);
        EXPECT_EQ(testing::Matches(Contains("CallStaticVoidMethod com/kestro/runtime/WinLauncher.main"))(
                      l.jni.lines()),
                  row.mainCalled);
        EXPECT_EQ(
            testing::Matches(Contains(StartsWith("FindClass com/sorvana/runtime/FirstRun")))(l.jni.lines()),
            row.marker);
        if (row.exitCode == 0 && !row.mainCalled) {
            // Stopped by the check: a successful launch all the same, and the VM is destroyed.
            EXPECT_THAT(r.logLines(), Contains("checkFirstRun stopped further execution"));
            EXPECT_THAT(r.stdoutLines(), Contains("launchVm true"));
            EXPECT_THAT(l.jni.lines(), Contains("DestroyJavaVM"));
        }
        if (std::string(row.behaviour) == "firstrun=throw") {
            EXPECT_THAT(l.jni.lines(), Contains("ExceptionDescribe"));
        }
    }
}

TEST(LaunchVm, ClassPathEntriesOfEachType) {
    Launch l("launch_class_path_types");
    l.archive("runtime.jar");
    std::filesystem::create_directories(l.s.directory() + "/lib");
    writeFile(l.s.directory() + "/lib/x.jar", "");
    writeFile(l.s.directory() + "/lib/y.zip", "");
    writeFile(l.s.directory() + "/lib/notes.txt", "");
    std::filesystem::create_directories(l.s.directory() + "/classes");
    std::filesystem::create_directories(l.s.directory() + "/empty");
    l.s.config(121, "D1classes;;S1lib;S1empty;E0QUOTED_CP;E0EMPTY_QUOTED_CP;"
                    "E0ENDS_WITH_SEPARATOR;E0KESTRO_UNSET_CP;Xx;A0gone.jar")
        .env("QUOTED_CP", "\"C:\\q dir\\z.jar\"")
        .env("EMPTY_QUOTED_CP", "\"\"")
        .env("ENDS_WITH_SEPARATOR", "C:\\w.jar;")
        .unsetEnv("KESTRO_UNSET_CP");

    RunResult r = l.s.run();

    r.expectExitCode(0);
    const std::string exe = l.win(l.s.executablePath());
    const std::string exeDir = exe.substr(0, exe.rfind('\\') + 1);
    // An empty S directory counts as found; a missing optional A entry is still appended; an
    // undefined optional variable and an unknown type letter add nothing; a value that its quotes
    // leave empty still adds its ";".
    EXPECT_EQ(l.jni.options().back(), "-Djava.class.path=" + l.win(l.extraction) + "\\runtime.jar;" + exeDir +
                                          "classes;" + exeDir + "lib\\x.jar;" + exeDir + "lib\\y.zip;" +
                                          "C:\\q dir\\z.jar;;C:\\w.jar;" + exeDir + "gone.jar;");
}

TEST(LaunchVm, ReplacementFormTakesThePlaceOfTheConfiguredEntriesOnly) {
    Launch l("launch_class_path_replacement");
    l.archive("runtime.jar");
    // The replacement is not checked: a required entry that does not exist no longer matters.
    l.s.config(121, "A1missing.jar").config(123, "\"-classpath/p first.jar\"");
    const std::string exe = l.s.executablePath();
    writeFile(exe.substr(0, exe.size() - 4) + ".vmoptions", "-classpath other\\dir\n-classpath repl\\dir\n");

    RunResult r = l.s.run();

    r.expectExitCode(0);
    EXPECT_EQ(l.jni.options().back(),
              "-Djava.class.path=first.jar;" + l.win(l.extraction) + "\\runtime.jar;repl\\dir");
}

TEST(LaunchVm, RequiredVariableEntryEndsWith1008WhenTheVariableIsUndefined) {
    Launch l("launch_required_variable");
    l.archive("runtime.jar");
    l.s.config(121, "E1KESTRO_UNDEFINED_CP")
        .config(1008, "Environment variable {0} not set")
        .unsetEnv("KESTRO_UNDEFINED_CP");

    RunResult r = l.s.run();

    r.expectExitCode(1);
    r.expectConsoleError("Environment variable KESTRO_UNDEFINED_CP not set");
    EXPECT_THAT(l.jni.lines(), testing::Not(Contains(StartsWith("JNI_CreateJavaVM"))));
}

TEST(LaunchVm, PropertiesOfManualSelectionCommunicationFileAndManpath) {
    Launch l("launch_properties");
    l.archive("runtime.jar");
    l.s.config(2001, "k").config(10005, "1").env("KESTRO_PROBE_MANUAL", "1").env("MANPATH", "C:\\man");

    RunResult r = l.s.run();

    r.expectExitCode(0);
    const std::vector<std::string> options = l.jni.options();
    ASSERT_EQ(options.size(), 6u);
    // No semaphore name (no guard ran), no installer kind, and with MANPATH defined, whatever its value, no
    // console code page. The communication file lies in the system's temporary directory, which is
    // the scenario's TMP.
    EXPECT_EQ(options[0], "-Dkestro.manualJre=true");
    EXPECT_EQ(options[1], "-Dkestro.moduleName=" + l.win(l.s.executablePath()));
    EXPECT_THAT(options[2], testing::MatchesRegex("-Dkestro\\.processCommFile=.*\\\\kqx_p[0-9]+\\.tmp"));
    EXPECT_EQ(options[2].substr(0, options[2].rfind('\\') + 1),
              "-Dkestro.processCommFile=" + l.win(l.s.tmpDirectory()) + "\\");
    EXPECT_THAT(options[3], StartsWith("-Dkestro.tempDir="));
    EXPECT_THAT(options[4], StartsWith("-Dkestro.unextractedPosition="));
    EXPECT_THAT(options[5], StartsWith("-Djava.class.path="));
}

// The main class in code page 1252's upper half, and a hand-over asked for without 10005: the Java
// side must still learn where a second start's arguments arrive.
TEST(LaunchVm, MainClassInTheAnsiCodePageAndTheHandOverFile) {
    Launch l("launch_ansi_main_class");
    l.archive("runtime.jar");
    l.s.config(122, "app.\x80\x8a\x8e\x8c.Main").config(10201, "1");

    RunResult r = l.s.run({"x"});

    r.expectExitCode(0);
    const std::vector<std::string> arguments = l.jni.mainArguments();
    ASSERT_GE(arguments.size(), 2u);
    EXPECT_EQ(arguments[1], "app.\u20ac\u0160\u017d\u0152.Main");
    EXPECT_THAT(l.jni.options(),
                Contains(testing::MatchesRegex("-Dkestro\\.processCommFile=.*\\\\kqx_p[0-9]+\\.tmp")));
}

// System.exit inside main ends the process there, through the launcher's way out: launchVm does not
// return, nothing is destroyed.
TEST(LaunchVm, ExitInsideMainEndsTheProcessWithItsCode) {
    Launch l("launch_exit_in_main");
    l.archive("runtime.jar");
    l.s.env("KESTRO_JNI_SCENARIO", "main=exit:7");

    RunResult r = l.s.run();

    r.expectExitCode(7);
    EXPECT_THAT(r.logLines(), Contains("calling main"));
    EXPECT_THAT(r.logLines(), testing::Not(Contains("main returned")));
    EXPECT_THAT(r.logLines(), Contains("System.exit(7)"));
    EXPECT_EQ(r.logLines().back(), "exit code 7");
    EXPECT_THAT(r.stdoutLines(), testing::Not(Contains(StartsWith("launchVm"))));
    EXPECT_THAT(l.jni.lines(), Contains("System.exit(7) through the exit hook"));
    EXPECT_THAT(l.jni.lines(), testing::Not(Contains("DestroyJavaVM")));
}

} // namespace
} // namespace kestro::scenario
