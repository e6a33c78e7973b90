// Timing and peak memory of one piece of work, for the Windows halves of the benchmarks.
#pragma once

#include <windows.h>

#include <psapi.h>

struct Measurement {
    unsigned long milliseconds;
    unsigned long peakWorkingSetKiB; // KiB, as a long is 32 bits here
};

// Runs work once; the peak working set is the process's, from its start.
template <typename Work> Measurement measure(Work work) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return {static_cast<unsigned long>((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart),
            static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024)};
}
