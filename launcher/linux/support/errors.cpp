// Errors of a Linux launcher: always on standard error, where a terminal, a pipe or the desktop's
// journal keeps them; for a program started from the desktop (a display, and no terminal behind
// standard error) also in a dialog, when a common helper (zenity, kdialog) is installed.
#include "support/errors.h"
#include "support/process_end.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/cleanup.h"
#include "support/log.h"
#include "support/text_conversion.h"

#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kMessageCapacity = 8192;

bool dialogMode = true;

// The thread that ends the process, 0 while none does.
std::atomic<pthread_t> endingThread{0};

bool desktopWithoutTerminal() {
    const bool display = getenv("DISPLAY") != nullptr || getenv("WAYLAND_DISPLAY") != nullptr;
    return display && !isatty(STDERR_FILENO);
}

// Runs program with arguments and waits for it; false when it could not be started.
bool runAndWait(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void showInDialog(const std::string& caption, const std::string& text) {
    if (runAndWait({"zenity", "--error", "--no-markup", "--title=" + caption, "--text=" + text}))
        return;
    if (!runAndWait({"kdialog", "--title", caption, "--error", text}))
        logLine("no dialog helper (zenity, kdialog) for the error");
}

std::string composedWithLog(const char* text) {
    char composed[kMessageCapacity];
    composeErrorText(text, logFilePath(), composed, sizeof composed);
    return composed;
}

void show(const std::string& caption, const char* text) {
    const std::string composed = composedWithLog(text);
    fprintf(stderr, "%s\n", composed.c_str());
    fflush(stderr);
    if (dialogMode && desktopWithoutTerminal())
        showInDialog(caption, composed);
}

} // namespace

// Makes the calling thread the one that ends the process; any other that wants to end it meanwhile
// stays here for good.
void claimEnd() {
    const pthread_t self = pthread_self();
    pthread_t none = 0;
    if (endingThread.compare_exchange_strong(none, self) || pthread_equal(none, self))
        return;
    for (;;)
        pause();
}

// The one way out, whatever ended the launch: nothing here waits for a thread that may stand still
// inside the VM.
[[noreturn]] void endProcess(int code) {
    removeOwnDirectories();
    logLine("exit code %d", code);
    fflush(nullptr);
    // No exit handlers of ours, of the C runtime or of the VM run: every other thread, a running Java
    // VM included, stops with the process.
    _exit(code);
}

void showError(const char* text) {
    char caption[kTextCapacity];
    getConfigText(kestro::payload::config::ErrorCaption, caption, sizeof caption);
    show(caption, text);
}

void showErrorWide(const wchar_t* text) {
    wchar_t caption[kTextCapacity];
    getMessage(kestro::payload::message::DialogCaption, caption);
    show(narrowFromWide(caption), narrowFromWide(text).c_str());
}

void useConsoleErrors() {
    dialogMode = false;
}

bool consoleErrorsEnabled() {
    return !dialogMode;
}
