#include "cli/stub_location.h"

#include <filesystem>

namespace kestro::packer {
namespace {

// <directory of the running kestro>/../share/kestro/<relative>
bool installedPath(const std::filesystem::path& relative, std::string* path, std::string* error) {
    std::error_code failure;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failure);
    if (failure) {
        *error = "cannot find the packer's own location (/proc/self/exe): " + failure.message();
        return false;
    }
    *path = (self.parent_path() / ".." / "share" / "kestro" / relative).lexically_normal();
    return true;
}

} // namespace

bool defaultStubPath(const std::string& target, std::string* path, std::string* error) {
    return installedPath(std::filesystem::path("stubs") / (target + ".exe"), path, error);
}

bool defaultRuntimeJarPath(std::string* path, std::string* error) {
    return installedPath("kestro-runtime.jar", path, error);
}

} // namespace kestro::packer
