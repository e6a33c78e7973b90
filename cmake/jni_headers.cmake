# The JDK's public JNI header, for the launcher's VM code, the JNI double and the real-JVM test.
# Windows builds put a jni_md.h of their own before the JDK's, whose machine part is Linux's.
set(kestro_jdk_include_hints)
if(DEFINED ENV{JAVA_HOME})
    list(APPEND kestro_jdk_include_hints "$ENV{JAVA_HOME}/include")
endif()
file(GLOB kestro_jdk_candidates LIST_DIRECTORIES true /usr/lib/jvm/*/include)
list(APPEND kestro_jdk_include_hints ${kestro_jdk_candidates})
find_path(KESTRO_JDK_INCLUDE_DIR jni.h HINTS ${kestro_jdk_include_hints} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KESTRO_JDK_INCLUDE_DIR)
    message(FATAL_ERROR "jni.h not found: install a JDK (openjdk-17-jdk-headless) or set JAVA_HOME")
endif()

add_library(kestro_jni_headers INTERFACE)
if(WIN32)
    target_include_directories(kestro_jni_headers SYSTEM INTERFACE
        "${CMAKE_CURRENT_LIST_DIR}/jni_md_windows" "${KESTRO_JDK_INCLUDE_DIR}")
else()
    target_include_directories(kestro_jni_headers SYSTEM INTERFACE
        "${KESTRO_JDK_INCLUDE_DIR}" "${KESTRO_JDK_INCLUDE_DIR}/linux")
endif()
