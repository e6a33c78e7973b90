// The launcher's start-up seen from outside: its command line, markers and options, the environment
// it prepares, the single-instance guard and the question after a failed start.
#include "dialog_probe.h"
#include "harness.h"

#include <filesystem>

namespace kestro::scenario {
namespace {

using testing::Contains;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;

namespace fs = std::filesystem;

// Runs of the whole launcher go on into the launch, which finds no Java runtime in these scenarios:
// quiet mode ends with 83, dialog mode asks what to do, and the question's Cancel ends with 1.
constexpr int kNoRuntime = 83;
constexpr int kQuestionCancelled = 1;

RunResult runCancellingTheQuestion(Scenario& s, const std::vector<std::string>& arguments = {}) {
    DialogProbe dialogs(s);
    RunningProgram launcher = s.startPacked(arguments);
    dialogs.click("question", 2);
    return launcher.wait();
}

// A copy of the start-up probe at dir/name, so that instances can run from paths of their own.
std::string probeAt(const std::string& directory, const std::string& name) {
    fs::create_directories(directory);
    const std::string path = directory + "/" + name;
    fs::copy_file(scenarioProgram("startup-probe"), path, fs::copy_options::overwrite_existing);
    return path;
}

TEST(CommandLine, UnpairedQuoteEndsWithWrongParameterUsage) {
    Scenario s("unpaired_quote");
    s.config(107, "0").config(1007, "Wrong Parameter Usage");

    RunResult r = s.run({"don't"});

    r.expectExitCode(1);
    r.expectConsoleError("Wrong Parameter Usage");
    EXPECT_THAT(r.logLines(), Not(Contains("Init done")));
}

TEST(CommandLine, OptionsOnlyInTheirExactForm) {
    Scenario s("options_exact");
    s.config(107, "0");
    // None of these is an option: the launcher stays in its windowed mode (not quiet) and asks.
    RunResult r = runCancellingTheQuestion(s, {"-Q", "--q", "/q", "-MANUAL", "-quiet"});
    r.expectExitCode(kQuestionCancelled);
    EXPECT_THAT(r.logLines(), Not(Contains("Quiet installer.")));

    RunResult quiet = s.run({"-q"});
    quiet.expectExitCode(kNoRuntime);
    EXPECT_THAT(quiet.logLines(), Contains("Quiet installer."));
}

TEST(CommandLine, ConsoleOptionAttachesAndRunsQuietly) {
    Scenario s("console_option");
    s.config(107, "1"); // a GUI launcher: errors would be message boxes without -c

    RunResult r = s.run({"-c"});

    r.expectExitCode(kNoRuntime);
    EXPECT_THAT(r.logLines(), Contains("Quiet installer."));
    EXPECT_THAT(r.messageBoxes, IsEmpty());
}

TEST(Markers, LanguageRestartSkipsTheGuardAndTheWorkingDirectory) {
    Scenario s("language_restart");
    fs::create_directories(s.directory() + "/work");
    s.config(107, "0").config(146, "work");

    RunResult restart = s.run({"__qvx_lang_restart", "de"});

    restart.expectExitCode(kNoRuntime);
    EXPECT_THAT(restart.logLines(), Contains("Quiet installer."));
    EXPECT_FALSE(registry::keyExists(std::string(kLauncherKey) + "\\pids")) << "the guard ran";
    const std::string workDirectory = lowerCase(windowsPath(s.directory() + "/work"));
    EXPECT_NE(lowerCase(lineStartingWith(restart.logLines(), "Current working dir: ")), workDirectory);

    RunResult normal = s.run({"-q"});
    normal.expectExitCode(kNoRuntime);
    EXPECT_TRUE(registry::keyExists(std::string(kLauncherKey) + "\\pids"));
    // Without included files there is no extraction directory to change into: the working directory stays.
    EXPECT_EQ(lowerCase(lineStartingWith(normal.logLines(), "Current working dir: ")), workDirectory);
}

TEST(Markers, RebootOnlyForTheMarkerAlone) {
    Scenario s("reboot_marker");
    s.config(107, "0");

    // Wine's ExitWindowsEx answers at once and ends the session in the background: the programs that
    // show windows by then, the launcher's progress dialog among them, are ended with exit code 0, at
    // any moment, also while the question is shown or being cancelled. A launcher whose question is
    // cancelled before that ends with 1.
    DialogProbe dialogs(s);
    RunningProgram started = s.startPacked({"__qvx_reboot"});
    if (dialogs.find("question", 15000).found)
        dialogs.tryClick("question", 2);
    RunResult alone = started.wait();
    EXPECT_FALSE(alone.timedOut);
    EXPECT_THAT(alone.exitCode, testing::AnyOf(0, kQuestionCancelled));
    // Wine does not ask for the shutdown privilege, but grants it like Windows: the log shows each step.
    ASSERT_GE(alone.logLines().size(), 6u);
    EXPECT_EQ(alone.logLines()[2], "reboot requested");
    EXPECT_EQ(alone.logLines()[3], "SeShutdownPrivilege enabled");
    EXPECT_EQ(alone.logLines()[4], "ExitWindowsEx accepted the reboot");
    EXPECT_EQ(alone.logLines()[5], "Init");
    EXPECT_THAT(alone.logLines(), Contains("Init done"));

    RunResult followed = s.run({"__qvx_reboot", "now", "-q"});
    followed.expectExitCode(kNoRuntime);
    EXPECT_THAT(followed.logLines(), Not(Contains("reboot requested")));
    EXPECT_THAT(followed.logLines(), Contains("Init done"));
}

TEST(Environment, PathPrefixAndWorkingDirectory) {
    Scenario s("environment");
    fs::create_directories(s.directory() + "/work");
    s.stub(scenarioProgram("startup-probe")).config(10004, "C:\\tools;lib;;").config(146, "work");

    RunResult r = s.run({"env"});

    r.expectExitCode(0);
    const std::string exeDirectory = windowsPath(s.directory()) + "\\";
    EXPECT_EQ(lineStartingWith(r.stdoutLines(), "PATH="),
              "C:\\tools;" + exeDirectory + "lib;" + lineStartingWith(r.stdoutLines(), "INHERITED_PATH="));
    EXPECT_EQ(lowerCase(lineStartingWith(r.stdoutLines(), "CWD=")), lowerCase(exeDirectory + "work"));
}

TEST(Environment, EmptyConfigurationKeepsPathAndDirectory) {
    Scenario s("environment_empty");
    s.stub(scenarioProgram("startup-probe"));

    RunResult r = s.run({"env"});

    r.expectExitCode(0);
    EXPECT_EQ(lineStartingWith(r.stdoutLines(), "PATH="),
              lineStartingWith(r.stdoutLines(), "INHERITED_PATH="));
    EXPECT_EQ(lineStartingWith(r.stdoutLines(), "CWD="), lineStartingWith(r.stdoutLines(), "INHERITED_CWD="));
}

// Relative entries grow by the executable's directory: these make about 17500 bytes, of which those
// within 16384 are taken; the log names the others.
TEST(Environment, LongPathPrefixKeepsWhatFitsAndLogsTheRest) {
    Scenario s("environment_long");
    std::vector<std::string> entries;
    std::string configured;
    for (int i = 0; i < 120; ++i) {
        entries.push_back("lib\\entry" + std::to_string(1000 + i) + std::string(48, 'x'));
        configured += entries.back() + ";";
    }
    s.stub(scenarioProgram("startup-probe")).config(10004, configured);

    RunResult r = s.run({"env"});

    r.expectExitCode(0);
    const std::string exeDirectory = windowsPath(s.directory()) + "\\";
    std::string kept, leftOut;
    for (const std::string& entry : entries) {
        const std::string full = (kept.empty() ? "" : ";") + exeDirectory + entry;
        if (leftOut.empty() && kept.size() + full.size() < 16384)
            kept += full;
        else
            leftOut += (leftOut.empty() ? "" : ";") + entry;
    }
    ASSERT_GT(kept.size(), 8192u);
    ASSERT_FALSE(leftOut.empty());
    EXPECT_EQ(lineStartingWith(r.stdoutLines(), "PATH="),
              kept + ";" + lineStartingWith(r.stdoutLines(), "INHERITED_PATH="));
    EXPECT_THAT(r.logLines(), Contains("ERROR: PATH prefix longer than 16384 bytes, left out: " + leftOut));
}

TEST(SingleInstance, SecondStartHandsOverItsArgumentsAndExitsWithZero) {
    Scenario s("guard_same_path");
    const std::string probe = probeAt(s.directory() + "/app", "probe.exe");
    const std::string go = s.directory() + "/go";

    RunningProgram first = s.start(probe, {"guard", windowsPath(go)});
    ASSERT_TRUE(first.waitForOutput("first "));
    const std::string handOver =
        s.tmpDirectory() + "/kqx_p" + lineStartingWith(linesOf(first.outputSoFar()), "first ") + ".tmp";
    RunResult second = s.runProgram(probe, {"guard", "handover", windowsPath(go)});

    second.expectExitCode(0);
    EXPECT_THAT(second.stdoutText, Not(HasSubstr("first")));
    EXPECT_EQ(readFile(handOver).size() % 2, 0u);
    const std::u16string line = fromUtf16Le(readFile(handOver));
    EXPECT_EQ(line.substr(0, 15), u"guard handover ") << "no byte-order mark, program name left out";
    EXPECT_EQ(line.back(), u'\n');

    // A hand-over nobody takes (the first instance's Java side deletes each one it has read): the next
    // start waits for it to go, 200 times 50 ms, then writes over it.
    writeFile(handOver, "not taken");
    const auto waitingSince = std::chrono::steady_clock::now();
    RunResult third = s.runProgram(probe, {"guard", "handover", windowsPath(go)});
    EXPECT_GE(std::chrono::steady_clock::now() - waitingSince, std::chrono::seconds(9)) << "it did not wait";
    third.expectExitCode(0);
    EXPECT_EQ(fromUtf16Le(readFile(handOver)).substr(0, 15), u"guard handover ");
    writeFile(go, "");
    first.wait().expectExitCode(0);
}

TEST(SingleInstance, DifferentPathsRunSideBySideAndLetterCaseDoesNotCount) {
    Scenario s("guard_paths");
    const std::string probe = probeAt(s.directory() + "/one", "probe.exe");
    const std::string other = probeAt(s.directory() + "/two", "probe.exe");
    const std::string go = s.directory() + "/go";
    const std::string alreadyGone = s.directory() + "/gone";
    writeFile(alreadyGone, "");

    RunningProgram first = s.start(probe, {"guard", windowsPath(go)});
    ASSERT_TRUE(first.waitForOutput("first "));
    RunResult elsewhere = s.runProgram(other, {"guard", windowsPath(alreadyGone)});
    // The same file through a path in other letters: Wine, like Windows, finds files regardless of case.
    RunResult sameInOtherCase =
        s.runProgram(s.directory() + "/ONE/PROBE.EXE", {"guard", windowsPath(alreadyGone)});
    writeFile(go, "");
    first.wait().expectExitCode(0);

    elsewhere.expectExitCode(0);
    EXPECT_THAT(elsewhere.stdoutText, HasSubstr("first "));
    sameInOtherCase.expectExitCode(0);
    EXPECT_THAT(sameInOtherCase.stdoutText, Not(HasSubstr("first ")));
}

TEST(InstallStarted, AskedInWindowedModeOnly) {
    Scenario s("install_started");
    s.config(107, "0").message(20013, u"Kestro").message(20015, u"Last start failed. Choose a runtime?");

    for (const char* quietOption : {"-q", "-c"}) {
        registry::writeDword(kLauncherKey, "InstallStarted", 1);
        RunResult quiet = s.run({quietOption});
        quiet.expectExitCode(kNoRuntime);
        EXPECT_THAT(quiet.messageBoxes, IsEmpty()) << quietOption;
    }

    registry::writeDword(kLauncherKey, "InstallStarted", 1);
    RunResult windowed = runCancellingTheQuestion(s);
    windowed.expectExitCode(kQuestionCancelled);
    ASSERT_EQ(windowed.messageBoxes.size(), 1u);
    EXPECT_EQ(windowed.messageBoxes[0].caption, "Kestro");
    EXPECT_EQ(windowed.messageBoxes[0].text, "Last start failed. Choose a runtime?");
    // Cancelling the question leaves the value at 0 again.
    EXPECT_EQ(registry::readDword(kLauncherKey, "InstallStarted"), 0u);

    EXPECT_THAT(runCancellingTheQuestion(s).messageBoxes, IsEmpty());
}

} // namespace
} // namespace kestro::scenario
