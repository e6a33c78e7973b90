#include "launch/vm_state.h"

namespace {
void* createEntry = nullptr;
JavaVM* vm = nullptr;
JNIEnv* creatingEnv = nullptr;
bool created = false;
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

JNIEnv* attachToVm() {
    if (!created)
        return nullptr;
    void* env = nullptr;
    if (vm->AttachCurrentThread(&env, nullptr) != JNI_OK)
        return nullptr;
    return static_cast<JNIEnv*>(env);
}

void detachFromVm() {
    if (created)
        vm->DetachCurrentThread();
}
