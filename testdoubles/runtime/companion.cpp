// companion.dll: the library a runtime's jvm.dll needs from the runtime's bin folder, as a real
// runtime's jvm.dll needs the C runtime library that lies there; the JNI double (jvm.dll) imports it.
// A copy planted where no library may come from (beside the launcher, in the current directory)
// tells when it was loaded after all: each copy appends "loaded <its path>" to the file named by
// KESTRO_COMPANION_RECORD as the process loads it.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllexport) int kestroCompanionVersion() {
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    // The process's environment, not the C runtime's copy of it, which a library may not share.
    char record[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KESTRO_COMPANION_RECORD", record, sizeof record);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= sizeof record)
        return TRUE;
    char path[MAX_PATH] = "";
    GetModuleFileNameA(self, path, MAX_PATH);
    if (FILE* out = std::fopen(record, "a")) {
        std::fprintf(out, "loaded %s\n", path);
        std::fclose(out);
    }
    return TRUE;
}
