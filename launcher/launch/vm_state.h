// The one Java VM of the process: how to create it, and once created, its pointers. Free of Win32,
// so that the code talking JNI also runs against a real JVM on the build host.
#pragma once

#include <jni.h>

// The address of JNI_CreateJavaVM in the loaded JVM library; null until a library was loaded.
void setCreateVmEntry(void* entry);
void* createVmEntry();

// The VM and the creating thread's environment; null until the creation call succeeded.
JavaVM* javaVm();
JNIEnv* creatingThreadEnv();
void setCreatedVm(JavaVM* vm, JNIEnv* env);

// True from the launch's "JVM created" on, for the rest of the process (also after destruction).
bool vmCreated();
void setVmCreated();

// Set once DestroyJavaVM has returned: from then on no thread may attach.
void setVmDestroyed();

// For a thread other than the creating one: its own environment, or null when no VM exists yet, the
// VM refuses the thread or is gone. The thread is attached as a daemon, so that the VM's destruction
// does not wait for it. Never touches the JVM library before the VM exists.
JNIEnv* attachToVm();
// Detaches the calling thread; does nothing without a VM.
void detachFromVm();
