// The packer's picture reader on arbitrary bytes: the BMP checks, PNG decoding and the icon made from
// a PNG (splash pictures and icons come from the user's project).
#include "executable/picture_resource.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestro::packer;
    const std::string file(reinterpret_cast<const char*>(data), size);
    std::string dib;
    std::string error;
    if (buildPictureResource(file, &dib, &error)) {
        uint32_t width = 0;
        uint32_t height = 0;
        // What the launcher will load must at least declare a size it can draw.
        if (!pictureSize(dib, &width, &height) || width == 0 || height == 0 || width > kMaxPictureSide ||
            height > kMaxPictureSide)
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    if (isPng(file)) {
        std::string icon;
        if (!iconFromPng(file, &icon, &error) && error.empty())
            std::abort();
    }
    return 0;
}
