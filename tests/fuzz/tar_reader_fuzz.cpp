// The launcher's tar reader run whole on the host, on a tar stream of arbitrary bytes that the harness
// compresses with gzip. Every archive the packer's check accepts must unpack without a failure; any
// archive leaves the current directory as it was, and progress never falls below 1.
#include "jreprovision/tar_reader.h"
#include "writers/runtime_bundle.h"
#include "win32/win32_memory.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string scratch, archivePath, targetDirectory;

void check(bool condition) {
    if (!condition)
        std::abort();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}

void removeTree(const std::string& path) {
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void removeScratch() {
    removeTree(scratch);
}

// Past 100 only in a stream cut off inside a header, whose skipped rest counts as read; the bar
// clamps it, and the entry then fails.
void checkProgress(int32_t position, void*) {
    check(position >= 1);
}

std::string currentDirectory() {
    char path[PATH_MAX];
    check(getcwd(path, sizeof path) != nullptr);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/kestro_fuzz_tar_XXXXXX";
    check(mkdtemp(pattern) != nullptr);
    scratch = pattern;
    archivePath = scratch + "/jre.tar.gz";
    targetDirectory = scratch + "/jre";
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gzFile out = gzopen(archivePath.c_str(), "wb1");
    check(out != nullptr);
    check(size == 0 || gzwrite(out, data, static_cast<unsigned>(size)) == static_cast<int>(size));
    gzclose(out);
    removeTree(targetDirectory);
    check(mkdir(targetDirectory.c_str(), 0755) == 0);

    kestro::packer::RuntimeArchiveFacts facts;
    std::string error;
    const bool accepted = kestro::packer::checkRuntimeArchive(archivePath, &facts, &error);
    const std::string before = currentDirectory();
    bool extracted = false;
    try {
        extracted = extractRuntimeArchiveReporting(archivePath.c_str(), targetDirectory.c_str(),
                                                   checkProgress, nullptr, static_cast<int32_t>(size));
    } catch (const win32_memory::ProcessEnded&) {
        // An output file that cannot be created ends the process; the packer must not have let such
        // an archive through.
        check(!accepted);
        check(chdir(before.c_str()) == 0);
        return 0;
    }
    check(currentDirectory() == before);
    check(!accepted || extracted);
    return 0;
}
