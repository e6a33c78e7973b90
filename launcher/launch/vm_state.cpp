#include "launch/vm_state.h"

#include <atomic>
#include <mutex>

namespace {
void* createEntry = nullptr;
void* defaultArgs = nullptr;
JavaVM* vm = nullptr;
JNIEnv* creatingEnv = nullptr;
std::atomic<bool> created{false};
std::atomic<bool> closed{false};
// Held for the length of each use, and by closeVmUse while it closes.
std::mutex useLock;
} // namespace

void setCreateVmEntry(void* entry) {
    createEntry = entry;
}
void* createVmEntry() {
    return createEntry;
}
void setDefaultArgsEntry(void* entry) {
    defaultArgs = entry;
}
void* defaultArgsEntry() {
    return defaultArgs;
}

JavaVM* javaVm() {
    return vm;
}
JNIEnv* creatingThreadEnv() {
    return creatingEnv;
}
void setCreatedVm(JavaVM* createdVm, JNIEnv* env) {
    vm = createdVm;
    creatingEnv = env;
}

bool vmCreated() {
    return created;
}
void setVmCreated() {
    created = true;
}

bool beginVmUse() {
    useLock.lock();
    if (created && !closed)
        return true;
    useLock.unlock();
    return false;
}

void endVmUse() {
    useLock.unlock();
}

void closeVmUse() {
    std::lock_guard<std::mutex> hold(useLock);
    closed = true;
}

JNIEnv* attachToVm() {
    if (!created || closed)
        return nullptr;
    void* env = nullptr;
    // As a daemon: the VM's destruction waits for every other thread, and an attached thread that
    // outlives the application (a splash nobody closed) would keep the process from ever ending.
    if (vm->AttachCurrentThreadAsDaemon(&env, nullptr) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv*>(env);
}

void detachFromVm() {
    if (created && !closed)
        vm->DetachCurrentThread();
}
