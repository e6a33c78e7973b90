#include "support/temporary_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestro::packer {
namespace {

// A pack has at most two temporary files at once: the runtime archive and the launcher.
constexpr int kSlots = 4;

// The signal handler may only read plain memory and call async-signal-safe functions, so the paths
// live in fixed buffers; a slot is armed only after its path is complete. Packing is single-threaded:
// only the handler runs beside the code that claims and arms slots.
char gPaths[kSlots][PATH_MAX];
volatile sig_atomic_t gArmed[kSlots];
bool gClaimed[kSlots];

void removeAndReraise(int signalNumber) {
    for (int i = 0; i < kSlots; ++i) {
        if (gArmed[i])
            unlink(gPaths[i]);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void installHandlers() {
    static const bool installed = [] {
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = removeAndReraise;
            sigemptyset(&action.sa_mask);
            sigaction(signalNumber, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

} // namespace

mode_t executableMode() {
    // umask can only be read by setting it; read once, while the packer runs on one thread.
    static const mode_t mask = [] {
        const mode_t previous = umask(0);
        umask(previous);
        return previous;
    }();
    return 0777 & ~mask;
}

TemporaryFile::TemporaryFile() : slot_(-1) {}

TemporaryFile::~TemporaryFile() {
    if (!path_.empty())
        unlink(path_.c_str());
    release();
}

bool TemporaryFile::create(const std::string& directory, std::string* error) {
    installHandlers();
    std::string pattern = directory + "/.kestro-pack-XXXXXX";
    if (pattern.size() >= PATH_MAX) {
        *error = "the directory " + directory + " has too long a path for a temporary file";
        return false;
    }
    for (int i = 0; i < kSlots && slot_ < 0; ++i) {
        if (!gClaimed[i]) {
            gClaimed[i] = true;
            slot_ = i;
        }
    }
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0) {
        *error = "cannot create a temporary file in " + directory + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, executableMode());
    close(fd);
    path_ = buffer.data();
    if (slot_ >= 0) {
        std::memcpy(gPaths[slot_], path_.c_str(), path_.size() + 1);
        gArmed[slot_] = 1;
    }
    return true;
}

void TemporaryFile::release() {
    if (slot_ >= 0) {
        gArmed[slot_] = 0;
        gClaimed[slot_] = false;
    }
    slot_ = -1;
    path_.clear();
}

} // namespace kestro::packer
