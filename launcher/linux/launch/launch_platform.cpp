// The Linux side of the shared launch: the system's name for the Java side, the program's thread, the
// options file beside the executable and the facts of class-data sharing.
#include "launch/launch_platform.h"

#include "launch/class_data_archive.h"
#include "support/file_system.h"
#include "support/log.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct ThreadBody {
    void (*body)(void*);
    void* context;
};

void* runBody(void* parameter) {
    const ThreadBody& thread = *static_cast<const ThreadBody*>(parameter);
    thread.body(thread.context);
    return nullptr;
}

bool startThread(pthread_t* thread, size_t stackSize, ThreadBody* body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    int failure = stackSize != 0 ? pthread_attr_setstacksize(&attributes, stackSize) : 0;
    if (failure == 0)
        failure = pthread_create(thread, &attributes, runBody, body);
    pthread_attr_destroy(&attributes);
    if (failure != 0 && stackSize != 0)
        logError("no thread with a stack of %lu bytes: %s", static_cast<unsigned long>(stackSize),
                 strerror(failure));
    return failure == 0;
}

// Output that goes to /dev/null is read by nobody.
bool streamSeen(int descriptor) {
    struct stat stream {};
    struct stat discarded {};
    if (fstat(descriptor, &stream) != 0)
        return false;
    return !(S_ISCHR(stream.st_mode) && stat("/dev/null", &discarded) == 0 &&
             stream.st_rdev == discarded.st_rdev);
}

} // namespace

void addSystemPropertyValues(LauncherPropertyValues& values) {
    values.withConsoleCodePage = false;
    values.platform = "linux";
}

// HotSpot must not run on the process's first thread: its stack is the system's, grown on demand
// and guarded otherwise than the VM expects.
bool runOnOwnThread(size_t stackSize, void (*body)(void*), void* context) {
    ThreadBody thread{body, context};
    pthread_t handle;
    if (!startThread(&handle, stackSize, &thread) && (stackSize == 0 || !startThread(&handle, 0, &thread))) {
        logError("Could not start the program's thread");
        return false;
    }
    pthread_join(handle, nullptr);
    return true;
}

FILE* openVmOptionsFile() {
    const std::string name = std::string(executablePath()) + ".vmoptions";
    return fopen(name.c_str(), "re");
}

bool classPathMayEndEmpty() {
    return false;
}

bool processOutputSeen() {
    return streamSeen(1) || streamSeen(2);
}

bool environmentChoosesClassDataSharing() {
    for (const char* name : {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS"}) {
        const char* value = getenv(name);
        if (value != nullptr && textChoosesClassDataSharing(value))
            return true;
    }
    return false;
}

std::string programIdentity() {
    std::string identity = executablePath();
    struct stat status {};
    if (stat(executablePath(), &status) == 0)
        identity += " " + std::to_string(static_cast<long long>(status.st_size)) + " " +
                    std::to_string(static_cast<long long>(status.st_mtim.tv_sec)) + ":" +
                    std::to_string(static_cast<long long>(status.st_mtim.tv_nsec));
    return identity;
}
