#include "harness.h"

#include "commands/pack.h"
#include "failure_report.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace kestro::scenario {

namespace {

// A run that outlives envrun's own time-out by this much is hung beyond what envrun can end.
constexpr auto kRunnerGrace = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(50);

std::string wineRunScript() {
    return std::string(KESTRO_SOURCE_DIR) + "/scripts/wine-run";
}

std::string withoutCarriageReturns(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

std::string quoteForDisplay(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& argument : argv)
        out += (out.empty() ? "" : " ") + ("'" + argument + "'");
    return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a hung run can be ended with everything it started.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> pointers;
    for (const std::string& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

int exitStatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs a host command to its end; returns its exit status and its output (stdout and stderr).
int runToEnd(const std::vector<std::string>& argv, std::string* output) {
    std::string outputPath =
        (fs::temp_directory_path() / ("kestro-scenario-" + std::to_string(getpid()))).string();
    pid_t pid = spawn(argv, outputPath);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0)
        return -1;
    if (output)
        *output = readFile(outputPath);
    fs::remove(outputPath);
    return exitStatusOf(status);
}

int runWine(const std::vector<std::string>& arguments, std::string* output) {
    std::vector<std::string> argv = {wineRunScript(), "--prefix", KESTRO_SCENARIO_PREFIX};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runToEnd(argv, output);
}

bool isNativeLogName(const std::string& name) {
    return name.rfind("qvx_nlog_", 0) == 0;
}

std::vector<std::string> nativeLogsIn(const std::string& directory) {
    std::vector<std::string> logs;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error))
        if (isNativeLogName(entry.path().filename().string()))
            logs.push_back(entry.path().string());
    std::sort(logs.begin(), logs.end());
    return logs;
}

std::string testDirectoryName() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "outside_tests";
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

} // namespace

std::string windowsProgram(const std::string& relativePath) {
    return std::string(KESTRO_WINDOWS_BUILD_DIR) + "/" + relativePath;
}
std::string windowsX86Program(const std::string& relativePath) {
    return std::string(KESTRO_WINDOWS_X86_BUILD_DIR) + "/" + relativePath;
}
std::string launcherStub() {
    return windowsProgram("launcher/launcher.exe");
}
std::string scenarioProgram(const std::string& name) {
    return windowsProgram("tests/scenarios/win/" + name + ".exe");
}

