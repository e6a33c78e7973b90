// Where `kestro pack` finds what it installs beside itself: the launcher stub when no --stub is given,
// the Java runtime jar when no --runtime-jar is given.
#pragma once

#include <string>

namespace kestro::packer {

// The stub for target ("windows-x64" or "windows-x86") installed beside the packer: <directory of the
// running kestro>/../share/kestro/stubs/<target>.exe, found through /proc/self/exe. Returns false and
// sets error when the packer's own path cannot be read.
bool defaultStubPath(const std::string& target, std::string* path, std::string* error);

// The runtime jar installed beside the packer: <directory of the running kestro>/../share/kestro/
// kestro-runtime.jar. Fails like defaultStubPath.
bool defaultRuntimeJarPath(std::string* path, std::string* error);

} // namespace kestro::packer
