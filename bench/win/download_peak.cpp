// Downloads a location with the launcher's own code and prints how long that took and the process's
// peak working set, for bench/download_bench.sh. Without a window, as the display updates are at most
// two a second either way. With a digest, the archive's SHA-256 is checked as the launcher does.
#include "jreprovision/http_download.h"
#include "measure.h"

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: download_peak LOCATION DESTINATION [SHA-256]\n");
        return 2;
    }
    if (!initInternetLibrary())
        return 1;
    bool downloaded = false;
    const Measurement measured = measure(
        [&] { downloaded = downloadFile(argv[1], argv[2], argc == 4 ? argv[3] : "", {}).succeeded(); });
    // One line the script reads: milliseconds, peak working set in KiB.
    printf("%lu %lu\n", measured.milliseconds, measured.peakWorkingSetKiB);
    return downloaded ? 0 : 1;
}
