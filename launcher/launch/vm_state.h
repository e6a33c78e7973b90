// The one Java VM of the process: how to create it, and once created, its pointers. Free of Win32,
// so that the code talking JNI also runs against a real JVM on the build host.
#pragma once

#include <jni.h>

// The addresses of JNI_CreateJavaVM and JNI_GetDefaultJavaVMInitArgs in the loaded JVM library;
// null until a library was loaded (the second also when the library lacks it).
void setCreateVmEntry(void* entry);
void* createVmEntry();
void setDefaultArgsEntry(void* entry);
void* defaultArgsEntry();

// The VM and the creating thread's environment; null until the creation call succeeded.
JavaVM* javaVm();
JNIEnv* creatingThreadEnv();
void setCreatedVm(JavaVM* vm, JNIEnv* env);

// True from the launch's "JVM created" on, for the rest of the process (also after destruction).
bool vmCreated();
void setVmCreated();

// Threads other than the creating one call into the VM only inside a use: beginVmUse answers
// whether they may (a VM exists and is not closed) and, when it does, holds off closeVmUse until
// endVmUse. closeVmUse waits for a use under way and refuses every later one; the launch closes the
// VM before it destroys it, so that nothing calls into a VM that is going away. Uses do not nest.
bool beginVmUse();
void endVmUse();
void closeVmUse();

// beginVmUse for a scope: true when granted; endVmUse at the end of the scope.
class VmUse {
  public:
    VmUse() : granted_(beginVmUse()) {}
    ~VmUse() {
        if (granted_)
            endVmUse();
    }
    VmUse(const VmUse&) = delete;
    VmUse& operator=(const VmUse&) = delete;
    explicit operator bool() const { return granted_; }

  private:
    bool granted_;
};

// For a thread other than the creating one: its own environment, or null when no VM exists yet, the
// VM refuses the thread or is closed. The thread is attached as a daemon, so that the VM's
// destruction does not wait for it. Never touches the JVM library before the VM exists.
JNIEnv* attachToVm();
// Detaches the calling thread; does nothing without a VM or once it is closed.
void detachFromVm();
