#include "executable/signing.h"
#include "support/file_io.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kestro::packer {
namespace {

constexpr const char* kSigner = "osslsigncode";
// The most of osslsigncode's output an error message shows.
constexpr size_t kShownOutput = 2000;

// A file osslsigncode or the packer can read: a regular file, or for the password a pipe as well.
bool isReadable(const std::string& path, bool pipeToo) {
    std::error_code ignored;
    const auto status = std::filesystem::status(path, ignored);
    return std::filesystem::is_regular_file(status) || (pipeToo && std::filesystem::is_fifo(status));
}

// The password without the line end a text editor or `echo` leaves after it.
std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

bool readPassword(const SigningRequest& request, std::string* password, std::string* error) {
    if (!request.passwordEnvironmentVariable.empty()) {
        const char* value = std::getenv(request.passwordEnvironmentVariable.c_str());
        if (value == nullptr) {
            *error = "the environment variable " + request.passwordEnvironmentVariable +
                     " that should hold the signing password is not set";
            return false;
        }
        *password = firstLine(value);
    } else if (!request.passwordFile.empty()) {
        std::string text;
        if (!readWholeStream(request.passwordFile, &text, error)) {
            *error = "signing password: " + *error;
            return false;
        }
        *password = firstLine(text);
    }
    return true;
}

std::vector<std::string> signerArguments(const SigningRequest& request, bool withPassword,
                                         const std::string& inputPath, const std::string& outputPath) {
    std::vector<std::string> arguments = {kSigner, "sign", "-h", "sha256"};
    if (!request.pkcs12Path.empty())
        arguments.insert(arguments.end(), {"-pkcs12", request.pkcs12Path});
    else
        arguments.insert(arguments.end(), {"-certs", request.certificatePath, "-key", request.keyPath});
    if (withPassword)
        arguments.insert(arguments.end(), {"-readpass", "/dev/stdin"});
    if (!request.timestampUrl.empty())
        arguments.insert(arguments.end(), {"-ts", request.timestampUrl});
    arguments.insert(arguments.end(), {"-in", inputPath, "-out", outputPath});
    return arguments;
}

// Both ends of a pipe, closed on every way out.
struct Pipe {
    int ends[2] = {-1, -1};
    bool open() { return pipe2(ends, O_CLOEXEC) == 0; }
    void close(int which) {
        if (ends[which] >= 0)
            ::close(ends[which]);
        ends[which] = -1;
    }
    ~Pipe() {
        close(0);
        close(1);
    }
};

// Writes the password to the signer's standard input. A signer that ended without reading it must not
// end the packer with SIGPIPE; its exit status tells what happened.
void writePassword(int fd, const std::string& password) {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);
    const std::string line = password + "\n";
    writeAll(fd, line.data(), line.size());
    sigaction(SIGPIPE, &previous, nullptr);
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// osslsigncode's own lines say what went wrong; the OpenSSL error queue it prints after them
// ("40A0...:error:...") is kept only when there is nothing else.
bool isOpenSslTrace(const std::string& line) {
    const size_t colon = line.find(":error:");
    return colon != std::string::npos && colon > 0 &&
           line.find_first_not_of("0123456789ABCDEFabcdef") == colon;
}

std::string shownOutput(const std::string& output) {
    std::string own, all;
    std::stringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        all += line + "\n";
        if (!isOpenSslTrace(line))
            own += line + "\n";
    }
    std::string shown = own.empty() ? all : own;
    if (!shown.empty())
        shown.pop_back();
    if (shown.size() > kShownOutput)
        shown = shown.substr(0, kShownOutput) + "...";
    return shown.empty() ? "(no output)" : shown;
}

// Whether the signer can be started, so that a long pack does not end in a missing program.
bool signerInstalled() {
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= directories.size();) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        const std::string directory = end > start ? directories.substr(start, end - start) : ".";
        if (access((directory + "/" + kSigner).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string notInstalled() {
    return std::string(kSigner) +
           " is not installed; it signs launchers (Debian and Ubuntu: apt-get install " + kSigner + ")";
}

} // namespace

bool checkSigningRequest(const SigningRequest& request, std::string* error) {
    const bool pkcs12 = !request.pkcs12Path.empty();
    const bool keyPair = !request.keyPath.empty() || !request.certificatePath.empty();
    if (pkcs12 == keyPair) {
        *error = pkcs12 ? "signing takes either a PKCS#12 file or a key with its certificate, not both"
                        : "signing needs a PKCS#12 file (--sign-pkcs12) or a key and its certificate "
                          "(--sign-key and --sign-certificate)";
        return false;
    }
    if (keyPair && (request.keyPath.empty() || request.certificatePath.empty())) {
        *error = request.keyPath.empty() ? "the signing certificate needs its key (--sign-key)"
                                         : "the signing key needs its certificate (--sign-certificate)";
        return false;
    }
    if (!request.passwordEnvironmentVariable.empty() && !request.passwordFile.empty()) {
        *error = "the signing password comes either from an environment variable or from a file, not both";
        return false;
    }
    for (const std::string* path :
         {&request.pkcs12Path, &request.keyPath, &request.certificatePath, &request.passwordFile}) {
        if (!path->empty() && !isReadable(*path, path == &request.passwordFile)) {
            *error = "signing: cannot read " + *path + ": " + whyNotReadable(*path);
            return false;
        }
    }
    if (!signerInstalled()) {
        *error = notInstalled();
        return false;
    }
    return true;
}

bool loadSigningPassword(SigningRequest* request, std::string* error) {
    if (request->passwordEnvironmentVariable.empty() && request->passwordFile.empty())
        return true;
    std::string password;
    if (!readPassword(*request, &password, error))
        return false;
    request->password = std::move(password);
    return true;
}

bool signLauncher(const SigningRequest& request, const std::string& inputPath, const std::string& outputPath,
                  std::string* error) {
    std::string password;
    if (request.password)
        password = *request.password;
    else if (!readPassword(request, &password, error))
        return false;
    const bool withPassword = !request.passwordEnvironmentVariable.empty() || !request.passwordFile.empty();
    const std::vector<std::string> arguments = signerArguments(request, withPassword, inputPath, outputPath);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    Pipe input, output;
    if (!input.open() || !output.open()) {
        *error = std::string("cannot start ") + kSigner + ": " + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.ends[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.ends[1], STDERR_FILENO);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, kSigner, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error = spawned == ENOENT ? notInstalled()
                                   : std::string("cannot start ") + kSigner + ": " + std::strerror(spawned);
        return false;
    }
    input.close(0);
    output.close(1);
    if (withPassword)
        writePassword(input.ends[1], password);
    input.close(1);
    const std::string said = readAll(output.ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = std::string("signing failed; ") + kSigner + " said:\n" + shownOutput(said);
        return false;
    }
    return true;
}

} // namespace kestro::packer
