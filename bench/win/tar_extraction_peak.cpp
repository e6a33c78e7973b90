// Unpacks a runtime archive with the launcher's reader and prints how long that took and the
// process's peak working set, for bench/tar_extraction_bench.sh.
#include "jreprovision/tar_reader.h"
#include "measure.h"

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: tar_extraction_peak ARCHIVE TARGET-DIRECTORY\n");
        return 2;
    }
    CreateDirectoryA(argv[2], nullptr);
    bool extracted = false;
    const Measurement measured =
        measure([&] { extracted = extractRuntimeArchiveReporting(argv[1], argv[2], nullptr, nullptr, 0); });
    // One line the script reads: milliseconds, peak working set in KiB.
    printf("%lu %lu\n", measured.milliseconds, measured.peakWorkingSetKiB);
    return extracted ? 0 : 1;
}
