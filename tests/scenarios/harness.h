// End-to-end scenarios: a launcher packed from a few lines of configuration, run under Wine with a
// command line, environment and temporary directory of its own, then looked at from the outside
// (exit code, standard output and error, message boxes, native log, files, registry).
//
//   Scenario s("queue_drained");
//   s.config(107, "0").message(20013, u"Caption \u00fc");
//   RunResult r = s.run({"arg"});
//   r.expectExitCode(1);
//   r.expectErrorShown("Internal Error: readInt");
//
// Every run is recorded; when a test fails, its runs' command lines, outputs and native logs are
// printed (see ScenarioFailureReporter), so a failing CI run explains itself.
#pragma once

#include "payload/payload_codec.h"
#include "test_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestro::scenario {

// The caller's position, so that a failing helper points at the scenario, not at itself.
struct CallSite {
    const char* file;
    int line;
    static CallSite here(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
        return {file, line};
    }
};

// A Windows program built by the windows-x64 tree.
std::string windowsProgram(const std::string& relativePath); // e.g. "launcher/launcher.exe"
// The same built by the windows-x86 tree: never run here, only laid out as a foreign architecture.
std::string windowsX86Program(const std::string& relativePath);
std::string launcherStub();
std::string scenarioProgram(const std::string& name); // tests/scenarios/win/<name>.exe

// "Z:\..." for a Linux path, as Wine's Z: drive maps the Linux root, and back ("Z:\a\b" is "/a/b").
std::string windowsPath(const std::string& linuxPath);
std::string linuxPath(const std::string& windowsPath);
// The scenario prefix's drive C: as a Linux path.
std::string cDrive();

using test_support::fromUtf16Le;
using test_support::linesOf;
using test_support::lineStartingWith;
using test_support::lowerCase;
using test_support::readFile;
using test_support::runShell;
using test_support::waitUntil;
using test_support::withPrefix;
using test_support::writeFile;

// The fields of a line the Windows probes print: separated by tabs, with backslash escapes.
std::vector<std::string> tabFields(const std::string& line);

// Lower-case hex of each byte, and of each UTF-16 unit as four digits: the forms store-dump prints.
std::string hexBytes(const std::string& bytes);
std::string hexUnits(const std::u16string& units);

struct MessageBoxShown {
    std::string caption; // UTF-8
    std::string text;    // UTF-8
    std::string owner;   // the class of its owner window, empty without one
    std::string splash;  // the launcher's splash window while the box was up: visible, hidden or none
};

// Where each field of a payload lies, as offsets from the payload's start. For truncation scenarios.
struct PayloadField {
    size_t id, length, text;
};
struct PayloadLayout {
    size_t configCount = 0;
    std::vector<PayloadField> configRecords;
    size_t messageCount = 0;
    std::vector<PayloadField> messageRecords;
    size_t end = 0; // just after the message table
};
PayloadLayout layoutOf(const payload::PayloadTables& tables);

class RunResult {
  public:
    int exitCode = -1;
    bool timedOut = false;
    std::string commandLine;  // as the runner was started, for the failure report
    std::string stdoutText;   // the program's, CR LF turned into LF
    std::string stderrText;   // the program's, CR LF turned into LF
    std::string runnerOutput; // what Wine and envrun printed themselves
    std::vector<MessageBoxShown> messageBoxes;
    std::optional<std::string> nativeLogPath;        // Linux path of the log this run created
    std::optional<std::string> nativeLogWindowsPath; // the same as the launcher names it
    // The log as the run left it: a later launcher's clean-up removes the file itself.
    std::string nativeLogText;

    std::vector<std::string> stdoutLines() const;
    std::vector<std::string> stderrLines() const;
    std::string nativeLog() const; // CR LF turned into LF; empty without a log
    std::vector<std::string> logLines() const;

    // What a fatal error with message shows: "<message>\n\nLog: <Windows path of the native log>".
    std::string errorText(const std::string& message) const;

    void expectExitCode(int expected, CallSite at = CallSite::here()) const;
    void expectStderrContains(const std::string& text, CallSite at = CallSite::here()) const;
    // errorText(message) in the only message box, or on standard error and in no box.
    void expectMessageBoxError(const std::string& message, CallSite at = CallSite::here()) const;
    void expectConsoleError(const std::string& message, CallSite at = CallSite::here()) const;
    std::string describe() const;
};

// A program started in the background; wait() collects its result.
class RunningProgram {
  public:
    RunningProgram(RunningProgram&& other) noexcept;
    RunningProgram& operator=(RunningProgram&&) = delete;
    ~RunningProgram();

