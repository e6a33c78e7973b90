#include "launch/vm_state.h"

namespace {
void* createEntry = nullptr;
JavaVM* vm = nullptr;
JNIEnv* creatingEnv = nullptr;
bool created = false;
bool destroyed = false;
} // namespace

void setCreateVmEntry(void* entry) {
    createEntry = entry;
}
void* createVmEntry() {
    return createEntry;
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

void setVmDestroyed() {
    destroyed = true;
}

JNIEnv* attachToVm() {
    if (!created || destroyed)
        return nullptr;
    void* env = nullptr;
    // As a daemon: the VM's destruction waits for every other thread, and an attached thread that
    // outlives the application (a splash nobody closed) would keep the process from ever ending.
    if (vm->AttachCurrentThreadAsDaemon(&env, nullptr) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv*>(env);
}

void detachFromVm() {
    if (created)
        vm->DetachCurrentThread();
}
