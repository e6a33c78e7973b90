// A stub for bench/included_files_bench.sh: packed like a launcher, it extracts its own included files
// with the launcher's code and prints how long the extraction took, how much it wrote and the
// process's peak working set. Loading the payload is left out of the timing, since it reads only the
// configuration records and messages, whatever the files weigh.
#include "measure.h"
#include "payload/included_files.h"
#include "payload/payload_store.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

// The extraction directory is flat: every included file is a direct child.
uint64_t bytesIn(const char* directory) {
    char pattern[MAX_PATH * 2];
    snprintf(pattern, sizeof pattern, "%s\\*", directory);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t total = 0;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return total;
}

} // namespace

int main() {
    loadPayload();
    char directory[8192];
    int result = kCopyDone;
    const Measurement measured = measure([&] { result = extractIncludedFiles(directory); });
    // One line the script reads: milliseconds, KiB extracted, peak working set in KiB.
    printf("%lu %lu %lu\n", measured.milliseconds, static_cast<unsigned long>(bytesIn(directory) / 1024),
           measured.peakWorkingSetKiB);
    return result == kCopyDone ? 0 : 1;
}