std::string windowsPath(const std::string& linuxPath) {
    std::string path = "Z:" + fs::absolute(linuxPath).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string linuxPath(const std::string& windowsPathText) {
    std::string path =
        windowsPathText.size() > 1 && windowsPathText[1] == ':' ? windowsPathText.substr(2) : windowsPathText;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string cDrive() {
    return std::string(KESTRO_SCENARIO_PREFIX) + "/drive_c";
}

std::vector<std::string> tabFields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\t') {
            fields.emplace_back();
        } else if (line[i] == '\\' && i + 1 < line.size()) {
            const char escaped = line[++i];
            fields.back() += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped == 't' ? '\t' : escaped;
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

std::string hexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string hexUnits(const std::u16string& units) {
    std::string out;
    char unit[5];
    for (char16_t c : units) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

PayloadLayout layoutOf(const payload::PayloadTables& tables) {
    PayloadLayout layout;
    size_t offset = 4; // the magic
    layout.configCount = offset;
    offset += 4;
    for (const auto& record : tables.config) {
        layout.configRecords.push_back({offset, offset + 4, offset + 8});
        offset += 8 + record.second.size();
    }
    layout.messageCount = offset;
    offset += 4;
    for (const auto& record : tables.messages) {
        layout.messageRecords.push_back({offset, offset + 4, offset + 8});
        offset += 8 + record.second.size() * 2;
    }
    layout.end = offset;
    return layout;
}

std::vector<std::string> RunResult::stdoutLines() const {
    return linesOf(stdoutText);
}
std::vector<std::string> RunResult::stderrLines() const {
    return linesOf(stderrText);
}
std::string RunResult::nativeLog() const {
    return withoutCarriageReturns(nativeLogText);
}
std::vector<std::string> RunResult::logLines() const {
    return linesOf(nativeLog());
}

void RunResult::expectExitCode(int expected, CallSite at) const {
    if (timedOut)
        ADD_FAILURE_AT(at.file, at.line) << "the run was ended after its time-out";
    else if (exitCode != expected)
        ADD_FAILURE_AT(at.file, at.line) << "exit code " << exitCode << ", expected " << expected;
}

void RunResult::expectStderrContains(const std::string& text, CallSite at) const {
    if (stderrText.find(text) == std::string::npos)
        ADD_FAILURE_AT(at.file, at.line) << "standard error lacks \"" << text << "\"; it holds:\n"
                                         << stderrText;
}

std::string RunResult::errorText(const std::string& message) const {
    return nativeLogWindowsPath ? message + "\n\nLog: " + *nativeLogWindowsPath : message;
}

void RunResult::expectMessageBoxError(const std::string& message, CallSite at) const {
    if (messageBoxes.size() != 1) {
        ADD_FAILURE_AT(at.file, at.line)
            << messageBoxes.size() << " message boxes shown, expected one with \"" << message << "\""
            << (std::getenv("DISPLAY")
                    ? ""
                    : " (DISPLAY is unset, so Wine shows no boxes: run under scripts/with-display)");
        return;
    }
    std::string expected = errorText(message);
    if (messageBoxes[0].text != expected)
        ADD_FAILURE_AT(at.file, at.line)
            << "message box text\n  " << messageBoxes[0].text << "\nexpected\n  " << expected;
}

void RunResult::expectConsoleError(const std::string& message, CallSite at) const {
    if (!messageBoxes.empty())
        ADD_FAILURE_AT(at.file, at.line) << "a message box was shown with \"" << messageBoxes[0].text << "\"";
    std::string expected = errorText(message) + "\n";
    if (stderrText != expected)
        ADD_FAILURE_AT(at.file, at.line)
            << "standard error\n  " << stderrText << "\nexpected\n  " << expected;
}

std::string RunResult::describe() const {
    std::ostringstream out;
    out << "command: " << commandLine << "\n";
    out << (timedOut ? std::string("timed out") : "exit code: " + std::to_string(exitCode)) << "\n";
    out << "--- stdout ---\n" << stdoutText << "\n--- stderr ---\n" << stderrText << "\n";
    for (const MessageBoxShown& box : messageBoxes)
        out << "--- message box \"" << box.caption << "\" ---\n" << box.text << "\n";
    out << "--- Wine and runner output ---\n" << runnerOutput << "\n";
    if (nativeLogPath)
        out << "--- native log " << *nativeLogPath << " ---\n" << nativeLog();
    else
        out << "--- no native log ---\n";
    return out.str();
}

RunningProgram::RunningProgram(RunningProgram&& other) noexcept
    : pid_(other.pid_), deadline_(other.deadline_), directory_(std::move(other.directory_)),
      tmpDirectory_(std::move(other.tmpDirectory_)), logsBefore_(std::move(other.logsBefore_)),
      result_(std::move(other.result_)) {
    other.pid_ = -1;
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0)
        wait();
}

std::string RunningProgram::outputSoFar() const {
    return withoutCarriageReturns(readFile(directory_ + "/stdout.txt"));
}

bool RunningProgram::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (readFile(directory_ + "/stdout.txt").find(text) != std::string::npos)
            return true;
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1; // ended before printing it
            return readFile(directory_ + "/stdout.txt").find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

bool RunningProgram::kill(const std::string& name) {
    // Under Wine each Windows process is a Linux process of the run's group, named by its program.
    bool found = false;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string program = readFile(entry.path().string() + "/cmdline").c_str();
        const pid_t process = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        if (process > 0 && pid_ > 0 && getpgid(process) == pid_ && program.size() >= name.size() &&
            program.compare(program.size() - name.size(), name.size(), name) == 0)
            found = ::kill(process, SIGKILL) == 0 || found;
    }
    return found;
}

RunResult RunningProgram::wait() {
    int status = 0;
    bool ended = pid_ < 0;
    while (!ended) {
        pid_t answer = waitpid(pid_, &status, WNOHANG);
        ended = answer == pid_ || answer < 0;
        if (!ended && std::chrono::steady_clock::now() > deadline_) {
            // envrun could not end the run: end Wine's processes of the whole prefix.
            ::kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            runWine({"--stop"}, nullptr);
            result_.timedOut = true;
            ended = true;
        }
        if (!ended)
            std::this_thread::sleep_for(kPollInterval);
    }
    if (pid_ > 0)
        result_.exitCode = exitStatusOf(status);
    pid_ = -1;

    result_.stdoutText = withoutCarriageReturns(readFile(directory_ + "/stdout.txt"));
    result_.stderrText = withoutCarriageReturns(readFile(directory_ + "/stderr.txt"));
    result_.runnerOutput = readFile(directory_ + "/runner.txt");
    for (const std::string& line : linesOf(readFile(directory_ + "/report.txt"))) {
        std::vector<std::string> fields = tabFields(line);
        if (fields[0] == "box" && fields.size() >= 3)
            result_.messageBoxes.push_back({fields[1], fields[2], fields.size() > 3 ? fields[3] : "",
                                            fields.size() > 4 ? fields[4] : ""});
        else if (fields[0] == "timeout")
            result_.timedOut = true;
        else if (fields[0] == "exit" && fields.size() == 2)
            result_.exitCode = std::stoi(fields[1]);
    }
    for (const std::string& log : nativeLogsIn(tmpDirectory_)) {
        if (std::find(logsBefore_.begin(), logsBefore_.end(), log) == logsBefore_.end()) {
            result_.nativeLogPath = log;
            result_.nativeLogWindowsPath = windowsPath(log);
            result_.nativeLogText = readFile(log);
            break;
        }
    }
    recordRunForFailureReport(result_.describe());
    return result_;
}

Scenario::Scenario(const std::string& name)
    : name_(name), directory_(std::string(KESTRO_SCENARIO_RUNS_DIR) + "/" + testDirectoryName() + "/" + name),
      tmpDirectory_(directory_ + "/tmp"), launcherDirectory_(directory_), stubPath_(launcherStub()) {
    fs::remove_all(directory_);
    fs::create_directories(tmpDirectory_);
    registry::deleteKey(kLauncherKey);
}

Scenario& Scenario::config(int32_t id, const std::string& text) {
    request_.tables.config.emplace_back(id, text);
    return *this;
}

Scenario& Scenario::message(int32_t id, const std::u16string& text) {
    request_.tables.messages.emplace_back(id, text);
    return *this;
}

Scenario& Scenario::include(const std::string& name, const std::string& contents) {
    request_.files.emplace_back(name, contents);
    return *this;
}

Scenario& Scenario::trailingData(const std::string& data) {
    request_.trailingData = data;
    return *this;
}

Scenario& Scenario::stub(const std::string& path) {
    stubPath_ = path;
    return *this;
}

Scenario& Scenario::placeLauncherIn(const std::string& folder) {
    launcherDirectory_ = directory_ + "/" + folder;
    fs::create_directories(launcherDirectory_);
    return *this;
}

Scenario& Scenario::tmpIn(const std::string& folder) {
    tmpDirectory_ = directory_ + "/" + folder;
    fs::create_directories(tmpDirectory_);
    return *this;
}

namespace {
// "Z:\a\b" as "/a/b".
std::string linuxPathOf(std::string path) {
    if (path.size() > 2 && path[1] == ':')
        path.erase(0, 2);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}
} // namespace

std::string Scenario::userCacheDirectory() const {
    const auto given = environment_.find("LOCALAPPDATA");
    if (given != environment_.end() && given->second)
        return linuxPathOf(*given->second) + "/Kestro";
    return directory_ + "/local/Kestro";
}

Scenario& Scenario::appendNothing() {
    shape_ = Shape::Nothing;
    return *this;
}

Scenario& Scenario::truncatePayloadAt(size_t payloadBytes) {
    shape_ = Shape::Truncated;
    truncateAt_ = payloadBytes;
    return *this;
}

Scenario& Scenario::rawPayload(const std::string& bytes) {
    shape_ = Shape::Raw;
    rawPayload_ = bytes;
    return *this;
}

Scenario& Scenario::env(const std::string& name, const std::string& value) {
    environment_[name] = value;
    return *this;
}

Scenario& Scenario::unsetEnv(const std::string& name) {
    environment_[name] = std::nullopt;
    return *this;
}

Scenario& Scenario::timeout(std::chrono::milliseconds limit) {
    timeout_ = limit;
    return *this;
}

std::string Scenario::executablePath() const {
    return launcherDirectory_ + "/" + name_ + ".exe";
}

bool Scenario::packTo(const std::string& output, std::string* error) {
    packer::PackRequest request;
    request.tables = request_.tables;
    request.trailingData = request_.trailingData;
    fs::create_directories(directory_ + "/included");
    for (const auto& [fileName, contents] : request_.files) {
        std::string source = directory_ + "/included/" + fileName;
        writeFile(source, contents);
        request.files.push_back({fileName, source});
    }
    return packer::packLauncher(stubPath_, request, output, error);
}

bool Scenario::pack(std::string* error) {
    if (!fs::exists(stubPath_)) {
        *error = "no stub at " + stubPath_ + "; build the windows-x64 tree first";
        return false;
    }
    std::string output = executablePath();
    std::string image;
    size_t start = 0;
    switch (shape_) {
    case Shape::Packed:
        return packTo(output, error);
    case Shape::Nothing:
        writeFile(output, readFile(stubPath_));
        return true;
    case Shape::Raw:
        image = readFile(stubPath_);
        if (!payload::findPayloadStart(image, &start, error))
            return false;
        writeFile(output, image.substr(0, start) + rawPayload_);
        return true;
    case Shape::Truncated:
        if (!packTo(output, error))
            return false;
        image = readFile(output);
        if (!payload::findPayloadStart(image, &start, error))
            return false;
        writeFile(output, image.substr(0, start + truncateAt_));
        return true;
    }
    return false;
}

PayloadLayout Scenario::packedLayout() {
    std::string probe = directory_ + "/layout-probe.exe";
    std::string error;
    size_t start = 0, end = 0;
    payload::PayloadTables written;
    std::string image;
    if (!packTo(probe, &error) || !payload::findPayloadStart(image = readFile(probe), &start, &error) ||
        !payload::decodeTables(image, start, &written, &end, &error)) {
        ADD_FAILURE() << "scenario " << name_ << ": cannot lay out the payload: " << error;
        return PayloadLayout();
    }
    return layoutOf(written);
}

RunResult Scenario::run(const std::vector<std::string>& arguments) {
    std::string error;
    if (!pack(&error)) {
        ADD_FAILURE() << "scenario " << name_ << ": cannot build the launcher: " << error;
        return RunResult();
    }
    return runProgram(executablePath(), arguments);
}

RunResult Scenario::runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    return start(program, arguments).wait();
}

