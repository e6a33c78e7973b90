#include "stub_location.h"

#include <filesystem>

namespace kestro::packer {

bool defaultStubPath(std::string* path, std::string* error) {
    std::error_code failure;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (failure) {
        *error = "cannot find the packer's own location (/proc/self/exe): " + failure.message();
        return false;
    }
    *path = (self.parent_path() / ".." / "share" / "kestro" / "stubs" / "windows-x64.exe").lexically_normal();
    return true;
}

} // namespace kestro::packer
