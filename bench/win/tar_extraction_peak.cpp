// Unpacks a runtime archive with the launcher's reader and prints how long that took and the
// process's peak working set, for bench/tar_extraction_bench.sh.
#include "jreprovision/tar_reader.h"

#include <windows.h>

#include <psapi.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: tar_extraction_peak ARCHIVE TARGET-DIRECTORY\n");
        return 2;
    }
    CreateDirectoryA(argv[2], nullptr);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const bool extracted = extractRuntimeArchive(argv[1], argv[2], nullptr, 0);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const unsigned long milliseconds =
        static_cast<unsigned long>((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
    // One line the script reads: milliseconds, peak working set in KiB.
    printf("%lu %lu\n", milliseconds, static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024));
    return extracted ? 0 : 1;
}