RunningProgram Scenario::startPacked(const std::vector<std::string>& arguments) {
    std::string error;
    if (!pack(&error))
        ADD_FAILURE() << "packing " << name_ << " failed: " << error;
    return start(executablePath(), arguments);
}

RunningProgram Scenario::start(const std::string& program, const std::vector<std::string>& arguments) {
    RunningProgram running;
    running.directory_ = directory_ + "/run" + std::to_string(++runCount_);
    running.tmpDirectory_ = tmpDirectory_;
    fs::create_directories(running.directory_);
    running.logsBefore_ = nativeLogsIn(tmpDirectory_);
    fs::create_directories(directory_ + "/local");

    std::map<std::string, std::optional<std::string>> environment = {
        {"TMP", windowsPath(tmpDirectory_)},
        {"TEMP", windowsPath(tmpDirectory_)},
        {"LOCALAPPDATA", windowsPath(directory_ + "/local")}};
    for (const auto& [name, value] : environment_)
        environment[name] = value;

    std::vector<std::string> argv = {wineRunScript(),
                                     "--prefix",
                                     KESTRO_SCENARIO_PREFIX,
                                     scenarioProgram("envrun"),
                                     "--stdout",
                                     windowsPath(running.directory_ + "/stdout.txt"),
                                     "--stderr",
                                     windowsPath(running.directory_ + "/stderr.txt"),
                                     "--report",
                                     windowsPath(running.directory_ + "/report.txt"),
                                     "--timeout",
                                     std::to_string(timeout_.count())};
    for (const auto& [name, value] : environment) {
        if (value) {
            argv.push_back(name + "=" + *value);
        } else {
            argv.push_back("--unset");
            argv.push_back(name);
        }
    }
    argv.push_back("--");
    argv.push_back(windowsPath(program));
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    running.result_.commandLine = quoteForDisplay(argv);
    running.deadline_ = std::chrono::steady_clock::now() + timeout_ + kRunnerGrace;
    running.pid_ = spawn(argv, running.directory_ + "/runner.txt");
    if (running.pid_ < 0)
        ADD_FAILURE() << "cannot start " << running.result_.commandLine << ": " << std::strerror(errno);
    return running;
}

