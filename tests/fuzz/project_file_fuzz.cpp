// The packer's project loader on arbitrary text: an error or a request, never a fault, and no error
// message longer than a few lines.
#include "project/project_file.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    kestro::packer::PackRequest request;
    std::string error;
    // Included files are looked up under a directory that does not exist: no input reads the disk.
    if (!kestro::packer::parseProjectText(text, "fuzz.toml", "/nonexistent-kestro-fuzz", &request, &error) &&
        error.size() > 1000)
        std::abort();
    return 0;
}
