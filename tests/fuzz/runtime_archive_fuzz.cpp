// The packer's check of a runtime archive, on a tar stream of arbitrary bytes that the harness
// compresses with gzip (so that the fuzzer works on the tar, not on deflate).
#include "writers/runtime_bundle.h"

#include <unistd.h>
#include <zlib.h>

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
    path = "/tmp/kestro_fuzz_runtime_" + std::to_string(getpid()) + ".tar.gz";
    std::atexit(removeScratchFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gzFile out = gzopen(path.c_str(), "wb1");
    if (out == nullptr)
        std::abort();
    if (size > 0 && gzwrite(out, data, static_cast<unsigned>(size)) != static_cast<int>(size))
        std::abort();
    gzclose(out);
    kestro::packer::RuntimeArchiveFacts facts;
    std::string error;
    if (kestro::packer::checkRuntimeArchive(path, &facts, &error) &&
        facts.streamLength != static_cast<int64_t>(size))
        std::abort();
    return 0;
}