    std::string outputSoFar() const; // its standard output, CR LF turned into LF
    // Waits until the program's standard output holds text; false after the time-out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    RunResult wait();
    // Ends the Windows process of this run whose program file is named name at once, as a crash or
    // Task Manager would, leaving the rest of the run to end by itself; false when none runs.
    bool kill(const std::string& name);

  private:
    friend class Scenario;
    RunningProgram() = default;
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point deadline_;
    std::string directory_;
    std::string tmpDirectory_;
    std::vector<std::string> logsBefore_;
    RunResult result_;
};

// One scenario: its own directory under the build tree (wiped when the scenario is made) with a
// temporary directory that becomes TMP and TEMP of every program it runs. Making a scenario also
// removes HKCU\SOFTWARE\Morvane\kestro, so each scenario starts from a clean registry.
class Scenario {
  public:
    explicit Scenario(const std::string& name);

    // Payload content, in payload order.
    Scenario& config(int32_t id, const std::string& text);
    Scenario& message(int32_t id, const std::u16string& text);
    Scenario& include(const std::string& name, const std::string& contents);
    Scenario& trailingData(const std::string& data);

    // The stub the payload is appended to; launcher.exe unless changed.
    Scenario& stub(const std::string& path);

    // Where the packed launcher is written and where TMP and TEMP point: folders below directory()
    // (UTF-8, created when needed), instead of directory() itself and tmpDirectory()'s "tmp".
    // Runs look for their native log in the TMP folder.
    Scenario& placeLauncherIn(const std::string& folder);
    Scenario& tmpIn(const std::string& folder);

    // Malformed executables: instead of the packed payload, the stub alone, the packed payload cut
    // after payloadBytes bytes, or the given bytes as the payload.
    Scenario& appendNothing();
    Scenario& truncatePayloadAt(size_t payloadBytes);
    Scenario& rawPayload(const std::string& bytes);

    // Environment of the programs run; TMP and TEMP are set to tmpDirectory() and LOCALAPPDATA (where
    // the user's cache lives) to "local" below directory() unless overridden.
    Scenario& env(const std::string& name, const std::string& value);
    Scenario& unsetEnv(const std::string& name);
    Scenario& timeout(std::chrono::milliseconds limit);

    const payload::PayloadTables& tables() const { return request_.tables; }
    // Where the fields lie in the payload the packer writes for this scenario (which adds the
    // included-file records 2002 and 2003 to the configuration).
    PayloadLayout packedLayout();
    const std::string& directory() const { return directory_; }
    const std::string& tmpDirectory() const { return tmpDirectory_; }
    std::string executablePath() const;     // the packed launcher (Linux path)
    std::string userCacheDirectory() const; // the launchers' per-user cache (Linux path)

    // Packs the launcher (again) and runs it with the arguments.
    RunResult run(const std::vector<std::string>& arguments = {});
    // Runs any Windows program (a Linux path) with this scenario's environment.
    RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments);
    RunningProgram start(const std::string& program, const std::vector<std::string>& arguments);
    // Packs the launcher (again) and starts it in the background.
    RunningProgram startPacked(const std::vector<std::string>& arguments = {});

  private:
    enum class Shape { Packed, Nothing, Truncated, Raw };
    bool pack(std::string* error);
    bool packTo(const std::string& output, std::string* error);

    std::string name_;
    std::string directory_;
    std::string tmpDirectory_;
    std::string launcherDirectory_;
    std::string stubPath_;
    struct {
        payload::PayloadTables tables;
        std::vector<std::pair<std::string, std::string>> files; // name, contents
        std::string trailingData;
    } request_;
    Shape shape_ = Shape::Packed;
    size_t truncateAt_ = 0;
    std::string rawPayload_;
    std::map<std::string, std::optional<std::string>> environment_;
    std::chrono::milliseconds timeout_ = std::chrono::seconds(60);
    int runCount_ = 0;
};

// The registry of the scenario prefix, through Wine's reg.exe. Keys are full, e.g.
// "HKCU\\SOFTWARE\\Morvane\\kestro\\temp".
namespace registry {
std::optional<std::string> readString(const std::string& key, const std::string& value);
void writeString(const std::string& key, const std::string& value, const std::string& data);
std::optional<uint32_t> readDword(const std::string& key, const std::string& value);
void writeDword(const std::string& key, const std::string& value, uint32_t data);
// REG_BINARY values as raw bytes.
std::optional<std::string> readBinary(const std::string& key, const std::string& value);
void writeBinary(const std::string& key, const std::string& value, const std::string& bytes);
void deleteKey(const std::string& key);
bool keyExists(const std::string& key);
} // namespace registry

constexpr const char* kLauncherKey = "HKCU\\SOFTWARE\\Morvane\\kestro";
constexpr const char* kDeletionQueueKey = "HKCU\\SOFTWARE\\Morvane\\kestro\\temp";

} // namespace kestro::scenario
