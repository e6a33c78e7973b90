// The one Java VM of the process: how to create it, and once created, its pointers. Free of Win32.
#pragma once

// The address of JNI_CreateJavaVM in the loaded JVM library; null until a library was loaded.
void setCreateVmEntry(void* entry);
void* createVmEntry();
