// bin\unpack200.exe of a fake Java runtime: "-r PACKED JAR" writes JAR (its text names the packed
// file) and deletes PACKED, as the real unpacker's "-r" does. Every start appends its whole command
// line to "runtime-double.log" beside it. Exit code 0, or 2 for arguments it does not understand.
// With KESTRO_UNPACK_WAIT naming a file, it first waits until that file exists (at most 2 minutes), so
// that a scenario can watch the launcher while the unpacking runs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string directory = self;
    directory.erase(directory.find_last_of('\\') + 1);
    if (FILE* log = fopen((directory + "runtime-double.log").c_str(), "a")) {
        fprintf(log, "%s\n", GetCommandLineA());
        fclose(log);
    }
    const char* until = getenv("KESTRO_UNPACK_WAIT");
    for (int i = 0; until != nullptr && i < 1200 && GetFileAttributesA(until) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    if (argc != 4 || strcmp(argv[1], "-r") != 0) {
        return 2;
    }
    FILE* jar = fopen(argv[3], "w");
    if (jar == nullptr) {
        return 1;
    }
    fprintf(jar, "unpacked from %s\n", argv[2]);
    fclose(jar);
    DeleteFileA(argv[2]);
    return 0;
}
