/* Machine-dependent JNI types for Windows builds made with MinGW on Linux, where the JDK installed
   for the build carries only its Linux jni_md.h. Windows keeps long at 32 bits in both widths, and
   JNI calls use the standard calling convention (the same as the default one on x86-64). */
#ifndef KESTRO_JNI_MD_WINDOWS_H
#define KESTRO_JNI_MD_WINDOWS_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
