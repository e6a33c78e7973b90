// `kestro inspect` on an arbitrary file: the PE walk, the tables and the included-file walk.
#include "commands/inspect.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string path;

void removeScratchFile() {
    std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = "/tmp/kestro_fuzz_inspect_" + std::to_string(getpid()) + ".exe";
    std::atexit(removeScratchFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
    kestro::packer::LauncherContents contents;
    std::string error;
    if (!kestro::packer::inspectLauncher(path, &contents, &error))
        return 0;
    if (contents.payloadOffset > size)
        std::abort();
    for (const kestro::packer::InspectedFile& file : contents.files)
        if (file.stored < 0 || static_cast<uint64_t>(file.stored) > size)
            std::abort();
    kestro::packer::formatInspection(contents);
    kestro::packer::formatInspectionJson(contents);
    return 0;
}