namespace registry {
namespace {

// The data of a value of the type as reg.exe shows it: "    <name>    <type>    <data>".
std::optional<std::string> query(const std::string& key, const std::string& value, const std::string& type) {
    std::string output;
    if (runWine({"reg", "query", key, "/v", value}, &output) != 0)
        return std::nullopt;
    const std::string prefix = "    " + value + "    " + type;
    for (const std::string& line : linesOf(output))
        if (line.rfind(prefix, 0) == 0)
            return line.size() > prefix.size() + 4 ? line.substr(prefix.size() + 4) : std::string();
    return std::nullopt;
}

void add(const std::string& key, const std::string& value, const std::string& type, const std::string& data) {
    std::string output;
    if (runWine({"reg", "add", key, "/v", value, "/t", type, "/d", data, "/f"}, &output) != 0)
        ADD_FAILURE() << "reg add " << key << " " << value << " failed: " << output;
}

} // namespace

std::optional<std::string> readString(const std::string& key, const std::string& value) {
    return query(key, value, "REG_SZ");
}

void writeString(const std::string& key, const std::string& value, const std::string& data) {
    add(key, value, "REG_SZ", data);
}

std::optional<uint32_t> readDword(const std::string& key, const std::string& value) {
    const std::optional<std::string> data = query(key, value, "REG_DWORD");
    return data ? std::optional<uint32_t>(std::stoul(*data, nullptr, 16)) : std::nullopt;
}

void writeDword(const std::string& key, const std::string& value, uint32_t data) {
    add(key, value, "REG_DWORD", std::to_string(data));
}

std::optional<std::string> readBinary(const std::string& key, const std::string& value) {
    const std::optional<std::string> hex = query(key, value, "REG_BINARY");
    if (!hex)
        return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i + 1 < hex->size(); i += 2)
        bytes += static_cast<char>(std::stoul(hex->substr(i, 2), nullptr, 16));
    return bytes;
}

void writeBinary(const std::string& key, const std::string& value, const std::string& bytes) {
    add(key, value, "REG_BINARY", hexBytes(bytes));
}

void deleteKey(const std::string& key) {
    runWine({"reg", "delete", key, "/f"}, nullptr);
}

bool keyExists(const std::string& key) {
    return runWine({"reg", "query", key}, nullptr) == 0;
}

} // namespace registry

} // namespace kestro::scenario
